#define FUSE_USE_VERSION 31

#include "cli/NuboMount.h"

#include "cli/CommandResult.h"
#include "cli/Console.h"
#include "cli/InterruptWatcher.h"
#include "cli/TransferSupport.h"
#include "device/RemotePath.h"
#include "files/MountedDevice.h"
#include "log/GlobalLog.h"
#include "protocol/ReceivedMessage.h"
#include "protocol/TidewireClient.h"

#include <fuse.h>
#include <fuse_lowlevel.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace
{
/** What the file system's callbacks reach through FUSE's private data. */
struct Mounted
{
    MountedDevice& device; // the run's, which outlives the FUSE session
    double attributeTimeout = 10.0, listingTimeout = 10.0;
    bool readOnly = false;
};

Mounted& mounted()
{
    return *static_cast<Mounted*> (fuse_get_context()->private_data);
}

MountedDevice& device()
{
    return mounted().device;
}

/** A path the kernel gives, as the device's file system takes it: UTF-8 only, as a
    request carries names as UTF-8 and another spelling would name another entry. */
bool pathOf (const char* raw, juce::String& path)
{
    const auto length = (int) std::strlen (raw);
    if (!ReceivedMessage::isValidUtf8 (reinterpret_cast<const juce::uint8*> (raw), length))
        return false;
    path = juce::String::fromUTF8 (raw, length);
    return true;
}

void fillStat (const MountedDevice::Attributes& attributes, bool readOnly, struct stat& st)
{
    std::memset (&st, 0, sizeof (st));
    const auto writable = attributes.writable && !readOnly;
    st.st_mode = attributes.isFolder ? (S_IFDIR | (writable ? 0755 : 0555)) : (S_IFREG | (writable ? 0644 : 0444));
    st.st_nlink = attributes.isFolder ? 2 : 1;
    st.st_uid = ::getuid();
    st.st_gid = ::getgid();
    st.st_size = (off_t) attributes.size;
    st.st_blksize = 128 * 1024;
    st.st_blocks = (blkcnt_t) ((attributes.size + 511) / 512);
    st.st_mtim.tv_sec = (time_t) (attributes.modifiedMs / 1000);
    st.st_mtim.tv_nsec = (long) (attributes.modifiedMs % 1000) * 1000000;
    st.st_atim = st.st_mtim;
    st.st_ctim = st.st_mtim;
}

void* mountInit (struct fuse_conn_info* connection, struct fuse_config* config)
{
    // The kernel keeps what it was told for as long as this mount's caches keep it.
    config->attr_timeout = mounted().attributeTimeout;
    config->entry_timeout = mounted().listingTimeout;
    config->negative_timeout = 0;
    config->kernel_cache = 0;
    config->hard_remove = 1; // a file removed while open goes at once: the device has no hidden names for it
    config->use_ino = 0;
    // open (O_TRUNC) arrives as one request, so a file is emptied only with what replaces it.
    if ((connection->capable & FUSE_CAP_ATOMIC_O_TRUNC) != 0)
        connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    return fuse_get_context()->private_data;
}

int mountGetattr (const char* raw, struct stat* st, struct fuse_file_info*)
{
    juce::String path;
    if (!pathOf (raw, path))
        return -ENOENT;
    MountedDevice::Attributes attributes;
    if (const auto failed = device().getAttributes (path, attributes))
        return failed;
    fillStat (attributes, mounted().readOnly, *st);
    return 0;
}

int mountReaddir (const char* raw, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
                  enum fuse_readdir_flags)
{
    juce::String path;
    if (!pathOf (raw, path))
        return -ENOENT;
    std::vector<std::pair<juce::String, MountedDevice::Attributes>> entries;
    if (const auto failed = device().listFolder (path, entries))
        return failed;

    fill (buffer, ".", nullptr, 0, (fuse_fill_dir_flags) 0);
    fill (buffer, "..", nullptr, 0, (fuse_fill_dir_flags) 0);
    const auto readOnly = mounted().readOnly;
    for (auto& entry : entries)
    {
        struct stat st;
        fillStat (entry.second, readOnly, st);
        if (fill (buffer, entry.first.toRawUTF8(), &st, 0, FUSE_FILL_DIR_PLUS) != 0)
            break;
    }
    return 0;
}

int mountOpen (const char* raw, struct fuse_file_info* info)
{
    juce::String path;
    if (!pathOf (raw, path))
        return -ENOENT;
    std::uint64_t handle = 0;
    bool sizeUnsure = false;
    if (const auto failed = device().open (path, info->flags, handle, sizeUnsure))
        return failed;
    info->fh = handle;
    // The kernel reads no further than the size it was given: past it, or short of it,
    // the file's reads go straight to the device's answers instead.
    info->direct_io = sizeUnsure ? 1 : 0;
    return 0;
}

int mountCreate (const char* raw, mode_t, struct fuse_file_info* info)
{
    juce::String path;
    if (!pathOf (raw, path))
        return -EINVAL;
    std::uint64_t handle = 0;
    if (const auto failed = device().create (path, handle))
        return failed;
    info->fh = handle;
    return 0;
}

int mountRead (const char*, char* buffer, size_t size, off_t offset, struct fuse_file_info* info)
{
    return device().read (info->fh, buffer, size, (juce::int64) offset);
}

int mountWrite (const char*, const char* buffer, size_t size, off_t offset, struct fuse_file_info* info)
{
    return device().write (info->fh, buffer, size, (juce::int64) offset);
}

int mountFlush (const char*, struct fuse_file_info* info)
{
    return device().flush (info->fh);
}

int mountFsync (const char*, int, struct fuse_file_info* info)
{
    return device().flush (info->fh);
}

int mountRelease (const char*, struct fuse_file_info* info)
{
    return device().release (info->fh);
}

int mountTruncate (const char* raw, off_t size, struct fuse_file_info* info)
{
    juce::String path;
    if (!pathOf (raw, path))
        return -ENOENT;
    return device().truncate (path, (juce::int64) size, info != nullptr ? info->fh : 0);
}

int mountMkdir (const char* raw, mode_t)
{
    juce::String path;
    if (!pathOf (raw, path))
        return -EINVAL;
    return device().makeFolder (path);
}

int mountRmdir (const char* raw)
{
    juce::String path;
    if (!pathOf (raw, path))
        return -ENOENT;
    return device().removeFolder (path);
}

int mountUnlink (const char* raw)
{
    juce::String path;
    if (!pathOf (raw, path))
        return -ENOENT;
    return device().removeFile (path);
}

int mountRename (const char* rawFrom, const char* rawTo, unsigned int flags)
{
    juce::String from, to;
    if (!pathOf (rawFrom, from))
        return -ENOENT;
    if (!pathOf (rawTo, to))
        return -EINVAL;
    if ((flags & RENAME_EXCHANGE) != 0)
        return -EINVAL;
    return device().rename (from, to, (flags & RENAME_NOREPLACE) != 0);
}

// The device keeps no owners, modes or times of its own choosing: asking for them
// (cp -p, touch, mv from another file system) is no failure, and changes nothing.
int mountChmod (const char*, mode_t, struct fuse_file_info*)
{
    return mounted().readOnly ? -EROFS : 0;
}

int mountChown (const char*, uid_t, gid_t, struct fuse_file_info*)
{
    return mounted().readOnly ? -EROFS : 0;
}

int mountUtimens (const char*, const struct timespec[2], struct fuse_file_info*)
{
    return mounted().readOnly ? -EROFS : 0;
}

int mountStatfs (const char*, struct statvfs* st)
{
    std::memset (st, 0, sizeof (*st));
    st->f_bsize = 4096;
    st->f_frsize = 4096;
    st->f_namemax = 255;
    return 0;
}

fuse_operations operations()
{
    fuse_operations ops{};
    ops.init = mountInit;
    ops.getattr = mountGetattr;
    ops.readdir = mountReaddir;
    ops.open = mountOpen;
    ops.create = mountCreate;
    ops.read = mountRead;
    ops.write = mountWrite;
    ops.flush = mountFlush;
    ops.fsync = mountFsync;
    ops.release = mountRelease;
    ops.truncate = mountTruncate;
    ops.mkdir = mountMkdir;
    ops.rmdir = mountRmdir;
    ops.unlink = mountUnlink;
    ops.rename = mountRename;
    ops.chmod = mountChmod;
    ops.chown = mountChown;
    ops.utimens = mountUtimens;
    ops.statfs = mountStatfs;
    return ops;
}

/** Empty when the folder can be mounted on: an existing, empty folder. */
juce::String mountPointProblem (const juce::File& folder)
{
    const auto name = folder.getFullPathName();
    struct stat st;
    if (::stat (name.toRawUTF8(), &st) != 0)
        return "can't mount on " + name + ": " + juce::String (std::strerror (errno));
    if (!S_ISDIR (st.st_mode))
        return "can't mount on " + name + ": not a folder";
    auto* dir = ::opendir (name.toRawUTF8());
    if (dir == nullptr)
        return "can't mount on " + name + ": " + juce::String (std::strerror (errno));
    bool empty = true;
    while (auto* entry = ::readdir (dir))
        if (std::strcmp (entry->d_name, ".") != 0 && std::strcmp (entry->d_name, "..") != 0)
            empty = false;
    ::closedir (dir);
    return empty ? juce::String() : "can't mount on " + name + ": the folder is not empty";
}

juce::File defaultCacheFolder()
{
    const auto* xdg = std::getenv ("XDG_CACHE_HOME");
    const auto* home = std::getenv ("HOME");
    const auto base = xdg != nullptr && xdg[0] == '/' ? juce::File (juce::String::fromUTF8 (xdg))
                      : home != nullptr && home[0] == '/'
                          ? juce::File (juce::String::fromUTF8 (home)).getChildFile (".cache")
                          : juce::File ("/tmp");
    return base.getChildFile ("nubo").getChildFile ("mount");
}

/** The folder made (0700, the staged copies are the user's files); the reason when not. */
juce::String prepareCacheFolder (const juce::File& folder, const juce::File& mountPoint)
{
    const auto name = folder.getFullPathName();
    if (folder == mountPoint || folder.isAChildOf (mountPoint))
        return "the cache folder " + name + " can't be inside the mount";
    if (const auto made = folder.createDirectory(); made.failed())
        return "can't make the cache folder " + name + ": " + made.getErrorMessage();
    struct stat st;
    if (::lstat (name.toRawUTF8(), &st) != 0 || !S_ISDIR (st.st_mode))
        return "the cache folder " + name + " is not a folder";
    if (st.st_uid != ::getuid())
        return "the cache folder " + name + " belongs to another user";
    if (::chmod (name.toRawUTF8(), 0700) != 0)
        return "can't make the cache folder " + name + " private: " + juce::String (std::strerror (errno));
    return {};
}

/** Serves the mount's requests, one at a time, until it is unmounted (false) or the
    wake descriptor is readable (a signal: true). */
bool serve (struct fuse_session* session, int wakeFd)
{
    struct fuse_buf buffer
    {
    };
    bool signalled = false;
    while (!fuse_session_exited (session))
    {
        pollfd waits[2] = {{fuse_session_fd (session), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll (waits, 2, -1) < 0)
        {
            if (errno == EINTR)
                continue;
            break;
        }
        if ((waits[1].revents & POLLIN) != 0)
        {
            signalled = true;
            break;
        }
        if ((waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (waits[0].revents & POLLIN) == 0)
            break;

        const auto received = fuse_session_receive_buf (session, &buffer);
        if (received == -EINTR || received == -EAGAIN)
            continue;
        if (received <= 0)
            break; // unmounted (0), or the connection failed
        fuse_session_process_buf (session, &buffer);
    }
    std::free (buffer.mem);
    return signalled;
}
} // namespace

juce::String NuboMount::checkMountPoint (const juce::String& mountPoint)
{
    return mountPointProblem (localFile (mountPoint));
}

int NuboMount::run (const ChosenPort& port, const Options& options)
{
    const auto mountPoint = localFile (options.mountPoint);
    if (const auto problem = mountPointProblem (mountPoint); problem.isNotEmpty())
    {
        Console::error (problem);
        return ExitStatus::usage;
    }

    const auto cacheFolder = options.cacheFolder.isNotEmpty() ? localFile (options.cacheFolder) : defaultCacheFolder();
    if (const auto problem = prepareCacheFolder (cacheFolder, mountPoint); problem.isNotEmpty())
    {
        Console::error (problem);
        return ExitStatus::failed;
    }

    MountedDevice::Options deviceOptions;
    deviceOptions.devicePath = port.devicePath;
    deviceOptions.remoteFolder = RemotePath::normalise (options.remoteFolder);
    deviceOptions.cacheFolder = cacheFolder;
    deviceOptions.readOnly = options.readOnly;
    deviceOptions.attributeTimeoutMs = (int) (options.attributeTimeout * 1000.0);
    deviceOptions.listingTimeoutMs = (int) (options.listingTimeout * 1000.0);
    deviceOptions.note = [] (const juce::String& line) { Console::error ("mount: " + line); };

    MountedDevice mountedDevice (deviceOptions);
    auto& client = mountedDevice.getClient();
    InterruptWatcher::add (&client);
    struct Unregister
    {
        TidewireClient& client;
        ~Unregister()
        {
            InterruptWatcher::remove (&client);
        }
    } unregisterOnReturn{client};

    juce::String error;
    if (!mountedDevice.start (error))
    {
        Console::error (error);
        return InterruptWatcher::isInterrupted() ? ExitStatus::interrupted
               : client.isConnected()            ? ExitStatus::failed
                                                 : ExitStatus::noPort;
    }

    // A signal wakes the loop through a pipe: a signal handler of FUSE's own would only
    // end it at the next request.
    int wake[2] = {-1, -1};
    if (::pipe2 (wake, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        Console::error ("can't mount: " + juce::String (std::strerror (errno)));
        return ExitStatus::failed;
    }
    struct Pipe
    {
        int* fds;
        ~Pipe()
        {
            ::close (fds[0]);
            ::close (fds[1]);
        }
    } closePipeOnReturn{wake};

    const InterruptWatcher::ScopedToken interrupt;
    interrupt.get().onCancel (
        [fd = wake[1]]
        {
            const char byte = 1;
            [[maybe_unused]] const auto n = ::write (fd, &byte, 1);
        });

    const auto ops = operations();
    const char* arguments[] = {"nubo", "-o", "fsname=nubo,subtype=nubo,default_permissions"};
    struct fuse_args fuseArguments = FUSE_ARGS_INIT (3, const_cast<char**> (arguments));
    Mounted served{mountedDevice, options.attributeTimeout, options.listingTimeout, options.readOnly};
    auto* fuse = fuse_new (&fuseArguments, &ops, sizeof (ops), &served);
    fuse_opt_free_args (&fuseArguments);
    if (fuse == nullptr)
    {
        Console::error ("can't mount on " + mountPoint.getFullPathName() + ": FUSE refused the mount's options");
        return ExitStatus::failed;
    }
    if (fuse_mount (fuse, mountPoint.getFullPathName().toRawUTF8()) != 0)
    {
        fuse_destroy (fuse);
        Console::error ("can't mount on " + mountPoint.getFullPathName() +
                        ": FUSE would not mount it (is /dev/fuse there, and fusermount3 installed?)");
        return ExitStatus::failed;
    }

    if (!options.quiet)
        Console::err ("nubo: mounted " + escapeControlCharacters (deviceOptions.remoteFolder) + " of " +
                      port.devicePath + " on " + mountPoint.getFullPathName() + "; unmount with fusermount3 -u " +
                      mountPoint.getFullPathName() + " or Ctrl-C");

    const auto signalled = serve (fuse_get_session (fuse), wake[0]);

    fuse_unmount (fuse);
    fuse_destroy (fuse);
    if (!options.quiet)
        Console::err ("nubo: unmounted " + mountPoint.getFullPathName());
    return signalled ? ExitStatus::interrupted : ExitStatus::success;
}
