#pragma once

#include <juce_core/juce_core.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

/** Polls the condition every few milliseconds until it holds or the time is up. */
template <typename Condition>
bool waitUntil (Condition condition, int timeoutMs = 10000)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() >= deadline)
            return false;
        juce::Thread::sleep (5);
    }
    return true;
}

/** A real pseudo-terminal: the code under test opens the slave by its path, the test
    plays the device on the master. */
class PseudoTerminal final
{
public:
    PseudoTerminal()
    {
        master = posix_openpt (O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] {};
        if (master >= 0 && grantpt (master) == 0 && unlockpt (master) == 0
            && ptsname_r (master, name, sizeof (name)) == 0)
        {
            slave = name;
            fcntl (master, F_SETFL, fcntl (master, F_GETFL) | O_NONBLOCK);
        }
    }

    ~PseudoTerminal()
    {
        closeMaster();
    }

    bool isValid() const
    {
        return master >= 0 && slave.isNotEmpty();
    }

    const juce::String& slavePath() const
    {
        return slave;
    }

    int masterDescriptor() const
    {
        return master;
    }

    /** The device goes away: the slave side sees a hang-up. */
    void closeMaster()
    {
        if (master >= 0)
            ::close (master);
        master = -1;
    }

    /** The slave's line settings, as the master sees them. */
    termios slaveAttributes() const
    {
        termios attributes {};
        tcgetattr (master, &attributes);
        return attributes;
    }

    bool send (const void* data, size_t numBytes, int timeoutMs = 10000)
    {
        auto* bytes = static_cast<const char*> (data);
        const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
        while (numBytes > 0 && juce::Time::getMillisecondCounter() < deadline)
        {
            const auto n = ::write (master, bytes, numBytes);
            if (n > 0)
            {
                bytes += n;
                numBytes -= (size_t) n;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            pollfd p { master, POLLOUT, 0 };
            poll (&p, 1, 50);
        }
        return numBytes == 0;
    }

    bool send (const juce::String& text)
    {
        return send (text.toRawUTF8(), text.getNumBytesAsUTF8());
    }

    /** What the slave side sent, until numBytes have come, the time is up or the slave closed. */
    juce::MemoryBlock receive (size_t numBytes, int timeoutMs = 10000)
    {
        juce::MemoryBlock received;
        const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
        char chunk[4096];
        while (received.getSize() < numBytes && juce::Time::getMillisecondCounter() < deadline)
        {
            const auto n = ::read (master, chunk, juce::jmin (sizeof (chunk), numBytes - received.getSize()));
            if (n > 0)
            {
                received.append (chunk, (size_t) n);
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR))
                break;
            pollfd p { master, POLLIN, 0 };
            poll (&p, 1, 50);
        }
        return received;
    }

private:
    int master = -1;
    juce::String slave;
};
