#include "cli/CliLogger.h"

#include "cli/Console.h"
#include "log/GlobalLog.h"

namespace
{
thread_local juce::String firstProblemLine;
thread_local int problems = 0;
} // namespace

CliLogger::CliLogger (bool verboseOutput) : verbose (verboseOutput) {}

void CliLogger::log (juce::String line)
{
    // Text from the device may carry anything; it must not drive the terminal.
    line = escapeControlCharacters (line);

    if (!isProgressLine (line))
    {
        if (problems++ == 0)
            firstProblemLine = line;
    }

    if (verbose)
        Console::err (line);
}

void CliLogger::beginOperation()
{
    firstProblemLine.clear();
    problems = 0;
}

juce::String CliLogger::firstProblem()
{
    return firstProblemLine;
}

int CliLogger::problemCount()
{
    return problems;
}

bool CliLogger::isProgressLine (const juce::String& line)
{
    return (line.startsWith ("Block ") && (line.endsWith (" Sent.") || line.endsWith (" Received."))) ||
           line.startsWith ("Getting remote file ") || line.startsWith ("File transfer completed successfully");
}
