#pragma once

// The device's flash file system, played by a folder of the host. Device paths
// ("/mnt/nandfs/usr/a") map onto that folder; nothing outside it can be reached.

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace devsim
{

/** Broken-down local time as the device sends it (month 0-based). All zero for "no time". */
struct DeviceTime
{
    int16_t year = 0;
    int8_t month = 0, day = 0, hours = 0, minutes = 0;

    static DeviceTime fromSeconds (time_t t);
};

struct EntryInfo
{
    std::string name;
    bool exists = false;
    int64_t size = 0;
    bool readOnly = false;
    DeviceTime changed, modified, accessed; // ctime, mtime, atime
};

/** Outcome of an operation: empty error text means success. */
struct Outcome
{
    std::string error;
    bool ok() const
    {
        return error.empty();
    }
};

class DeviceFileSystem
{
public:
    DeviceFileSystem() = default;
    ~DeviceFileSystem();

    /** Takes the host folder that plays the device's "/"; false when it is not a folder. */
    bool setRoot (const std::string& hostFolder, std::string& error);
    const std::string& root() const
    {
        return rootFolder;
    }

    void setFirstHandle (int64_t first)
    {
        nextHandle = first;
    }

    /** Every folder then holds a sub-folder of that name which is the folder itself. */
    void setSelfFolder (const std::string& name)
    {
        selfFolder = name;
    }

    /** Every folder then holds sub-folders of these names, each of which is the folder
        itself: a tree that grows wider at every level. */
    void setMultiplyingFolders (const std::vector<std::string>& names)
    {
        multiplyingFolders = names;
    }

    /** Every time the device reports is this many seconds off the host's clock (a
        device whose clock was never set, or set in another zone). */
    void setClockOffset (int64_t seconds)
    {
        clockOffset = seconds;
    }

    Outcome entryInfo (const std::string& path, EntryInfo& info);
    Outcome createEntry (const std::string& path, bool isFolder);
    Outcome moveEntry (const std::string& oldPath, const std::string& newPath);
    Outcome deleteEntry (const std::string& path);
    Outcome folderContents (const std::string& path, std::vector<std::string>& files,
                            std::vector<std::string>& folders);

    /** access 1 opens an existing file for reading, 2 creates or truncates it for writing. */
    Outcome openFile (const std::string& path, int access, int64_t& handle, int64_t& size);
    Outcome readFile (int64_t handle, uint32_t count, std::vector<uint8_t>& data);
    Outcome writeFile (int64_t handle, const uint8_t* data, size_t count);
    Outcome seekFile (int64_t handle, int64_t offset, int origin);
    Outcome closeFile (int64_t handle);
    void closeAll();

    /** Writes the whole file at once, creating the folders above it; for what the device
        makes of its own accord (not a request: no handle, no room set aside). */
    Outcome writeWholeFile (const std::string& devicePath, const std::string& contents);

    /** True when the path names a regular file that no handle holds open for writing:
        a file someone has finished making. */
    bool holdsFinishedFile (const std::string& devicePath) const;

    /** A write that lands in room set aside beforehand cannot fail, and is answered at
        once and made here, after the answer has gone out: settle() must run before the
        next request is taken. It then sets aside room some blocks ahead, while the
        client reads the answer. After a read it reads the next block of that file
        ahead, for a next read of the same size from there. */
    void settle();

    /** Forgets the block read ahead: any request but a read calls this first, so that
        a read after a write, a seek or a move sees the file as it then is. */
    void dropReadAhead()
    {
        readAhead.handle = 0;
    }

    size_t openFileCount() const
    {
        return files.size();
    }

private:
    /** Maps a device path onto the host. The last component is left unresolved (so a
        link itself can be moved or deleted), everything above it is resolved and must
        stay inside the root, and so must a link in the last place. */
    Outcome resolve (const std::string& devicePath, std::string& hostPath) const;
    bool inside (const std::string& hostPath) const;

    struct OpenFile
    {
        int fd = -1;
        std::string path;
        int64_t position = 0;    // where the next read or write goes: kept here rather than asked of the system
        int64_t reservedEnd = 0; // room set aside (beyond the file's end, its size unchanged) up to here
        bool reserveRefused = false;
        bool writing = false;
        dev_t device = 0; // which file it is, whatever path it was opened by
        ino_t inode = 0;
    };

    /** Writes at the file's position and moves it on; false (errno set) on failure. */
    static bool writeAt (OpenFile& file, const uint8_t* data, size_t count);

    /** Gives back the room set aside past the file's end. */
    static void releaseRoom (const OpenFile& file);

    std::vector<std::string> components (const std::string& devicePath) const;

    std::string rootFolder;
    std::string selfFolder;
    int64_t clockOffset = 0; // seconds added to every reported time
    std::vector<std::string> multiplyingFolders;
    std::map<int64_t, OpenFile> files;
    int64_t nextHandle = 4096;

    int64_t lastWritten = 0; // the handle of the last write, 0 for none

    struct ReadAhead
    {
        int64_t handle = 0; // 0: nothing read ahead nor wanted
        int64_t position = 0;
        uint32_t count = 0;
        bool done = false; // false: wanted, to be read in settle()
        std::vector<uint8_t> data;
    };
    ReadAhead readAhead;
    bool writePending = false;
    std::vector<uint8_t> pendingData;
};

/** The last component of a device path ("" for "/"), trailing slashes ignored. */
std::string lastComponent (const std::string& devicePath);

} // namespace devsim
