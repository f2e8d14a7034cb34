#pragma once

// The host side of a plugged-in device: the sysfs entries the kernel creates for a
// CDC-ACM port and the /dev node, laid out under a folder of our choice so that
// port discovery can be pointed at it.

#include "Options.h"

#include <string>

namespace devsim
{

class DeviceRoot
{
public:
    /** Builds the tree under options.deviceRoot with /dev/<ttyName> linked to the pty's
        slave; the USB device folder (usb1/1-<port>) is the same each time. */
    bool plugIn (const Options& options, const std::string& ttyName, const std::string& slavePath, std::string& error);

    /** Removes /dev/<tty>, sys/class/tty/<tty> and the tty's folder below the interface, as
        an unplug does. Safe to repeat. */
    void unplug();

private:
    std::string devLink, classLink, ttyFolder;
};

} // namespace devsim
