#pragma once

#include "cli/PortChooser.h"
#include "protocol/TidewireClient.h"

#include <memory>

class SerialPort;

/** One device as a command uses it: its port, opened with the device's line settings,
    and a client of its own, so that several devices can be served at the same time. */
class DeviceSession final
{
public:
    explicit DeviceSession (ChosenPort port);

    /** Lets go of the port: the client first, then the port. */
    ~DeviceSession();

    /** Opens the port and attaches the client; false with the reason (permission, busy,
        gone...) when the port cannot be opened. */
    bool open (juce::String& error);

    TidewireClient& getClient()
    {
        return client;
    }
    const ChosenPort& getPort() const
    {
        return port;
    }

private:
    const ChosenPort port;
    std::unique_ptr<SerialPort> serialPort;
    TidewireClient client;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DeviceSession)
};
