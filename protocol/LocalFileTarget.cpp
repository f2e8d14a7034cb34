#include "protocol/LocalFileTarget.h"

#include "log/GlobalLog.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace
{
constexpr int maxLinkHops = 40;       // as the kernel allows
constexpr int stalledWriteMs = 10000; // a pipe nobody empties, a device that takes nothing
constexpr size_t copyBufferSize = 65536;

juce::String errnoText (int error)
{
    return juce::String (std::strerror (error));
}

/** A write that cannot kill the process: the program does not ignore SIGPIPE, and a
    pipe whose reader has gone would raise it. The signal is blocked on this thread
    for the call and, when the write raised it, taken back. */
ssize_t writeWithoutSigpipe (int fd, const void* data, size_t numBytes)
{
    sigset_t pipeSignal, previous, pending;
    sigemptyset (&pipeSignal);
    sigaddset (&pipeSignal, SIGPIPE);
    sigpending (&pending);
    const bool wasPending = sigismember (&pending, SIGPIPE) == 1;
    pthread_sigmask (SIG_BLOCK, &pipeSignal, &previous);

    const auto written = ::write (fd, data, numBytes);
    const auto error = errno;

    if (written < 0 && error == EPIPE && !wasPending)
    {
        const timespec noWait{};
        sigtimedwait (&pipeSignal, nullptr, &noWait);
    }

    pthread_sigmask (SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

/** Follows symbolic links to what they finally name, which need not exist yet.
    False on a loop or a link that cannot be read. */
bool followLinks (juce::File& file)
{
    for (int hop = 0; hop < maxLinkHops; ++hop)
    {
        const auto path = file.getFullPathName();
        struct stat st;
        if (::lstat (path.toRawUTF8(), &st) != 0 || !S_ISLNK (st.st_mode))
            return true;

        char text[PATH_MAX];
        const auto length = ::readlink (path.toRawUTF8(), text, sizeof (text));
        if (length <= 0 || length >= (ssize_t) sizeof (text))
            return false;
        const auto linkText = juce::String::fromUTF8 (text, (int) length);

        // A relative link counts from the folder the link really lies in (its own links
        // resolved), so that a ".." in it climbs from there. Joined as text onto an
        // absolute path: a leading "~" in a link is a name, not a home folder.
        if (linkText.startsWithChar ('/'))
        {
            file = juce::File (linkText);
        }
        else
        {
            char* folder = ::realpath (file.getParentDirectory().getFullPathName().toRawUTF8(), nullptr);
            if (folder == nullptr)
                return false;
            const auto base = juce::String::fromUTF8 (folder);
            std::free (folder);
            file = juce::File ((base == "/" ? base : base + "/") + linkText);
        }
    }
    return false;
}

/** A new file under a name nobody else uses in that folder, made here (so no file or
    link of that name is ever written through): its descriptor, or -1. */
int createUniqueFile (const juce::File& folder, juce::File& created)
{
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        const auto name = ".nubo-" + juce::String::toHexString (juce::Random::getSystemRandom().nextInt()) + ".part";
        const auto candidate = juce::File (folder.getFullPathName() + "/" + name);

        const auto fd = ::open (candidate.getFullPathName().toRawUTF8(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0)
        {
            created = candidate;
            return fd;
        }

        if (errno != EEXIST)
            break;
    }
    return -1;
}
} // namespace

//==============================================================================
/** An output stream over a descriptor it owns. The bytes come in blocks of several
    kilobytes and are written as they come, except those that land in room set aside
    in the file beforehand: a write there cannot fail for want of space, so several
    blocks are gathered and written with one call. A descriptor in non-blocking mode
    (a pipe, a device) is waited on, but not for ever. */
class LocalFileTarget::FdStream final : public juce::OutputStream
{
public:
    FdStream (int fileDescriptor, bool pipe) : fd (fileDescriptor), isPipe (pipe) {}

    ~FdStream() override
    {
        close();
    }

    void flush() override
    {
        writeGathered();
    }

    bool setPosition (juce::int64) override
    {
        return false;
    }

    /** The bytes taken so far, those still gathered included. */
    juce::int64 getPosition() override
    {
        return position;
    }

    bool write (const void* data, size_t numBytes) override
    {
        if (!isPipe && position + (juce::int64) numBytes <= gatherLimit && numBytes <= gatherSize)
        {
            if (numGathered + numBytes > gatherSize && !writeGathered())
                return false;
            if (gathered == nullptr)
                gathered.malloc (gatherSize);
            std::memcpy (gathered + numGathered, data, numBytes);
            numGathered += numBytes;
            position += (juce::int64) numBytes;
            return numGathered < gatherSize - maxBlock || writeGathered();
        }

        if (!writeGathered() || !writeOut (static_cast<const char*> (data), numBytes))
            return false;
        position += (juce::int64) numBytes;
        return true;
    }

    /** Bytes below end may be gathered: the file has room for them already. */
    void setGatherLimit (juce::int64 end)
    {
        gatherLimit = end;
    }

    /** Writes out what is gathered; false when that failed (lastError says why). */
    bool writeGathered()
    {
        const auto n = std::exchange (numGathered, (size_t) 0);
        return n == 0 || writeOut (gathered, n);
    }

    /** False when the system reports a late write error (some file systems do). */
    bool close()
    {
        if (fd < 0)
            return true;
        const auto written = writeGathered();
        const auto result = ::close (fd);
        fd = -1;
        if (result != 0 && errno != EINTR)
        {
            error = errno;
            return false;
        }
        return written;
    }

    int descriptor() const
    {
        return fd;
    }

    int lastError() const
    {
        return error;
    }

private:
    bool writeOut (const char* bytes, size_t numBytes)
    {
        size_t done = 0;

        while (done < numBytes && fd >= 0)
        {
            const auto n = isPipe ? writeWithoutSigpipe (fd, bytes + done, numBytes - done)
                                  : ::write (fd, bytes + done, numBytes - done);
            if (n > 0)
            {
                done += (size_t) n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;

            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            {
                pollfd waiting{fd, POLLOUT, 0};
                if (::poll (&waiting, 1, stalledWriteMs) > 0)
                    continue;
                error = ETIMEDOUT;
                return false;
            }

            error = n < 0 ? errno : EIO;
            return false;
        }
        if (done < numBytes && error == 0)
            error = EBADF;
        return done == numBytes;
    }

    // Eight blocks a call; a block that would not fit in what is left sends the lot first.
    static constexpr size_t gatherSize = 8 * 8192, maxBlock = 8192;

    int fd;
    const bool isPipe;
    juce::int64 position = 0;
    juce::int64 gatherLimit = 0;
    juce::HeapBlock<char> gathered;
    size_t numGathered = 0;
    int error = 0;
};

//==============================================================================
LocalFileTarget::LocalFileTarget (const juce::File& file, Links linkRule) : path (file), links (linkRule) {}

LocalFileTarget::~LocalFileTarget()
{
    abandon();
}

juce::OutputStream& LocalFileTarget::stream()
{
    jassert (out != nullptr);
    return *out;
}

void LocalFileTarget::logCouldNotWrite (const juce::String& why) const
{
    globalLog ("Couldn't write file - " + path.getFullPathName() + (why.isEmpty() ? juce::String() : ": " + why));
}

void LocalFileTarget::logWriteFailure() const
{
    const auto error = out != nullptr ? out->lastError() : 0;
    logCouldNotWrite (error == ETIMEDOUT ? juce::String ("nothing was taken for a long time")
                      : error != 0       ? errnoText (error)
                                         : juce::String());
}

bool LocalFileTarget::open()
{
    target = path;
    if (target == juce::File())
    {
        globalLog ("Couldn't create output stream");
        return false;
    }

    if (links == Links::writeThrough && !followLinks (target))
    {
        logCouldNotWrite ("too many levels of symbolic links");
        return false;
    }

    struct stat st;
    const bool exists = ::lstat (target.getFullPathName().toRawUTF8(), &st) == 0;
    const auto type = exists ? (st.st_mode & S_IFMT) : 0;

    // A folder in the way would only be found after the whole transfer.
    if (type == S_IFDIR)
    {
        logCouldNotWrite();
        return false;
    }

    // In a fetched folder, whatever else has the name is replaced by the file; the user's
    // own pick is written as what it is.
    if (links == Links::writeThrough)
    {
        if (type == S_IFIFO || type == S_IFCHR)
            return openDirect (type == S_IFIFO);

        if (type == S_IFBLK || type == S_IFSOCK)
        {
            logCouldNotWrite ("not a file, pipe or character device");
            return false;
        }
    }

    if (openPartFile (type == S_IFREG ? &st : nullptr))
        return true;

    if (type == S_IFREG && openSpool())
        return true;

    globalLog ("Couldn't create output stream");
    return false;
}

bool LocalFileTarget::openDirect (bool isPipe)
{
    // Non-blocking, so that a pipe without a reader fails at once instead of waiting
    // for one for ever; writes then wait for room, but not for ever either.
    const auto fd = ::open (target.getFullPathName().toRawUTF8(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
    {
        logCouldNotWrite (isPipe && errno == ENXIO ? juce::String ("nobody is reading the pipe") : errnoText (errno));
        return false;
    }

    out = std::make_unique<FdStream> (fd, isPipe);
    kind = Kind::direct;
    return true;
}

bool LocalFileTarget::openPartFile (const struct stat* existing)
{
    const auto fd = createUniqueFile (target.getParentDirectory(), partFile);
    if (fd < 0)
        return false;

    // The new file takes the old one's permissions along with its name, but never its
    // set-user or set-group bit: the bytes are the device's now.
    if (existing != nullptr)
        ::fchmod (fd, existing->st_mode & 0777);

    out = std::make_unique<FdStream> (fd, false);
    kind = Kind::partFile;
    return true;
}

bool LocalFileTarget::openSpool()
{
    // Opened now, without truncating: a file that cannot be written is known before the
    // transfer. Non-blocking, in case it has just become a pipe.
    targetFd = ::open (target.getFullPathName().toRawUTF8(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (targetFd >= 0 && (::fstat (targetFd, &st) != 0 || !S_ISREG (st.st_mode)))
    {
        ::close (targetFd);
        targetFd = -1;
    }
    if (targetFd < 0)
        return false;

    // The spool has no name: nothing is left behind, whatever happens to the program.
    auto pattern = (juce::File::getSpecialLocation (juce::File::tempDirectory).getFullPathName() + "/nubo-fetch-XXXXXX")
                       .toStdString();
    const auto fd = ::mkostemp (pattern.data(), O_CLOEXEC);
    if (fd < 0)
    {
        ::close (targetFd);
        targetFd = -1;
        return false;
    }
    ::unlink (pattern.c_str());

    globalLog ("No temporary file can be made beside " + path.getFullPathName() +
               ": it is written in place once every byte has arrived");
    out = std::make_unique<FdStream> (fd, false);
    kind = Kind::spool;
    return true;
}

bool LocalFileTarget::copySpoolIntoTarget()
{
    const auto spoolFd = out->descriptor();
    if (::lseek (spoolFd, 0, SEEK_SET) != 0 || ::ftruncate (targetFd, 0) != 0)
        return false;

    FdStream into (targetFd, false);
    targetFd = -1;

    juce::HeapBlock<char> buffer (copyBufferSize);
    for (;;)
    {
        const auto n = ::read (spoolFd, buffer.get(), copyBufferSize);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return into.close();
        if (!into.write (buffer.get(), (size_t) n))
            return false;
    }
}

bool LocalFileTarget::reserve (juce::int64 end)
{
    if (end <= reserved)
        return true;
    if ((kind != Kind::partFile && kind != Kind::spool) || out == nullptr || out->descriptor() < 0)
        return false;

    // Mode 0 also moves the file's end, and so is held to the size limit as writes are.
    if (::fallocate (out->descriptor(), 0, (off_t) reserved, (off_t) (end - reserved)) != 0)
        return false;
    reserved = end;
    out->setGatherLimit (reserved);
    return true;
}

bool LocalFileTarget::commit()
{
    if (out != nullptr && !out->writeGathered())
    {
        logWriteFailure();
        abandon();
        return false;
    }

    // Room set aside and never written is not part of the file.
    if (reserved > 0 && out != nullptr && out->getPosition() < reserved && out->descriptor() >= 0 &&
        ::ftruncate (out->descriptor(), (off_t) out->getPosition()) != 0)
    {
        logCouldNotWrite (errnoText (errno));
        abandon();
        return false;
    }

    const auto committed = kind;
    kind = Kind::none;

    switch (committed)
    {
    case Kind::partFile:
    {
        const auto closed = out->close();
        out.reset();
        if (closed && std::rename (partFile.getFullPathName().toRawUTF8(), target.getFullPathName().toRawUTF8()) == 0)
            return true;

        logCouldNotWrite();
        partFile.deleteFile();
        return false;
    }

    case Kind::spool:
    {
        const auto copied = copySpoolIntoTarget();
        out.reset();
        if (targetFd >= 0)
            ::close (targetFd);
        targetFd = -1;
        if (copied)
            return true;

        logCouldNotWrite();
        globalLog ("It was written in place and may now be incomplete - " + path.getFullPathName());
        return false;
    }

    case Kind::direct:
    {
        const auto closed = out->close();
        out.reset();
        if (!closed)
            logCouldNotWrite();
        return closed;
    }

    case Kind::none:
        break;
    }
    return false;
}

void LocalFileTarget::abandon()
{
    const auto abandoned = kind;
    kind = Kind::none;

    const auto written = out != nullptr ? out->getPosition() : 0;
    out.reset();

    if (targetFd >= 0)
        ::close (targetFd);
    targetFd = -1;

    if (abandoned == Kind::partFile)
        partFile.deleteFile();

    if (abandoned == Kind::direct && written > 0)
        globalLog ("Only part of the file went into " + path.getFullPathName());
}
