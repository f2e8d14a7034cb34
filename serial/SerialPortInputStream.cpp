#include "serial/SerialPortInputStream.h"

#include "serial/SerialPort.h"
#include "serial/SerialPortHandle.h"

#include <cstring>
#include <utility>

SerialPortInputStream::SerialPortInputStream (SerialPort& port)
    : juce::Thread ("SerialInThread"), handle (port.getHandle()), opening (handle->getOpening())
{
    startThread();
}

SerialPortInputStream::~SerialPortInputStream()
{
    // The nudge ends the thread's wait at once (without it, within one wait slice); the
    // data callback may take longer, and the buffer and lock must outlive it.
    signalThreadShouldExit();
    handle->nudge();
    waitForThreadToExit (-1);
}

juce::int64 SerialPortInputStream::getTotalLength()
{
    const juce::ScopedLock sl (lock);
    return (juce::int64) numBytesAvailable;
}

bool SerialPortInputStream::isExhausted()
{
    const juce::ScopedLock sl (lock);
    return numBytesAvailable == 0;
}

int SerialPortInputStream::read (void* destination, int maxBytes)
{
    if (maxBytes <= 0)
        return 0;

    const juce::ScopedLock sl (lock);
    const auto n = juce::jmin ((size_t) maxBytes, numBytesAvailable);
    if (n == 0)
        return 0;

    std::memcpy (destination, buffer + readOffset, n);
    readOffset += n;
    numBytesAvailable -= n;
    if (numBytesAvailable == 0)
        readOffset = 0;
    return (int) n;
}

juce::String SerialPortInputStream::readNextLine()
{
    // Each byte is one character: the device writes 8-bit text.
    juce::String line;
    line.preallocateBytes (32);
    char c = 0;
    while (read (&c, 1) == 1 && c != '\n')
        line += (juce::juce_wchar) (unsigned char) c;

    return line.trim();
}

juce::int64 SerialPortInputStream::getPosition()
{
    return -1;
}

bool SerialPortInputStream::setPosition (juce::int64)
{
    return false;
}

void SerialPortInputStream::setDataCallback (std::function<void()> callback)
{
    auto replacement =
        callback != nullptr ? std::make_shared<const std::function<void()>> (std::move (callback)) : DataCallback();
    DataCallback previous;
    {
        // The reader holds the lock across a call: taking it waits for that call to end.
        const juce::ScopedLock sl (lock);
        previous = std::exchange (dataCallback, std::move (replacement));
    }
    // Released here, outside the lock: what the old callback captured may have a
    // destructor of its own to run.
    previous.reset();
}

void SerialPortInputStream::run()
{
    juce::HeapBlock<char> chunk (readChunkSize);
    bool gone = false;

    while (!threadShouldExit())
    {
        {
            const SerialPortHandle::Use port (*handle, opening);
            if (!port)
                break; // closed by its owner: nothing to report

            const auto waited = port->waitUntilReadable (waitSliceMs);
            if (waited == SerialPortBackend::WaitResult::gone)
            {
                gone = true;
                break;
            }
            if (waited != SerialPortBackend::WaitResult::ready)
                continue;
        }

        // A pseudo-terminal hands over at most 4 KB a read: after a large read more is
        // likely on its way, and a read waits for it where a poll would wake later.
        auto received = readChunk (chunk);
        while (received > 0)
        {
            deliver (chunk, received);
            if (received < readOnAfter || threadShouldExit())
                break;
            received = readChunk (chunk);
        }

        if (received == gonePort)
            gone = true;
        if (received == gonePort || received == closedPort)
            break;
    }

    // Outside the Use as well: the callback may close the port.
    if (gone)
        reportDeviceLost();
}

int SerialPortInputStream::readChunk (char* chunk)
{
    // The data callback is called outside the Use (by the caller): it may take its time,
    // or even close the port.
    const SerialPortHandle::Use port (*handle, opening);
    if (!port)
        return closedPort;
    const auto received = port->read (chunk, readChunkSize);
    return received < 0 ? gonePort : received;
}

bool SerialPortInputStream::hasLostDevice() const
{
    return deviceLost.load();
}

void SerialPortInputStream::reportDeviceLost()
{
    const juce::ScopedLock sl (lock);
    deviceLost = true;
    callDataCallback();
}

void SerialPortInputStream::callDataCallback()
{
    // Called with the lock held. The copy keeps the function alive through a call that
    // replaces or clears it (the lock is re-entrant, so the callback itself may).
    if (const auto callback = dataCallback)
        (*callback)();
}

void SerialPortInputStream::deliver (const char* data, int numBytes)
{
    const juce::ScopedLock sl (lock);

    makeRoomFor ((size_t) numBytes);
    std::memcpy (buffer + readOffset + numBytesAvailable, data, (size_t) numBytes);
    numBytesAvailable += (size_t) numBytes;

    callDataCallback();
}

void SerialPortInputStream::makeRoomFor (size_t numBytes)
{
    // Called with the lock held. The buffer is kept between arrivals: a reader that keeps
    // up empties it each time, and the next bytes land at its start again.
    if (readOffset + numBytesAvailable + numBytes <= capacity)
        return;

    if (numBytesAvailable + numBytes <= capacity)
    {
        std::memmove (buffer, buffer + readOffset, numBytesAvailable);
        readOffset = 0;
        return;
    }

    const auto newCapacity = juce::jmax ((size_t) initialCapacity, 2 * capacity, numBytesAvailable + numBytes);
    juce::HeapBlock<char> bigger (newCapacity);
    if (numBytesAvailable > 0)
        std::memcpy (bigger, buffer + readOffset, numBytesAvailable);
    buffer.swapWith (bigger);
    capacity = newCapacity;
    readOffset = 0;
}
