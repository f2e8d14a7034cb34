#include "serial/SerialPortOutputStream.h"

#include "serial/SerialPort.h"
#include "serial/SerialPortHandle.h"

SerialPortOutputStream::SerialPortOutputStream (SerialPort& port)
    : juce::Thread ("SerialOutThread"), handle (port.getHandle()), opening (handle->getOpening())
{
    startThread();
}

SerialPortOutputStream::~SerialPortOutputStream()
{
    signalThreadShouldExit();
    wakeEvent.signal();
    waitForThreadToExit (-1);
}

void SerialPortOutputStream::flush()
{
    wakeEvent.signal();
}

bool SerialPortOutputStream::setPosition (juce::int64)
{
    return false;
}

juce::int64 SerialPortOutputStream::getPosition()
{
    return -1;
}

bool SerialPortOutputStream::write (const void* data, size_t numBytes)
{
    if (numBytes == 0)
        return true;

    const juce::ScopedLock sl (lock);
    if (buffer.getSize() < numBytesPending + numBytes)
        buffer.setSize (numBytesPending + numBytes);
    buffer.copyFrom (data, (int) numBytesPending, numBytes);
    numBytesPending += numBytes;
    return true;
}

void SerialPortOutputStream::run()
{
    juce::HeapBlock<char> chunk (writeChunkSize);

    while (!threadShouldExit() && handle->getOpening() == opening && opening != 0)
    {
        const auto n = copyPending (chunk, writeChunkSize);
        if (n == 0)
        {
            wakeEvent.wait (waitSliceMs);
            continue;
        }

        const SerialPortHandle::Use port (*handle, opening);
        if (!port)
            break;

        const int written = port->write (chunk, (int) n);
        if (written < 0)
            break;

        if (written > 0)
            removeSent ((size_t) written); // a short write leaves the rest at the front
        else if (port->waitUntilWritable (waitSliceMs) == SerialPortBackend::WaitResult::gone)
            break;
    }
}

size_t SerialPortOutputStream::copyPending (char* destination, size_t maxBytes)
{
    const juce::ScopedLock sl (lock);
    const auto n = juce::jmin (maxBytes, numBytesPending);
    if (n > 0)
        buffer.copyTo (destination, 0, n);
    return n;
}

void SerialPortOutputStream::removeSent (size_t numBytes)
{
    const juce::ScopedLock sl (lock);
    buffer.removeSection (0, numBytes);
    numBytesPending -= numBytes;
}
