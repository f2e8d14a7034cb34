#include "cli/FileTransfer.h"

#include "cli/CliLogger.h"
#include "cli/InterruptWatcher.h"
#include "protocol/LocalPaths.h"
#include "protocol/TidewireClient.h"
#include "protocol/TidewireClientRequest.h"
#include "protocol/TidewireClientResponse.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr int exchangeTimeoutMs = 1000;
constexpr int writeBlockTimeoutMs = 5000;
constexpr int blockSize = TidewireClientRequest::maxFileBlockSize;

bool writeAll (int fd, const void* source, size_t numBytes)
{
    auto* data = static_cast<const char*> (source);
    while (numBytes > 0)
    {
        const auto written = ::write (fd, data, numBytes);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        numBytes -= (size_t) written;
    }
    return true;
}

juce::String systemError()
{
    return std::strerror (errno);
}

/** A remote file read from its start as a stream, so that juce::SHA256 can take it
    whole without holding it. */
class RemoteFileStream final : public juce::InputStream
{
public:
    RemoteFileStream (TidewireClient& deviceClient, juce::int64 fileHandle, juce::int64 fileSize)
        : client (deviceClient), handle (fileHandle), size (fileSize)
    {
    }

    juce::int64 getTotalLength() override
    {
        return size;
    }
    bool isExhausted() override
    {
        return position >= size || failed;
    }
    juce::int64 getPosition() override
    {
        return position;
    }
    bool setPosition (juce::int64) override
    {
        return false;
    }

    int read (void* destination, int maxBytes) override
    {
        auto* out = static_cast<char*> (destination);
        int copied = 0;
        while (copied < maxBytes && !isExhausted())
        {
            if (bufferUsed == buffer.getSize() && !fetchBlock())
                break;
            const auto n = juce::jmin ((size_t) (maxBytes - copied), buffer.getSize() - bufferUsed);
            std::memcpy (out + copied, (const char*) buffer.getData() + bufferUsed, n);
            bufferUsed += n;
            copied += (int) n;
            position += (juce::int64) n;
        }
        return copied;
    }

    bool failed = false;

private:
    bool fetchBlock()
    {
        FileReadRequest request (handle, (juce::uint32) juce::jmin ((juce::int64) blockSize, size - position));
        const auto response = client.sendRequestSync (request, exchangeTimeoutMs);
        auto* data = dynamic_cast<FileReadResponse*> (response.get());
        const auto count = data != nullptr ? data->getCount() : 0;
        const auto* bytes = count > 0 && count <= size - position ? data->getMessage().readBytes (count) : nullptr;
        if (bytes == nullptr)
        {
            failed = true;
            return false;
        }
        buffer.replaceAll (bytes, (size_t) count);
        bufferUsed = 0;
        return true;
    }

    TidewireClient& client;
    const juce::int64 handle, size;
    juce::int64 position = 0;
    juce::MemoryBlock buffer;
    size_t bufferUsed = 0;
};
} // namespace

FileTransfer::FileTransfer (TidewireClient& deviceClient, Progress progressFunction)
    : client (deviceClient), progress (std::move (progressFunction))
{
}

juce::File FileTransfer::localFile (const juce::String& path)
{
    const auto file = LocalPaths::resolve (path.isEmpty() ? juce::String (".") : path);
    if (file.getFileName() != "." && file.getFileName() != "..")
        return file;

    char resolved[PATH_MAX];
    if (::realpath (file.getFullPathName().toRawUTF8(), resolved) == nullptr)
        return file;
    return juce::File (juce::String::fromUTF8 (resolved));
}

juce::File FileTransfer::partialFileFor (const juce::File& target)
{
    return target.getSiblingFile (target.getFileName() + ".nubo-partial");
}

FileTransfer::Outcome FileTransfer::fail (const juce::String& why)
{
    error = why;
    return InterruptWatcher::isInterrupted() ? Outcome::interrupted : Outcome::failed;
}

void FileTransfer::removeRemote (const juce::String& remotePath)
{
    client.resetAbort();
    client.deleteEntry (remotePath);
    if (InterruptWatcher::isInterrupted())
        client.abortOperations();
}

void FileTransfer::closeRemote (juce::int64 handle)
{
    // An interrupted exchange was cancelled on purpose; the close must still go out so
    // that the device does not keep the file open. A gone device costs one time-out.
    client.resetAbort();
    client.closeFile (handle);
    if (InterruptWatcher::isInterrupted())
        client.abortOperations();
}

//==============================================================================
FileTransfer::Outcome FileTransfer::fetch (const juce::String& remotePath, const juce::File& chosenTarget, bool resume)
{
    CliLogger::beginOperation();

    // A link the user named is theirs: the copy goes where it points.
    auto target = chosenTarget;
    for (int hops = 0; hops < 40 && target.isSymbolicLink(); ++hops)
        target = target.getLinkedTarget();

    struct stat existing
    {
    };
    const bool exists = ::stat (target.getFullPathName().toRawUTF8(), &existing) == 0;
    if (exists && S_ISDIR (existing.st_mode))
        return fail ("can't write " + target.getFullPathName() + ": it is a folder");

    // A pipe or a device (/dev/stdout) takes the bytes as they come; renaming a file
    // over it would replace it.
    if (exists && !S_ISREG (existing.st_mode))
    {
        if (resume)
            return fail ("can't resume into " + target.getFullPathName() + ": not a regular file");
        return fetchInto (remotePath, target);
    }

    // Whatever lies under the partial file's name is ours to replace only when it is a
    // plain file (a pipe there would block, a link would lead elsewhere).
    const auto partial = partialFileFor (target);
    struct stat partialInfo
    {
    };
    if (::lstat (partial.getFullPathName().toRawUTF8(), &partialInfo) == 0 && !S_ISREG (partialInfo.st_mode))
        return fail ("can't write " + partial.getFullPathName() + ": it is not a plain file");

    juce::int64 handle = 0, size = 0;
    if (client.openFile (remotePath, 1, handle, &size) != 0)
        return fail ("can't open " + remotePath + " on the device" + CliLogger::reason());
    if (size < 0)
    {
        closeRemote (handle);
        return fail ("the device reports a negative size for " + remotePath);
    }

    // A resumed fetch appends to what an earlier attempt kept; a fresh one starts over.
    juce::int64 received = 0;
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    if (resume && partial.existsAsFile())
    {
        received = partial.getSize();
        flags |= O_APPEND;
    }
    else
    {
        flags |= O_TRUNC;
    }

    if (received > size)
    {
        closeRemote (handle);
        return fail (partial.getFullPathName() + " is longer than " + remotePath +
                     " on the device: not a part of it; remove it and fetch again");
    }

    const int fd = ::open (partial.getFullPathName().toRawUTF8(), flags, 0644);
    if (fd < 0)
    {
        const auto why = systemError();
        closeRemote (handle);
        return fail ("can't write " + partial.getFullPathName() + ": " + why);
    }

    auto failKeepingPartial = [&] (const juce::String& why)
    {
        ::close (fd);
        closeRemote (handle);
        if (partial.getSize() == 0)
            partial.deleteFile();
        return fail (why + (partial.existsAsFile() ? "; partial file kept as " + partial.getFullPathName() +
                                                         " (resume with: nubo get --continue)"
                                                   : juce::String()));
    };

    if (received > 0 && client.seekFile (handle, received) != 0)
        return failKeepingPartial ("can't resume " + remotePath + " at byte " + juce::String (received) +
                                   CliLogger::reason());

    if (progress)
        progress (received, size);

    while (received < size)
    {
        if (InterruptWatcher::isInterrupted())
            return failKeepingPartial ("interrupted after " + juce::String (received) + " of " + juce::String (size) +
                                       " bytes");

        FileReadRequest request (handle, (juce::uint32) juce::jmin ((juce::int64) blockSize, size - received));
        const auto response = client.sendRequestSync (request, exchangeTimeoutMs);
        auto* data = dynamic_cast<FileReadResponse*> (response.get());

        // No data, or more than is left: a device that lies must not grow the file.
        const auto count = data != nullptr ? data->getCount() : 0;
        const auto* bytes = count > 0 && count <= size - received ? data->getMessage().readBytes (count) : nullptr;
        if (bytes == nullptr)
        {
            const auto why = data != nullptr
                                 ? juce::String (" (the device sent a block of " + juce::String (count) + " bytes)")
                                 : CliLogger::reason();
            return failKeepingPartial ((InterruptWatcher::isInterrupted() ? "interrupted" : "fetch failed") +
                                       juce::String (" after ") + juce::String (received) + " of " +
                                       juce::String (size) + " bytes" + why);
        }

        if (!writeAll (fd, bytes, (size_t) count))
            return failKeepingPartial ("can't write " + partial.getFullPathName() + ": " + systemError());

        received += count;
        if (progress)
            progress (received, size);
    }

    // The copy takes the older file's permission bits, never a set-user or set-group bit.
    if (exists)
        ::fchmod (fd, existing.st_mode & 0777);

    if (::fsync (fd) != 0 || ::close (fd) != 0)
    {
        const auto why = systemError();
        closeRemote (handle);
        return fail ("can't write " + partial.getFullPathName() + ": " + why);
    }

    // Every byte is in: the file takes the target's place even when the device's close
    // fails, which still fails the command.
    const bool closed = client.closeFile (handle) == 0;

    if (std::rename (partial.getFullPathName().toRawUTF8(), target.getFullPathName().toRawUTF8()) != 0)
        return fail ("can't write " + target.getFullPathName() + ": " + systemError() + "; the data is in " +
                     partial.getFullPathName());

    if (!closed)
        return fail ("the device did not close " + remotePath + CliLogger::reason());

    return Outcome::done;
}

FileTransfer::Outcome FileTransfer::fetchInto (const juce::String& remotePath, const juce::File& target)
{
    // Without blocking: a pipe nobody reads must fail now, not hang the command.
    const int fd = ::open (target.getFullPathName().toRawUTF8(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail ("can't write " + target.getFullPathName() + ": " + systemError());
    ::fcntl (fd, F_SETFL, ::fcntl (fd, F_GETFL) & ~O_NONBLOCK);

    const auto outcome = fetchToDescriptor (remotePath, fd, target.getFullPathName());
    ::close (fd);
    return outcome;
}

FileTransfer::Outcome FileTransfer::fetchToDescriptor (const juce::String& remotePath, int fd,
                                                       const juce::String& destination)
{
    CliLogger::beginOperation();

    juce::int64 handle = 0, size = 0;
    if (client.openFile (remotePath, 1, handle, &size) != 0)
        return fail ("can't open " + remotePath + " on the device" + CliLogger::reason());

    RemoteFileStream stream (client, handle, juce::jmax ((juce::int64) 0, size));
    if (progress)
        progress (0, size);

    char buffer[blockSize];
    while (!stream.isExhausted() && !InterruptWatcher::isInterrupted())
    {
        const auto n = stream.read (buffer, (int) sizeof (buffer));
        if (n <= 0 || !writeAll (fd, buffer, (size_t) n))
            break;
        if (progress)
            progress (stream.getPosition(), size);
    }

    if (stream.failed || stream.getPosition() != size)
    {
        closeRemote (handle);
        return fail ("fetch into " + destination + " failed after " + juce::String (stream.getPosition()) + " of " +
                     juce::String (size) + " bytes" + CliLogger::reason());
    }
    if (client.closeFile (handle) != 0)
        return fail ("the device did not close " + remotePath + CliLogger::reason());
    return Outcome::done;
}

//==============================================================================
FileTransfer::Outcome FileTransfer::send (const juce::File& source, const juce::String& remotePath)
{
    CliLogger::beginOperation();

    // The local file is checked before the device is touched: a missing file must not
    // leave an empty one on the device.
    // Without blocking: a pipe in the way must be refused, not waited on.
    const int fd = ::open (source.getFullPathName().toRawUTF8(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail ("can't read " + source.getFullPathName() + ": " + systemError());

    struct stat info
    {
    };
    if (::fstat (fd, &info) != 0 || !S_ISREG (info.st_mode))
    {
        ::close (fd);
        return fail ("can't send " + source.getFullPathName() +
                     (S_ISDIR (info.st_mode) ? ": it is a folder (use -r)" : ": not a regular file"));
    }

    const auto size = (juce::int64) info.st_size;

    // The data goes to a part file beside the target, which takes the target's place
    // only once every block is in: a failed send leaves an older file as it was.
    const auto slash = remotePath.lastIndexOfChar ('/');
    const auto name = remotePath.substring (slash + 1);
    const auto folder = slash <= 0 ? juce::String ("/") : remotePath.substring (0, slash);
    const auto partPath = remotePath.substring (0, slash + 1) + "." + name + ".nubo-part";
    if (slash < 0 || name.isEmpty())
    {
        ::close (fd);
        return fail ("no file name in " + remotePath);
    }

    juce::StringArray files, folders;
    if (client.getFolderContents (folder, &files, &folders) != 0)
    {
        ::close (fd);
        return fail ("can't list " + folder + " on the device" + CliLogger::reason());
    }
    if (folders.contains (name))
    {
        ::close (fd);
        return fail (remotePath + " is a folder on the device");
    }
    const bool replaceOld = files.contains (name);

    CliLogger::beginOperation();
    juce::int64 handle = 0;
    if (client.openFile (partPath, 0, handle) != 0)
    {
        ::close (fd);
        return fail ("can't open " + partPath + " on the device for writing" + CliLogger::reason());
    }

    auto failClosing = [&] (const juce::String& why)
    {
        ::close (fd);
        closeRemote (handle);
        removeRemote (partPath);
        return fail (why);
    };

    if (progress)
        progress (0, size);

    juce::HeapBlock<char> block ((size_t) blockSize);
    juce::int64 sent = 0;

    while (sent < size)
    {
        if (InterruptWatcher::isInterrupted())
            return failClosing ("interrupted after " + juce::String (sent) + " of " + juce::String (size) + " bytes");

        const auto wanted = (int) juce::jmin ((juce::int64) blockSize, size - sent);
        int got = 0;
        while (got < wanted)
        {
            const auto n = ::read (fd, block.get() + got, (size_t) (wanted - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += (int) n;
        }

        // A file that shrank or failed to read would otherwise be sent padded or cut.
        if (got != wanted)
            return failClosing ("can't read " + source.getFullPathName() + ": it changed or failed while being sent");

        juce::MemoryInputStream data (block.get(), (size_t) got, false);
        FileWriteRequest request (handle, data);
        if (client.sendRequestSync (request, writeBlockTimeoutMs) == nullptr)
            return failClosing ((InterruptWatcher::isInterrupted() ? "interrupted" : "send failed") +
                                juce::String (" after ") + juce::String (sent) + " of " + juce::String (size) +
                                " bytes" + CliLogger::reason());

        sent += got;
        if (progress)
            progress (sent, size);
    }

    ::close (fd);

    if (client.closeFile (handle) != 0)
    {
        removeRemote (partPath);
        return fail ("the device did not close " + partPath + CliLogger::reason());
    }

    if (replaceOld && client.deleteEntry (remotePath) != 0)
    {
        removeRemote (partPath);
        return fail ("can't replace " + remotePath + " on the device" + CliLogger::reason());
    }

    if (client.moveEntry (partPath, remotePath, false) != 0)
    {
        // With the old file gone, the new copy is the only one: it stays.
        if (!replaceOld)
            removeRemote (partPath);
        return fail ("can't move " + partPath + " to " + remotePath + CliLogger::reason() +
                     (replaceOld ? "; the new copy stays on the device as " + partPath : juce::String()));
    }

    return Outcome::done;
}

//==============================================================================
FileTransfer::Outcome FileTransfer::remoteDigest (const juce::String& remotePath, juce::MemoryBlock& digest)
{
    CliLogger::beginOperation();

    juce::int64 handle = 0, size = 0;
    if (client.openFile (remotePath, 1, handle, &size) != 0)
        return fail ("can't open " + remotePath + " on the device to verify it" + CliLogger::reason());

    RemoteFileStream stream (client, handle, juce::jmax ((juce::int64) 0, size));
    const juce::SHA256 sha (stream);

    if (stream.failed || stream.getPosition() != size)
    {
        closeRemote (handle);
        return fail ("can't read " + remotePath + " back to verify it" + CliLogger::reason());
    }

    client.closeFile (handle);
    digest = sha.getRawData();
    return Outcome::done;
}
