#include "DeviceRoot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace devsim
{

namespace
{
bool makeFolders (const std::string& path, std::string& error)
{
    std::string partial;
    size_t start = 0;
    while (start <= path.size())
    {
        auto end = path.find ('/', start);
        if (end == std::string::npos)
            end = path.size();
        partial = path.substr (0, end);
        if (! partial.empty() && ::mkdir (partial.c_str(), 0755) != 0 && errno != EEXIST)
        {
            error = "can't create " + partial + ": " + std::strerror (errno);
            return false;
        }
        start = end + 1;
    }
    struct stat st;
    if (::stat (path.c_str(), &st) != 0 || ! S_ISDIR (st.st_mode))
    {
        error = "not a folder: " + path;
        return false;
    }
    return true;
}

bool writeText (const std::string& path, const std::string& text, std::string& error)
{
    FILE* f = std::fopen (path.c_str(), "w");
    if (f == nullptr || std::fwrite (text.data(), 1, text.size(), f) != text.size() || std::fclose (f) != 0)
    {
        error = "can't write " + path;
        return false;
    }
    return true;
}

/** Creates (or replaces) a symbolic link. */
bool makeLink (const std::string& target, const std::string& link, std::string& error)
{
    ::unlink (link.c_str());
    if (::symlink (target.c_str(), link.c_str()) != 0)
    {
        error = "can't link " + link + ": " + std::strerror (errno);
        return false;
    }
    return true;
}

std::string hex4 (uint16_t v)
{
    char buf[8];
    std::snprintf (buf, sizeof buf, "%04x", v);
    return buf;
}
} // namespace

bool DeviceRoot::plugIn (const Options& o, const std::string& ttyName, const std::string& slavePath,
                         std::string& error)
{
    unplug();
    std::string root = o.deviceRoot;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();

    const auto usbName = "1-" + std::to_string (o.usbPort);
    const auto usbDevice = root + "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + usbName;
    const auto interfaceName = usbName + ":1.0";
    const auto interface = usbDevice + "/" + interfaceName;
    ttyFolder = interface + "/tty/" + ttyName;

    bool ok = makeFolders (ttyFolder, error) && makeFolders (root + "/sys/class/tty", error)
              && makeFolders (root + "/sys/bus/usb", error) && makeFolders (root + "/dev", error);

    // The USB device: the nearest folder above the tty that holds idVendor and idProduct.
    ok = ok && writeText (usbDevice + "/idVendor", hex4 (o.vendorId) + "\n", error)
         && writeText (usbDevice + "/idProduct", hex4 (o.productId) + "\n", error)
         && writeText (usbDevice + "/bcdDevice", hex4 (o.revision) + "\n", error)
         && writeText (usbDevice + "/product", o.product.empty() ? std::string() : o.product + "\n", error)
         && writeText (usbDevice + "/manufacturer", o.manufacturer + "\n", error)
         && writeText (usbDevice + "/serial", o.usbSerial + "\n", error)
         && writeText (usbDevice + "/busnum", "1\n", error) && writeText (usbDevice + "/devnum", "3\n", error)
         && makeLink ("../../../../../bus/usb", usbDevice + "/subsystem", error);

    // The interface the ACM driver bound to.
    ok = ok && writeText (interface + "/bInterfaceClass", "02\n", error)
         && writeText (interface + "/bInterfaceNumber", "00\n", error)
         && makeLink ("../../../../../../bus/usb", interface + "/subsystem", error);

    // The tty class device.
    ok = ok && writeText (ttyFolder + "/dev", "166:0\n", error)
         && writeText (ttyFolder + "/uevent", "MAJOR=166\nMINOR=0\nDEVNAME=" + ttyName + "\n", error)
         && makeLink ("../../../" + interfaceName, ttyFolder + "/device", error)
         && makeLink ("../../../../../../../../class/tty", ttyFolder + "/subsystem", error);

    // The class entry and the device node, as the kernel and udev would add them.
    classLink = root + "/sys/class/tty/" + ttyName;
    ok = ok
         && makeLink ("../../devices/pci0000:00/0000:00:14.0/usb1/" + usbName + "/" + interfaceName + "/tty/"
                          + ttyName,
                      classLink, error);
    devLink = root + "/dev/" + ttyName;
    ok = ok && makeLink (slavePath, devLink, error);
    return ok;
}

void DeviceRoot::unplug()
{
    if (! devLink.empty())
        ::unlink (devLink.c_str());
    if (! classLink.empty())
        ::unlink (classLink.c_str());
    if (! ttyFolder.empty())
    {
        for (auto* name : { "dev", "uevent", "device", "subsystem" })
            ::unlink ((ttyFolder + "/" + name).c_str());
        ::rmdir (ttyFolder.c_str());
    }
    devLink.clear();
    classLink.clear();
    ttyFolder.clear();
}

} // namespace devsim
