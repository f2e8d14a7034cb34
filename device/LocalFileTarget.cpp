#include "device/LocalFileTarget.h"

#include "device/LocalPaths.h"
#include "log/GlobalLog.h"

#include <atomic>
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
constexpr int maxLinkHops = 40; // as the kernel allows
constexpr size_t copyBufferSize = 65536;
constexpr int waitSliceMs = 100; // a write that waits for room looks at the cancel token this often

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
/** Whether the file is a record of the kind writeRecord leaves ("remote ...", a few lines). */
bool isOurRecord (const juce::File& file)
{
    struct stat st;
    if (::lstat (file.getFullPathName().toRawUTF8(), &st) != 0 || !S_ISREG (st.st_mode) || st.st_size > 65536)
        return false;
    return file.loadFileAsString().startsWith ("remote ");
}

/** Writes a partial file's record in place. A record cut short by a crash only reads
    as another file's, which a resume refuses; so no temporary file is needed (nor room
    for a longer name beside it). */
bool writeRecord (const juce::File& file, const juce::String& text)
{
    if (file.getFileName().getNumBytesAsUTF8() > (size_t) NAME_MAX)
        return false;
    const int fd =
        ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const auto bytes = text.toStdString();
    size_t done = 0;
    while (done < bytes.size())
    {
        const auto n = ::write (fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += (size_t) n;
    }
    return ::close (fd) == 0 && done == bytes.size();
}

int createUniqueFile (const juce::File& folder, juce::File& created)
{
    // Fetches on several devices' threads make these at once, and juce::Random's shared
    // generator is not for several threads: the process, a counter and the clock instead.
    static std::atomic<juce::uint32> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        const auto name = ".nubo-" + juce::String::toHexString ((int) ::getpid()) + "-" +
                          juce::String::toHexString ((int) ++counter) + "-" +
                          juce::String::toHexString (juce::Time::getHighResolutionTicks()) + ".part";
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
/** An output stream over a descriptor (its own, or the caller's, which it never
    closes). The bytes come in blocks of several kilobytes and are written as they come,
    except those that land in room set aside in the file beforehand: a write there
    cannot fail for want of space, so several blocks are gathered and written with one
    call. A pipe or a device is waited on in short slices, so that a cancel ends the
    wait, and not for longer than the stall limit. A pipe in blocking mode (standard
    output, whose mode is not ours to change) takes PIPE_BUF bytes without waiting once
    poll says it has room. */
class LocalFileTarget::FdStream final : public juce::OutputStream
{
public:
    FdStream (int fileDescriptor, bool direct, bool owned, juce::int64 startPosition, juce::uint32 stallLimit,
              const CancelToken& token)
        : fd (fileDescriptor), isDirect (direct), ownsFd (owned), position (startPosition), stallLimitMs (stallLimit),
          cancel (token)
    {
        struct stat st;
        blockingPipe =
            direct && ::fstat (fd, &st) == 0 && S_ISFIFO (st.st_mode) && (::fcntl (fd, F_GETFL) & O_NONBLOCK) == 0;
    }

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

    /** Where the next byte goes in the file: the bytes taken so far, those still
        gathered included, after what a resumed file held. */
    juce::int64 getPosition() override
    {
        return position;
    }

    bool write (const void* data, size_t numBytes) override
    {
        if (!isDirect && position + (juce::int64) numBytes <= gatherLimit && numBytes <= gatherSize)
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

    /** False when the system reports a late write error (some file systems do). A
        descriptor that is not ours is only flushed. */
    bool close()
    {
        if (fd < 0)
            return true;
        const auto written = writeGathered();
        const auto result = ownsFd ? ::close (fd) : 0;
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
    bool waitedTooLong (juce::uint32 since) const
    {
        return stallLimitMs > 0 && juce::Time::getMillisecondCounter() - since >= stallLimitMs;
    }

    bool writeOut (const char* bytes, size_t numBytes)
    {
        size_t done = 0;
        auto lastProgress = juce::Time::getMillisecondCounter();

        while (done < numBytes && fd >= 0)
        {
            if (blockingPipe)
            {
                pollfd waiting{fd, POLLOUT, 0};
                const auto ready = ::poll (&waiting, 1, waitSliceMs);
                if (ready == 0 || (ready < 0 && errno == EINTR))
                {
                    if (cancel.isCancelled())
                        return failWith (ECANCELED);
                    if (waitedTooLong (lastProgress))
                        return failWith (ETIMEDOUT);
                    continue;
                }
                // Room, or an error or a reader gone, which the write then reports.
            }

            const auto wanted = blockingPipe ? juce::jmin (numBytes - done, (size_t) PIPE_BUF) : numBytes - done;
            const auto n =
                isDirect ? writeWithoutSigpipe (fd, bytes + done, wanted) : ::write (fd, bytes + done, wanted);
            if (n > 0)
            {
                done += (size_t) n;
                lastProgress = juce::Time::getMillisecondCounter();
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;

            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            {
                if (cancel.isCancelled())
                    return failWith (ECANCELED);
                if (waitedTooLong (lastProgress))
                    return failWith (ETIMEDOUT);
                pollfd waiting{fd, POLLOUT, 0};
                ::poll (&waiting, 1, waitSliceMs);
                continue;
            }

            return failWith (n < 0 ? errno : EIO);
        }
        if (done < numBytes && error == 0)
            error = EBADF;
        return done == numBytes;
    }

    bool failWith (int why)
    {
        error = why;
        return false;
    }

    // Eight blocks a call; a block that would not fit in what is left sends the lot first.
    static constexpr size_t gatherSize = 8 * 8192, maxBlock = 8192;

    int fd;
    const bool isDirect, ownsFd;
    bool blockingPipe = false;
    juce::int64 position;
    const juce::uint32 stallLimitMs;
    const CancelToken cancel;
    juce::int64 gatherLimit = 0;
    juce::HeapBlock<char> gathered;
    size_t numGathered = 0;
    int error = 0;
};

//==============================================================================
LocalFileTarget::LocalFileTarget (const juce::File& file, Links linkRule) : path (file), links (linkRule) {}

LocalFileTarget::LocalFileTarget (int descriptor, const juce::String& name, juce::uint32 stallLimit)
    : path (juce::File::isAbsolutePath (name) ? juce::File (name) : juce::File()), shownName (name),
      links (Links::writeThrough), givenFd (descriptor), fromDescriptor (true), stallLimitMs (stallLimit)
{
}

LocalFileTarget::~LocalFileTarget()
{
    abandon();
}

void LocalFileTarget::setCancelToken (const CancelToken& token)
{
    cancel = token;
}

juce::File LocalFileTarget::partialFileFor (const juce::File& target)
{
    return target.getSiblingFile (target.getFileName() + ".nubo-partial");
}

juce::File LocalFileTarget::partialRecordFor (const juce::File& target)
{
    return target.getSiblingFile (target.getFileName() + ".nubo-partial.info");
}

juce::OutputStream& LocalFileTarget::stream()
{
    jassert (out != nullptr);
    return *out;
}

juce::String LocalFileTarget::displayName() const
{
    return shownName.isNotEmpty() ? shownName : path.getFullPathName();
}

void LocalFileTarget::logCouldNotWrite (const juce::String& why)
{
    globalLog ("Couldn't write file - " + displayName() + (why.isEmpty() ? juce::String() : ": " + why));
    if (failure.isEmpty())
        failure = "can't write " + displayName() + (why.isEmpty() ? juce::String() : ": " + why);
}

void LocalFileTarget::logWriteFailure()
{
    const auto error = out != nullptr ? out->lastError() : 0;
    failure.clear();
    logCouldNotWrite (error == ETIMEDOUT
                          ? "nothing was taken for " + juce::String ((int) (stallLimitMs / 1000)) + " seconds"
                      : error == ECANCELED ? juce::String ("cancelled")
                      : error != 0         ? errnoText (error)
                                           : juce::String());
}

bool LocalFileTarget::open()
{
    return open (Partial());
}

bool LocalFileTarget::open (const Partial& partial)
{
    failure.clear();

    if (fromDescriptor && givenFd < 0)
    {
        // Standard output closed before the program started.
        globalLog ("Couldn't create output stream");
        failure = "can't write " + shownName + ": " + juce::String (std::strerror (EBADF));
        return false;
    }

    if (givenFd >= 0)
    {
        if (partial.resume)
        {
            logCouldNotWrite ("can't resume into it: not a regular file");
            return false;
        }
        out = std::make_unique<FdStream> (givenFd, true, false, 0, stallLimitMs, cancel);
        kind = Kind::direct;
        return true;
    }

    target = path;
    if (target == juce::File())
    {
        globalLog ("Couldn't create output stream");
        failure = "can't write to an empty path";
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
        failure = "can't write " + displayName() + ": it is a folder";
        return false;
    }

    // In a fetched folder, whatever else has the name is replaced by the file; the user's
    // own pick is written as what it is.
    if (links == Links::writeThrough)
    {
        if ((type == S_IFIFO || type == S_IFCHR) && partial.resume)
        {
            logCouldNotWrite ("can't resume into it: not a regular file");
            return false;
        }

        if (type == S_IFIFO || type == S_IFCHR)
            return openDirect (type == S_IFIFO);

        if (type == S_IFBLK || type == S_IFSOCK)
        {
            logCouldNotWrite ("not a file, pipe or character device");
            return false;
        }
    }

    if (openPartFile (type == S_IFREG ? &st : nullptr, partial))
        return true;
    if (failure.isNotEmpty())
        return false;

    if (type == S_IFREG && openSpool())
        return true;

    globalLog ("Couldn't create output stream");
    const juce::String why (std::strerror (partFileErrno != 0 ? partFileErrno : EACCES));
    failure =
        "can't write " + displayName() +
        (type == S_IFREG ? ": no file can be made beside it (" + why + "), and it cannot be written" : ": " + why);
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

    out = std::make_unique<FdStream> (fd, true, true, 0, stallLimitMs, cancel);
    kind = Kind::direct;
    return true;
}

bool LocalFileTarget::openPartFile (const struct stat* existing, const Partial& partial)
{
    int fd = -1;
    partFile = partialFileFor (target);
    // Without a record to keep, a file under the record's name is none of ours (a
    // fetched folder may well hold one): it is neither written nor removed.
    recordFile = partial.record.isNotEmpty() ? partialRecordFor (target) : juce::File();

    // A file under the partial file's name is ours only when our record lies beside it;
    // any other (the user's own, or one of a fetched folder) is left alone, and the bytes
    // go to a hidden name of our own instead, which nothing can resume.
    const auto recordBeside = isOurRecord (partialRecordFor (target));
    const bool someoneElses = !partial.resume && partFile.existsAsFile() && !recordBeside;

    if (target.getFileName().getNumBytesAsUTF8() + 13 <= (size_t) NAME_MAX && LocalPaths::fitsSystemLimits (partFile) &&
        !someoneElses)
    {
        // Whatever lies under the partial file's name (or its record's) is ours to replace
        // only when it is a plain file: a pipe there would block, a link lead elsewhere.
        for (auto& ours : {partFile, recordFile})
        {
            struct stat st;
            if (ours != juce::File() && ::lstat (ours.getFullPathName().toRawUTF8(), &st) == 0 && !S_ISREG (st.st_mode))
            {
                partFile = recordFile = juce::File();
                logCouldNotWrite();
                failure = "can't write " + ours.getFullPathName() + ": it is not a plain file";
                return false;
            }
        }

        const bool resuming = partial.resume && partFile.existsAsFile();
        if (resuming)
        {
            // Only the start of this very file, as it still is on the device, is continued.
            const auto recorded = recordFile.existsAsFile() ? recordFile.loadFileAsString() : juce::String();
            const auto keep = "; " + partFile.getFullPathName() + " is kept (remove it and fetch again)";
            const auto name = escapeControlCharacters (partial.remoteName);
            if (recorded.isEmpty())
                failure = "can't tell what " + partFile.getFullPathName() + " is the start of" + keep;
            else if (partial.record.contains ("\nmodified unknown"))
                failure = "can't tell whether " + partFile.getFullPathName() + " is the start of " + name +
                          " as it is now (the device did not give its details)" + keep;
            else if (recorded != partial.record)
                failure = partFile.getFullPathName() + " is the start of another version of " + name +
                          " (the file on the device changed since)" + keep;
            if (failure.isNotEmpty())
            {
                globalLog ("Couldn't resume - " + failure);
                partFile = recordFile = juce::File();
                return false;
            }
        }
        fd = ::open (partFile.getFullPathName().toRawUTF8(),
                     O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (resuming ? 0 : O_TRUNC), 0644);
        if (fd >= 0 && resuming)
        {
            const auto end = ::lseek (fd, 0, SEEK_END);
            resumed = end > 0 ? (juce::int64) end : 0;
        }

        if (fd >= 0 && !resuming)
        {
            // Before the first byte, what the partial file belongs to. Without it (a name
            // too long for one more suffix) the fetch goes on, but cannot be resumed.
            // Kept all the same, a partial file without its record is found, and refused
            // by a resume that cannot tell what it is.
            if (recordFile != juce::File() && !writeRecord (recordFile, partial.record))
                recordFile.deleteFile();
        }
    }
    else
    {
        // No room for the suffix, or someone else's file under the name: a hidden name of
        // our own, which nothing can resume.
        recordFile = juce::File();
        fd = createUniqueFile (target.getParentDirectory(), partFile);
    }

    if (fd < 0)
    {
        partFileErrno = errno;
        partFile = recordFile = juce::File();
        return false;
    }

    // The new file takes the old one's permissions along with its name, but never its
    // set-user or set-group bit: the bytes are the device's now.
    if (existing != nullptr)
        ::fchmod (fd, existing->st_mode & 0777);

    reserved = resumed;
    out = std::make_unique<FdStream> (fd, false, true, resumed, stallLimitMs, cancel);
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
    out = std::make_unique<FdStream> (fd, false, true, 0, stallLimitMs, cancel);
    kind = Kind::spool;
    return true;
}

bool LocalFileTarget::copySpoolIntoTarget (bool durable)
{
    const auto spoolFd = out->descriptor();
    if (::lseek (spoolFd, 0, SEEK_SET) != 0 || ::ftruncate (targetFd, 0) != 0)
        return false;

    FdStream into (targetFd, false, true, 0, stallLimitMs, cancel);
    const auto intoFd = targetFd;
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
            return into.writeGathered() && (!durable || ::fsync (intoFd) == 0) && into.close();
        if (!into.write (buffer.get(), (size_t) n))
            return false;
    }
}

bool LocalFileTarget::reserve (juce::int64 end)
{
    if (end <= reserved)
        return true;
    if ((kind != Kind::partFile && kind != Kind::spool) || out == nullptr || out->descriptor() < 0 || finished)
        return false;

    // Mode 0 also moves the file's end, and so is held to the size limit as writes are.
    if (::fallocate (out->descriptor(), 0, (off_t) reserved, (off_t) (end - reserved)) != 0)
        return false;
    reserved = end;
    out->setGatherLimit (reserved);
    return true;
}

bool LocalFileTarget::finish (bool durable)
{
    if (finished)
        return true;

    if (out == nullptr || kind == Kind::none)
        return false;

    if (!out->writeGathered())
    {
        logWriteFailure();
        return false;
    }

    if (kind == Kind::direct)
    {
        finished = true;
        return true;
    }

    // Room set aside and never written is not part of the file.
    if (reserved > out->getPosition() && ::ftruncate (out->descriptor(), (off_t) out->getPosition()) != 0)
    {
        logCouldNotWrite (errnoText (errno));
        return false;
    }

    // A crash just after the rename must not leave an empty file under the name.
    if (kind == Kind::partFile && durable && ::fsync (out->descriptor()) != 0)
    {
        logCouldNotWrite (errnoText (errno));
        return false;
    }

    if (kind == Kind::partFile && !out->close())
    {
        logWriteFailure();
        return false;
    }

    finished = true;
    durableDone = durable;
    return true;
}

std::unique_ptr<juce::InputStream> LocalFileTarget::readBack() const
{
    if (!finished)
        return nullptr;

    // The spool has no name; the descriptor still reaches it.
    const auto file = kind == Kind::partFile ? partFile
                      : kind == Kind::spool  ? juce::File ("/proc/self/fd/" + juce::String (out->descriptor()))
                                             : juce::File();
    if (file == juce::File())
        return nullptr;

    auto in = std::make_unique<juce::FileInputStream> (file);
    if (!in->openedOk())
        return nullptr;
    return in;
}

bool LocalFileTarget::commit (bool durable)
{
    if (!finished && !finish (durable))
    {
        abandon();
        return false;
    }

    const auto committed = kind;
    kind = Kind::none;

    switch (committed)
    {
    case Kind::partFile:
    {
        out.reset();
        if (std::rename (partFile.getFullPathName().toRawUTF8(), target.getFullPathName().toRawUTF8()) == 0)
        {
            if (recordFile != juce::File())
                recordFile.deleteFile();
            return true;
        }

        const auto why = errnoText (errno);
        logCouldNotWrite (why);
        removePartial();
        return false;
    }

    case Kind::spool:
    {
        const auto copied = copySpoolIntoTarget (durable);
        out.reset();
        if (targetFd >= 0)
            ::close (targetFd);
        targetFd = -1;
        if (copied)
            return true;

        logCouldNotWrite();
        globalLog ("It was written in place and may now be incomplete - " + path.getFullPathName());
        failure << "; it was written in place and may now be incomplete";
        return false;
    }

    case Kind::direct:
    {
        const auto closed = out->close();
        out.reset();
        if (!closed)
            logWriteFailure();
        return closed;
    }

    case Kind::none:
        break;
    }
    return false;
}

void LocalFileTarget::removePartial()
{
    if (partFile != juce::File())
        partFile.deleteFile();
    if (recordFile != juce::File())
        recordFile.deleteFile();
}

void LocalFileTarget::abandon (bool keepPartial)
{
    const auto abandoned = kind;
    kind = Kind::none;

    // What a kept partial file holds must be what arrived, not room set aside after it.
    juce::int64 written = 0;
    if (out != nullptr)
    {
        const auto end = out->getPosition();
        written = end - (abandoned == Kind::direct ? 0 : resumed);
        if (keepPartial && abandoned == Kind::partFile && out->descriptor() >= 0)
        {
            if (!out->writeGathered() || ::ftruncate (out->descriptor(), (off_t) end) != 0)
                keepPartial = false;
        }
        out.reset();
    }

    if (targetFd >= 0)
        ::close (targetFd);
    targetFd = -1;

    if (abandoned == Kind::partFile)
    {
        const bool holdsSomething = partFile.getSize() > 0;
        if (!keepPartial || !holdsSomething || recordFile == juce::File())
            removePartial();
    }

    if (abandoned == Kind::direct && written > 0)
        globalLog ("Only part of the file went into " + displayName());
}
