#include "device/DeviceLink.h"

#include "protocol/TidewireClient.h"
#include "serial/PortOpenFailure.h"
#include "serial/SerialPort.h"
#include "serial/SerialPortSettings.h"

DeviceLink::DeviceLink() : ownClient (std::make_unique<TidewireClient>()), client (*ownClient) {}

DeviceLink::DeviceLink (TidewireClient& sharedClient) : client (sharedClient) {}

DeviceLink::~DeviceLink()
{
    close();
    port.reset();
}

bool DeviceLink::open (const juce::String& path)
{
    close();
    port.reset();

    devicePath = path;
    openFailure = {};
    settingsRefused = false;

    auto opened = std::make_unique<SerialPort>();
    if (!opened->open (path))
    {
        openFailure = describePortOpenFailure (path, opened->getOpenError());
        return false;
    }

    settingsRefused = !opened->configure (nuboDeviceLineSettings());
    port = std::move (opened);
    client.connect (port.get());
    return true;
}

void DeviceLink::close()
{
    if (port == nullptr)
        return;

    // The client's streams read and write the port on their own threads: stop them first.
    client.disconnect();
    port->close();
}

bool DeviceLink::isOpen() const
{
    return port != nullptr && port->isOpen();
}
