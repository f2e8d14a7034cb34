#pragma once

#include <juce_core/juce_core.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

/** Checks the condition every few milliseconds until it holds or the time is up. */
template <typename Condition> bool waitUntil (Condition condition, int timeoutMs = 10000)
{
    for (const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs; !condition();
         juce::Thread::sleep (5))
        if (juce::Time::getMillisecondCounter() >= deadline)
            return false;
    return true;
}

/** A real pseudo-terminal: the code under test opens the slave, the test plays the device
    on the (non-blocking) master. */
struct PseudoTerminal final
{
    PseudoTerminal()
    {
        char name[128]{};
        master = posix_openpt (O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (master >= 0 && grantpt (master) == 0 && unlockpt (master) == 0 && ptsname_r (master, name, 128) == 0)
            slave = name;
    }

    ~PseudoTerminal()
    {
        closeMaster();
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
        termios attributes{};
        tcgetattr (master, &attributes);
        return attributes;
    }

    bool send (const void* data, size_t numBytes)
    {
        pollfd p{master, POLLOUT, 0};
        for (auto* bytes = static_cast<const char*> (data); numBytes > 0;)
        {
            const auto n = poll (&p, 1, 10000) == 1 ? ::write (master, bytes, numBytes) : -1;
            if (n < 0 && errno != EAGAIN)
                return false;
            bytes += juce::jmax (n, (ssize_t) 0);
            numBytes -= (size_t) juce::jmax (n, (ssize_t) 0);
        }
        return true;
    }

    bool send (const char* text)
    {
        return send (text, strlen (text));
    }

    /** What the slave sent, until numBytes have come, the time is up or the slave closed. */
    juce::MemoryBlock receive (size_t numBytes, int timeoutMs = 10000)
    {
        juce::MemoryBlock received;
        char chunk[4096];
        pollfd p{master, POLLIN, 0};
        while (received.getSize() < numBytes && poll (&p, 1, timeoutMs) == 1)
        {
            const auto n = ::read (master, chunk, juce::jmin (sizeof (chunk), numBytes - received.getSize()));
            if (n <= 0)
                break;
            received.append (chunk, (size_t) n);
        }
        return received;
    }

    int master = -1;
    juce::String slave;
};
