#include "cli/DeviceSession.h"

#include "cli/Console.h"
#include "cli/InterruptWatcher.h"

DeviceSession::DeviceSession (ChosenPort chosenPort)
    : port (std::move (chosenPort)), ownLink (std::make_unique<DeviceLink>()), link (*ownLink)
{
}

DeviceSession::DeviceSession (ChosenPort chosenPort, DeviceLink& workersLink)
    : port (std::move (chosenPort)), link (workersLink)
{
}

DeviceSession::~DeviceSession()
{
    auto& client = link.getClient();
    InterruptWatcher::remove (&client);
    link.close();
    Console::forgetThread (client.getClientThread());
}

bool DeviceSession::open (juce::String& error)
{
    if (!link.open (port.devicePath))
    {
        const auto reason = link.getOpenFailure();
        error = "can't open " + (reason.isNotEmpty() ? reason : port.devicePath);
        return false;
    }

    if (link.lineSettingsRefused())
        Console::error ("warning: " + port.devicePath +
                        " refused the device's line settings (115200 baud, 8N1, hardware handshake); going on");

    auto& client = link.getClient();
    InterruptWatcher::add (&client);
    Console::sharePrefixWith (client.getClientThread());
    return true;
}
