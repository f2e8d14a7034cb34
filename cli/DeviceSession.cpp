#include "cli/DeviceSession.h"

#include "cli/Console.h"
#include "cli/InterruptWatcher.h"
#include "serial/PortOpenFailure.h"
#include "serial/SerialPort.h"
#include "serial/SerialPortSettings.h"

DeviceSession::DeviceSession (ChosenPort chosenPort) : port (std::move (chosenPort)) {}

DeviceSession::~DeviceSession()
{
    InterruptWatcher::remove (&client);
    client.disconnect();
    Console::forgetThread (client.getClientThread());
    if (serialPort != nullptr)
        serialPort->close();
}

bool DeviceSession::open (juce::String& error)
{
    serialPort = std::make_unique<SerialPort>();
    if (!serialPort->open (port.devicePath))
    {
        // The device path, the system's reason and what to do about it.
        const auto reason = describePortOpenFailure (port.devicePath, serialPort->getOpenError());
        error = "can't open " + (reason.isNotEmpty() ? reason : port.devicePath);
        return false;
    }

    if (!serialPort->configure (nuboDeviceLineSettings()))
    {
        error = "can't set up " + port.devicePath + " for the device (115200 baud, 8N1, hardware handshake)";
        return false;
    }

    client.connect (serialPort.get());
    InterruptWatcher::add (&client);
    Console::sharePrefixWith (client.getClientThread());
    return true;
}
