#include "cli/DeviceSession.h"

#include "cli/InterruptWatcher.h"
#include "serial/SerialPort.h"
#include "serial/SerialPortSettings.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace
{
SerialPortSettings deviceLineSettings()
{
    SerialPortSettings settings;
    settings.baudRate = 115200;
    settings.dataBits = 8;
    settings.parity = 0;      // none
    settings.stopBits = 0;    // one
    settings.flowControl = 1; // hardware handshake
    return settings;
}
} // namespace

DeviceSession::DeviceSession (ChosenPort chosenPort) : port (std::move (chosenPort)) {}

DeviceSession::~DeviceSession()
{
    InterruptWatcher::remove (&client);
    client.disconnect();
    if (serialPort != nullptr)
        serialPort->close();
}

bool DeviceSession::open (juce::String& error)
{
    serialPort = std::make_unique<SerialPort>();
    if (!serialPort->open (port.devicePath))
    {
        error = "can't open " + port.devicePath + ": " + describeOpenFailure (port.devicePath);
        return false;
    }

    if (!serialPort->configure (deviceLineSettings()))
    {
        error = "can't set up " + port.devicePath + " for the device (115200 baud, 8N1, hardware handshake)";
        return false;
    }

    client.connect (serialPort.get());
    InterruptWatcher::add (&client);
    return true;
}

juce::String DeviceSession::describeOpenFailure (const juce::String& devicePath)
{
    const auto path = devicePath.startsWithChar ('/') ? devicePath : "/dev/" + devicePath;

    // Repeat what opening does, step by step, to learn which step the system refuses.
    const int fd = ::open (path.toRawUTF8(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
    {
        const auto reason = errno;
        if (reason == ENOENT || reason == ENXIO || reason == ENODEV)
            return juce::String (std::strerror (reason)) + " (the device is gone: unplugged or switched off?)";
        if (reason == EACCES || reason == EPERM)
            return juce::String (std::strerror (reason)) + " (no permission: is the udev rule installed?)";
        if (reason == EBUSY)
            return juce::String (std::strerror (reason)) + " (in use by another program)";
        return std::strerror (reason);
    }

    juce::String reason;
    if (::flock (fd, LOCK_EX | LOCK_NB) != 0)
        reason = "in use by another program";
    else
        reason = "the port refused to be set up as a serial line";
    ::close (fd);
    return reason;
}
