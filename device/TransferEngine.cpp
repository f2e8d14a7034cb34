#include "device/TransferEngine.h"

#include "log/GlobalLog.h"
#include "protocol/FileSystemEntryInfo.h"
#include "protocol/TidewireClient.h"
#include "protocol/TidewireClientRequest.h"
#include "protocol/TidewireClientResponse.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr int exchangeTimeoutMs = 1000;
constexpr int writeBlockTimeoutMs = 5000;
constexpr int blockSize = TidewireClientRequest::maxFileBlockSize;

// A reader of a pipe nubo opened that takes nothing for this long has stopped: the
// fetch fails rather than hold the device's file open for ever. Long enough for a
// reader that pauses now and then.
constexpr juce::uint32 stalledWriteMs = 30000;
constexpr int waitSliceMs = 100;

/** Writes every byte; 0, or the error that stopped it. A descriptor in non-blocking
    mode (a pipe nubo opened itself) is waited on in short slices, so that a cancel ends
    the wait (EINTR then). So is a pipe in blocking mode (standard output, whose mode is
    not nubo's to change): once poll says it has room it takes PIPE_BUF bytes without
    waiting. With a stall limit, a descriptor that takes nothing for that long fails
    with ETIMEDOUT. */
int writeAll (int fd, const void* source, size_t numBytes, const CancelToken& cancel, juce::uint32 stallLimitMs = 0)
{
    struct stat info
    {
    };
    const bool blockingPipe =
        ::fstat (fd, &info) == 0 && S_ISFIFO (info.st_mode) && (::fcntl (fd, F_GETFL) & O_NONBLOCK) == 0;

    auto* data = static_cast<const char*> (source);
    auto lastProgress = juce::Time::getMillisecondCounter();
    auto waitedTooLong = [&]
    { return stallLimitMs > 0 && juce::Time::getMillisecondCounter() - lastProgress >= stallLimitMs; };

    while (numBytes > 0)
    {
        if (blockingPipe)
        {
            pollfd waiting{fd, POLLOUT, 0};
            const auto ready = ::poll (&waiting, 1, waitSliceMs);
            if (ready == 0 || (ready < 0 && errno == EINTR))
            {
                if (cancel.isCancelled())
                    return EINTR;
                if (waitedTooLong())
                    return ETIMEDOUT;
                continue;
            }
            // Room, or an error or a reader gone, which the write then reports.
        }

        const auto written = ::write (fd, data, blockingPipe ? juce::jmin (numBytes, (size_t) PIPE_BUF) : numBytes);
        if (written > 0)
        {
            data += written;
            numBytes -= (size_t) written;
            lastProgress = juce::Time::getMillisecondCounter();
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        {
            if (cancel.isCancelled())
                return EINTR;
            if (waitedTooLong())
                return ETIMEDOUT;
            pollfd waiting{fd, POLLOUT, 0};
            ::poll (&waiting, 1, waitSliceMs);
            continue;
        }
        return written < 0 ? errno : EIO;
    }
    return 0;
}

juce::String errorText (int error)
{
    if (error == ETIMEDOUT)
        return "nothing was taken for " + juce::String ((int) (stalledWriteMs / 1000)) + " seconds";
    return std::strerror (error);
}

juce::String systemError()
{
    return std::strerror (errno);
}

juce::String hex (const juce::MemoryBlock& digest)
{
    return juce::String::toHexString (digest.getData(), (int) digest.getSize(), 0);
}

/** Replaces a small file of ours with the text; false (errno set) when any step fails. */
bool writeSmallFile (const juce::File& file, const juce::String& text)
{
    const int fd =
        ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const auto error = writeAll (fd, text.toRawUTF8(), text.getNumBytesAsUTF8(), CancelToken());
    if (::close (fd) != 0 || error != 0)
    {
        if (error != 0)
            errno = error;
        return false;
    }
    return true;
}

/** A remote file read from its start as a stream, so that juce::SHA256 can take it
    whole without holding it. Each block may also be handed on as it comes (to where
    the fetched bytes go); a sink that refuses one ends the stream. */
class RemoteFileStream final : public juce::InputStream
{
public:
    using Sink = std::function<bool (const void* data, size_t numBytes)>;

    RemoteFileStream (TidewireClient& deviceClient, juce::int64 fileHandle, juce::int64 fileSize, Sink blockSink = {})
        : client (deviceClient), handle (fileHandle), size (fileSize), sink (std::move (blockSink))
    {
    }

    juce::int64 getTotalLength() override
    {
        return size;
    }
    bool isExhausted() override
    {
        return position >= size || failed || stopped;
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
        while (copied < maxBytes && position < size && !failed && !stopped)
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

    bool failed = false;  ///< the device did not give the next block
    bool stopped = false; ///< the sink refused a block

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
        if (sink && !sink (bytes, (size_t) count))
        {
            stopped = true;
            return false;
        }
        buffer.replaceAll (bytes, (size_t) count);
        bufferUsed = 0;
        return true;
    }

    TidewireClient& client;
    const juce::int64 handle, size;
    const Sink sink;
    juce::int64 position = 0;
    juce::MemoryBlock buffer;
    size_t bufferUsed = 0;
};
} // namespace

TransferEngine::TransferEngine (TidewireClient& deviceClient, Options engineOptions)
    : client (deviceClient), options (std::move (engineOptions))
{
    // A cancel must also end the exchange that waits for the device, not only the next block.
    options.cancel.onCancel ([this] { client.abortOperations(); });
}

TransferEngine::~TransferEngine()
{
    options.cancel.onCancel ({});
}

juce::File TransferEngine::partialFileFor (const juce::File& target)
{
    return target.getSiblingFile (target.getFileName() + ".nubo-partial");
}

juce::File TransferEngine::partialRecordFor (const juce::File& target)
{
    return target.getSiblingFile (target.getFileName() + ".nubo-partial.info");
}

juce::String TransferEngine::describeRemote (const juce::String& remotePath, juce::int64 size)
{
    // The size alone would take a file rewritten to the same length for the old one.
    FileSystemEntryInfo info;
    const bool known = client.getEntryInfo (remotePath, false, info) == 0 && info.exists != 0;
    return "remote " + escapeControlCharacters (remotePath) + "\nsize " + juce::String (size) + "\nmodified " +
           (known ? juce::String (info.modified.toMilliseconds()) : juce::String ("unknown")) + "\n";
}

std::optional<OperationResult> TransferEngine::openForReading (const juce::String& remotePath,
                                                              const juce::String& where, juce::int64& handle,
                                                              juce::int64& size)
{
    if (client.openFile (remotePath, 1, handle, &size) != 0)
        return fail ("can't open " + remotePath + where + reason());
    if (size < 0)
    {
        closeRemote (handle);
        return fail ("the device reports a negative size for " + remotePath);
    }
    return std::nullopt;
}

OperationResult TransferEngine::fail (const juce::String& why) const
{
    return OperationResult::failure (options.cancel.isCancelled() ? OperationResult::Outcome::cancelled
                                                                  : OperationResult::Outcome::failed,
                                     why);
}

void TransferEngine::beginExchanges()
{
    if (options.beginExchanges)
        options.beginExchanges();
}

juce::String TransferEngine::reason() const
{
    if (options.exchangeReason)
        return options.exchangeReason();
    if (options.cancel.isCancelled())
        return " (cancelled)";
    switch (client.getLastExchangeOutcome())
    {
    case TidewireClient::ExchangeOutcome::refused:
        return " (the device refused)";
    case TidewireClient::ExchangeOutcome::unanswered:
        return client.isLinkLost() ? " (the device is gone)" : " (the device did not answer)";
    case TidewireClient::ExchangeOutcome::none:
    case TidewireClient::ExchangeOutcome::answered:
        break;
    }
    return {};
}

void TransferEngine::removeRemote (const juce::String& remotePath)
{
    client.resetAbort();
    client.deleteEntry (remotePath);
    if (options.cancel.isCancelled())
        client.abortOperations();
}

void TransferEngine::closeRemote (juce::int64 handle)
{
    // An interrupted exchange was cancelled on purpose; the close must still go out so
    // that the device does not keep the file open. A gone device costs one time-out.
    client.resetAbort();
    client.closeFile (handle);
    if (options.cancel.isCancelled())
        client.abortOperations();
}

//==============================================================================
OperationResult TransferEngine::fetch (const juce::String& remotePath, const juce::File& chosenTarget)
{
    const auto resume = options.resume;
    const auto verify = options.verify;
    beginExchanges();

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

    // Whatever lies under the partial file's name (or its record's) is ours to replace
    // only when it is a plain file (a pipe there would block, a link would lead elsewhere).
    const auto partial = partialFileFor (target);
    const auto record = partialRecordFor (target);
    for (auto& ours : {partial, record})
    {
        struct stat info
        {
        };
        if (::lstat (ours.getFullPathName().toRawUTF8(), &info) == 0 && !S_ISREG (info.st_mode))
            return fail ("can't write " + ours.getFullPathName() + ": it is not a plain file");
    }

    juce::int64 handle = 0, size = 0;
    if (auto refused = openForReading (remotePath, " on the device", handle, size))
        return *refused;

    const auto description = describeRemote (remotePath, size);

    // A resumed fetch appends to what an earlier attempt kept of this very file, as it
    // still is on the device; a fresh one starts over.
    juce::int64 received = 0;
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    const bool resuming = resume && partial.existsAsFile();
    if (resuming)
    {
        const auto recorded = record.existsAsFile() ? record.loadFileAsString() : juce::String();
        const auto keep = "; " + partial.getFullPathName() + " is kept (remove it and fetch again)";
        if (recorded.isEmpty())
        {
            closeRemote (handle);
            return fail ("can't tell what " + partial.getFullPathName() + " is the start of" + keep);
        }
        if (description.contains ("\nmodified unknown"))
        {
            closeRemote (handle);
            return fail ("can't tell whether " + partial.getFullPathName() + " is the start of " + remotePath +
                         " as it is now (the device did not give its details)" + keep);
        }
        if (recorded != description)
        {
            closeRemote (handle);
            return fail (partial.getFullPathName() + " is the start of another version of " + remotePath +
                         " (the file on the device changed since)" + keep);
        }
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

    auto removePartial = [&]
    {
        partial.deleteFile();
        record.deleteFile();
    };

    auto failKeepingPartial = [&] (const juce::String& why)
    {
        ::close (fd);
        closeRemote (handle);
        if (partial.getSize() == 0)
            removePartial();
        return fail (why + (partial.existsAsFile() ? "; partial file kept as " + partial.getFullPathName() +
                                                         " (resume with: nubo get --continue)"
                                                   : juce::String()));
    };

    // Before the first byte, what the partial file belongs to. Without it (a name too
    // long for one more suffix) the fetch goes on, but cannot be continued.
    if (!resuming && !writeSmallFile (record, description))
        record.deleteFile();

    if (received > 0 && client.seekFile (handle, received) != 0)
        return failKeepingPartial ("can't resume " + remotePath + " at byte " + juce::String (received) +
                                   reason());

    if (options.progress)
        options.progress (received, size);

    while (received < size)
    {
        if (options.cancel.isCancelled())
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
                                 : reason();
            return failKeepingPartial ((options.cancel.isCancelled() ? "interrupted" : "fetch failed") +
                                       juce::String (" after ") + juce::String (received) + " of " +
                                       juce::String (size) + " bytes" + why);
        }

        if (const auto error = writeAll (fd, bytes, (size_t) count, options.cancel); error != 0)
            return failKeepingPartial ("can't write " + partial.getFullPathName() + ": " + errorText (error));

        received += count;
        if (options.progress)
            options.progress (received, size);
    }

    // The copy takes the older file's permission bits, never a set-user or set-group bit.
    if (exists)
        ::fchmod (fd, existing.st_mode & 0777);

    if ((options.durable && ::fsync (fd) != 0) || ::close (fd) != 0)
    {
        const auto why = systemError();
        closeRemote (handle);
        return fail ("can't write " + partial.getFullPathName() + ": " + why);
    }

    // Every byte is in: the file takes the target's place even when the device's close
    // fails, which still fails the command.
    const bool closed = client.closeFile (handle) == 0;

    // A copy that is not what the device holds must not replace the older file, nor be
    // taken up again by a resumed fetch.
    if (verify)
    {
        bool differs = false;
        if (const auto checked = verifyCopy (partial, remotePath, differs); !checked.succeeded())
        {
            const auto why = checked.reason;
            if (!differs)
                return fail (why + "; the unchecked copy is kept as " + partial.getFullPathName() +
                             " (check it with: nubo get --continue --verify)");
            removePartial();
            return fail (why + "; the copy was removed" +
                         (exists ? ", " + target.getFullPathName() + " is as it was" : juce::String()));
        }
    }

    if (std::rename (partial.getFullPathName().toRawUTF8(), target.getFullPathName().toRawUTF8()) != 0)
        return fail ("can't write " + target.getFullPathName() + ": " + systemError() + "; the data is in " +
                     partial.getFullPathName());
    record.deleteFile();

    if (!closed)
        return fail ("the device did not close " + remotePath + reason());

    return OperationResult::done();
}

OperationResult TransferEngine::fetchInto (const juce::String& remotePath, const juce::File& target)
{
    // Without blocking: a pipe nobody reads must fail now, not hang the command. It
    // stays non-blocking (the descriptor is nubo's own), so that a reader that stops
    // taking bytes is waited on in slices that Ctrl-C ends, not in a write that it
    // cannot end.
    const int fd = ::open (target.getFullPathName().toRawUTF8(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail ("can't write " + target.getFullPathName() + ": " + systemError());

    auto outcome = passOn (remotePath, fd, target.getFullPathName(), stalledWriteMs);

    // Some devices report a failed write only when closed.
    if (::close (fd) != 0 && errno != EINTR && outcome.succeeded())
        outcome = fail ("can't write " + target.getFullPathName() + ": " + systemError());
    return outcome;
}

OperationResult TransferEngine::fetchToDescriptor (const juce::String& remotePath, int fd,
                                                   const juce::String& destination)
{
    // Whoever reads standard output may pause for as long as they like (a pager).
    return passOn (remotePath, fd, destination, 0);
}

OperationResult TransferEngine::passOn (const juce::String& remotePath, int fd, const juce::String& destination,
                                        juce::uint32 stallLimitMs)
{
    const auto verify = options.verify;
    beginExchanges();

    juce::int64 handle = 0, size = 0;
    if (auto refused = openForReading (remotePath, " on the device", handle, size))
        return *refused;

    if (options.progress)
        options.progress (0, size);

    // Each block goes on as it comes; a write that fails ends the fetch, whatever block
    // it was (the first and only one too).
    juce::int64 delivered = 0;
    int writeError = 0;
    RemoteFileStream stream (client, handle, size,
                             [&] (const void* data, size_t numBytes)
                             {
                                 if (options.cancel.isCancelled())
                                     return false;
                                 writeError = writeAll (fd, data, numBytes, options.cancel, stallLimitMs);
                                 if (writeError != 0)
                                     return false;
                                 delivered += (juce::int64) numBytes;
                                 if (options.progress)
                                     options.progress (delivered, size);
                                 return true;
                             });

    // With verify the bytes are hashed on their way through.
    juce::MemoryBlock passedOn;
    if (verify)
    {
        passedOn = juce::SHA256 (stream).getRawData();
    }
    else
    {
        juce::HeapBlock<char> buffer ((size_t) blockSize);
        while (!stream.isExhausted() && stream.read (buffer.get(), blockSize) > 0)
        {
        }
    }

    if (stream.failed || stream.stopped || delivered != size)
    {
        closeRemote (handle);
        if (writeError != 0 && !options.cancel.isCancelled())
            return fail ("can't write " + destination + ": " + errorText (writeError) + " (after " +
                         juce::String (delivered) + " of " + juce::String (size) + " bytes)");
        return fail ((options.cancel.isCancelled() ? juce::String ("interrupted")
                                                        : "fetch into " + destination + " failed") +
                     " after " + juce::String (delivered) + " of " + juce::String (size) + " bytes" +
                     reason());
    }
    if (client.closeFile (handle) != 0)
        return fail ("the device did not close " + remotePath + reason());

    if (verify)
    {
        juce::MemoryBlock onDevice;
        if (const auto read = remoteDigest (remotePath, onDevice); !read.succeeded())
            return fail ("verify: " + read.reason);
        if (onDevice != passedOn)
            return fail ("verify: " + remotePath + " on the device differs from what was written to " + destination +
                         " (SHA-256 " + hex (onDevice) + " vs " + hex (passedOn) + ")");
    }
    return OperationResult::done();
}

//==============================================================================
OperationResult TransferEngine::send (const juce::File& source, const juce::String& remotePath)
{
    const auto verify = options.verify;
    beginExchanges();

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
        return fail ("can't list " + folder + " on the device" + reason());
    }
    if (folders.contains (name))
    {
        ::close (fd);
        return fail (remotePath + " is a folder on the device");
    }
    const bool replaceOld = files.contains (name);

    beginExchanges();
    juce::int64 handle = 0;
    if (client.openFile (partPath, 0, handle) != 0)
    {
        ::close (fd);
        return fail ("can't open " + partPath + " on the device for writing" + reason());
    }

    auto failClosing = [&] (const juce::String& why)
    {
        ::close (fd);
        closeRemote (handle);
        removeRemote (partPath);
        return fail (why);
    };

    if (options.progress)
        options.progress (0, size);

    juce::HeapBlock<char> block ((size_t) blockSize);
    juce::int64 sent = 0;

    while (sent < size)
    {
        if (options.cancel.isCancelled())
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
            return failClosing ((options.cancel.isCancelled() ? "interrupted" : "send failed") +
                                juce::String (" after ") + juce::String (sent) + " of " + juce::String (size) +
                                " bytes" + reason());

        sent += got;
        if (options.progress)
            options.progress (sent, size);
    }

    ::close (fd);

    if (client.closeFile (handle) != 0)
    {
        removeRemote (partPath);
        return fail ("the device did not close " + partPath + reason());
    }

    // The part file is read back before it replaces anything: a copy damaged on the way
    // is removed and an older file stays as it was.
    if (verify)
    {
        bool differs = false;
        if (const auto checked = verifyCopy (source, partPath, differs); !checked.succeeded())
        {
            const auto why = checked.reason;
            removeRemote (partPath);
            return fail (why + "; the copy on the device was removed" +
                         (replaceOld ? ", " + remotePath + " is as it was" : juce::String()));
        }
    }

    if (replaceOld && client.deleteEntry (remotePath) != 0)
    {
        removeRemote (partPath);
        return fail ("can't replace " + remotePath + " on the device" + reason());
    }

    if (client.moveEntry (partPath, remotePath, false) != 0)
    {
        // With the old file gone, the new copy is the only one: it stays.
        if (!replaceOld)
            removeRemote (partPath);
        return fail ("can't move " + partPath + " to " + remotePath + reason() +
                     (replaceOld ? "; the new copy stays on the device as " + partPath : juce::String()));
    }

    return OperationResult::done();
}

//==============================================================================
OperationResult TransferEngine::remoteDigest (const juce::String& remotePath, juce::MemoryBlock& digest)
{
    beginExchanges();

    juce::int64 handle = 0, size = 0;
    if (auto refused = openForReading (remotePath, " on the device to verify it", handle, size))
        return *refused;

    RemoteFileStream stream (client, handle, size);
    const juce::SHA256 sha (stream);

    if (stream.failed || stream.getPosition() != size)
    {
        closeRemote (handle);
        return fail ("can't read " + remotePath + " back to verify it" + reason());
    }

    client.closeFile (handle);
    digest = sha.getRawData();
    return OperationResult::done();
}

OperationResult TransferEngine::verifyCopy (const juce::File& local, const juce::String& remotePath, bool& differs)
{
    differs = false;

    juce::MemoryBlock onDevice;
    if (const auto read = remoteDigest (remotePath, onDevice); !read.succeeded())
        return fail ("verify: " + read.reason);

    juce::FileInputStream in (local);
    if (!in.openedOk())
        return fail ("verify: can't read " + local.getFullPathName() + ": " + in.getStatus().getErrorMessage());
    const auto here = juce::SHA256 (in).getRawData();
    if (in.getPosition() != in.getTotalLength())
        return fail ("verify: can't read " + local.getFullPathName() + " through");

    if (here != onDevice)
    {
        differs = true;
        return fail ("verify: " + remotePath + " on the device differs from " + local.getFullPathName() + " (SHA-256 " +
                     hex (onDevice) + " vs " + hex (here) + ")");
    }
    return OperationResult::done();
}

OperationResult TransferEngine::compareWithRemote (const juce::File& local, const juce::String& remotePath)
{
    bool differs = false;
    return verifyCopy (local, remotePath, differs);
}
