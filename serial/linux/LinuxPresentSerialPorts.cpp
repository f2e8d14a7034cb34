// The serial ports present on Linux, read from sysfs directly so that a device root
// built elsewhere (the device simulator's, a test's) is read like the real one.

#include "log/Utf8.h"
#include "serial/PresentSerialPort.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace
{
// sysfs attributes are short; anything longer than this is not one.
constexpr std::streamsize maxAttributeLength = 1024;

juce::String deviceRoot()
{
    const char* root = std::getenv ("NUBO_DEVICE_ROOT");
    return root != nullptr ? juce::String::fromUTF8 (root) : juce::String();
}

fs::path resolved (const fs::path& path)
{
    std::error_code error;
    auto real = fs::canonical (path, error);
    return error ? fs::path() : real;
}

bool isFile (const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file (path, error);
}

juce::String readAttribute (const fs::path& file)
{
    std::ifstream in (file, std::ios::binary);
    if (!in)
        return {};

    char text[maxAttributeLength]{};
    in.read (text, maxAttributeLength - 1);
    // The USB texts are the device's own bytes: anything but UTF-8 stands as U+FFFD.
    return Utf8::withReplacements (text, (size_t) in.gcount()).trimEnd();
}

bool isBelow (const fs::path& path, const fs::path& folder)
{
    return std::mismatch (folder.begin(), folder.end(), path.begin(), path.end()).first == folder.end();
}

// The USB device a port belongs to: the nearest folder, from the port's device folder
// up, that holds idVendor and idProduct; empty for a port on another bus.
fs::path usbDeviceOf (const fs::path& deviceFolder, const fs::path& devicesFolder)
{
    for (auto folder = deviceFolder; !folder.empty() && isBelow (folder, devicesFolder); folder = folder.parent_path())
    {
        if (isFile (folder / "idVendor") && isFile (folder / "idProduct"))
            return folder;
        if (folder == folder.parent_path())
            break;
    }
    return {};
}

int usbId (const fs::path& usbDevice, const char* name)
{
    return readAttribute (usbDevice / name).getHexValue32() & 0xffff;
}

juce::String usbHardwareId (const fs::path& usbDevice)
{
    return juce::String::formatted ("USB\\Vid_%04X&Pid_%04X&Rev_%04X", usbId (usbDevice, "idVendor"),
                                    usbId (usbDevice, "idProduct"), usbId (usbDevice, "bcdDevice"));
}

juce::String subsystemOf (const fs::path& deviceFolder)
{
    const auto subsystem = resolved (deviceFolder / "subsystem");
    return subsystem.empty() ? juce::String() : juce::String (subsystem.filename().string());
}
} // namespace

std::vector<PresentSerialPort> listPresentSerialPorts()
{
    // Joined as text: an empty root stands for "/", not for the current folder.
    const auto root = deviceRoot().toStdString();
    const auto sysFolder = resolved (root + "/sys");
    if (sysFolder.empty())
        return {};

    const auto devicesFolder = sysFolder / "devices";
    const auto virtualFolder = devicesFolder / "virtual";

    std::error_code error;
    fs::directory_iterator entries (sysFolder / "class" / "tty", error);
    if (error)
        return {};

    juce::StringArray ttyNames;
    for (const auto& entry : entries)
        ttyNames.add (entry.path().filename().string());
    // ttyACM2 before ttyACM10; names differing only in case keep a fixed order too.
    std::sort (ttyNames.begin(), ttyNames.end(),
               [] (const juce::String& a, const juce::String& b)
               {
                   const int natural = a.compareNatural (b);
                   return natural != 0 ? natural < 0 : a.compare (b) < 0;
               });

    std::vector<PresentSerialPort> ports;
    for (auto& ttyName : ttyNames)
    {
        const auto entry = sysFolder / "class" / "tty" / ttyName.toStdString();
        const auto ttyFolder = resolved (entry);
        const auto deviceFolder = resolved (entry / "device");
        // Consoles, ptmx and ptys have no device; whatever lies under virtual/ is no port.
        if (ttyFolder.empty() || deviceFolder.empty() || isBelow (ttyFolder, virtualFolder))
            continue;

        PresentSerialPort port;
        port.portName = juce::String (root) + "/dev/" + ttyName;

        const auto usbDevice = usbDeviceOf (deviceFolder, devicesFolder);
        if (!usbDevice.empty())
        {
            const auto product = readAttribute (usbDevice / "product");
            port.hardwareId = usbHardwareId (usbDevice);
            port.vendorId = juce::String::toHexString (usbId (usbDevice, "idVendor")).paddedLeft ('0', 4);
            port.productId = juce::String::toHexString (usbId (usbDevice, "idProduct")).paddedLeft ('0', 4);
            port.revision = juce::String::toHexString (usbId (usbDevice, "bcdDevice")).paddedLeft ('0', 4);
            port.serialNumber = readAttribute (usbDevice / "serial");
            port.usbPath = juce::String (usbDevice.filename().string());
            // The class entry is made anew at every appearance; the USB device number
            // counts up at every enumeration.
            struct stat entryStatus{};
            if (::lstat (entry.c_str(), &entryStatus) == 0)
                port.appearance = juce::String ((juce::int64) entryStatus.st_ino) + ":"
                                  + juce::String ((juce::int64) entryStatus.st_ctim.tv_sec) + "."
                                  + juce::String ((juce::int64) entryStatus.st_ctim.tv_nsec) + ":"
                                  + readAttribute (usbDevice / "devnum");
            port.friendlyName = (product.isNotEmpty() ? product : "USB Serial Device") + " (" + ttyName + ")";
        }
        else
        {
            const auto subsystem = subsystemOf (deviceFolder);
            // Legacy UARTs the platform declares whether or not the hardware is there.
            if (subsystem == "platform")
                continue;
            port.hardwareId = subsystem.toUpperCase();
            port.friendlyName = "USB Serial Device (" + ttyName + ")";
        }
        ports.push_back (port);
    }
    return ports;
}
