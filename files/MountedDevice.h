#pragma once

#include "device/DeviceLink.h"
#include "device/TransferEngine.h"

#include <juce_core/juce_core.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

/** A folder of a device as a file system for a mount: attributes and listings kept for
    a while, reads in blocks with a read-ahead, and written files staged in a local file
    that is sent (through a part file) when it is flushed, so a failed send leaves the
    device's file as it was.

    Paths are the mount's ("/", "/a/b"), below the remote folder. Every operation
    answers 0 (or a byte count) or a negative errno, for the file system's glue to pass
    on. The object is not thread-safe: the mount serves one request at a time, which is
    also what keeps one exchange at a time on the link. A device that is gone fails
    operations with EIO; the link is opened again when it is back (on the same device
    path, or on the port with the same USB serial number). */
class MountedDevice final
{
public:
    struct Options
    {
        juce::String devicePath;   ///< the port to open; again after a replug, or the one with its USB serial
        juce::String remoteFolder; ///< normalised folder on the device that the mount shows
        juce::File cacheFolder;    ///< where written files are staged (exists, 0700)
        bool readOnly = false;
        int attributeTimeoutMs = 10000;
        int listingTimeoutMs = 10000;
        std::function<void (const juce::String&)> note; ///< one line for the user (stderr)
    };

    /** What getAttributes tells of an entry. */
    struct Attributes
    {
        bool isFolder = false;
        juce::int64 size = 0;
        juce::int64 modifiedMs = 0; ///< 0 when the device did not say
        bool writable = true;
    };

    explicit MountedDevice (Options options);

    /** Closes remote files still open, removes staged files, then the link. */
    ~MountedDevice();

    /** Opens the link and checks that the remote folder is a folder; false with the
        reason otherwise. */
    bool start (juce::String& error);

    /** The link's client, for a signal to abort its exchange. */
    TidewireClient& getClient() const
    {
        return link.getClient();
    }

    int getAttributes (const juce::String& path, Attributes& attributes);

    /** The entries of a folder with their attributes, names that are safe only. */
    int listFolder (const juce::String& path, std::vector<std::pair<juce::String, Attributes>>& entries);

    /** open (2)'s flags; a handle for the other file operations. sizeUnsure tells a file
        opened for reading whose size, as it opened, is not the one its attributes gave:
        its reads must not stop at the attributes' size. */
    int open (const juce::String& path, int flags, std::uint64_t& handle, bool& sizeUnsure);
    int create (const juce::String& path, std::uint64_t& handle);
    int read (std::uint64_t handle, char* buffer, size_t size, juce::int64 offset);
    int write (std::uint64_t handle, const char* buffer, size_t size, juce::int64 offset);

    /** Sends the file when it was changed since it was last sent (close, fsync). */
    int flush (std::uint64_t handle);
    int release (std::uint64_t handle);

    /** With a handle (ftruncate) or without one (handle 0). */
    int truncate (const juce::String& path, juce::int64 size, std::uint64_t handle);

    int makeFolder (const juce::String& path);
    int removeFolder (const juce::String& path);
    int removeFile (const juce::String& path);
    int rename (const juce::String& from, const juce::String& to, bool noReplace);

private:
    struct Entry
    {
        bool isFolder = false;
        bool detailed = false; ///< attributes below asked for
        juce::uint32 detailsExpireMs = 0;
        Attributes attributes;
    };

    struct Listing
    {
        juce::uint32 expiresMs = 0;
        std::map<juce::String, Entry> entries; // safe names only
        int hidden = 0;                        // names left out
    };

    struct OpenFile
    {
        juce::String path; // the mount's
        juce::int64 remoteHandle = -1;
        juce::int64 remotePosition = -1;
        juce::int64 size = 0;
        int generation = -1;      // of the link the remote handle belongs to
        juce::MemoryBlock cached; // the last bytes read, from cachedOffset
        juce::int64 cachedOffset = 0;
        juce::int64 nextSequential = -1;
        juce::int64 readAhead = 0;
        juce::File staged; // the local copy of a file opened for writing
        int stagedFd = -1;
        bool dirty = false;
        bool sendFailed = false;
    };

    /** The link, opened again when the device was gone; false (EIO) while it is away. */
    bool linkReady();

    juce::String remotePathOf (const juce::String& path) const;
    static juce::String parentOf (const juce::String& path);

    /** The listing of a folder of the mount, from the device when the cached one expired. */
    int listing (const juce::String& folder, Listing*& result);

    /** The entry of a path (not "/") in its folder's listing, its details asked for when needed. */
    int findEntry (const juce::String& path, Entry& entry, bool withDetails);

    void forget (const juce::String& path);

    /** After a change the device was asked to make at a path: the cached listings
        around it forgotten, and 0, or -EIO after a line saying what could not be done. */
    int afterChange (const juce::String& path, bool succeeded, const juce::String& what);
    void forgetAll();

    OpenFile* openFile (std::uint64_t handle);

    /** Opens (again) the remote file of a handle for reading. */
    int openRemote (OpenFile& file);

    /** A new empty staged file for the handle. */
    int stage (OpenFile& file);

    /** The device's file fetched into the staged file. */
    int fetchIntoStage (OpenFile& file);

    int sendStaged (OpenFile& file);

    /** Whether a staged file of the path is open: its size, when it is. */
    const OpenFile* stagedFileOf (const juce::String& path) const;

    const Options options;
    DeviceLink link;
    std::unique_ptr<TransferEngine> engine;
    juce::String devicePath, usbSerial; // where the device is now, and its serial number (may be empty)
    int generation = 0;                 // counts the link's openings
    bool deviceAway = false;            // said once when it goes, once when it is back
    juce::uint32 lastReopenMs = 0;
    std::map<juce::String, Listing> listings;
    std::map<juce::String, int> hiddenReported; // per folder, the count of hidden names last said
    std::map<std::uint64_t, std::unique_ptr<OpenFile>> files;
    std::uint64_t lastHandle = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MountedDevice)
};
