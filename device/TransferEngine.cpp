#include "device/TransferEngine.h"

#include "log/GlobalLog.h"
#include "protocol/FileSystemEntryInfo.h"
#include "protocol/ReceivedMessage.h"
#include "protocol/TidewireClient.h"
#include "protocol/TidewireClientRequest.h"
#include "protocol/TidewireClientResponse.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr int exchangeTimeoutMs = 1000;
constexpr int writeBlockTimeoutMs = 5000;
constexpr int blockSize = TidewireClientRequest::maxFileBlockSize;
constexpr int blocksPerProgressLine = 256;

// Blocks are taken from the local file several at a time: one file read per block
// would sit on every exchange's round trip.
constexpr int localReadAheadSize = 16 * blockSize;

juce::String hex (const juce::MemoryBlock& digest)
{
    return juce::String::toHexString (digest.getData(), (int) digest.getSize(), 0);
}

juce::String bytesOf (juce::int64 done, juce::int64 total)
{
    return juce::String (done) + " of " + juce::String (total) + " bytes";
}

/** A transfer's last line: bytes, seconds and rate since startMs. */
void logThroughput (juce::int64 numBytes, juce::int64 startMs)
{
    // Under a millisecond counts as one, so the rate is always a finite number.
    const auto elapsedMs = juce::jmax ((juce::int64) 1, juce::Time::currentTimeMillis() - startMs);
    const auto seconds = (float) ((double) elapsedMs / 1000.0);
    const auto rate = (double) numBytes * 8.0 / ((double) seconds * 1024.0 * 1024.0);

    char line[160];
    std::snprintf (line, sizeof (line),
                   "File transfer completed successfully %lld bytes in %2.2f seconds - %2.2f MBit/s.",
                   (long long) numBytes, (double) seconds, (double) rate);
    globalLog (line);
}

/** A local file to send as it was when the transfer began: its descriptor, opened
    without waiting (a pipe in the way is refused, not waited on), and its length taken
    once, where a file stream would ask the file system again at every question. */
class LocalSource final : public juce::InputStream
{
public:
    LocalSource (int fileDescriptor, juce::int64 fileLength) : fd (fileDescriptor), length (fileLength) {}

    ~LocalSource() override
    {
        ::close (fd);
    }

    juce::int64 getTotalLength() override
    {
        return length;
    }
    bool isExhausted() override
    {
        return position >= length;
    }
    juce::int64 getPosition() override
    {
        return position;
    }
    bool setPosition (juce::int64 newPosition) override
    {
        if (::lseek (fd, (off_t) newPosition, SEEK_SET) < 0)
            return false;
        position = newPosition;
        return true;
    }

    int read (void* destination, int maxBytes) override
    {
        auto* out = static_cast<char*> (destination);
        int got = 0;
        while (got < maxBytes && position < length)
        {
            const auto n =
                ::read (fd, out + got, (size_t) juce::jmin ((juce::int64) (maxBytes - got), length - position));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += (int) n;
            position += n;
        }
        return got;
    }

private:
    const int fd;
    const juce::int64 length;
    juce::int64 position = 0;
};

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
    int badCount = 0;     ///< a block of a size that was not due, when that ended it

private:
    bool fetchBlock()
    {
        FileReadRequest request (handle, (juce::uint32) juce::jmin ((juce::int64) blockSize, size - position));
        const auto response = client.sendRequestSync (request, exchangeTimeoutMs);
        auto* data = TidewireClient::expect<FileReadResponse> (response);
        const auto count = data != nullptr ? data->getCount() : 0;
        const auto* bytes = count > 0 && count <= size - position ? data->getMessage().readBytes (count) : nullptr;
        if (bytes == nullptr)
        {
            badCount = data != nullptr ? juce::jmax (1, (int) count) : 0;
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

/** The blocks of a fetch between two progress lines, taken on the reader thread: a
    block that passes every check of the fetch's own loop is written and the next one
    asked for at once. A failed write sends nothing more; the loop then reports it.

    While the device answers, room is set aside in the file some blocks ahead. A block
    that lands in that room cannot fail for want of space, and is written after the next
    request has gone out rather than before (the target gathers such blocks, several to
    a system call); any other block is written first, as a failure there must stop the
    transfer before it asks for more. */
struct ReadRelay final : TidewireClient::BlockContinuation
{
    ReadRelay (LocalFileTarget& t, FileReadRequest& r, juce::int64 size, juce::int32 a, juce::int64 from)
        : target (t), request (r), fileSize (size), asked (a), received (from)
    {
    }

    bool takeRoutineAnswer (std::unique_ptr<ReceivedMessage>& message) override
    {
        // After a failed write every answer goes to the loop, which reports the failure.
        if (writeFailed || block % blocksPerProgressLine == 0 || message->getMessageId() != FileReadResponse::id)
            return false;

        message->readUInt16();
        message->readInt32();
        FileReadResponse answer (std::move (message));

        // The last block, too, is left to the loop.
        const auto count = answer.isValid() ? answer.getCount() : 0;
        const auto* bytes = count > 0 ? answer.getMessage().readBytes (count) : nullptr;
        const auto routine = bytes != nullptr && count <= asked && count < fileSize - received;

        if (routine && received + count <= target.reservedEnd())
        {
            pendingBytes = bytes;
            pendingCount = count;
            pending = answer.releaseMessage();
            ++block;
            received += count;
            request.renumber();
            return true;
        }

        if (routine && target.stream().write (bytes, (size_t) count))
        {
            ++block;
            received += count;
            request.renumber();
            return true;
        }

        writeFailed = routine;
        message = answer.releaseMessage();
        message->rewind();
        return false;
    }

    void afterSent() override
    {
        if (pending != nullptr)
        {
            if (!target.stream().write (pendingBytes, (size_t) pendingCount))
                writeFailed = true;
            pending.reset();
        }

        // Topped up many blocks at a time (the blocks written into it are gathered,
        // several to a write), never past the size the device gave.
        if (!writeFailed && !reserveRefused &&
            target.reservedEnd() < juce::jmin (fileSize, received + reserveLowBlocks * asked))
            reserveRefused = !target.reserve (juce::jmin (fileSize, received + reserveAheadBlocks * asked));
    }

    const int reserveAheadBlocks = 64, reserveLowBlocks = 16;
    std::unique_ptr<ReceivedMessage> pending; // a block taken, to be written once the next request is out
    const juce::uint8* pendingBytes = nullptr;
    int pendingCount = 0;
    bool reserveRefused = false;

    LocalFileTarget& target;
    FileReadRequest& request;
    const juce::int64 fileSize;
    const juce::int32 asked;
    juce::int64 received;
    int block = 0;
    bool writeFailed = false; // the handed-back block's bytes were written, and that failed
};

/** The blocks of a read into memory, taken on the reader thread: a full block whose next
    full block still lies inside the range asks for that one at once; the last one or
    two, and anything out of the ordinary, are left to the loop. */
struct MemoryReadRelay final : TidewireClient::BlockContinuation
{
    MemoryReadRelay (juce::MemoryBlock& b, FileReadRequest& r, juce::int64 wanted, juce::int32 a, juce::int64 from)
        : buffer (b), request (r), total (wanted), asked (a), received (from)
    {
    }

    bool takeRoutineAnswer (std::unique_ptr<ReceivedMessage>& message) override
    {
        if (message->getMessageId() != FileReadResponse::id)
            return false;

        message->readUInt16();
        message->readInt32();
        FileReadResponse answer (std::move (message));
        const auto count = answer.isValid() ? answer.getCount() : 0;
        const auto* bytes = count > 0 ? answer.getMessage().readBytes (count) : nullptr;
        if (bytes == nullptr || count != asked || received + count + asked > total)
        {
            message = answer.releaseMessage();
            message->rewind();
            return false;
        }

        std::memcpy (static_cast<char*> (buffer.getData()) + received, bytes, (size_t) count);
        received += count;
        request.renumber();
        return true;
    }

    juce::MemoryBlock& buffer;
    FileReadRequest& request;
    const juce::int64 total;
    const juce::int32 asked;
    juce::int64 received;
};

/** The blocks of a send between two progress lines, answered on the reader thread: each
    plain acknowledgement of a block that was read in full sends the next block at once. */
struct WriteRelay final : TidewireClient::BlockContinuation
{
    WriteRelay (juce::InputStream& source, FileWriteRequest& r) : in (source), request (r) {}

    bool takeRoutineAnswer (std::unique_ptr<ReceivedMessage>& message) override
    {
        const auto position = in.getPosition();
        if (block % blocksPerProgressLine == 0 || message->getMessageId() != SuccessResponse::id ||
            position != before + expected || position >= in.getTotalLength())
            return false;

        message->readUInt16();
        message->readInt32();
        SuccessResponse answer (std::move (message));
        if (!answer.isValid())
        {
            message = answer.releaseMessage();
            message->rewind();
            return false;
        }

        ++block;
        before = position;
        expected = juce::jmin ((juce::int64) blockSize, in.getTotalLength() - position);
        request.renumber();
        return true;
    }

    juce::InputStream& in;
    FileWriteRequest& request;
    juce::int64 before = 0, expected = 0; // of the block whose answer is awaited
    int block = 0;
};
} // namespace

//==============================================================================
TransferEngine::TransferEngine (TidewireClient& deviceClient, Options engineOptions)
    : client (deviceClient), options (std::move (engineOptions))
{
    // A cancel must also end the exchange that waits for the device, not only the next block.
    previousWake = options.cancel.onCancel ([this] { client.abortOperations(); });
}

TransferEngine::TransferEngine (TidewireClient& deviceClient) : TransferEngine (deviceClient, Options()) {}

TransferEngine::~TransferEngine()
{
    options.cancel.onCancel (std::move (previousWake));
}

bool TransferEngine::isCancelled() const
{
    return options.cancel.isCancelled() || client.isAborted();
}

juce::String TransferEngine::exchangeReason() const
{
    return exchangeReason (client, isCancelled());
}

juce::String TransferEngine::exchangeReason (const TidewireClient& client, bool cancelled)
{
    if (cancelled || client.isAborted())
        return " (cancelled)";
    if (client.isLinkLost())
        return " (the device is gone: unplugged or hung up)";
    if (const auto logged = client.getLastFailure(); logged.isNotEmpty())
        return " (" + escapeControlCharacters (logged) + ")";
    switch (client.getLastExchangeOutcome())
    {
    case TidewireClient::ExchangeOutcome::refused:
        return " (the device refused)";
    case TidewireClient::ExchangeOutcome::unanswered:
        return " (the device did not answer)";
    case TidewireClient::ExchangeOutcome::none:
    case TidewireClient::ExchangeOutcome::answered:
        break;
    }
    return {};
}

OperationResult TransferEngine::fail (const juce::String& why) const
{
    return OperationResult::failure (
        isCancelled() ? OperationResult::Outcome::cancelled : OperationResult::Outcome::failed, why);
}

void TransferEngine::reportProgress (juce::int64 done, juce::int64 total) const
{
    if (options.progress)
        options.progress (done, total);
}

void TransferEngine::closeRemote (juce::int64 handle)
{
    // A handle left open would keep the remote file busy.
    cleanUp ([&] { return client.closeFile (handle); });
}

void TransferEngine::removeRemote (const juce::String& remotePath)
{
    cleanUp ([&] { return client.deleteEntry (remotePath); });
}

void TransferEngine::cleanUp (const std::function<int()>& exchange)
{
    // A device that is gone would only add a time-out. A cancelled transfer still cleans
    // up while the device answers: the cancel stays in force for everything after.
    if (client.isLinkLost() || !client.canHearDevice())
        return;

    const auto wasCancelled = client.isAborted() || options.cancel.isCancelled();
    client.resetAbort();
    // A signal cancels the operation's token and then aborts its client: that second
    // abort may land in this very exchange. It belongs to the cancel already in force, so
    // the exchange is made once more; a cancel that comes only now is honoured.
    if (exchange() != 0 && wasCancelled && client.isAborted() && client.canHearDevice())
    {
        client.resetAbort();
        exchange();
    }
    if (wasCancelled || options.cancel.isCancelled())
        client.abortOperations();
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
        return fail ("can't open " + remotePath + where + exchangeReason());
    if (size < 0)
    {
        globalLog ("Protocol error: file size " + juce::String (size) + " from the device");
        closeRemote (handle);
        return fail ("the device reports a negative size for " + remotePath);
    }
    return std::nullopt;
}

//==============================================================================
OperationResult TransferEngine::fetch (const juce::String& remotePath, const juce::File& target,
                                       LocalFileTarget::Links links)
{
    LocalFileTarget into (target, links);
    return fetchInto (remotePath, into, target.getFullPathName(), options.resume || options.keepPartial);
}

OperationResult TransferEngine::fetchToDescriptor (const juce::String& remotePath, int fd,
                                                   const juce::String& destination)
{
    // Whoever reads standard output may pause for as long as they like (a pager).
    LocalFileTarget into (fd, destination, 0);
    return fetchInto (remotePath, into, destination, false);
}

OperationResult TransferEngine::fetchInto (const juce::String& remotePath, LocalFileTarget& target,
                                           const juce::String& where, bool resumable)
{
    const auto startMs = juce::Time::currentTimeMillis();
    target.setCancelToken (options.cancel);

    juce::int64 handle = 0, size = 0;
    if (client.openFile (remotePath, 1, handle, &size) != 0)
        return fail ("can't open " + remotePath + " on the device" + exchangeReason());

    globalLog ("Getting remote file " + remotePath);

    if (size < 0)
    {
        globalLog ("Protocol error: file size " + juce::String (size) + " from the device");
        closeRemote (handle);
        return fail ("the device reports a negative size for " + remotePath);
    }

    LocalFileTarget::Partial partial;
    partial.resume = options.resume;
    partial.remoteName = remotePath;
    if (resumable)
        partial.record = describeRemote (remotePath, size);

    if (!target.open (partial))
    {
        closeRemote (handle);
        return fail (target.getFailure());
    }

    if (target.isDirect() && options.verify)
        return passOnVerified (remotePath, target, where, handle, size);

    const auto keep = options.keepPartial;
    auto failKeepingPartial = [&] (const juce::String& why)
    {
        const auto partialFile = target.getPartialFile();
        target.abandon (keep);
        closeRemote (handle);
        return fail (why + (keep && partialFile.existsAsFile()
                                ? "; partial file kept as " + partialFile.getFullPathName() +
                                      " (resume with: nubo get --continue)"
                                : juce::String()));
    };

    const auto from = target.resumedFrom();
    if (from > size)
        return failKeepingPartial (target.getPartialFile().getFullPathName() + " is longer than " + remotePath +
                                   " on the device: not a part of it; remove it and fetch again");

    if (from > 0 && client.seekFile (handle, from) != 0)
        return failKeepingPartial ("can't resume " + remotePath + " at byte " + juce::String (from) + exchangeReason());

    // The request asks for a whole block, or the whole file when it is smaller.
    const auto asked = (juce::int32) juce::jmin ((juce::int64) blockSize, juce::jmax ((juce::int64) 1, size));
    FileReadRequest request (handle, (juce::uint32) asked);

    // Writes to a pipe may wait on its reader: those stay on this thread.
    ReadRelay blocks (target, request, size, asked, from);
    auto* relayed = target.isDirect() ? nullptr : &blocks;
    reportProgress (from, size);

    while (blocks.received < size)
    {
        const auto response = client.exchange (request, exchangeTimeoutMs, relayed);
        auto* data = TidewireClient::expect<FileReadResponse> (response);

        // A block without data would leave the loop asking for ever.
        const auto count = data != nullptr ? data->getCount() : 0;
        const auto* bytes = count > 0 ? data->getMessage().readBytes (count) : nullptr;

        if (bytes == nullptr)
        {
            globalLog ("Failed on read");
            const auto why =
                data != nullptr ? " (the device sent a block of " + juce::String (count) + " bytes)" : exchangeReason();
            return failKeepingPartial ((isCancelled() ? "interrupted" : "fetch failed") + juce::String (" after ") +
                                       bytesOf (blocks.received, size) + why);
        }

        // More than was asked for, or than the file has left, is not this file.
        if (count > asked || count > size - blocks.received)
        {
            globalLog ("Protocol error: read answer of " + juce::String (count) + " bytes, " +
                       juce::String (juce::jmin ((juce::int64) asked, size - blocks.received)) + " at most were due");
            return failKeepingPartial ("fetch failed after " + bytesOf (blocks.received, size) +
                                       " (the device sent a block of " + juce::String (count) + " bytes)");
        }

        if (blocks.block % blocksPerProgressLine == 0)
            globalLog ("Block " + juce::String (blocks.block) + " Received.");

        ++blocks.block;

        if (blocks.writeFailed || !target.stream().write (bytes, (size_t) count))
        {
            target.logWriteFailure();
            // A write that waited on a pipe's reader until the cancel came was interrupted.
            if (isCancelled())
                return failKeepingPartial ("interrupted after " + bytesOf (blocks.received, size) + " (cancelled)");
            return failKeepingPartial (target.getFailure());
        }

        blocks.received += count;
        reportProgress (blocks.received, size);
        request.renumber();
    }

    if (!target.finish (options.durable))
        return failKeepingPartial (target.getFailure());

    // Every byte has arrived: the file is kept even when the device then fails to close
    // its end, which still fails the operation.
    const auto closed = client.closeFile (handle) == 0;

    // A copy that is not what the device holds must not replace the older file, nor be
    // taken up again by a resumed fetch.
    if (options.verify)
    {
        bool differs = false;
        auto written = target.readBack();
        const auto checked = written != nullptr ? verifyCopy (*written, where, remotePath, differs)
                                                : fail ("verify: can't read back what was written for " + where);
        written.reset();
        if (!checked.succeeded())
        {
            const auto partialFile = target.getPartialFile();
            if (!differs && keep)
            {
                target.abandon (true);
                return fail (checked.reason + "; the unchecked copy is kept as " + partialFile.getFullPathName() +
                             " (check it with: nubo get --continue --verify)");
            }
            const auto existed = juce::File (where).existsAsFile();
            target.abandon (false);
            return fail (checked.reason + "; the copy was removed" +
                         (existed ? ", " + where + " is as it was" : juce::String()));
        }
    }

    if (!target.commit (options.durable))
        return fail (target.getFailure());

    if (!closed)
        return fail ("the device did not close " + remotePath + exchangeReason());

    logThroughput (size - from, startMs);
    return OperationResult::done();
}

OperationResult TransferEngine::passOnVerified (const juce::String& remotePath, LocalFileTarget& target,
                                                const juce::String& destination, juce::int64 handle, juce::int64 size)
{
    const auto startMs = juce::Time::currentTimeMillis();
    reportProgress (0, size);

    // Each block goes on as it comes, hashed on its way through; a write that fails ends
    // the fetch, whatever block it was (the first and only one too).
    juce::int64 delivered = 0;
    bool writeFailed = false;
    RemoteFileStream stream (client, handle, size,
                             [&] (const void* data, size_t numBytes)
                             {
                                 if (!target.stream().write (data, numBytes))
                                 {
                                     writeFailed = true;
                                     return false;
                                 }
                                 delivered += (juce::int64) numBytes;
                                 reportProgress (delivered, size);
                                 return true;
                             });
    const auto passedOn = juce::SHA256 (stream).getRawData();

    if (stream.failed || stream.stopped || delivered != size)
    {
        if (writeFailed)
            target.logWriteFailure();
        else
            globalLog ("Failed on read");
        const auto why = target.getFailure();
        target.abandon();
        closeRemote (handle);
        if (writeFailed && !isCancelled())
            return fail (why + " (after " + bytesOf (delivered, size) + ")");
        return fail ((isCancelled() ? juce::String ("interrupted") : "fetch into " + destination + " failed") +
                     " after " + bytesOf (delivered, size) +
                     (stream.badCount > 0 ? " (the device sent a block of " + juce::String (stream.badCount) + " bytes)"
                                          : exchangeReason()));
    }

    const auto closed = client.closeFile (handle) == 0;
    if (!target.commit (false))
        return fail (target.getFailure());
    if (!closed)
        return fail ("the device did not close " + remotePath + exchangeReason());

    juce::MemoryBlock onDevice;
    if (const auto read = remoteDigest (remotePath, onDevice); !read.succeeded())
        return fail ("verify: " + read.reason);
    if (onDevice != passedOn)
        return fail ("verify: " + remotePath + " on the device differs from what was written to " + destination +
                     " (SHA-256 " + hex (onDevice) + " vs " + hex (passedOn) + ")");

    logThroughput (size, startMs);
    return OperationResult::done();
}

//==============================================================================
OperationResult TransferEngine::send (const juce::File& source, const juce::String& remotePath, RemoteEntry existing)
{
    return sendFile (source, remotePath, true, existing);
}

OperationResult TransferEngine::sendInPlace (const juce::File& source, const juce::String& remotePath)
{
    return sendFile (source, remotePath, false, RemoteEntry::unknown);
}

OperationResult TransferEngine::sendFile (const juce::File& source, const juce::String& remotePath, bool viaPartFile,
                                          RemoteEntry existing)
{
    const auto startMs = juce::Time::currentTimeMillis();
    const auto sourceName = source.getFullPathName();

    // The local file first: nothing on the device is touched before there is something
    // to put into it. Opened without waiting: a pipe in the way is refused, not waited on.
    const int fd = source == juce::File() ? -1 : ::open (sourceName.toRawUTF8(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info
    {
    };
    if (fd < 0 || ::fstat (fd, &info) != 0 || !S_ISREG (info.st_mode))
    {
        const auto why = fd < 0                   ? juce::String (std::strerror (errno))
                         : S_ISDIR (info.st_mode) ? juce::String ("it is a folder")
                                                  : juce::String ("not a regular file");
        if (fd >= 0)
            ::close (fd);
        globalLog ("Couldn't create input stream");
        return fail ((fd < 0 ? "can't read " : "can't send ") + sourceName + ": " + why);
    }

    juce::BufferedInputStream in (new LocalSource (fd, (juce::int64) info.st_size), localReadAheadSize, true);
    const auto size = in.getTotalLength();

    // The part file lies beside the remote file, under a name that is plainly ours.
    const auto slash = remotePath.lastIndexOfChar ('/');
    const auto remoteName = remotePath.substring (slash + 1);
    const auto folder = slash <= 0 ? juce::String ("/") : remotePath.substring (0, slash);
    const auto partPath = remotePath.substring (0, slash + 1) + "." + remoteName + ".nubo-part";

    if (viaPartFile)
    {
        if (remoteName.isEmpty())
        {
            globalLog ("No file name in remote path " + remotePath);
            return fail ("no file name in " + remotePath);
        }

        if (existing == RemoteEntry::unknown)
        {
            juce::StringArray files, folders;
            if (client.getFolderContents (folder, &files, &folders) != 0)
                return fail ("can't list " + folder + " on the device" + exchangeReason());
            existing = files.contains (remoteName)     ? RemoteEntry::file
                       : folders.contains (remoteName) ? RemoteEntry::folder
                                                       : RemoteEntry::none;
        }

        // Replacing it would delete a whole folder.
        if (existing == RemoteEntry::folder)
        {
            globalLog ("Remote path is a folder: " + remotePath);
            return fail (remotePath + " is a folder on the device");
        }
    }

    const auto writePath = viaPartFile ? partPath : remotePath;

    juce::int64 handle = 0;
    if (client.openFile (writePath, 0, handle) != 0)
        return fail ("can't open " + writePath + " on the device for writing" + exchangeReason());

    auto failClosing = [&] (const juce::String& why)
    {
        closeRemote (handle);
        if (viaPartFile)
            removeRemote (partPath);
        return fail (why);
    };

    FileWriteRequest request (handle, in);
    WriteRelay blocks (in, request);
    reportProgress (0, size);

    while (in.getPosition() < size)
    {
        blocks.before = in.getPosition();
        blocks.expected = juce::jmin ((juce::int64) blockSize, size - blocks.before);

        if (client.exchange (request, writeBlockTimeoutMs, &blocks) == nullptr)
        {
            globalLog ("Failed on write");
            return failClosing ((isCancelled() ? "interrupted" : "send failed") + juce::String (" after ") +
                                bytesOf (blocks.before, size) + exchangeReason());
        }

        // A local read that came up short was sent padded: the remote copy is wrong, and
        // a read that yields nothing would never get to the end.
        if (in.getPosition() != blocks.before + blocks.expected)
        {
            globalLog ("Couldn't read file - " + sourceName);
            return failClosing ("can't read " + sourceName + ": it changed or failed while being sent");
        }

        if (blocks.block % blocksPerProgressLine == 0)
            globalLog ("Block " + juce::String (blocks.block) + " Sent.");

        reportProgress (in.getPosition(), size);
        ++blocks.block;
        request.renumber();
    }

    if (client.closeFile (handle) != 0)
    {
        if (viaPartFile)
            removeRemote (partPath);
        return fail ("the device did not close " + writePath + exchangeReason());
    }

    // The part file is read back before it replaces anything: a copy damaged on the way
    // is removed and an older file stays as it was.
    if (options.verify)
    {
        bool differs = false;
        juce::FileInputStream local (source);
        const auto checked =
            local.openedOk() ? verifyCopy (local, sourceName, writePath, differs)
                             : fail ("verify: can't read " + sourceName + ": " + local.getStatus().getErrorMessage());
        if (!checked.succeeded())
        {
            if (viaPartFile)
                removeRemote (partPath);
            return fail (checked.reason +
                         (viaPartFile ? "; the copy on the device was removed" +
                                            (existing == RemoteEntry::file ? ", " + remotePath + " is as it was"
                                                                           : juce::String())
                                      : juce::String()));
        }
    }

    if (viaPartFile)
        if (auto failed = putPartFileInPlace (partPath, remotePath, existing == RemoteEntry::file))
            return *failed;

    logThroughput (size, startMs);
    return OperationResult::done();
}

std::optional<OperationResult> TransferEngine::putPartFileInPlace (const juce::String& partPath,
                                                                   const juce::String& remotePath, bool replaceOld)
{
    if (replaceOld && client.deleteEntry (remotePath) != 0)
    {
        globalLog ("Couldn't replace remote file " + remotePath);
        const auto why = exchangeReason();
        removeRemote (partPath);
        return fail ("can't replace " + remotePath + " on the device" + why);
    }

    if (client.moveEntry (partPath, remotePath, false) != 0)
    {
        // With the old file gone, the new copy is the only one on the device: it stays.
        globalLog ("Couldn't move " + partPath + " to " + remotePath);
        const auto why = exchangeReason();
        if (replaceOld)
            globalLog ("The new copy stays on the device as " + partPath);
        else
            removeRemote (partPath);
        return fail ("can't move " + partPath + " to " + remotePath + why +
                     (replaceOld ? "; the new copy stays on the device as " + partPath : juce::String()));
    }
    return std::nullopt;
}

//==============================================================================
OperationResult TransferEngine::openForReading (const juce::String& remotePath, juce::int64& handle, juce::int64& size)
{
    if (auto refused = openForReading (remotePath, " on the device", handle, size))
        return *refused;
    return OperationResult::done();
}

void TransferEngine::closeRemoteFile (juce::int64 handle)
{
    closeRemote (handle);
}

OperationResult TransferEngine::readAt (juce::int64 handle, juce::int64 fileSize, juce::int64& position,
                                        juce::int64 offset, juce::int64 count, juce::MemoryBlock& into)
{
    into.setSize (0);
    const auto end = juce::jmin (fileSize, offset + juce::jmax ((juce::int64) 0, count));
    if (offset < 0 || offset >= end)
        return OperationResult::done();

    if (offset != position)
    {
        if (client.seekFile (handle, offset) != 0)
        {
            position = -1;
            return fail ("can't read at byte " + juce::String (offset) + exchangeReason());
        }
        position = offset;
    }

    const auto total = end - offset;
    into.setSize ((size_t) total);
    juce::int64 received = 0;
    while (received < total)
    {
        const auto asked = (juce::int32) juce::jmin ((juce::int64) blockSize, total - received);
        FileReadRequest request (handle, (juce::uint32) asked);
        MemoryReadRelay blocks (into, request, total, asked, received);
        const auto response = client.exchange (request, exchangeTimeoutMs, &blocks);
        received = blocks.received;

        auto* data = TidewireClient::expect<FileReadResponse> (response);
        const auto got = data != nullptr ? data->getCount() : 0;
        const auto* bytes = got > 0 && got <= asked ? data->getMessage().readBytes (got) : nullptr;
        if (bytes == nullptr)
        {
            globalLog ("Failed on read");
            position = -1;
            into.setSize (0);
            return fail ("read failed at byte " + juce::String (offset + received) +
                         (data != nullptr ? " (the device sent a block of " + juce::String (got) + " bytes)"
                                          : exchangeReason()));
        }
        std::memcpy (static_cast<char*> (into.getData()) + received, bytes, (size_t) got);
        received += got;
    }
    position = end;
    return OperationResult::done();
}

OperationResult TransferEngine::remoteDigest (const juce::String& remotePath, juce::MemoryBlock& digest)
{
    juce::int64 handle = 0, size = 0;
    if (auto refused = openForReading (remotePath, " on the device to verify it", handle, size))
        return *refused;

    RemoteFileStream stream (client, handle, size);
    const juce::SHA256 sha (stream);

    if (stream.failed || stream.getPosition() != size)
    {
        closeRemote (handle);
        return fail ("can't read " + remotePath + " back to verify it" + exchangeReason());
    }

    client.closeFile (handle);
    digest = sha.getRawData();
    return OperationResult::done();
}

OperationResult TransferEngine::verifyCopy (juce::InputStream& local, const juce::String& localName,
                                            const juce::String& remotePath, bool& differs)
{
    differs = false;

    juce::MemoryBlock onDevice;
    if (const auto read = remoteDigest (remotePath, onDevice); !read.succeeded())
        return fail ("verify: " + read.reason);

    const auto here = juce::SHA256 (local).getRawData();
    if (local.getPosition() != local.getTotalLength())
        return fail ("verify: can't read " + localName + " through");

    if (here != onDevice)
    {
        differs = true;
        return fail ("verify: " + remotePath + " on the device differs from " + localName + " (SHA-256 " +
                     hex (onDevice) + " vs " + hex (here) + ")");
    }
    return OperationResult::done();
}

OperationResult TransferEngine::compareWithRemote (const juce::File& local, const juce::String& remotePath)
{
    juce::FileInputStream in (local);
    if (!in.openedOk())
        return fail ("verify: can't read " + local.getFullPathName() + ": " + in.getStatus().getErrorMessage());
    bool differs = false;
    return verifyCopy (in, local.getFullPathName(), remotePath, differs);
}
