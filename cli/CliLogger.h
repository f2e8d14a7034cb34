#pragma once

#include "log/ILogger.h"

/** The log slot's logger for nubo: with -v every line goes to standard error with its
    thread's device prefix; either way each thread remembers the first line since its
    operation began that tells of trouble, so a failure can say why in one line. */
class CliLogger final : public ILogger
{
public:
    explicit CliLogger (bool verbose);

    void log (juce::String line) override;

    /** Forgets this thread's trouble so far: the next operation starts clean. */
    static void beginOperation();

    /** The first line this thread logged since beginOperation that is not a progress
        line, or empty. */
    static juce::String firstProblem();

    /** The first problem as " (line)" to end a failure message with, or empty. */
    static juce::String reason();

    /** The first such line after the last one that begins with the marker (a step of a
        longer sequence, e.g. "sending "), or empty. */
    static juce::String firstProblemAfter (const juce::String& marker);

    /** Whether the line only reports progress ("Block 0 Sent.", the throughput line). */
    static bool isProgressLine (const juce::String& line);

private:
    const bool verbose;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CliLogger)
};
