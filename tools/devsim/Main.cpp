// nubo-devsim: a Nubo device on a pseudo-terminal, for the tests, the benchmark,
// the demo and for development without a device at hand. See --help.

#include "Device.h"
#include "DeviceFileSystem.h"
#include "DeviceRoot.h"
#include "Link.h"
#include "Options.h"

#include <cstdio>

int main (int argc, char** argv)
{
    using namespace devsim;

    Options options;
    switch (parseOptions (argc, argv, options))
    {
        case ParseResult::help: std::fputs (helpText().c_str(), stdout); return 0;
        case ParseResult::error: return 2;
        case ParseResult::run: break;
    }

    std::string error;
    DeviceFileSystem fs;
    if (! fs.setRoot (options.fsRoot, error))
    {
        std::fprintf (stderr, "nubo-devsim: --fs: %s\n", error.c_str());
        return 1;
    }
    if (options.macAddress)
    {
        // Written into the folder, like the sample's file: an instance of its own per --fs copy.
        if (auto r = fs.writeWholeFile (Device::macAddressPath, *options.macAddress + "\n"); ! r.ok())
        {
            std::fprintf (stderr, "nubo-devsim: --mac: %s\n", r.error.c_str());
            return 1;
        }
    }
    fs.setFirstHandle (options.firstHandle);
    fs.setSelfFolder (options.selfFolder);
    fs.setClockOffset (options.clockOffset);
    if (options.multiplyFolders)
        fs.setMultiplyingFolders ({ "a", "b" });

    RequestLog log;
    if (! options.logFile.empty() && ! log.open (options.logFile, error))
    {
        std::fprintf (stderr, "nubo-devsim: %s\n", error.c_str());
        return 1;
    }

    Device device (options, fs, log);
    DeviceRoot deviceRoot;
    int status = 1;
    {
        Link link (options, device, fs, deviceRoot);
        if (! link.open (error))
        {
            std::fprintf (stderr, "nubo-devsim: %s\n", error.c_str());
            deviceRoot.unplug();
            return 1;
        }
        status = link.run();
    }
    deviceRoot.unplug();
    return status;
}
