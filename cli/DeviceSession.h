#pragma once

#include "cli/PortChooser.h"
#include "device/DeviceLink.h"
#include "protocol/TidewireClient.h"

#include <memory>

/** One device as a command uses it: a link of its own (port and client), so that several
    devices can be served at the same time, known to Ctrl-C and to the console's line
    prefixes while it is open. */
class DeviceSession final
{
public:
    /** A session on a link of its own. */
    explicit DeviceSession (ChosenPort port);

    /** A session on a worker's link; the worker owns it and outlives the session. */
    DeviceSession (ChosenPort port, DeviceLink& workersLink);

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
    std::unique_ptr<DeviceLink> ownLink; // empty on a worker's link
    DeviceLink& link;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DeviceSession)
};
