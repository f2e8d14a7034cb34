#include "DeviceFileSystem.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devsim
{

namespace
{
constexpr size_t maxOpenFiles = 1024;

std::string errnoText (int e)
{
    return std::strerror (e);
}

std::vector<std::string> splitComponents (const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size())
    {
        auto end = path.find ('/', start);
        if (end == std::string::npos)
            end = path.size();
        auto part = path.substr (start, end - start);
        if (! part.empty() && part != ".")
            parts.push_back (part);
        start = end + 1;
    }
    return parts;
}

bool realPath (const std::string& path, std::string& resolved)
{
    char* r = ::realpath (path.c_str(), nullptr);
    if (r == nullptr)
        return false;
    resolved = r;
    std::free (r);
    return true;
}

/** Removes a file, or a folder with everything in it; links are removed, not followed. */
int removeTree (const std::string& path)
{
    struct stat st;
    if (::lstat (path.c_str(), &st) != 0)
        return -1;
    if (! S_ISDIR (st.st_mode))
        return ::unlink (path.c_str());

    if (DIR* d = ::opendir (path.c_str()))
    {
        std::vector<std::string> children;
        while (auto* e = ::readdir (d))
            if (std::strcmp (e->d_name, ".") != 0 && std::strcmp (e->d_name, "..") != 0)
                children.push_back (e->d_name);
        ::closedir (d);
        for (auto& c : children)
            if (removeTree (path + "/" + c) != 0)
                return -1;
    }
    return ::rmdir (path.c_str());
}
} // namespace

DeviceTime DeviceTime::fromSeconds (time_t t)
{
    DeviceTime dt;
    struct tm local;
    if (::localtime_r (&t, &local) == nullptr)
        return dt;
    dt.year = (int16_t) (local.tm_year + 1900);
    dt.month = (int8_t) local.tm_mon;
    dt.day = (int8_t) local.tm_mday;
    dt.hours = (int8_t) local.tm_hour;
    dt.minutes = (int8_t) local.tm_min;
    return dt;
}

std::string lastComponent (const std::string& devicePath)
{
    auto parts = splitComponents (devicePath);
    return parts.empty() ? std::string() : parts.back();
}

DeviceFileSystem::~DeviceFileSystem()
{
    closeAll();
}

bool DeviceFileSystem::setRoot (const std::string& hostFolder, std::string& error)
{
    std::string resolved;
    struct stat st;
    if (! realPath (hostFolder, resolved) || ::stat (resolved.c_str(), &st) != 0 || ! S_ISDIR (st.st_mode))
    {
        error = "not a folder: " + hostFolder;
        return false;
    }
    rootFolder = resolved == "/" ? std::string() : resolved;
    return true;
}

bool DeviceFileSystem::inside (const std::string& hostPath) const
{
    if (rootFolder.empty())
        return true;
    return hostPath == rootFolder
           || (hostPath.size() > rootFolder.size() && hostPath.compare (0, rootFolder.size(), rootFolder) == 0
               && hostPath[rootFolder.size()] == '/');
}

std::vector<std::string> DeviceFileSystem::components (const std::string& devicePath) const
{
    auto parts = splitComponents (devicePath);
    if (! selfFolder.empty())
        parts.erase (std::remove (parts.begin(), parts.end(), selfFolder), parts.end());
    for (auto& name : multiplyingFolders)
        parts.erase (std::remove (parts.begin(), parts.end(), name), parts.end());
    return parts;
}

Outcome DeviceFileSystem::resolve (const std::string& devicePath, std::string& hostPath) const
{
    const Outcome refused { "Path outside the device file system: " + devicePath };
    if (devicePath.find ('\0') != std::string::npos)
        return refused;

    const auto parts = components (devicePath);
    for (auto& p : parts)
        if (p == "..")
            return refused;

    if (parts.empty())
    {
        hostPath = rootFolder.empty() ? "/" : rootFolder;
        return {};
    }

    // Resolve the longest existing prefix of the parent; components below it do not
    // exist yet, so they hold no links.
    std::string parent = rootFolder;
    size_t i = 0;
    for (; i + 1 < parts.size(); ++i)
    {
        const auto next = parent + "/" + parts[i];
        struct stat st;
        if (::lstat (next.c_str(), &st) != 0)
            break;
        std::string resolved;
        if (! realPath (next, resolved))
            return refused; // a dangling link: its target is unknown ground
        if (! inside (resolved))
            return refused;
        parent = resolved == "/" ? std::string() : resolved;
    }
    for (; i + 1 < parts.size(); ++i)
        parent += "/" + parts[i];

    hostPath = parent + "/" + parts.back();

    struct stat st;
    if (::lstat (hostPath.c_str(), &st) == 0 && S_ISLNK (st.st_mode))
    {
        std::string target;
        if (! realPath (hostPath, target) || ! inside (target))
            return refused;
    }
    return {};
}

Outcome DeviceFileSystem::entryInfo (const std::string& path, EntryInfo& info)
{
    info = EntryInfo();
    info.name = lastComponent (path);
    std::string host;
    auto r = resolve (path, host);
    if (! r.ok())
        return r;

    struct stat st;
    if (::stat (host.c_str(), &st) != 0)
        return {}; // a missing entry is an answer, not a failure

    info.exists = true;
    info.size = S_ISDIR (st.st_mode) ? 0 : (int64_t) st.st_size;
    info.readOnly = (st.st_mode & S_IWUSR) == 0;
    info.changed = DeviceTime::fromSeconds ((time_t) (st.st_ctime + clockOffset));
    info.modified = DeviceTime::fromSeconds ((time_t) (st.st_mtime + clockOffset));
    info.accessed = DeviceTime::fromSeconds ((time_t) (st.st_atime + clockOffset));
    return {};
}

Outcome DeviceFileSystem::createEntry (const std::string& path, bool isFolder)
{
    std::string host;
    auto r = resolve (path, host);
    if (! r.ok())
        return r;

    if (isFolder)
    {
        if (::mkdir (host.c_str(), 0755) == 0)
            return {};
        const int e = errno;
        struct stat st;
        if (e == EEXIST && ::stat (host.c_str(), &st) == 0 && S_ISDIR (st.st_mode))
            return {};
        return { "Couldn't create " + path + ": " + errnoText (e) };
    }

    const int fd = ::open (host.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return { "Couldn't create " + path + ": " + errnoText (errno) };
    ::close (fd);
    return {};
}

Outcome DeviceFileSystem::moveEntry (const std::string& oldPath, const std::string& newPath)
{
    std::string from, to;
    auto r = resolve (oldPath, from);
    if (! r.ok())
        return r;
    r = resolve (newPath, to);
    if (! r.ok())
        return r;
    if (::rename (from.c_str(), to.c_str()) != 0)
        return { "Couldn't move " + oldPath + " to " + newPath + ": " + errnoText (errno) };
    return {};
}

Outcome DeviceFileSystem::deleteEntry (const std::string& path)
{
    std::string host;
    auto r = resolve (path, host);
    if (! r.ok())
        return r;
    if (components (path).empty())
        return { "Couldn't delete " + path + ": the root cannot be deleted" };

    struct stat st;
    if (::lstat (host.c_str(), &st) != 0)
        return { "No such file or folder: " + path };
    if (removeTree (host) != 0)
        return { "Couldn't delete " + path + ": " + errnoText (errno) };
    return {};
}

Outcome DeviceFileSystem::folderContents (const std::string& path, std::vector<std::string>& fileNames,
                                          std::vector<std::string>& folderNames)
{
    fileNames.clear();
    folderNames.clear();
    std::string host;
    auto r = resolve (path, host);
    if (! r.ok())
        return r;

    struct stat st;
    if (::stat (host.c_str(), &st) != 0)
        return { "No such folder: " + path };
    if (! S_ISDIR (st.st_mode))
        return { "Not a folder: " + path };

    DIR* d = ::opendir (host.c_str());
    if (d == nullptr)
        return { "Couldn't list " + path + ": " + errnoText (errno) };
    while (auto* e = ::readdir (d))
    {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat child;
        const bool isFolder = ::stat ((host + "/" + name).c_str(), &child) == 0 && S_ISDIR (child.st_mode);
        (isFolder ? folderNames : fileNames).push_back (name);
    }
    ::closedir (d);
    if (! selfFolder.empty() && std::find (folderNames.begin(), folderNames.end(), selfFolder) == folderNames.end())
        folderNames.push_back (selfFolder);
    for (auto& name : multiplyingFolders)
        if (std::find (folderNames.begin(), folderNames.end(), name) == folderNames.end())
            folderNames.push_back (name);
    std::sort (fileNames.begin(), fileNames.end());
    std::sort (folderNames.begin(), folderNames.end());
    return {};
}

Outcome DeviceFileSystem::openFile (const std::string& path, int access, int64_t& handle, int64_t& size)
{
    handle = 0;
    size = 0;
    std::string host;
    auto r = resolve (path, host);
    if (! r.ok())
        return r;
    if (files.size() >= maxOpenFiles)
        return { "Too many open files" };

    int fd = -1;
    if (access == 1)
    {
        struct stat st;
        if (::stat (host.c_str(), &st) != 0)
            return { "No such file: " + path };
        if (S_ISDIR (st.st_mode))
            return { "Not a file: " + path };
        fd = ::open (host.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return { "Couldn't open " + path + " for reading: " + errnoText (errno) };
    }
    else if (access == 2)
    {
        fd = ::open (host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return { "Couldn't open " + path + " for writing: " + errnoText (errno) };
    }
    else
    {
        return { "Unsupported access mode " + std::to_string (access) };
    }

    struct stat st;
    const bool known = ::fstat (fd, &st) == 0;
    size = known ? (int64_t) st.st_size : 0;
    handle = nextHandle++;
    OpenFile opened;
    opened.fd = fd;
    opened.path = path;
    opened.writing = access == 2;
    opened.device = known ? st.st_dev : 0;
    opened.inode = known ? st.st_ino : 0;
    files[handle] = std::move (opened);
    return {};
}

Outcome DeviceFileSystem::readFile (int64_t handle, uint32_t count, std::vector<uint8_t>& data)
{
    data.clear();
    auto it = files.find (handle);
    if (it == files.end())
        return { "Invalid handle " + std::to_string (handle) };

    auto& file = it->second;
    if (readAhead.handle == handle && readAhead.done && readAhead.position == file.position
        && readAhead.count == count)
    {
        data.swap (readAhead.data);
        file.position += (int64_t) data.size();
        readAhead.position = file.position;
        readAhead.done = false;
        return {};
    }

    readAhead.handle = 0;
    data.resize (count);
    size_t got = 0;
    while (got < count)
    {
        auto n = ::pread (file.fd, data.data() + got, count - got, (off_t) (file.position + (int64_t) got));
        if (n < 0 && errno == ESPIPE)
            n = ::read (file.fd, data.data() + got, count - got); // a pipe or a device: no positions
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            data.clear();
            return { "Couldn't read " + file.path + ": " + errnoText (errno) };
        }
        if (n == 0)
            break;
        got += (size_t) n;
    }
    data.resize (got);
    file.position += (int64_t) got;
    // The next block is read in settle(), once this one's answer is out; a file without
    // positions (a pipe) is read only when asked.
    readAhead = { handle, file.position, count, false, std::move (readAhead.data) };
    return {};
}

Outcome DeviceFileSystem::writeFile (int64_t handle, const uint8_t* data, size_t count)
{
    settle();
    auto it = files.find (handle);
    if (it == files.end())
        return { "Invalid handle " + std::to_string (handle) };

    auto& file = it->second;
    lastWritten = handle;
    if (file.position + (int64_t) count <= file.reservedEnd)
    {
        pendingData.assign (data, data + count);
        writePending = true;
        return {};
    }

    if (! writeAt (file, data, count))
        return { "Couldn't write " + file.path + ": " + errnoText (errno) };
    return {};
}

bool DeviceFileSystem::writeAt (OpenFile& file, const uint8_t* data, size_t count)
{
    size_t done = 0;
    while (done < count)
    {
        auto n = ::pwrite (file.fd, data + done, count - done, (off_t) file.position);
        if (n < 0 && errno == ESPIPE)
            n = ::write (file.fd, data + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += (size_t) n;
        file.position += n;
    }
    return true;
}

Outcome DeviceFileSystem::seekFile (int64_t handle, int64_t offset, int origin)
{
    auto it = files.find (handle);
    if (it == files.end())
        return { "Invalid handle " + std::to_string (handle) };
    int whence;
    switch (origin)
    {
        case 0: whence = SEEK_SET; break;
        case 1: whence = SEEK_CUR; break;
        case 2: whence = SEEK_END; break;
        default: return { "Invalid seek origin " + std::to_string (origin) };
    }
    // From where this file stands (the system's own offset is not kept up to date).
    if (whence == SEEK_CUR)
    {
        whence = SEEK_SET;
        offset += it->second.position;
    }
    const auto moved = ::lseek (it->second.fd, (off_t) offset, whence);
    if (moved < 0)
        return { "Couldn't seek " + it->second.path + ": " + errnoText (errno) };
    it->second.position = (int64_t) moved;
    return {};
}

void DeviceFileSystem::settle()
{
    if (readAhead.handle != 0 && ! readAhead.done)
    {
        auto& ahead = readAhead;
        const auto open = files.find (ahead.handle);
        ahead.data.resize (ahead.count);
        size_t got = 0;
        bool failed = open == files.end();
        while (! failed && got < ahead.count)
        {
            const auto n = ::pread (open->second.fd, ahead.data.data() + got, ahead.count - got,
                                    (off_t) (ahead.position + (int64_t) got));
            if (n < 0 && errno == EINTR)
                continue;
            failed = n < 0;
            if (n <= 0)
                break;
            got += (size_t) n;
        }
        // Up to the file's end, as a read then would find it; a failure (or a pipe, which
        // has no positions) leaves the next read to find out for itself.
        if (failed)
            ahead.handle = 0;
        ahead.data.resize (got);
        ahead.done = true;
    }

    // Room many blocks ahead, topped up when little is left: one call serves dozens of writes.
    constexpr int64_t block = 8169, roomAhead = 64 * block, roomLow = 16 * block;

    auto it = files.find (lastWritten);
    if (it == files.end())
    {
        writePending = false;
        return;
    }

    auto& file = it->second;
    if (writePending)
    {
        writePending = false;
        // Cannot fail in room set aside; said all the same, as it was answered as done.
        if (! writeAt (file, pendingData.data(), pendingData.size()))
            std::fprintf (stderr, "nubo-devsim: a write answered as done failed on %s: %s\n", file.path.c_str(),
                          errnoText (errno).c_str());
    }

    if (file.reserveRefused || file.reservedEnd >= file.position + roomLow)
        return;
    const auto from = std::max (file.position, file.reservedEnd);
    int r;
    do
        r = ::fallocate (file.fd, FALLOC_FL_KEEP_SIZE, (off_t) from, (off_t) (file.position + roomAhead - from));
    while (r != 0 && errno == EINTR);
    if (r == 0)
        file.reservedEnd = file.position + roomAhead;
    else
        file.reserveRefused = true;
}

void DeviceFileSystem::releaseRoom (const OpenFile& file)
{
    struct stat st;
    if (file.reservedEnd > 0 && ::fstat (file.fd, &st) == 0 && file.reservedEnd > st.st_size)
        [[maybe_unused]] const auto kept = ::ftruncate (file.fd, st.st_size); // to the same size: frees what lies past it
}

Outcome DeviceFileSystem::closeFile (int64_t handle)
{
    settle();
    auto it = files.find (handle);
    if (it == files.end())
        return { "Invalid handle " + std::to_string (handle) };
    releaseRoom (it->second);
    ::close (it->second.fd);
    files.erase (it);
    return {};
}

void DeviceFileSystem::closeAll()
{
    dropReadAhead();
    settle();
    for (auto& f : files)
    {
        releaseRoom (f.second);
        ::close (f.second.fd);
    }
    files.clear();
}

Outcome DeviceFileSystem::writeWholeFile (const std::string& devicePath, const std::string& contents)
{
    const auto parts = splitComponents (devicePath);
    if (parts.empty())
        return { "Not a file: " + devicePath };
    std::string folder;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
    {
        folder += "/" + parts[i];
        if (auto r = createEntry (folder, true); ! r.ok())
            return r;
    }

    std::string host;
    if (auto r = resolve (devicePath, host); ! r.ok())
        return r;
    // Non-blocking: a pipe in its place fails at once rather than waiting for a reader.
    const int fd = ::open (host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return { "Couldn't write " + devicePath + ": " + errnoText (errno) };
    size_t done = 0;
    while (done < contents.size())
    {
        const auto n = ::write (fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            const int e = n < 0 ? errno : EIO;
            ::close (fd);
            return { "Couldn't write " + devicePath + ": " + errnoText (e) };
        }
        done += (size_t) n;
    }
    if (::close (fd) != 0)
        return { "Couldn't write " + devicePath + ": " + errnoText (errno) };
    return {};
}

bool DeviceFileSystem::holdsFinishedFile (const std::string& devicePath) const
{
    std::string host;
    struct stat st;
    if (! resolve (devicePath, host).ok() || ::stat (host.c_str(), &st) != 0 || ! S_ISREG (st.st_mode))
        return false;
    for (auto& f : files)
        if (f.second.writing && f.second.device == st.st_dev && f.second.inode == st.st_ino)
            return false;
    return true;
}

} // namespace devsim
