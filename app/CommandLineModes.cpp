#include "app/CommandLineModes.h"

#include "panes/ConnectionPane.h"

juce::StringArray CommandLineModes::tokenise (const juce::String& commandLine)
{
    juce::StringArray tokens;
    tokens.addTokens (commandLine, true);
    return tokens;
}

CommandLineModes::Mode CommandLineModes::modeOf (const juce::StringArray& tokens)
{
    if (tokens[0] == "auto")
        return Mode::autoUpdate;
    if (tokens[0] == "getmac")
        return Mode::getMac;
    return Mode::none;
}

juce::String CommandLineModes::localPathOf (const juce::StringArray& tokens)
{
    auto path = tokens[1];
    // A path with blanks has to be quoted, and JUCE quotes such an argument
    // itself when it rebuilds the command line; the quotes are not part of the path.
    if (path.length() >= 2 && path.startsWithChar ('"') && path.endsWithChar ('"'))
        path = path.substring (1, path.length() - 1);

    if (path.isNotEmpty() && !juce::File::isAbsolutePath (path))
        path = juce::File::getCurrentWorkingDirectory().getChildFile (path).getFullPathName();
    return path;
}

std::optional<int> CommandLineModes::run (const juce::String& commandLine, ConnectionPane& pane)
{
    const auto tokens = tokenise (commandLine);
    return runMode (modeOf (tokens), localPathOf (tokens), pane);
}

std::optional<int> CommandLineModes::runArguments (const juce::StringArray& arguments, ConnectionPane& pane)
{
    // Joined by hand, not with getChildFile: that would drop a trailing separator,
    // and "newdir/" would become a file named newdir.
    // Only "/" starts an absolute path: JUCE also counts a leading "~", which the
    // file operations take literally, so the log would name another file.
    auto path = arguments[1];
    if (path.isNotEmpty() && !path.startsWithChar ('/'))
        path = juce::File::getCurrentWorkingDirectory().getFullPathName() + juce::File::getSeparatorString() + path;
    return runMode (modeOf (arguments), path, pane);
}

std::optional<int> CommandLineModes::runMode (Mode mode, const juce::String& localPath, ConnectionPane& pane)
{
    if (mode == Mode::none)
        return std::nullopt;

    if (!pane.connect())
        return -1;

    const bool succeeded = mode == Mode::autoUpdate ? pane.updateFirmware() : pane.fetchMacFile (localPath);
    return succeeded ? 0 : -1;
}
