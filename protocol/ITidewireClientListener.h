#pragma once

#include <juce_core/juce_core.h>

/** Receives the device's asynchronous events and property changes, on the client's thread. */
class ITidewireClientListener
{
public:
    virtual void eventReceived (int eventId, juce::int64 argument) = 0;
    virtual void propertyChanged (juce::Array<juce::uint16> path, int propertyId, int value) = 0;
    virtual void stringPropertyChanged (juce::Array<juce::uint16> path, int propertyId, juce::String value) = 0;

    /** The device went away (unplugged, or the port hung up): called once per loss. From
        then on every exchange fails at once until the client is given a port again. */
    virtual void connectionLost() {}

    virtual ~ITidewireClientListener() = default;
};
