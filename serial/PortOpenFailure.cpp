#include "serial/PortOpenFailure.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

namespace
{
struct DirectoryCloser
{
    void operator() (DIR* directory) const
    {
        closedir (directory);
    }
};

using Directory = std::unique_ptr<DIR, DirectoryCloser>;

bool isProcessId (const char* name)
{
    if (*name == 0)
        return false;
    for (; *name != 0; ++name)
        if (*name < '0' || *name > '9')
            return false;
    return true;
}

// /proc files report a size of 0, so they are read up to their end, not up to their size.
std::string readProcFile (const juce::String& path, size_t maxBytes)
{
    std::string text;
    const int fd = ::open (path.toRawUTF8(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;

    char chunk[4096];
    for (ssize_t n; text.size() < maxBytes && (n = ::read (fd, chunk, sizeof (chunk))) > 0;)
        text.append (chunk, (size_t) n);
    ::close (fd);
    return text.substr (0, maxBytes);
}

juce::String readProcessName (const juce::String& processFolder)
{
    auto name = readProcFile (processFolder + "/comm", 64);
    if (!name.empty() && name.back() == '\n')
        name.pop_back();
    // Any process can name itself anything: no line breaks or terminal controls in the log.
    for (auto& c : name)
        if ((unsigned char) c < 0x20 || c == 0x7f)
            c = '?';
    return juce::String::fromUTF8 (name.data(), (int) name.size()).trim();
}

/** The processes /proc/locks names as holding a flock on the device node: the lock,
    not merely an open descriptor, is what makes the port busy. */
juce::StringArray findLockOwners (const struct stat& node)
{
    juce::StringArray owners;
    const auto id = juce::String::formatted ("%02x:%02x:%lu", major (node.st_dev), minor (node.st_dev),
                                             (unsigned long) node.st_ino);

    for (auto& line : juce::StringArray::fromLines (juce::String (readProcFile ("/proc/locks", 1 << 20))))
    {
        // "1: FLOCK  ADVISORY  WRITE 4242 00:18:3 0 EOF"; waiters carry an extra "->".
        auto fields = juce::StringArray::fromTokens (line, " ", "");
        fields.removeEmptyStrings();
        fields.removeString ("->");
        if (fields.size() >= 6 && fields[1] == "FLOCK" && fields[5] == id)
            owners.addIfNotAlreadyThere (fields[4]);
    }
    return owners;
}

bool holdsDevice (const juce::String& processFolder, dev_t device)
{
    const auto fdFolder = processFolder + "/fd";
    Directory descriptors (opendir (fdFolder.toRawUTF8()));
    if (descriptors == nullptr) // another user's process, or one that just ended
        return false;

    while (auto* entry = readdir (descriptors.get()))
    {
        struct stat target = {};
        if (entry->d_name[0] != '.' &&
            stat ((fdFolder + "/" + juce::String (entry->d_name)).toRawUTF8(), &target) == 0 &&
            S_ISCHR (target.st_mode) && target.st_rdev == device)
            return true;
    }
    return false;
}

/** "name (process 123)" for each process that holds the device open. Those holding its
    lock come alone when there are any: others may merely have it open (the far end of a
    simulated port keeps it so). The device number is compared, not the link text, so a
    holder that opened the port by another name (/dev/serial/by-id/...) is found too. */
juce::StringArray findHolders (const juce::String& devicePath)
{
    struct stat port = {};
    if (stat (devicePath.toRawUTF8(), &port) != 0 || !S_ISCHR (port.st_mode))
        return {};

    Directory processes (opendir ("/proc"));
    if (processes == nullptr)
        return {};

    juce::StringArray ids;
    while (auto* entry = readdir (processes.get()))
        if (isProcessId (entry->d_name) && holdsDevice ("/proc/" + juce::String (entry->d_name), port.st_rdev))
            ids.add (juce::String (entry->d_name));

    const auto lockOwners = findLockOwners (port);
    juce::StringArray locking;
    for (auto& id : ids)
        if (lockOwners.contains (id))
            locking.add (id);
    if (!locking.isEmpty())
        ids = locking;

    juce::StringArray holders;
    for (auto& id : ids)
    {
        auto name = readProcessName ("/proc/" + id);
        holders.add ((name.isEmpty() ? juce::String ("a program") : name) + " (process " + id + ")");
    }
    return holders;
}

juce::String describeHint (const juce::String& devicePath, int errorNumber)
{
    switch (errorNumber)
    {
    case EACCES:
    case EPERM:
        return "Install the nubo-usb-utility package (its udev rule gives the logged-in user the device), "
               "or join the dialout group (sudo usermod -aG dialout $USER) and log in again.";

    case EBUSY:
    {
        const auto holders = findHolders (devicePath);
        if (holders.isEmpty())
            return "Another program holds the port; close it and connect again.";
        return "Another program holds the port: " + holders.joinIntoString (", ") + ". Close it and connect again.";
    }

    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "The device is gone (unplugged?); plug it in again.";

    case ENOTTY:
        return "It is not a serial port.";

    default:
        return {};
    }
}
} // namespace

juce::String describePortOpenFailure (const juce::String& devicePath, int errorNumber)
{
    if (errorNumber == 0)
        return {};

    auto line = devicePath + ": " + juce::String (std::strerror (errorNumber)) + ".";
    const auto hint = describeHint (devicePath, errorNumber);
    return hint.isEmpty() ? line : line + " " + hint;
}
