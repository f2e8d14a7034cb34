#include "cli/CliLogger.h"

#include "cli/Console.h"
#include "log/GlobalLog.h"

namespace
{
// Enough to find what went wrong; a flood of lines from a device is not kept.
constexpr int maxKeptLines = 200;

thread_local juce::StringArray problemLines;
} // namespace

CliLogger::CliLogger (bool verboseOutput) : verbose (verboseOutput) {}

void CliLogger::log (juce::String line)
{
    // Text from the device may carry anything; it must not drive the terminal.
    line = escapeControlCharacters (line);

    if (!isProgressLine (line))
    {
        if (problemLines.size() < maxKeptLines)
            problemLines.add (line);
    }

    if (verbose)
        Console::err (line);
}

void CliLogger::beginOperation()
{
    problemLines.clearQuick();
}

juce::String CliLogger::firstProblem()
{
    return problemLines[0];
}

juce::String CliLogger::reason()
{
    const auto problem = firstProblem();
    return problem.isEmpty() ? juce::String() : " (" + problem + ")";
}

juce::String CliLogger::firstProblemAfter (const juce::String& marker)
{
    for (int i = problemLines.size(); --i >= 0;)
        if (problemLines[i].startsWith (marker))
            return problemLines[i + 1];
    return {};
}

bool CliLogger::isProgressLine (const juce::String& line)
{
    return (line.startsWith ("Block ") && (line.endsWith (" Sent.") || line.endsWith (" Received."))) ||
           line.startsWith ("Getting remote file ") || line.startsWith ("File transfer completed successfully") ||
           line.startsWith ("Folder transfer finished: ");
}
