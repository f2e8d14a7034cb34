// The device operations of TidewireClient: each a fixed chain of synchronous exchanges.

#include "protocol/TidewireClient.h"

#include "log/GlobalLog.h"
#include "protocol/LocalFileTarget.h"
#include "protocol/LocalPaths.h"
#include "protocol/TidewireClientRequest.h"
#include "protocol/TidewireClientResponse.h"

#include <climits>
#include <cstdio>
#include <sys/stat.h>

namespace
{
constexpr int exchangeTimeoutMs = 1000;
constexpr int writeBlockTimeoutMs = 5000;
constexpr int blocksPerProgressLine = 256;

constexpr int maxFolderDepth = TidewireClient::maxFolderDepth;

// Exchanges in a row that the device leaves unanswered before a folder transfer gives up
// on it: one may be a slow moment, two mean the rest would each wait a time-out too.
constexpr int unansweredStepsToStop = 2;

/** The response as the class the exchange must answer with, or null after logging
    (the device answered with the right serial number but the wrong message). */
template <typename ResponseType> ResponseType* expect (const std::unique_ptr<TidewireClientResponse>& response)
{
    if (response == nullptr)
        return nullptr;

    auto* typed = dynamic_cast<ResponseType*> (response.get());
    if (typed == nullptr)
        globalLog ("Unrecognized response.");
    return typed;
}

/** Where an entry of a folder transfer goes locally, or juce::File() after logging why
    it is skipped. */
juce::File localChild (const juce::File& folder, const juce::String& name, const juce::String& remotePath)
{
    const auto child = LocalPaths::childOf (folder, name);

    if (name.getNumBytesAsUTF8() > (size_t) NAME_MAX ||
        (child != juce::File() && !LocalPaths::fitsSystemLimits (child)))
    {
        globalLog ("Skipping path longer than the system allows: " + escapeControlCharacters (remotePath));
        return {};
    }

    if (child == juce::File())
        globalLog ("Skipping unsafe name " + escapeControlCharacters (name));
    return child;
}

void logFolderSummary (int transferred, int failed)
{
    globalLog ("Folder transfer finished: " + juce::String (transferred) + " transferred, " + juce::String (failed) +
               " failed");
}

// Blocks are taken from the local file several at a time: one file read per block
// would sit on every exchange's round trip.
constexpr int localReadAheadSize = 16 * TidewireClientRequest::maxFileBlockSize;

/** A local file as it was when the transfer began: its length is taken once, where a
    file stream would ask the file system again at every question (several times for
    each block). */
class FileSnapshotStream final : public juce::InputStream
{
public:
    explicit FileSnapshotStream (std::unique_ptr<juce::FileInputStream> source)
        : file (std::move (source)), length (file->getTotalLength())
    {
    }

    juce::int64 getTotalLength() override
    {
        return length;
    }
    bool isExhausted() override
    {
        return file->getPosition() >= length;
    }
    juce::int64 getPosition() override
    {
        return file->getPosition();
    }
    bool setPosition (juce::int64 position) override
    {
        return file->setPosition (position);
    }

    int read (void* destination, int maxBytes) override
    {
        const auto left = length - file->getPosition();
        return left > 0 ? file->read (destination, (int) juce::jmin ((juce::int64) maxBytes, left)) : 0;
    }

private:
    std::unique_ptr<juce::FileInputStream> file;
    const juce::int64 length;
};

/** The local file to send, opened, or null when it is not a regular file that can be
    read (a pipe or a device would block, or never end). */
std::unique_ptr<juce::InputStream> openLocalSource (const juce::File& local)
{
    struct stat st;
    if (local == juce::File() || ::stat (local.getFullPathName().toRawUTF8(), &st) != 0 || !S_ISREG (st.st_mode))
        return nullptr;

    auto file = local.createInputStream();
    if (file == nullptr)
        return nullptr;

    return std::make_unique<juce::BufferedInputStream> (new FileSnapshotStream (std::move (file)), localReadAheadSize,
                                                        true);
}
} // namespace

//==============================================================================
int TidewireClient::openFile (juce::String remotePath, int mode, juce::int64& handle, juce::int64* fileSize)
{
    FileOpenRequest request (remotePath, mode != 0);
    const auto response = sendRequestSync (request, exchangeTimeoutMs);
    const auto* opened = expect<FileOpenResponse> (response);

    if (opened == nullptr)
    {
        globalLog ("failed to open remote file");
        return -1;
    }

    handle = opened->getHandle();
    if (fileSize != nullptr)
        *fileSize = opened->getFileSize();
    return 0;
}

int TidewireClient::closeFile (juce::int64 handle)
{
    FileCloseRequest request (handle);
    if (sendRequestSync (request, exchangeTimeoutMs) == nullptr)
    {
        globalLog ("failed to close remote file");
        return -1;
    }
    return 0;
}

void TidewireClient::closeAfterFailure (juce::int64 handle)
{
    // A handle left open would keep the remote file busy; a device that is gone would
    // only add a time-out. A cancelled transfer still closes it while the device answers.
    if (isLinkLost() || !canHearDevice())
        return;

    const auto wasAborted = isAborted();
    if (wasAborted)
        resetAbort();
    closeFile (handle);
    if (wasAborted)
        abortOperations();
}

void TidewireClient::logThroughput (juce::int64 numBytes, juce::int64 startMs)
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

//==============================================================================
void TidewireClient::removeAfterFailure (const juce::String& remotePath)
{
    // As closeAfterFailure: a cancelled send still removes its part file while the
    // device answers.
    if (isLinkLost() || !canHearDevice())
        return;

    const auto wasAborted = isAborted();
    if (wasAborted)
        resetAbort();
    deleteEntry (remotePath);
    if (wasAborted)
        abortOperations();
}

int TidewireClient::putFile (juce::String localPath, juce::String remotePath)
{
    return sendFile (localPath, remotePath, true, RemoteEntry::unknown);
}

int TidewireClient::putFileInPlace (juce::String localPath, juce::String remotePath)
{
    return sendFile (localPath, remotePath, false, RemoteEntry::unknown);
}

int TidewireClient::sendFile (const juce::String& localPath, const juce::String& remotePath, bool viaPartFile,
                              RemoteEntry existing)
{
    const auto startMs = juce::Time::currentTimeMillis();

    // The local file first: nothing on the device is touched before there is something
    // to put into it.
    const auto local = LocalPaths::resolve (localPath);
    auto in = openLocalSource (local);
    if (in == nullptr)
    {
        globalLog ("Couldn't create input stream");
        return -1;
    }
    const auto size = in->getTotalLength();

    // The part file lies beside the remote file, under a name that is plainly ours.
    const auto slash = remotePath.lastIndexOfChar ('/');
    const auto remoteName = remotePath.substring (slash + 1);
    const auto partPath = remotePath.substring (0, slash + 1) + "." + remoteName + ".nubo-part";

    if (viaPartFile)
    {
        if (remoteName.isEmpty())
        {
            globalLog ("No file name in remote path " + remotePath);
            return -1;
        }

        if (existing == RemoteEntry::unknown)
        {
            juce::StringArray files, folders;
            if (getFolderContents (slash == 0 ? juce::String ("/") : remotePath.substring (0, slash), &files,
                                   &folders) != 0)
                return -1;
            existing = files.contains (remoteName)     ? RemoteEntry::file
                       : folders.contains (remoteName) ? RemoteEntry::folder
                                                       : RemoteEntry::none;
        }

        // Replacing it would delete a whole folder.
        if (existing == RemoteEntry::folder)
        {
            globalLog ("Remote path is a folder: " + remotePath);
            return -1;
        }
    }

    const auto writePath = viaPartFile ? partPath : remotePath;

    juce::int64 handle = 0;
    if (openFile (writePath, 0, handle) != 0)
        return -1;

    auto fail = [&]
    {
        in.reset();
        closeAfterFailure (handle);
        if (viaPartFile)
            removeAfterFailure (partPath);
        return -1;
    };

    FileWriteRequest request (handle, *in);

    /** The blocks between two progress lines, answered on the reader thread: each plain
        acknowledgement of a block that was read in full sends the next block at once. */
    struct WriteRelay final : BlockContinuation
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
            expected =
                juce::jmin ((juce::int64) TidewireClientRequest::maxFileBlockSize, in.getTotalLength() - position);
            request.renumber();
            return true;
        }

        juce::InputStream& in;
        FileWriteRequest& request;
        juce::int64 before = 0, expected = 0; // of the block whose answer is awaited
        int block = 0;
    };

    WriteRelay blocks (*in, request);
    reportTransferProgress (0, size);

    while (in->getPosition() < in->getTotalLength())
    {
        blocks.before = in->getPosition();
        blocks.expected =
            juce::jmin ((juce::int64) TidewireClientRequest::maxFileBlockSize, in->getTotalLength() - blocks.before);

        if (exchange (request, writeBlockTimeoutMs, &blocks) == nullptr)
        {
            globalLog ("Failed on write");
            return fail();
        }

        // A local read that came up short was sent padded: the remote copy is wrong,
        // and a read that yields nothing would never get to the end.
        if (in->getPosition() != blocks.before + blocks.expected)
        {
            globalLog ("Couldn't read file - " + local.getFullPathName());
            return fail();
        }

        if (blocks.block % blocksPerProgressLine == 0)
            globalLog ("Block " + juce::String (blocks.block) + " Sent.");

        reportTransferProgress (in->getPosition(), size);
        ++blocks.block;
        request.renumber();
    }

    in.reset();

    if (closeFile (handle) != 0)
    {
        if (viaPartFile)
            removeAfterFailure (partPath);
        return -1;
    }

    if (viaPartFile && !putPartFileInPlace (partPath, remotePath, existing == RemoteEntry::file))
        return -1;

    logThroughput (size, startMs);
    return 0;
}

bool TidewireClient::putPartFileInPlace (const juce::String& partPath, const juce::String& remotePath, bool replaceOld)
{
    if (replaceOld && deleteEntry (remotePath) != 0)
    {
        globalLog ("Couldn't replace remote file " + remotePath);
        removeAfterFailure (partPath);
        return false;
    }

    if (moveEntry (partPath, remotePath, false) != 0)
    {
        // With the old file gone, the new copy is the only one on the device: it stays.
        globalLog ("Couldn't move " + partPath + " to " + remotePath);
        if (replaceOld)
            globalLog ("The new copy stays on the device as " + partPath);
        else
            removeAfterFailure (partPath);
        return false;
    }
    return true;
}

int TidewireClient::getFile (juce::String remotePath, juce::String localPath)
{
    // The user picked this path: a link there is theirs and is written through.
    return fetchFile (remotePath, LocalPaths::resolve (localPath), true);
}

int TidewireClient::fetchFile (const juce::String& remotePath, const juce::File& local, bool followLinks)
{
    const auto startMs = juce::Time::currentTimeMillis();

    juce::int64 handle = 0, fileSize = 0;
    if (openFile (remotePath, 1, handle, &fileSize) != 0)
        return -1;

    globalLog ("Getting remote file " + remotePath);

    if (fileSize < 0)
    {
        globalLog ("Protocol error: file size " + juce::String (fileSize) + " from the device");
        closeAfterFailure (handle);
        return -1;
    }

    LocalFileTarget target (local,
                            followLinks ? LocalFileTarget::Links::writeThrough : LocalFileTarget::Links::replace);
    if (!target.open())
    {
        closeAfterFailure (handle);
        return -1;
    }

    auto fail = [&]
    {
        target.abandon();
        closeAfterFailure (handle);
        return -1;
    };

    // The request asks for a whole block, or the whole file when it is smaller.
    const auto asked = (juce::int32) juce::jmin ((juce::int64) TidewireClientRequest::maxFileBlockSize, fileSize);
    FileReadRequest request (handle, (juce::uint32) asked);

    /** The blocks between two progress lines, taken on the reader thread: a block that
        passes every check of the loop below is written and the next one asked for at
        once. A failed write sends nothing more; the loop then reports it in its place.

        While the device answers, room is set aside in the file some blocks ahead. A
        block that lands in that room cannot fail for want of space, and is written
        after the next request has gone out rather than before (the target gathers such
        blocks, several to a system call); any other block is written first, as a
        failure there must stop the transfer before it asks for more. */
    struct ReadRelay final : BlockContinuation
    {
        ReadRelay (LocalFileTarget& t, FileReadRequest& r, juce::int64 size, juce::int32 a)
            : target (t), request (r), fileSize (size), asked (a)
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
        juce::int64 received = 0;
        int block = 0;
        bool writeFailed = false; // the handed-back block's bytes were written, and that failed
    };

    // Writes to a pipe may wait on its reader: those stay on this thread.
    ReadRelay blocks (target, request, fileSize, asked);
    auto* relayed = target.isDirect() ? nullptr : &blocks;
    reportTransferProgress (0, fileSize);

    while (blocks.received < fileSize)
    {
        const auto response = exchange (request, exchangeTimeoutMs, relayed);
        auto* data = expect<FileReadResponse> (response);

        // A block without data would leave the loop asking for ever.
        const auto count = data != nullptr ? data->getCount() : 0;
        const auto* bytes = count > 0 ? data->getMessage().readBytes (count) : nullptr;

        if (bytes == nullptr)
        {
            globalLog ("Failed on read");
            return fail();
        }

        // More than was asked for, or than the file has left, is not this file.
        if (count > asked || count > fileSize - blocks.received)
        {
            globalLog ("Protocol error: read answer of " + juce::String (count) + " bytes, " +
                       juce::String (juce::jmin ((juce::int64) asked, fileSize - blocks.received)) +
                       " at most were due");
            return fail();
        }

        if (blocks.block % blocksPerProgressLine == 0)
            globalLog ("Block " + juce::String (blocks.block) + " Received.");

        ++blocks.block;

        if (blocks.writeFailed || !target.stream().write (bytes, (size_t) count))
        {
            target.logWriteFailure();
            return fail();
        }

        blocks.received += count;
        reportTransferProgress (blocks.received, fileSize);
        request.renumber();
    }

    // Every byte has arrived: the file is kept even when the device then fails to
    // close its end, which still fails the operation.
    const auto closed = closeFile (handle) == 0;

    if (!target.commit())
        return -1;

    if (!closed)
        return -1;

    logThroughput (fileSize, startMs);
    return 0;
}

//==============================================================================
void TidewireClient::setMaxFolderEntries (int maxEntries)
{
    maxFolderEntries = juce::jmax (1, maxEntries);
}

int TidewireClient::getMaxFolderEntries() const
{
    return maxFolderEntries;
}

bool TidewireClient::folderTreeStops (FolderTally& tally, int entriesLeft)
{
    if (!tally.stopped)
    {
        juce::String why;
        if (isAborted())
            tally.stopped = true; // the user's own choice: no line of its own
        else if (isLinkLost())
            why = "the connection to the device is lost";
        else if (tally.unansweredInARow >= unansweredStepsToStop)
            why = "the device has stopped answering";
        else if (tally.entries >= maxFolderEntries)
            why = "more than " + juce::String (maxFolderEntries) + " entries";

        if (why.isNotEmpty())
        {
            globalLog ("Folder transfer stopped: " + why + "; the entries left count as failed");
            tally.stopped = true;
        }
    }

    if (tally.stopped)
    {
        tally.failed += entriesLeft;
        return true;
    }

    ++tally.entries;
    return false;
}

void TidewireClient::noteFolderStep (FolderTally& tally)
{
    const auto serial = (juce::int32) lastSerial.load();
    if (serial == tally.lastSeenSerial)
        return; // nothing was asked of the device

    tally.lastSeenSerial = serial;
    tally.unansweredInARow = getLastExchangeOutcome() == ExchangeOutcome::unanswered ? tally.unansweredInARow + 1 : 0;
}

int TidewireClient::putFolder (juce::String localFolder, juce::String remoteFolder)
{
    // Checked before the device is touched: there would be nothing to send.
    const auto local = LocalPaths::resolve (localFolder);
    if (!local.isDirectory())
    {
        globalLog ("Couldn't read folder " + local.getFullPathName());
        return -1;
    }

    FolderTally tally;
    tally.lastSeenSerial = (juce::int32) lastSerial.load();
    if (!putFolderTree (local, remoteFolder, 1, tally))
        return -1;

    if (isAborted())
        return -1;

    logFolderSummary (tally.transferred, tally.failed);
    return tally.failed == 0 ? 0 : -1;
}

bool TidewireClient::putFolderTree (const juce::File& local, const juce::String& remoteFolder, int depth,
                                    FolderTally& tally)
{
    FileSystemEntryInfo info;
    const auto known = getEntryInfo (remoteFolder, true, info) == 0;
    noteFolderStep (tally);
    if (!known)
    {
        globalLog ("Can't get info for remote folder.");
        return false;
    }

    if (info.exists == 0)
    {
        createFolder (remoteFolder);
        noteFolderStep (tally);
    }

    // What is there already, so that each file need not ask again.
    juce::StringArray remoteFiles, remoteFolders;
    const auto listed = getFolderContents (remoteFolder, &remoteFiles, &remoteFolders) == 0;
    noteFolderStep (tally);

    const auto children = local.findChildFiles (juce::File::findFilesAndDirectories, false, "*");

    for (int i = 0; i < children.size(); ++i)
    {
        const auto& child = children.getReference (i);
        if (folderTreeStops (tally, children.size() - i))
            return true;

        // Following a link to a folder could loop for ever (a link to a parent).
        if (child.isDirectory() && child.isSymbolicLink())
        {
            globalLog ("Skipping link to folder " + child.getFullPathName());
            continue;
        }

        const auto name = child.getFileName();
        const auto remoteChild = remoteFolder + "/" + name;

        // One child's failure does not stop the others.
        if (child.isDirectory())
        {
            if (depth >= maxFolderDepth)
            {
                globalLog ("Skipping folder nested deeper than " + juce::String (maxFolderDepth) +
                           " levels: " + child.getFullPathName());
                ++tally.failed;
            }
            else if (!putFolderTree (child, remoteChild, depth + 1, tally))
            {
                ++tally.failed;
            }
            continue;
        }

        const auto existing = !listed                         ? RemoteEntry::unknown
                              : remoteFiles.contains (name)   ? RemoteEntry::file
                              : remoteFolders.contains (name) ? RemoteEntry::folder
                                                              : RemoteEntry::none;

        if (sendFile (child.getFullPathName(), remoteChild, true, existing) == 0)
            ++tally.transferred;
        else
            ++tally.failed;
        noteFolderStep (tally);
    }

    return true;
}

int TidewireClient::getFolder (juce::String remoteFolder, juce::String localParent, juce::String name)
{
    const auto parent = LocalPaths::resolve (localParent);
    if (!parent.isDirectory())
        return -1;

    juce::StringArray fileNames, folderNames;
    if (getFolderContents (remoteFolder, &fileNames, &folderNames) != 0)
        return -1;

    if (name.isEmpty())
    {
        auto path = remoteFolder.trim();
        if (path.endsWith ("/"))
            path = path.upToLastOccurrenceOf ("/", false, false);
        name = path.fromLastOccurrenceOf ("/", false, false);
    }

    const auto folder = localChild (parent, name, remoteFolder);
    if (folder == juce::File())
        return -1;

    FolderTally tally;
    tally.lastSeenSerial = (juce::int32) lastSerial.load();
    getFolderTree (remoteFolder, fileNames, folderNames, folder, 1, tally);

    if (isAborted())
        return -1;

    logFolderSummary (tally.transferred, tally.failed);
    return tally.failed == 0 ? 0 : -1;
}

void TidewireClient::getFolderTree (const juce::String& remoteFolder, const juce::StringArray& fileNames,
                                    const juce::StringArray& folderNames, const juce::File& folder, int depth,
                                    FolderTally& tally)
{
    // Nothing is written outside the folder the user chose, not even through a link.
    if (folder.isSymbolicLink())
    {
        globalLog ("Skipping link " + folder.getFullPathName());
        ++tally.failed;
        return;
    }

    folder.createDirectory();
    if (!folder.isDirectory())
    {
        globalLog ("Couldn't create folder " + folder.getFullPathName());
        ++tally.failed;
        return;
    }

    const auto entriesHere = fileNames.size() + folderNames.size();

    for (int i = 0; i < fileNames.size(); ++i)
    {
        if (folderTreeStops (tally, entriesHere - i))
            return;

        const auto& file = fileNames[i];
        const auto remoteFile = remoteFolder + "/" + file;
        const auto local = localChild (folder, file, remoteFile);

        // The fetched tree is a copy: whatever has the name there is replaced, a link
        // included, and never written through.
        if (local != juce::File() && fetchFile (remoteFile, local, false) == 0)
            ++tally.transferred;
        else
            ++tally.failed;
        noteFolderStep (tally);
    }

    for (int i = 0; i < folderNames.size(); ++i)
    {
        if (folderTreeStops (tally, folderNames.size() - i))
            return;

        const auto& subFolder = folderNames[i];
        const auto remoteSub = remoteFolder + "/" + subFolder;
        const auto local = localChild (folder, subFolder, remoteSub);
        if (local == juce::File())
        {
            ++tally.failed;
            continue;
        }

        if (depth >= maxFolderDepth)
        {
            globalLog ("Skipping folder nested deeper than " + juce::String (maxFolderDepth) +
                       " levels: " + escapeControlCharacters (remoteSub));
            ++tally.failed;
            continue;
        }

        juce::StringArray subFiles, subFolders;
        const auto listed = getFolderContents (remoteSub, &subFiles, &subFolders) == 0;
        noteFolderStep (tally);
        if (!listed)
        {
            ++tally.failed;
            continue;
        }

        getFolderTree (remoteSub, subFiles, subFolders, local, depth + 1, tally);
    }
}

//==============================================================================
int TidewireClient::getFolderContents (juce::String remoteFolder, juce::StringArray* fileNames,
                                       juce::StringArray* folderNames, juce::Array<juce::MemoryBlock>* fileNameBytes,
                                       juce::Array<juce::MemoryBlock>* folderNameBytes)
{
    FolderContentsRequest request (remoteFolder);
    const auto response = sendRequestSync (request, exchangeTimeoutMs);
    const auto* contents = expect<FolderContentsResponse> (response);
    if (contents == nullptr)
        return -1;

    if (fileNames != nullptr)
        *fileNames = contents->getFileNames();
    if (folderNames != nullptr)
        *folderNames = contents->getFolderNames();
    if (fileNameBytes != nullptr)
        *fileNameBytes = contents->getFileNameBytes();
    if (folderNameBytes != nullptr)
        *folderNameBytes = contents->getFolderNameBytes();
    return 0;
}

int TidewireClient::getEntryInfo (juce::String path, bool isFolder, FileSystemEntryInfo& info)
{
    FileSystemEntryInfoRequest request (path, isFolder);
    const auto response = sendRequestSync (request, exchangeTimeoutMs);
    const auto* entry = expect<FileSystemEntryInfoResponse> (response);
    if (entry == nullptr)
        return -1;

    info = entry->getInfo();
    return 0;
}

int TidewireClient::createFolder (juce::String path)
{
    FileSystemEntryCreateRequest request (path, true, true);
    return sendRequestSync (request, exchangeTimeoutMs) != nullptr ? 0 : -1;
}

int TidewireClient::deleteEntry (juce::String path)
{
    FileSystemEntryDeleteRequest request (path, true, true, false);
    return sendRequestSync (request, exchangeTimeoutMs) != nullptr ? 0 : -1;
}

int TidewireClient::moveEntry (juce::String oldPath, juce::String newPath, bool isFolder)
{
    FileSystemEntryMoveRequest request (oldPath, newPath, isFolder, false, true);
    return sendRequestSync (request, exchangeTimeoutMs) != nullptr ? 0 : -1;
}

int TidewireClient::whoAmI (DeviceIdentity& identity)
{
    WhoAmIRequest request;
    const auto response = sendRequestSync (request, exchangeTimeoutMs);
    const auto* who = expect<WhoAmIResponse> (response);
    if (who == nullptr)
        return -1;

    identity.familyId = who->getFamilyId();
    identity.deviceId = who->getDeviceId();
    identity.protocolVersion = who->getProtocolVersion();
    identity.firmwareVersion = who->getFirmwareVersion();
    identity.text1 = who->getText1().toStdString();
    identity.text2 = who->getText2().toStdString();
    return 0;
}

int TidewireClient::seekFile (juce::int64 handle, juce::int64 offset)
{
    FileSeekRequest request (handle, offset, 0);
    if (sendRequestSync (request, exchangeTimeoutMs) == nullptr)
    {
        globalLog ("failed to seek remote file");
        return -1;
    }
    return 0;
}
