#pragma once

#include <juce_core/juce_core.h>

/** What an operation on a device came to, as a value: the outcome and, when it did not
    succeed, the device's or the system's reason in one line. Front ends turn it into
    their own text; none of them has to read the log to learn what happened. */
struct OperationResult
{
    enum class Outcome
    {
        done,
        failed,    ///< the device refused, or a transfer or a local write failed
        cancelled, ///< a cancel token was tripped (a signal, a Cancel button, a station)
        noDevice   ///< the port could not be opened
    };

    Outcome outcome = Outcome::done;
    juce::String reason; ///< one line; what was done, or why it failed

    bool succeeded() const
    {
        return outcome == Outcome::done;
    }

    static OperationResult done (const juce::String& what = {})
    {
        return {Outcome::done, what};
    }

    static OperationResult failure (Outcome outcome, const juce::String& why)
    {
        return {outcome, why};
    }
};
