// The device operations of TidewireClient: each a fixed chain of synchronous exchanges.

#include "protocol/TidewireClient.h"

#include "log/GlobalLog.h"
#include "protocol/TidewireClientRequest.h"
#include "protocol/TidewireClientResponse.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{
constexpr int exchangeTimeoutMs = 1000;
constexpr int writeBlockTimeoutMs = 5000;
constexpr int blocksPerProgressLine = 256;
constexpr int localWriteBufferSize = 32768;
constexpr int maxLocalNameBytes = 255;

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

/** Local paths may be given relative to the working folder. */
juce::File localFile (const juce::String& path)
{
    return juce::File::getCurrentWorkingDirectory().getChildFile (path);
}

/** Whether a name from the device can become one entry directly inside a local folder:
    nothing that climbs out of it, names a path, or cannot be a file name. */
bool isSafeLocalName (const juce::String& name)
{
    if (name.isEmpty() || name == "." || name == ".." || name.containsAnyOf ("/\\"))
        return false;

    if ((int) name.getNumBytesAsUTF8() > maxLocalNameBytes)
        return false;

    for (auto p = name.getCharPointer(); !p.isEmpty(); ++p)
        if (isControlCharacter (*p))
            return false;

    return true;
}

bool checkLocalName (const juce::String& name)
{
    if (isSafeLocalName (name))
        return true;

    globalLog ("Skipping unsafe name " + escapeControlCharacters (name));
    return false;
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

/** Creates a new empty file beside the target, under a name nobody else uses; the
    file is made here, so no existing file or link is ever written through. */
juce::File createPartFile (const juce::File& target)
{
    const auto folder = target.getParentDirectory();

    for (int attempt = 0; attempt < 100; ++attempt)
    {
        const auto name = ".nubo-" + juce::String::toHexString (juce::Random::getSystemRandom().nextInt()) + ".part";
        const auto candidate = folder.getChildFile (name);

        const auto fd = ::open (candidate.getFullPathName().toRawUTF8(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0)
        {
            ::close (fd);
            return candidate;
        }

        if (errno != EEXIST)
            break;
    }

    return {};
}

/** Puts the part file in the target's place in one step; a link there is replaced,
    not followed. */
bool replaceWithPartFile (const juce::File& part, const juce::File& target)
{
    return std::rename (part.getFullPathName().toRawUTF8(), target.getFullPathName().toRawUTF8()) == 0;
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
    // A handle left open would keep the remote file busy. An aborted operation, or a
    // device that is gone, would only add a time-out.
    if (!isAborted() && canHearDevice())
        closeFile (handle);
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
int TidewireClient::putFile (juce::String localPath, juce::String remotePath)
{
    const auto startMs = juce::Time::currentTimeMillis();

    juce::int64 handle = 0;
    if (openFile (remotePath, 0, handle) != 0)
        return -1;

    const auto local = localFile (localPath);
    const auto size = local.getSize();

    std::unique_ptr<juce::InputStream> in;
    if (!local.isDirectory())
        if (auto file = local.createInputStream())
            in = std::make_unique<juce::BufferedInputStream> (new FileSnapshotStream (std::move (file)),
                                                              localReadAheadSize, true);

    if (in == nullptr)
    {
        globalLog ("Couldn't create input stream");
        closeAfterFailure (handle);
        return -1;
    }

    FileWriteRequest request (handle, *in);
    int block = 0;

    while (in->getPosition() < in->getTotalLength())
    {
        const auto before = in->getPosition();
        const auto expected =
            juce::jmin ((juce::int64) TidewireClientRequest::maxFileBlockSize, in->getTotalLength() - before);

        if (sendRequestSync (request, writeBlockTimeoutMs) == nullptr)
        {
            globalLog ("Failed on write");
            in.reset();
            closeAfterFailure (handle);
            return -1;
        }

        // A local read that came up short was sent padded: the remote copy is wrong,
        // and a read that yields nothing would never get to the end.
        if (in->getPosition() != before + expected)
        {
            globalLog ("Couldn't read file - " + local.getFullPathName());
            in.reset();
            closeAfterFailure (handle);
            return -1;
        }

        if (block % blocksPerProgressLine == 0)
            globalLog ("Block " + juce::String (block) + " Sent.");

        ++block;
        request.renumber();
    }

    in.reset();

    if (closeFile (handle) != 0)
        return -1;

    logThroughput (size, startMs);
    return 0;
}

int TidewireClient::getFile (juce::String remotePath, juce::String localPath)
{
    const auto startMs = juce::Time::currentTimeMillis();

    juce::int64 handle = 0, fileSize = 0;
    if (openFile (remotePath, 1, handle, &fileSize) != 0)
        return -1;

    globalLog ("Getting remote file " + remotePath);

    const auto target = localFile (localPath);

    // A folder in the way would only be found after the whole transfer.
    if (target.isDirectory() && !target.isSymbolicLink())
    {
        globalLog ("Couldn't write file - " + localPath);
        closeAfterFailure (handle);
        return -1;
    }

    // The data goes into a part file beside the target, which takes the target's place
    // only once every byte is in: a failed transfer leaves an existing target as it was.
    const auto part = createPartFile (target);
    std::unique_ptr<juce::FileOutputStream> out;
    if (part != juce::File())
    {
        out = std::make_unique<juce::FileOutputStream> (part, localWriteBufferSize);
        if (!out->openedOk())
            out.reset();
    }

    auto fail = [&]
    {
        out.reset();
        if (part != juce::File())
            part.deleteFile();
        closeAfterFailure (handle);
        return -1;
    };

    if (out == nullptr)
    {
        globalLog ("Couldn't create output stream");
        return fail();
    }

    // The request asks for a whole block, or the whole file when it is smaller.
    FileReadRequest request (
        handle,
        (juce::uint32) juce::jlimit ((juce::int64) 0, (juce::int64) TidewireClientRequest::maxFileBlockSize, fileSize));
    juce::int64 received = 0;
    int block = 0;

    while (received < fileSize)
    {
        const auto response = sendRequestSync (request, exchangeTimeoutMs);
        auto* data = expect<FileReadResponse> (response);

        // A block without data would leave the loop asking for ever.
        const auto count = data != nullptr ? data->getCount() : 0;
        const auto* bytes = count > 0 ? data->getMessage().readBytes (count) : nullptr;

        if (bytes == nullptr)
        {
            globalLog ("Failed on read");
            return fail();
        }

        if (block % blocksPerProgressLine == 0)
            globalLog ("Block " + juce::String (block) + " Received.");

        ++block;

        if (!out->write (bytes, (size_t) count))
        {
            globalLog ("Couldn't write file - " + localPath);
            return fail();
        }

        received += count;
        request.renumber();
    }

    out->flush();
    const auto written = out->getStatus().wasOk();
    out.reset();

    if (!written)
    {
        globalLog ("Couldn't write file - " + localPath);
        return fail();
    }

    // Every byte has arrived: the file is kept even when the device then fails to
    // close its end, which still fails the operation.
    const auto closed = closeFile (handle) == 0;

    if (!replaceWithPartFile (part, target))
    {
        globalLog ("Couldn't write file - " + localPath);
        part.deleteFile();
        return -1;
    }

    if (!closed)
        return -1;

    logThroughput (fileSize, startMs);
    return 0;
}

//==============================================================================
int TidewireClient::putFolder (juce::String localFolder, juce::String remoteFolder)
{
    FileSystemEntryInfo info;
    if (getEntryInfo (remoteFolder, true, info) != 0)
    {
        globalLog ("Can't get info for remote folder.");
        return -1;
    }

    if (info.exists == 0)
        createFolder (remoteFolder);

    const auto local = localFile (localFolder);
    const auto children = local.findChildFiles (juce::File::findFilesAndDirectories, false, "*");

    for (const auto& child : children)
    {
        if (isAborted())
            return -1;

        // Following a link to a folder could loop for ever (a link to a parent).
        if (child.isDirectory() && child.isSymbolicLink())
        {
            globalLog ("Skipping link to folder " + child.getFullPathName());
            continue;
        }

        const auto remoteChild = remoteFolder + "/" + child.getFileName();

        // One child's failure does not stop the others.
        if (child.isDirectory())
            putFolder (child.getFullPathName(), remoteChild);
        else
            putFile (child.getFullPathName(), remoteChild);
    }

    return 0;
}

int TidewireClient::getFolder (juce::String remoteFolder, juce::String localParent, juce::String name)
{
    const auto parent = localFile (localParent);
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

    if (!checkLocalName (name))
        return -1;

    const auto folder = parent.getChildFile (name);

    // Nothing is written outside the folder the user chose, not even through a link.
    if (folder.isSymbolicLink())
    {
        globalLog ("Skipping link " + folder.getFullPathName());
        return -1;
    }

    folder.createDirectory();
    if (!folder.isDirectory())
    {
        globalLog ("Couldn't create folder " + folder.getFullPathName());
        return -1;
    }

    for (const auto& file : fileNames)
    {
        if (isAborted())
            return -1;
        if (checkLocalName (file))
            getFile (remoteFolder + "/" + file, folder.getChildFile (file).getFullPathName());
    }

    for (const auto& subFolder : folderNames)
    {
        if (isAborted())
            return -1;
        if (checkLocalName (subFolder))
            getFolder (remoteFolder + "/" + subFolder, folder.getFullPathName(), subFolder);
    }

    return 0;
}

//==============================================================================
int TidewireClient::getFolderContents (juce::String remoteFolder, juce::StringArray* fileNames,
                                       juce::StringArray* folderNames)
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
