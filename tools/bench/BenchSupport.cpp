#include "BenchSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

Spread summarise (std::vector<double> samples)
{
    Spread spread;
    if (samples.empty())
        return spread;
    std::sort (samples.begin(), samples.end());
    spread.median = samples[samples.size() / 2];
    spread.p99 = samples[std::min (samples.size() - 1, (samples.size() * 99) / 100)];
    spread.lowest = samples.front();
    spread.highest = samples.back();
    return spread;
}

ScratchFolder::ScratchFolder()
{
    // In memory where there is such a folder: the figures are about the link, not the disk.
    const juce::File shm ("/dev/shm");
    const auto parent =
        shm.isDirectory() && shm.hasWriteAccess() ? shm : juce::File::getSpecialLocation (juce::File::tempDirectory);
    folder = parent.getNonexistentChildFile ("nubo-bench", "", false);
    folder.createDirectory();
}

ScratchFolder::~ScratchFolder()
{
    folder.deleteRecursively (false);
}

void writeRandomFile (const juce::File& file, juce::int64 size, int seed)
{
    file.getParentDirectory().createDirectory();
    file.deleteFile();
    juce::FileOutputStream out (file, 1 << 20);
    juce::Random random (seed);
    std::vector<juce::int64> chunk (8192);
    for (juce::int64 written = 0; written < size;)
    {
        for (auto& word : chunk)
            word = random.nextInt64();
        const auto n = (size_t) std::min ((juce::int64) (chunk.size() * sizeof (juce::int64)), size - written);
        out.write (chunk.data(), n);
        written += (juce::int64) n;
    }
}

//==============================================================================
juce::File simulatorExecutable()
{
    return juce::File::getSpecialLocation (juce::File::currentExecutableFile).getSiblingFile ("nubo-devsim");
}

//==============================================================================
namespace
{
constexpr int blockData = 8169, blockMessage = 8191, reply = 10;

/** A fresh pseudo-terminal: the master for the "device" thread, the slave in raw mode
    for the "host" thread, both blocking. */
struct PseudoTerminal
{
    PseudoTerminal()
    {
        master = ::posix_openpt (O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt (master) != 0 || ::unlockpt (master) != 0)
            return;
        slave = ::open (::ptsname (master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (slave >= 0 && ::tcgetattr (slave, &t) == 0)
        {
            ::cfmakeraw (&t);
            ::tcsetattr (slave, TCSANOW, &t);
        }
    }

    ~PseudoTerminal()
    {
        if (slave >= 0)
            ::close (slave);
        if (master >= 0)
            ::close (master);
    }

    bool ok() const
    {
        return master >= 0 && slave >= 0;
    }

    int master = -1, slave = -1;
};

bool writeAll (int fd, const char* data, size_t n)
{
    while (n > 0)
    {
        const auto w = ::write (fd, data, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        data += w;
        n -= (size_t) w;
    }
    return true;
}

bool readAll (int fd, char* data, size_t n)
{
    while (n > 0)
    {
        const auto r = ::read (fd, data, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        data += r;
        n -= (size_t) r;
    }
    return true;
}
} // namespace

//==============================================================================
struct CeilingLink::Terminal
{
    PseudoTerminal pty;
};

CeilingLink::CeilingLink()
    : terminal (std::make_unique<Terminal>()), request ((size_t) blockMessage, 'q'), answer ((size_t) blockMessage, 'r')
{
    if (isOpen())
        thread = std::thread ([this] { serve(); });
}

CeilingLink::~CeilingLink()
{
    if (thread.joinable())
    {
        // A request that asks for no answer and says goodbye.
        std::vector<char> bye (8, 0);
        writeAll (terminal->pty.slave, bye.data(), bye.size());
        thread.join();
    }
}

bool CeilingLink::isOpen() const
{
    return terminal->pty.ok();
}

void CeilingLink::serve()
{
    // Each request starts with its own size and the size of the answer it wants.
    const auto fd = terminal->pty.master;
    std::vector<char> in ((size_t) blockMessage), out ((size_t) blockMessage, 'a');
    for (;;)
    {
        juce::uint32 sizes[2];
        if (!readAll (fd, (char*) sizes, sizeof (sizes)) || sizes[0] < sizeof (sizes) || sizes[0] > in.size() ||
            sizes[1] > out.size())
            return;
        if (!readAll (fd, in.data(), sizes[0] - sizeof (sizes)) || !writeAll (fd, out.data(), sizes[1]))
            return;
    }
}

double CeilingLink::exchange (int count, size_t requestSize, size_t answerSize)
{
    const auto fd = terminal->pty.slave;
    const juce::uint32 sizes[2]{(juce::uint32) requestSize, (juce::uint32) answerSize};
    std::memcpy (request.data(), sizes, sizeof (sizes));

    const Stopwatch watch;
    for (int i = 0; i < count; ++i)
        if (!writeAll (fd, request.data(), requestSize) || !readAll (fd, answer.data(), answerSize))
            return -1;
    return watch.seconds();
}

double CeilingLink::bulk (int blocks, bool upward)
{
    return upward ? exchange (blocks, (size_t) blockMessage, (size_t) reply)
                  : exchange (blocks, (size_t) reply, (size_t) blockMessage);
}

double CeilingLink::smallTrip()
{
    return exchange (1, (size_t) reply, (size_t) reply);
}

//==============================================================================
struct PlainDevice::Terminal
{
    PseudoTerminal pty;
};

PlainDevice::PlainDevice (juce::int64 size) : terminal (std::make_unique<Terminal>()), fileSize (size)
{
    if (isOpen())
        thread = std::thread ([this] { serve(); });
}

PlainDevice::~PlainDevice()
{
    stopping = true;
    if (thread.joinable())
        thread.join();
}

bool PlainDevice::isOpen() const
{
    return terminal->pty.ok();
}

juce::String PlainDevice::portPath() const
{
    return ::ptsname (terminal->pty.master);
}

bool PlainDevice::receive (char* data, size_t n)
{
    const auto fd = terminal->pty.master;
    while (n > 0)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll (&p, 1, 100) <= 0)
        {
            if (stopping)
                return false;
            continue;
        }
        const auto r = ::read (fd, data, n);
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (r <= 0)
            return false;
        data += r;
        n -= (size_t) r;
    }
    return true;
}

void PlainDevice::serve()
{
    std::vector<char> body (8185), data ((size_t) blockData, 'd');
    juce::int64 position = 0;

    for (;;)
    {
        unsigned char header[6];
        if (!receive ((char*) header, sizeof (header)))
            return;
        const auto id = (juce::uint16) (header[0] | (header[1] << 8));
        const auto size = (size_t) juce::ByteOrder::littleEndianInt (header + 2);
        if (size < 4 || size > body.size() || !receive (body.data(), size))
            return;
        const auto serial = (int) juce::ByteOrder::littleEndianInt (body.data());

        juce::MemoryOutputStream out (8192);
        const auto begin = [&out, serial] (juce::uint16 responseId)
        {
            out.writeShort ((short) responseId);
            out.writeInt (0); // the body size, filled in below
            out.writeInt (serial);
        };

        switch (id)
        {
        case 0x0000: // WhoAmI
            begin (0x0001);
            for (int i = 0; i < 4; ++i)
                out.writeShort (1);
            out.writeInt (0);
            out.writeInt (0);
            break;

        case 0x000a: // open
            position = 0;
            begin (0x000b);
            out.writeInt64 (1);
            out.writeInt64 (fileSize);
            break;

        case 0x000c: // read
        {
            const auto count = (juce::int64) juce::ByteOrder::littleEndianInt (body.data() + 12);
            const auto n = (int) std::min ({count, (juce::int64) blockData, fileSize - position});
            position += n;
            begin (0x000d);
            out.writeInt64 (0);
            out.writeInt (n);
            out.write (data.data(), (size_t) n);
            break;
        }

        case 0x0011: // folder contents: always empty (a send lists its folder first)
            begin (0x0012);
            out.writeInt (0);
            out.writeInt (0);
            break;

        default: // write, close, delete, move and the rest: done
            begin (0x0002);
            break;
        }

        juce::MemoryBlock reply (out.getData(), out.getDataSize());
        const auto bodySize = (int) reply.getSize() - 6;
        for (int i = 0; i < 4; ++i)
            reply[(size_t) (2 + i)] = (char) ((bodySize >> (8 * i)) & 0xff);
        if (!writeAll (terminal->pty.master, static_cast<const char*> (reply.getData()), reply.getSize()))
            return;
    }
}
