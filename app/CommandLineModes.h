#pragma once

#include <juce_core/juce_core.h>

#include <optional>

class ConnectionPane;

/** The production line's unattended runs, chosen by the first token of the command
    line: "auto" (connect, update the firmware) and "getmac <path>" (connect, store
    the device's MAC-address file at path). */
class CommandLineModes final
{
public:
    enum class Mode
    {
        none,
        autoUpdate,
        getMac
    };

    /** Splits the command line as JUCE does: blanks outside double quotes end a token;
        quoted runs stay whole and keep their quotes. */
    static juce::StringArray tokenise (const juce::String& commandLine);

    /** Which mode the first token names (exact, case-sensitive), if any. */
    static Mode modeOf (const juce::StringArray& tokens);

    /** The local path of a getmac run: without surrounding double quotes, and
        relative paths taken from the current folder. */
    static juce::String localPathOf (const juce::StringArray& tokens);

    /** Runs the mode the command line names on the pane; the exit status (0 or -1)
        when a mode ran, nothing when the program is to run interactively. */
    static std::optional<int> run (const juce::String& commandLine, ConnectionPane& pane);

    /** The same for the program's arguments as the system handed them over: the
        getmac path is taken exactly as given (blanks, tabs, a trailing separator and
        all), relative to the current folder. */
    static std::optional<int> runArguments (const juce::StringArray& arguments, ConnectionPane& pane);

private:
    static std::optional<int> runMode (Mode mode, const juce::String& localPath, ConnectionPane& pane);

    CommandLineModes() = delete;
};
