#pragma once

#include "cli/PortChooser.h"
#include "device/DeviceLink.h"
#include "protocol/TidewireClient.h"

/** One device as a command uses it: a link of its own (port and client), so that several
    devices can be served at the same time, known to Ctrl-C and to the console's line
    prefixes while it is open. */
class DeviceSession final
{
public:
    explicit DeviceSession (ChosenPort port);

    /** Lets go of the port: the client first, then the port. */
    ~DeviceSession();

    /** Opens the link; false with the reason (permission, busy, gone...) when the port
        cannot be opened. */
    bool open (juce::String& error);

    TidewireClient& getClient()
    {
        return link.getClient();
    }
    const ChosenPort& getPort() const
    {
        return port;
    }

private:
    const ChosenPort port;
    DeviceLink link;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DeviceSession)
};
