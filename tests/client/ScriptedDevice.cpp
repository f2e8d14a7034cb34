#include "ScriptedDevice.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

ScriptedDevice::ScriptedDevice()
{
    master = ::posix_openpt (O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master >= 0 && (::grantpt (master) != 0 || ::unlockpt (master) != 0 || ::ptsname (master) == nullptr))
    {
        ::close (master);
        master = -1;
    }
    if (master >= 0)
        path = ::ptsname (master);
}

ScriptedDevice::~ScriptedDevice()
{
    if (master >= 0)
        ::close (master);
}

bool ScriptedDevice::readExactly (void* destination, size_t numBytes, juce::uint32 deadline)
{
    auto* bytes = static_cast<char*> (destination);
    while (numBytes > 0)
    {
        const auto now = juce::Time::getMillisecondCounter();
        if (now >= deadline)
            return false;
        pollfd p{master, POLLIN, 0};
        if (::poll (&p, 1, (int) (deadline - now)) <= 0)
            continue;
        const auto n = ::read (master, bytes, numBytes);
        if (n > 0)
        {
            bytes += n;
            numBytes -= (size_t) n;
        }
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
        {
            juce::Thread::sleep (5); // the client's end is not open (yet, or any more)
        }
    }
    return true;
}

bool ScriptedDevice::receive (Request& request, int timeoutMs)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
    juce::uint8 header[10];
    if (!readExactly (header, sizeof (header), deadline))
        return false;

    request.id = juce::ByteOrder::littleEndianShort (header);
    request.serial = (juce::int32) juce::ByteOrder::littleEndianInt (header + 6);
    const auto bodySize = juce::ByteOrder::littleEndianInt (header + 2);
    if (bodySize < 4 || bodySize > 8185)
        return false;
    juce::HeapBlock<char> rest (bodySize);
    return readExactly (rest, bodySize - 4, deadline);
}

void ScriptedDevice::send (const juce::MemoryBlock& bytes)
{
    auto* data = static_cast<const char*> (bytes.getData());
    for (auto left = bytes.getSize(); left > 0;)
    {
        const auto n = ::write (master, data, left);
        if (n > 0)
        {
            data += n;
            left -= (size_t) n;
        }
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
        {
            return;
        }
        else
        {
            pollfd p{master, POLLOUT, 0};
            ::poll (&p, 1, 100);
        }
    }
}

juce::MemoryBlock ScriptedDevice::message (juce::uint16 id, const juce::MemoryBlock& body)
{
    juce::MemoryOutputStream out;
    out.writeShort ((short) id);
    out.writeInt ((int) body.getSize());
    out << body;
    return out.getMemoryBlock();
}

juce::MemoryBlock ScriptedDevice::response (juce::uint16 id, juce::int32 serial, const juce::MemoryBlock& fields)
{
    juce::MemoryOutputStream body;
    body.writeInt (serial);
    body << fields;
    return message (id, body.getMemoryBlock());
}

juce::MemoryBlock ScriptedDevice::text (const juce::String& s)
{
    juce::MemoryOutputStream out;
    out.writeInt ((int) s.getNumBytesAsUTF8());
    out.write (s.toRawUTF8(), s.getNumBytesAsUTF8());
    return out.getMemoryBlock();
}
