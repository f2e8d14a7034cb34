#include "serial/SerialPort.h"

#include "serial/SerialPortHandle.h"

SerialPort::SerialPort() : handle (std::make_shared<SerialPortHandle>()) {}

SerialPort::SerialPort (const juce::String& portName, const SerialPortSettings& settings) : SerialPort()
{
    open (portName);
    configure (settings);
}

SerialPort::~SerialPort()
{
    close();
}

bool SerialPort::open (const juce::String& portName)
{
    // Opening again must not leave the previous port held and forgotten.
    close();
    devicePath = SerialPortBackend::devicePathFor (portName);
    return handle->open (SerialPortBackend::open (portName, &openError));
}

bool SerialPort::open (std::unique_ptr<SerialPortBackend> openedPort)
{
    close();
    devicePath = openedPort != nullptr ? openedPort->getDevicePath() : juce::String();
    openError = 0;
    return handle->open (std::move (openedPort));
}

bool SerialPort::configure (const SerialPortSettings& settings)
{
    return handle->configure (settings);
}

bool SerialPort::close()
{
    return handle->close();
}

bool SerialPort::isOpen() const
{
    return handle->isOpen();
}

juce::String SerialPort::getDevicePath() const
{
    return devicePath;
}

int SerialPort::getOpenError() const
{
    return openError;
}

std::shared_ptr<SerialPortHandle> SerialPort::getHandle() const
{
    return handle;
}
