#pragma once

#include "cli/PortChooser.h"

#include <juce_core/juce_core.h>

/** nubo mount: a folder of the device as a local folder, through FUSE, in the
    foreground until it is unmounted (fusermount3 -u, Ctrl-C or SIGTERM). The mount
    serves one request at a time: the device's link takes one exchange at a time anyway,
    and it keeps the file system's state on one thread. */
class NuboMount final
{
public:
    struct Options
    {
        juce::String remoteFolder; ///< as given; relative to the device's home folder
        juce::String mountPoint;   ///< as given
        juce::String cacheFolder;  ///< empty: $XDG_CACHE_HOME/nubo/mount or ~/.cache/nubo/mount
        bool readOnly = false;
        bool quiet = false;
        double attributeTimeout = 10.0; ///< seconds
        double listingTimeout = 10.0;   ///< seconds
    };

    /** The exit status: 0 once unmounted, 130 after a signal (unmounted too), 1 or 3
        when it could not be mounted. */
    static int run (const ChosenPort& port, const Options& options);

    /** Why the folder cannot be mounted on (it must exist, be a folder, and be empty);
        empty when it can. */
    static juce::String checkMountPoint (const juce::String& mountPoint);

private:
    NuboMount() = delete;
};
