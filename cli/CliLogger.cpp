#include "cli/CliLogger.h"

#include "cli/Console.h"
#include "log/GlobalLog.h"

CliLogger::CliLogger (bool verboseOutput) : verbose (verboseOutput) {}

void CliLogger::log (juce::String line)
{
    // Text from the device may carry anything; it must not drive the terminal.
    if (verbose)
        Console::err (escapeControlCharacters (line));
}
