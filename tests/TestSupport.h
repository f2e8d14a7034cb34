#pragma once

#include "app/GlobalLog.h"

#include <juce_core/juce_core.h>

#include <sys/types.h>

/** Collects every line sent to globalLog while it lives; thread-safe. */
class CapturingLogger final : public ILogger
{
public:
    CapturingLogger();
    ~CapturingLogger() override;

    void log (juce::String line) override;

    juce::StringArray lines() const;
    void clear();
    bool contains (const juce::String& line) const;

    /** Waits until a line equal to the given text has been logged. */
    bool waitForLine (const juce::String& line, int timeoutMs) const;

private:
    juce::CriticalSection lock;
    juce::StringArray captured;
    juce::WaitableEvent arrived { true };
};

/** A fresh empty folder under the system's temporary folder, removed with the object. */
class TempFolder final
{
public:
    TempFolder();
    ~TempFolder();

    const juce::File& get() const { return folder; }
    juce::File operator/ (const juce::String& relative) const { return folder.getChildFile (relative); }

private:
    juce::File folder;
};

/** Runs nubo-devsim as a child process and waits for its READY line. */
class DeviceSimulator final
{
public:
    DeviceSimulator() = default;
    ~DeviceSimulator();

    /** Starts the simulator with these arguments; false when it did not get ready in time. */
    bool start (const juce::StringArray& arguments, int timeoutMs = 10000);

    /** Sends SIGTERM and waits for the process; returns its exit status (-1 when killed). */
    int stop();

    bool isRunning() const;
    const juce::String& portPath() const { return port; }
    pid_t processId() const { return pid; }

    static juce::File executable();

private:
    pid_t pid = -1;
    int outputFd = -1;
    juce::String port;
};

/** Bytes written by hand, as in the message tables: hexBytes ("01 00 04000000"). */
juce::MemoryBlock hexBytes (const juce::String& hex);

/** The folder of the sample device's file system kept in the repository. */
juce::File sampleDeviceFolder();
