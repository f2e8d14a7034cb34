#include "files/MountedDevice.h"

#include "device/FolderTransfer.h"
#include "device/LocalPaths.h"
#include "device/RemotePath.h"
#include "log/GlobalLog.h"
#include "protocol/FileSystemEntryInfo.h"
#include "protocol/ReceivedMessage.h"
#include "protocol/TidewireClient.h"
#include "serial/SerialPortDiscovery.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// A read that does not follow the last one fetches this much; each one that follows
// doubles it, up to the most. Reads come from the kernel in pages of up to 128 KiB.
constexpr juce::int64 firstReadAhead = 128 * 1024;
constexpr juce::int64 mostReadAhead = 1024 * 1024;

// A device that is away is tried again at most this often; in between, EIO at once.
constexpr juce::uint32 reopenIntervalMs = 1000;

// Past this many cached listings, the expired ones are let go.
constexpr size_t maxListings = 4096;

juce::uint32 nowMs()
{
    return juce::Time::getMillisecondCounter();
}

bool expired (juce::uint32 expiresMs)
{
    return (juce::int32) (nowMs() - expiresMs) >= 0;
}
} // namespace

MountedDevice::MountedDevice (Options mountOptions) : options (std::move (mountOptions))
{
    // A staged copy is a scratch file: it need not reach the disk before it is used.
    TransferEngine::Options engineOptions;
    engineOptions.durable = false;
    engine = std::make_unique<TransferEngine> (link.getClient(), engineOptions);
}

MountedDevice::~MountedDevice()
{
    for (auto& entry : files)
    {
        auto& file = *entry.second;
        if (file.remoteHandle >= 0 && file.generation == generation && link.isOpen())
            engine->closeRemoteFile (file.remoteHandle);
        if (file.stagedFd >= 0)
            ::close (file.stagedFd);
        if (file.staged != juce::File())
            file.staged.deleteFile();
    }
    files.clear();
    engine.reset();
    link.close();
}

bool MountedDevice::start (juce::String& error)
{
    devicePath = options.devicePath;
    if (!link.open (devicePath))
    {
        const auto reason = link.getOpenFailure();
        error = "can't open " + (reason.isNotEmpty() ? reason : devicePath);
        return false;
    }
    ++generation;

    // Plugged in again, the device may come back on another port: its USB serial
    // number tells it there.
    for (auto& port : enumerateSerialPortDetails (1))
        if (port.portName == devicePath)
            usbSerial = port.serialNumber;

    Listing* top = nullptr;
    if (listing ("/", top) != 0)
    {
        error = "can't list " + escapeControlCharacters (options.remoteFolder) + " on the device" +
                engine->exchangeReason() + "; it must be a folder";
        return false;
    }
    return true;
}

//==============================================================================
bool MountedDevice::linkReady()
{
    if (link.isOpen() && !link.getClient().isLinkLost())
        return true;

    if (!deviceAway)
    {
        deviceAway = true;
        forgetAll();
        options.note ("the device is gone (" + devicePath +
                      "); the mount answers EIO until it is back, or until it is unmounted");
    }

    // The client was aborted by a signal: the mount is on its way down.
    if (link.getClient().isAborted())
        return false;

    const auto now = nowMs();
    if (lastReopenMs != 0 && now - lastReopenMs < reopenIntervalMs)
        return false;
    lastReopenMs = now;

    link.close();
    if (!link.open (devicePath))
    {
        if (usbSerial.isEmpty())
            return false;
        juce::String elsewhere;
        for (auto& port : enumerateSerialPortDetails (1))
            if (port.serialNumber == usbSerial && port.portName != devicePath)
                elsewhere = port.portName;
        if (elsewhere.isEmpty() || !link.open (elsewhere))
            return false;
        devicePath = elsewhere;
    }

    ++generation;
    deviceAway = false;
    forgetAll();
    options.note ("the device is back (" + devicePath + ")");
    return true;
}

juce::String MountedDevice::remotePathOf (const juce::String& path) const
{
    if (path == "/" || path.isEmpty())
        return options.remoteFolder;
    return options.remoteFolder == "/" ? path : options.remoteFolder + path;
}

juce::String MountedDevice::parentOf (const juce::String& path)
{
    const auto slash = path.lastIndexOfChar ('/');
    return slash <= 0 ? juce::String ("/") : path.substring (0, slash);
}

void MountedDevice::forget (const juce::String& path)
{
    listings.erase (path);
    listings.erase (parentOf (path));
    // A folder moved or removed takes every listing below it along.
    for (auto it = listings.begin(); it != listings.end();)
        it = it->first.startsWith (path + "/") ? listings.erase (it) : std::next (it);
}

void MountedDevice::forgetAll()
{
    listings.clear();
}

int MountedDevice::listing (const juce::String& folder, Listing*& result)
{
    if (auto found = listings.find (folder); found != listings.end() && !expired (found->second.expiresMs))
    {
        result = &found->second;
        return 0;
    }
    // A device whose folder holds itself would be followed for ever by find or diff -r:
    // the mount goes as deep as a folder transfer does, the mount's folder counted first.
    if (folder != "/" && folder.retainCharacters ("/").length() + 1 > FolderTransfer::maxDepth)
        return -ELOOP;
    if (!linkReady())
        return -EIO;

    auto& client = link.getClient();
    juce::StringArray fileNames, folderNames;
    juce::Array<juce::MemoryBlock> fileBytes, folderBytes;
    if (client.getFolderContents (remotePathOf (folder), &fileNames, &folderNames, &fileBytes, &folderBytes) != 0)
    {
        listings.erase (folder);
        return client.getLastExchangeOutcome() == TidewireClient::ExchangeOutcome::refused ? -ENOENT : -EIO;
    }

    Listing fresh;
    fresh.expiresMs = nowMs() + (juce::uint32) options.listingTimeoutMs;
    const auto* older = listings.count (folder) != 0 ? &listings[folder] : nullptr;

    // A name that cannot be a local name, or is not UTF-8 (a request could not name
    // it), would be a trap in a local folder: it is left out, and counted.
    int hidden = 0;
    auto take = [&] (const juce::StringArray& names, const juce::Array<juce::MemoryBlock>& bytes, bool isFolder)
    {
        for (int i = 0; i < names.size(); ++i)
        {
            const auto& raw = bytes.getReference (i);
            const auto utf8 =
                ReceivedMessage::isValidUtf8 (static_cast<const juce::uint8*> (raw.getData()), (int) raw.getSize());
            if (!utf8 || !LocalPaths::isSafeName (names[i]) || fresh.entries.count (names[i]) != 0)
            {
                ++hidden;
                continue;
            }
            Entry entry;
            entry.isFolder = isFolder;
            if (older != nullptr)
                if (auto was = older->entries.find (names[i]);
                    was != older->entries.end() && was->second.isFolder == isFolder && was->second.detailed &&
                    !expired (was->second.detailsExpireMs))
                    entry = was->second;
            fresh.entries[names[i]] = entry;
        }
    };
    take (folderNames, folderBytes, true);
    take (fileNames, fileBytes, false);
    fresh.hidden = hidden;

    // Said when the count is new, not at every look the expiry brings.
    auto& reported = hiddenReported[folder];
    if (hidden > 0 && hidden != reported)
        options.note (juce::String (hidden) + (hidden == 1 ? " entry" : " entries") + " of " +
                      escapeControlCharacters (remotePathOf (folder)) +
                      " hidden: names that can't be local names (\"..\", \"/\", control characters, a leading \"~\", "
                      "not UTF-8)");
    reported = hidden;

    // Listings walked past long ago are not kept for ever: a tree that never ends would
    // otherwise fill the memory one folder at a time.
    if (listings.size() >= maxListings)
        for (auto it = listings.begin(); it != listings.end();)
            it = expired (it->second.expiresMs) ? listings.erase (it) : std::next (it);

    auto& stored = listings[folder];
    stored = std::move (fresh);
    result = &stored;
    return 0;
}

int MountedDevice::findEntry (const juce::String& path, Entry& entry, bool withDetails)
{
    Listing* folder = nullptr;
    if (const auto failed = listing (parentOf (path), folder))
        return failed;

    auto found = folder->entries.find (RemotePath::nameOf (path));
    if (found == folder->entries.end())
        return -ENOENT;

    auto& known = found->second;
    if (withDetails && (!known.detailed || expired (known.detailsExpireMs)))
    {
        if (!linkReady())
            return -EIO;
        auto& client = link.getClient();
        FileSystemEntryInfo info;
        if (client.getEntryInfo (remotePathOf (path), known.isFolder, info) != 0 &&
            client.getLastExchangeOutcome() != TidewireClient::ExchangeOutcome::refused)
            return -EIO;

        // Details the device would not give, or a size it cannot mean, show as 0.
        known.attributes = {};
        known.attributes.isFolder = known.isFolder;
        if (info.exists != 0)
        {
            known.attributes.size = known.isFolder ? 0 : juce::jmax ((juce::int64) 0, info.size);
            known.attributes.modifiedMs = juce::jmax ((juce::int64) 0, info.modified.toMilliseconds());
            known.attributes.writable = info.writable != 0;
        }
        known.detailed = true;
        known.detailsExpireMs = nowMs() + (juce::uint32) options.attributeTimeoutMs;
    }
    entry = known;
    return 0;
}

//==============================================================================
int MountedDevice::getAttributes (const juce::String& path, Attributes& attributes)
{
    attributes = {};
    if (path == "/")
    {
        attributes.isFolder = true;
        return 0;
    }

    if (const auto* staged = stagedFileOf (path))
    {
        struct stat info
        {
        };
        if (::fstat (staged->stagedFd, &info) != 0)
            return -EIO;
        attributes.size = (juce::int64) info.st_size;
        attributes.modifiedMs = (juce::int64) info.st_mtime * 1000;
        return 0;
    }

    Entry entry;
    if (const auto failed = findEntry (path, entry, true))
        return failed;
    attributes = entry.attributes;
    return 0;
}

int MountedDevice::listFolder (const juce::String& path, std::vector<std::pair<juce::String, Attributes>>& entries)
{
    entries.clear();
    Listing* folder = nullptr;
    if (const auto failed = listing (path, folder))
        return failed;

    juce::StringArray names;
    for (auto& entry : folder->entries)
        names.add (entry.first);

    // Each entry's details, for `ls -l` to find at once; the listing may be dropped on
    // the way (the device gone), so it is looked up by name each time.
    const auto prefix = path == "/" ? juce::String ("/") : path + "/";
    for (auto& name : names)
    {
        Entry entry;
        if (const auto failed = findEntry (prefix + name, entry, true))
        {
            if (failed == -ENOENT)
                continue;
            return failed;
        }
        entries.emplace_back (name, entry.attributes);
    }
    return 0;
}

//==============================================================================
MountedDevice::OpenFile* MountedDevice::openFile (std::uint64_t handle)
{
    auto found = files.find (handle);
    return found != files.end() ? found->second.get() : nullptr;
}

const MountedDevice::OpenFile* MountedDevice::stagedFileOf (const juce::String& path) const
{
    for (auto& entry : files)
        if (entry.second->path == path && entry.second->stagedFd >= 0)
            return entry.second.get();
    return nullptr;
}

int MountedDevice::stage (OpenFile& file)
{
    // mkstemp: a name of its own, 0600, made and opened in one step.
    auto pattern = (options.cacheFolder.getFullPathName() + "/staged-XXXXXX").toStdString();
    const int fd = ::mkstemp (pattern.data());
    if (fd < 0)
    {
        options.note ("can't stage a written file in " + options.cacheFolder.getFullPathName() + ": " +
                      juce::String (std::strerror (errno)));
        return -EIO;
    }
    ::fcntl (fd, F_SETFD, FD_CLOEXEC);
    file.staged = juce::File (juce::String (pattern));
    file.stagedFd = fd;
    return 0;
}

int MountedDevice::fetchIntoStage (OpenFile& file)
{
    if (!linkReady())
        return -EIO;

    // The fetch puts its copy in place of the staged file; the descriptor follows it.
    const auto result = engine->fetch (remotePathOf (file.path), file.staged);
    if (!result.succeeded())
    {
        options.note ("can't open " + escapeControlCharacters (remotePathOf (file.path)) +
                      " for writing: " + result.reason);
        return -EIO;
    }
    const int fd = ::open (file.staged.getFullPathName().toRawUTF8(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -EIO;
    ::close (file.stagedFd);
    file.stagedFd = fd;
    return 0;
}

int MountedDevice::sendStaged (OpenFile& file)
{
    if (!linkReady())
    {
        options.note ("can't write " + escapeControlCharacters (remotePathOf (file.path)) +
                      ": the device is gone; the file on the device is as it was");
        return -EIO;
    }

    const auto result = engine->send (file.staged, remotePathOf (file.path));
    forget (file.path);
    if (!result.succeeded())
    {
        file.sendFailed = true;
        options.note ("can't write " + escapeControlCharacters (remotePathOf (file.path)) + ": " + result.reason);
        return -EIO;
    }
    file.dirty = false;
    file.sendFailed = false;
    return 0;
}

int MountedDevice::openRemote (OpenFile& file)
{
    if (!linkReady())
        return -EIO;
    if (file.remoteHandle >= 0 && file.generation == generation)
        engine->closeRemoteFile (file.remoteHandle);
    file.remoteHandle = -1;
    file.cached.reset();

    juce::int64 remoteHandle = -1, remoteSize = 0;
    if (const auto opened = engine->openForReading (remotePathOf (file.path), remoteHandle, remoteSize);
        !opened.succeeded())
    {
        options.note ("can't read " + escapeControlCharacters (remotePathOf (file.path)) + ": " + opened.reason);
        return -EIO;
    }
    file.remoteHandle = remoteHandle;
    file.remotePosition = 0;
    file.size = remoteSize;
    file.generation = generation;
    return 0;
}

int MountedDevice::open (const juce::String& path, int flags, std::uint64_t& handle, bool& sizeUnsure)
{
    sizeUnsure = false;
    Entry entry;
    if (const auto failed = findEntry (path, entry, false))
        return failed;
    if (entry.isFolder)
        return -EISDIR;

    const auto writing = (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC) != 0;
    if (writing && options.readOnly)
        return -EROFS;

    auto file = std::make_unique<OpenFile>();
    file->path = path;
    if (writing)
    {
        if (const auto failed = stage (*file))
            return failed;
        const auto staged = file->staged;
        const auto failed = (flags & O_TRUNC) != 0 ? 0 : fetchIntoStage (*file);
        if (failed != 0)
        {
            ::close (file->stagedFd);
            staged.deleteFile();
            return failed;
        }
        // Truncated on opening: the device's file becomes empty on close even when
        // nothing is written.
        file->dirty = (flags & O_TRUNC) != 0;
    }
    else
    {
        // The size the file opens with is the one its reads go by; the size its
        // details gave (what the kernel was told) may be another, or unknown.
        if (const auto failed = openRemote (*file))
            return failed;
        Entry described;
        sizeUnsure =
            findEntry (path, described, false) != 0 || !described.detailed || described.attributes.size != file->size;
    }

    handle = ++lastHandle;
    files[handle] = std::move (file);
    return 0;
}

int MountedDevice::create (const juce::String& path, std::uint64_t& handle)
{
    if (options.readOnly)
        return -EROFS;
    if (!LocalPaths::isSafeName (RemotePath::nameOf (path)))
        return -EINVAL;

    Listing* folder = nullptr;
    if (const auto failed = listing (parentOf (path), folder))
        return failed;

    auto file = std::make_unique<OpenFile>();
    file->path = path;
    if (const auto failed = stage (*file))
        return failed;
    file->dirty = true;

    handle = ++lastHandle;
    files[handle] = std::move (file);
    return 0;
}

int MountedDevice::read (std::uint64_t handle, char* buffer, size_t size, juce::int64 offset)
{
    auto* file = openFile (handle);
    if (file == nullptr)
        return -EBADF;

    if (file->stagedFd >= 0)
    {
        const auto n = ::pread (file->stagedFd, buffer, size, (off_t) offset);
        return n < 0 ? -errno : (int) n;
    }

    // The remote file is opened again after the link was.
    if (file->generation != generation || file->remoteHandle < 0 || link.getClient().isLinkLost())
        if (const auto failed = openRemote (*file))
            return failed;

    if (offset >= file->size || size == 0)
        return 0;
    const auto wanted = juce::jmin ((juce::int64) size, file->size - offset);

    const auto cachedEnd = file->cachedOffset + (juce::int64) file->cached.getSize();
    if (!(offset >= file->cachedOffset && offset + wanted <= cachedEnd))
    {
        file->readAhead =
            offset == file->nextSequential ? juce::jmin (mostReadAhead, file->readAhead * 2) : firstReadAhead;
        const auto result = engine->readAt (file->remoteHandle, file->size, file->remotePosition, offset,
                                            juce::jmax (wanted, file->readAhead), file->cached);
        if (!result.succeeded())
        {
            file->cached.reset();
            options.note ("can't read " + escapeControlCharacters (remotePathOf (file->path)) + ": " + result.reason);
            return -EIO;
        }
        file->cachedOffset = offset;
    }

    const auto available = juce::jmin (wanted, file->cachedOffset + (juce::int64) file->cached.getSize() - offset);
    std::memcpy (buffer, static_cast<const char*> (file->cached.getData()) + (offset - file->cachedOffset),
                 (size_t) available);
    file->nextSequential = offset + available;
    return (int) available;
}

int MountedDevice::write (std::uint64_t handle, const char* buffer, size_t size, juce::int64 offset)
{
    auto* file = openFile (handle);
    if (file == nullptr || file->stagedFd < 0)
        return -EBADF;

    size_t written = 0;
    while (written < size)
    {
        const auto n =
            ::pwrite (file->stagedFd, buffer + written, size - written, (off_t) (offset + (juce::int64) written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? -errno : -EIO;
        written += (size_t) n;
    }
    file->dirty = true;
    return (int) written;
}

int MountedDevice::flush (std::uint64_t handle)
{
    auto* file = openFile (handle);
    if (file == nullptr)
        return -EBADF;
    if (file->stagedFd < 0 || !file->dirty)
        return file->sendFailed ? -EIO : 0;
    return sendStaged (*file);
}

int MountedDevice::release (std::uint64_t handle)
{
    auto* file = openFile (handle);
    if (file == nullptr)
        return -EBADF;

    // A close flushed already; what is still unsent here was changed after that.
    auto result = 0;
    if (file->stagedFd >= 0 && file->dirty && !file->sendFailed)
        result = sendStaged (*file);

    if (file->remoteHandle >= 0 && file->generation == generation && !link.getClient().isLinkLost())
        engine->closeRemoteFile (file->remoteHandle);
    if (file->stagedFd >= 0)
        ::close (file->stagedFd);
    if (file->staged != juce::File())
        file->staged.deleteFile();
    files.erase (handle);
    return result;
}

int MountedDevice::truncate (const juce::String& path, juce::int64 size, std::uint64_t handle)
{
    if (options.readOnly)
        return -EROFS;
    if (size < 0)
        return -EINVAL;

    // A file open for writing takes the change in its staged copy, sent when it is closed.
    auto* file = handle != 0 ? openFile (handle) : nullptr;
    if (file == nullptr || file->stagedFd < 0)
        file = const_cast<OpenFile*> (stagedFileOf (path));
    if (file != nullptr)
    {
        if (::ftruncate (file->stagedFd, (off_t) size) != 0)
            return -errno;
        file->dirty = true;
        return 0;
    }

    Entry entry;
    if (const auto failed = findEntry (path, entry, false))
        return failed;
    if (entry.isFolder)
        return -EISDIR;

    OpenFile changed;
    changed.path = path;
    auto result = stage (changed);
    if (result == 0 && size > 0)
        result = fetchIntoStage (changed);
    if (result == 0 && ::ftruncate (changed.stagedFd, (off_t) size) != 0)
        result = -errno;
    if (result == 0)
        result = sendStaged (changed);
    if (changed.stagedFd >= 0)
        ::close (changed.stagedFd);
    if (changed.staged != juce::File())
        changed.staged.deleteFile();
    return result;
}

//==============================================================================
int MountedDevice::makeFolder (const juce::String& path)
{
    if (options.readOnly)
        return -EROFS;
    if (!LocalPaths::isSafeName (RemotePath::nameOf (path)))
        return -EINVAL;

    Entry entry;
    const auto found = findEntry (path, entry, false);
    if (found == 0)
        return -EEXIST;
    if (found != -ENOENT)
        return found;

    if (!linkReady())
        return -EIO;
    return afterChange (path, link.getClient().createFolder (remotePathOf (path)) == 0, "create");
}

int MountedDevice::afterChange (const juce::String& path, bool succeeded, const juce::String& what)
{
    forget (path);
    if (succeeded)
        return 0;
    options.note ("can't " + what + " " + escapeControlCharacters (remotePathOf (path)) + engine->exchangeReason());
    return -EIO;
}

int MountedDevice::removeFile (const juce::String& path)
{
    if (options.readOnly)
        return -EROFS;

    Entry entry;
    if (const auto failed = findEntry (path, entry, false))
        return failed;
    if (entry.isFolder)
        return -EISDIR;

    if (!linkReady())
        return -EIO;
    return afterChange (path, link.getClient().deleteEntry (remotePathOf (path)) == 0, "remove");
}

int MountedDevice::removeFolder (const juce::String& path)
{
    if (options.readOnly)
        return -EROFS;
    if (path == "/")
        return -EBUSY;

    Entry entry;
    if (const auto failed = findEntry (path, entry, false))
        return failed;
    if (!entry.isFolder)
        return -ENOTDIR;

    // The device removes a folder with everything in it: only an empty one goes, by
    // what the device says now, hidden names included.
    listings.erase (path);
    Listing* contents = nullptr;
    if (const auto failed = listing (path, contents))
        return failed;
    if (!contents->entries.empty() || contents->hidden > 0)
        return -ENOTEMPTY;

    return afterChange (path, link.getClient().deleteEntry (remotePathOf (path)) == 0, "remove");
}

int MountedDevice::rename (const juce::String& from, const juce::String& to, bool noReplace)
{
    if (options.readOnly)
        return -EROFS;
    if (!LocalPaths::isSafeName (RemotePath::nameOf (to)))
        return -EINVAL;
    if (to.startsWith (from + "/"))
        return -EINVAL;

    Entry source, target;
    if (const auto failed = findEntry (from, source, false))
        return failed;
    const auto found = findEntry (to, target, false);
    if (found != 0 && found != -ENOENT)
        return found;
    const auto replaces = found == 0;

    if (replaces)
    {
        if (noReplace)
            return -EEXIST;
        if (target.isFolder && !source.isFolder)
            return -EISDIR;
        if (!target.isFolder && source.isFolder)
            return -ENOTDIR;
        if (target.isFolder)
        {
            listings.erase (to);
            Listing* contents = nullptr;
            if (const auto failed = listing (to, contents))
                return failed;
            if (!contents->entries.empty() || contents->hidden > 0)
                return -ENOTEMPTY;
        }
    }

    if (!linkReady())
        return -EIO;
    auto& client = link.getClient();
    if (replaces && client.deleteEntry (remotePathOf (to)) != 0)
    {
        forget (to);
        options.note ("can't replace " + escapeControlCharacters (remotePathOf (to)) + engine->exchangeReason());
        return -EIO;
    }
    const auto moved = client.moveEntry (remotePathOf (from), remotePathOf (to), source.isFolder) == 0;
    forget (from);
    forget (to);
    if (!moved)
    {
        options.note ("can't move " + escapeControlCharacters (remotePathOf (from)) + " to " +
                      escapeControlCharacters (remotePathOf (to)) + engine->exchangeReason());
        return -EIO;
    }
    return 0;
}
