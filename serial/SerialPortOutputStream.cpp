#include "serial/SerialPortOutputStream.h"

#include "serial/SerialPort.h"
#include "serial/SerialPortHandle.h"

#include <cstring>

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
    if (!sendFromCaller())
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
    makeRoomFor (numBytes);
    std::memcpy (buffer + sendOffset + numBytesPending, data, numBytes);
    numBytesPending += numBytes;
    return true;
}

void SerialPortOutputStream::run()
{
    juce::HeapBlock<char> chunk (writeChunkSize);

    while (!threadShouldExit() && handle->getOpening() == opening && opening != 0)
    {
        const auto n = takePending (chunk, writeChunkSize);
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

        removeSent ((size_t) written); // a short write leaves the rest at the front
        if (written == 0 && port->waitUntilWritable (waitSliceMs) == SerialPortBackend::WaitResult::gone)
            break;
    }

    // From here on the caller's flush leaves the bytes queued, as the writer would.
    const juce::ScopedLock sl (lock);
    writerSending = false;
    writerEnded = true;
}

size_t SerialPortOutputStream::takePending (char* destination, size_t maxBytes)
{
    const juce::ScopedLock sl (lock);
    const auto n = juce::jmin (maxBytes, numBytesPending);
    if (n > 0)
        std::memcpy (destination, buffer + sendOffset, n);
    writerSending = n > 0;
    return n;
}

void SerialPortOutputStream::removeSent (size_t numBytes)
{
    const juce::ScopedLock sl (lock);
    writerSending = false;
    sendOffset += numBytes;
    numBytesPending -= numBytes;
    if (numBytesPending == 0)
        sendOffset = 0;
}

void SerialPortOutputStream::makeRoomFor (size_t numBytes)
{
    // Called with the lock held. The writer sends from its own copy, so moving the
    // bytes here never pulls them from under a write in progress.
    if (sendOffset + numBytesPending + numBytes <= capacity)
        return;

    if (numBytesPending + numBytes <= capacity)
    {
        std::memmove (buffer, buffer + sendOffset, numBytesPending);
        sendOffset = 0;
        return;
    }

    const auto newCapacity = juce::jmax (initialCapacity, 2 * capacity, numBytesPending + numBytes);
    juce::HeapBlock<char> bigger (newCapacity);
    if (numBytesPending > 0)
        std::memcpy (bigger, buffer + sendOffset, numBytesPending);
    buffer.swapWith (bigger);
    capacity = newCapacity;
    sendOffset = 0;
}

bool SerialPortOutputStream::sendFromCaller()
{
    // Under the lock, and only while the writer holds no bytes of its own: nothing can
    // overtake or repeat what goes out here, and close() waits for the Use as it waits
    // for the writer's.
    const juce::ScopedLock sl (lock);
    if (numBytesPending == 0)
        return true;
    if (writerSending || writerEnded)
        return false;

    const SerialPortHandle::Use port (*handle, opening);
    if (!port)
        return false;

    const auto n = juce::jmin ((size_t) writeChunkSize, numBytesPending);
    const int written = port->write (buffer + sendOffset, (int) n);
    if (written <= 0)
        return false;

    sendOffset += (size_t) written;
    numBytesPending -= (size_t) written;
    if (numBytesPending == 0)
        sendOffset = 0;
    return numBytesPending == 0;
}
