#pragma once

#include "log/ILogger.h"

/** The log slot's logger for nubo: with -v every line goes to standard error with its
    thread's device prefix, its control characters escaped; without, nowhere. Why an
    operation failed comes from its result, never from these lines. */
class CliLogger final : public ILogger
{
public:
    explicit CliLogger (bool verbose);

    void log (juce::String line) override;

private:
    const bool verbose;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CliLogger)
};
