#include "ScriptedDevice.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

ScriptedDevice::ScriptedDevice()
{
    master = ::posix_openpt (O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return;

    if (::grantpt (master) != 0 || ::unlockpt (master) != 0 || ::ptsname (master) == nullptr)
    {
        ::close (master);
        master = -1;
        return;
    }

    path = ::ptsname (master);
    ::fcntl (master, F_SETFL, ::fcntl (master, F_GETFL) | O_NONBLOCK);
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

        pollfd p { master, POLLIN, 0 };
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
            // The client has not opened its end yet, or has closed it.
            juce::Thread::sleep (5);
        }
    }
    return true;
}

bool ScriptedDevice::receive (Request& request, int timeoutMs)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    juce::uint8 header[6];
    if (! readExactly (header, sizeof (header), deadline))
        return false;

    request.id = (juce::uint16) (header[0] | (header[1] << 8));
    const auto bodySize = (size_t) juce::ByteOrder::littleEndianInt (header + 2);
    if (bodySize < 4 || bodySize > 8185)
        return false;

    juce::uint8 serial[4];
    if (! readExactly (serial, sizeof (serial), deadline))
        return false;
    request.serial = (juce::int32) juce::ByteOrder::littleEndianInt (serial);

    request.body.setSize (bodySize - 4);
    return bodySize == 4 || readExactly (request.body.getData(), bodySize - 4, deadline);
}

void ScriptedDevice::send (const juce::MemoryBlock& bytes)
{
    auto* data = static_cast<const char*> (bytes.getData());
    auto left = bytes.getSize();
    while (left > 0)
    {
        const auto n = ::write (master, data, left);
        if (n > 0)
        {
            data += n;
            left -= (size_t) n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        pollfd p { master, POLLOUT, 0 };
        ::poll (&p, 1, 100);
    }
}

juce::MemoryBlock ScriptedDevice::message (juce::uint16 id, const juce::MemoryBlock& body)
{
    juce::MemoryOutputStream out;
    out.writeShort ((short) id);
    out.writeInt ((int) body.getSize());
    out.write (body.getData(), body.getSize());
    return out.getMemoryBlock();
}

juce::MemoryBlock ScriptedDevice::responseBody (juce::int32 serial, const juce::MemoryBlock& fields)
{
    juce::MemoryOutputStream out;
    out.writeInt (serial);
    out.write (fields.getData(), fields.getSize());
    return out.getMemoryBlock();
}

juce::MemoryBlock ScriptedDevice::string (const juce::String& text)
{
    juce::MemoryOutputStream out;
    out.writeInt ((int) text.getNumBytesAsUTF8());
    out.write (text.toRawUTF8(), text.getNumBytesAsUTF8());
    return out.getMemoryBlock();
}

juce::MemoryBlock ScriptedDevice::join (std::initializer_list<juce::MemoryBlock> parts)
{
    juce::MemoryBlock all;
    for (auto& p : parts)
        all.append (p.getData(), p.getSize());
    return all;
}
