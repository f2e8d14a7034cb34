#pragma once

#include <juce_core/juce_core.h>

/** Anything the program sends to the device. */
class TidewireClientOutputMessage
{
public:
    virtual ~TidewireClientOutputMessage() = default;

    /** Writes one complete message (header and body) to the stream, little-endian. */
    virtual void write (juce::OutputStream& out) = 0;
};
