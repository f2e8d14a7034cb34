#pragma once

#include <juce_core/juce_core.h>

/** Anything that takes the program's progress lines. */
class ILogger
{
public:
    virtual ~ILogger() = default;

    /** Takes one line, without its trailing newline. May be called on any thread. */
    virtual void log (juce::String line) = 0;
};
