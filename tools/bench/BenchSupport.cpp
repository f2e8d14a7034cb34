#include "BenchSupport.h"

#include "protocol/TidewireClientRequest.h"

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
        if (w < 0 && errno == EAGAIN)
        {
            pollfd p{fd, POLLOUT, 0};
            ::poll (&p, 1, 100);
            continue;
        }
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
BareClient::BareClient (const juce::String& portPath) : answer ((size_t) blockMessage)
{
    fd = ::open (portPath.toRawUTF8(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (fd >= 0 && ::tcgetattr (fd, &t) == 0)
    {
        ::cfmakeraw (&t);
        ::tcsetattr (fd, TCSANOW, &t);
    }
}

BareClient::~BareClient()
{
    if (fd >= 0)
        ::close (fd);
}

bool BareClient::isOpen() const
{
    return fd >= 0;
}

double BareClient::exchange (TidewireClientRequest& request)
{
    out.reset();
    request.write (out);

    const Stopwatch watch;
    if (!writeAll (fd, static_cast<const char*> (out.getData()), out.getDataSize()) || !readAll (fd, answer.data(), 6))
        return -1;
    const auto bodySize = juce::ByteOrder::littleEndianInt (answer.data() + 2);
    if (bodySize > answer.size() - 6 || !readAll (fd, answer.data() + 6, bodySize))
        return -1;
    return watch.seconds();
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
    // With no slave left open, the device's blocking read fails at once (every client
    // has closed its port by now).
    if (terminal->pty.slave >= 0)
        ::close (terminal->pty.slave);
    terminal->pty.slave = -1;
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

void PlainDevice::serve()
{
    // The reply is put together in one buffer made once, as the ceiling's device sends
    // from one: the bare peer should cost no more than that one.
    std::vector<char> body (8185), replyBuffer ((size_t) blockMessage, 'd');
    juce::int64 position = 0;

    for (;;)
    {
        unsigned char header[6];
        // Blocking reads, as the ceiling's device makes.
        if (!readAll (terminal->pty.master, (char*) header, sizeof (header)))
            return;
        const auto id = (juce::uint16) (header[0] | (header[1] << 8));
        const auto size = (size_t) juce::ByteOrder::littleEndianInt (header + 2);
        if (size < 4 || size > body.size() || !readAll (terminal->pty.master, body.data(), size))
            return;
        const auto serial = (int) juce::ByteOrder::littleEndianInt (body.data());

        size_t length = 0;
        const auto put = [&replyBuffer, &length] (const void* bytes, size_t n)
        {
            std::memcpy (replyBuffer.data() + length, bytes, n);
            length += n;
        };
        const auto putShort = [&put] (juce::uint16 v) { put (&v, sizeof (v)); };
        const auto putInt = [&put] (juce::int32 v) { put (&v, sizeof (v)); };
        const auto putInt64 = [&put] (juce::int64 v) { put (&v, sizeof (v)); };
        const auto begin = [&putShort, &putInt, serial] (juce::uint16 responseId)
        {
            putShort (responseId);
            putInt (0); // the body size, filled in below
            putInt (serial);
        };

        switch (id)
        {
        case 0x0000: // WhoAmI
            begin (0x0001);
            for (int i = 0; i < 4; ++i)
                putShort (1);
            putInt (0);
            putInt (0);
            break;

        case 0x000a: // open
            position = 0;
            begin (0x000b);
            putInt64 (1);
            putInt64 (fileSize);
            break;

        case 0x000c: // read: the data bytes are the buffer's 'd's, never overwritten
        {
            const auto count = (juce::int64) juce::ByteOrder::littleEndianInt (body.data() + 12);
            const auto n = (int) std::min ({count, (juce::int64) blockData, fileSize - position});
            position += n;
            begin (0x000d);
            putInt64 (0);
            putInt (n);
            length += (size_t) n;
            break;
        }

        case 0x0011: // folder contents: always empty (a send lists its folder first)
            begin (0x0012);
            putInt (0);
            putInt (0);
            break;

        default: // write, close, delete, move and the rest: done
            begin (0x0002);
            break;
        }

        const auto bodySize = (juce::int32) length - 6;
        std::memcpy (replyBuffer.data() + 2, &bodySize, sizeof (bodySize));
        if (!writeAll (terminal->pty.master, replyBuffer.data(), length))
            return;
    }
}

bool BareClient::roundTrip (const juce::MemoryBlock& request, juce::uint16 answerId)
{
    if (!writeAll (fd, static_cast<const char*> (request.getData()), request.getSize()))
        return false;
    if (pollFirst)
    {
        pollfd port { fd, POLLIN, 0 };
        if (::poll (&port, 1, 1000) != 1)
            return false;
    }
    if (!readAll (fd, answer.data(), 6))
        return false;
    const auto bodySize = juce::ByteOrder::littleEndianInt (answer.data() + 2);
    return bodySize <= answer.size() - 6 && readAll (fd, answer.data() + 6, bodySize) &&
           juce::ByteOrder::littleEndianShort (answer.data()) == answerId;
}

int BareClient::transfer (const juce::String& remotePath, bool upward, juce::int64 size)
{
    const auto bytesOf = [] (TidewireClientRequest&& request)
    {
        juce::MemoryOutputStream stream;
        request.write (stream);
        return stream.getMemoryBlock();
    };

    // Open answer: header, serial, handle, size.
    if (!roundTrip (bytesOf (FileOpenRequest (remotePath, !upward)), 0x000b))
        return -1;
    const auto handle = (juce::int64) juce::ByteOrder::littleEndianInt64 (answer.data() + 10);
    if (!upward)
        size = (juce::int64) juce::ByteOrder::littleEndianInt64 (answer.data() + 18);

    const auto blockSize = TidewireClientRequest::maxFileBlockSize;
    juce::MemoryBlock block;
    if (upward)
    {
        const std::vector<char> pattern ((size_t) blockSize, 'u');
        juce::MemoryInputStream source (pattern.data(), pattern.size(), false);
        block = bytesOf (FileWriteRequest (handle, source));
    }
    else
    {
        block = bytesOf (FileReadRequest (handle, (juce::uint32) blockSize));
    }

    // The last block is as large as the others: the simulator then sends or takes a
    // little more than the client would, never less.
    for (juce::int64 done = 0; done < size; done += blockSize)
        if (!roundTrip (block, upward ? 0x0002 : 0x000d))
            return -1;

    return roundTrip (bytesOf (FileCloseRequest (handle)), 0x0002) ? 0 : -1;
}
