#pragma once

#include <juce_core/juce_core.h>

#include <functional>

/** Exit statuses of nubo. */
namespace ExitStatus
{
constexpr int success = 0;
constexpr int failed = 1; ///< the device refused, or a transfer failed
constexpr int usage = 2;  ///< the command line is wrong
constexpr int noPort = 3; ///< no port, several without a choice, or it could not be opened
constexpr int interrupted = 130;
} // namespace ExitStatus

/** What a command did on one device. */
struct CommandResult
{
    int status = ExitStatus::success;
    juce::String message; ///< one line: what was done, or why it failed
    juce::var data;       ///< the command's results, for --json

    static CommandResult ok (const juce::String& message, juce::var data = {})
    {
        return {ExitStatus::success, message, std::move (data)};
    }
    static CommandResult failure (int status, const juce::String& message)
    {
        return {status, message, {}};
    }
};

/** How a command runs on a device: alone, or beside others. */
struct RunContext
{
    bool json = false;  ///< --json
    bool quiet = false; ///< -q
    bool multi = false; ///< several devices at once: no document of its own
    bool showProgress = false;
    juce::String progressLabel; ///< what the progress bar calls the transfer
    int maxEntries = 100000;    ///< a folder tree stops past this many entries

    /** Where a transfer tells its bytes so far and its size; empty without a bar. Set
        for each device by MultiDeviceRun. */
    std::function<void (juce::int64 done, juce::int64 total)> progress;
};
