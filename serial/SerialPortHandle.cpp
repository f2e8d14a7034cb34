#include "serial/SerialPortHandle.h"

SerialPortHandle::~SerialPortHandle()
{
    close();
}

bool SerialPortHandle::open (std::unique_ptr<SerialPortBackend> openedPort)
{
    if (openedPort == nullptr)
        return false;

    const std::lock_guard<std::mutex> sl (mutex);
    if (backend != nullptr)
        return false;

    devicePath = openedPort->getDevicePath();
    backend = std::move (openedPort);
    currentOpening = ++openingsSoFar;
    return true;
}

bool SerialPortHandle::configure (const SerialPortSettings& settings)
{
    const Use port (*this, getOpening());
    return port && port->configure (settings);
}

bool SerialPortHandle::close()
{
    std::unique_ptr<SerialPortBackend> closing;
    {
        std::unique_lock<std::mutex> sl (mutex);
        if (currentOpening == 0)
            return false;

        currentOpening = 0; // no new Use from here on
        backend->wake();
        usesEnded.wait (sl, [this] { return uses == 0; });
        closing = std::move (backend);
    }
    return closing->close();
}

void SerialPortHandle::nudge()
{
    const std::lock_guard<std::mutex> sl (mutex);
    if (backend != nullptr && currentOpening != 0)
        backend->nudge();
}

bool SerialPortHandle::isOpen() const
{
    return getOpening() != 0;
}

juce::String SerialPortHandle::getDevicePath() const
{
    const std::lock_guard<std::mutex> sl (mutex);
    return devicePath;
}

std::uint64_t SerialPortHandle::getOpening() const
{
    const std::lock_guard<std::mutex> sl (mutex);
    return currentOpening;
}

SerialPortHandle::Use::Use (SerialPortHandle& handle, std::uint64_t opening) : owner (handle)
{
    const std::lock_guard<std::mutex> sl (owner.mutex);
    if (opening != 0 && opening == owner.currentOpening)
    {
        port = owner.backend.get();
        ++owner.uses;
    }
}

SerialPortHandle::Use::~Use()
{
    if (port == nullptr)
        return;

    const std::lock_guard<std::mutex> sl (owner.mutex);
    if (--owner.uses == 0)
        owner.usesEnded.notify_all();
}
