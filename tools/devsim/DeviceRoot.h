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
    /** Builds the tree under options.deviceRoot with /dev/<tty> linked to the pty's slave. */
    bool plugIn (const Options& options, const std::string& slavePath, std::string& error);

    /** Removes /dev/<tty> and sys/class/tty/<tty>, as an unplug does. Safe to repeat. */
    void unplug();

private:
    std::string devLink, classLink;
};

} // namespace devsim
