// The long run: does the client hold its memory and its threads steady over
// 10,000 exchanges and a gigabyte each way? Figures come from /proc/self/status,
// as a technician's "top" would show them.

#include "Soak.h"

#include "BenchSupport.h"

#include "device/DeviceLink.h"
#include "log/GlobalLog.h"
#include "protocol/TidewireClient.h"

#include <atomic>
#include <cstdio>
#include <vector>

namespace
{
constexpr int exchanges = 10000;
constexpr juce::int64 transferSize = (juce::int64) 1 << 30;
constexpr juce::int64 allowedGrowthKiB = 16 * 1024; // buffers settling in, not a leak
const juce::String remoteFolder = "/mnt/nandfs/usr";

struct Checkpoint
{
    juce::String name;
    juce::int64 residentKiB = -1;
    int threads = -1;
};

/** VmRSS (KiB) and Threads of this process. */
Checkpoint measure (const juce::String& name)
{
    Checkpoint c{name};
    juce::StringArray lines;
    lines.addLines (juce::File ("/proc/self/status").loadFileAsString());
    for (auto& line : lines)
    {
        if (line.startsWith ("VmRSS:"))
            c.residentKiB = line.fromFirstOccurrenceOf (":", false, false).trim().getLargeIntValue();
        else if (line.startsWith ("Threads:"))
            c.threads = line.fromFirstOccurrenceOf (":", false, false).trim().getIntValue();
    }
    std::printf ("  %-34s resident %8lld KiB, threads %d\n", name.toRawUTF8(), (long long) c.residentKiB, c.threads);
    std::fflush (stdout);
    return c;
}

/** Counts the client's failure lines; progress and throughput lines are the normal talk. */
class SoakLogger final : public ILogger
{
public:
    void log (juce::String line) override
    {
        if (line.startsWith ("Block ") || line.startsWith ("File transfer") || line.startsWith ("Getting remote"))
            return;
        std::fprintf (stderr, "client: %s\n", line.toRawUTF8());
        ++failures;
    }

    std::atomic<int> failures{0};
};
} // namespace

int runSoak()
{
    SoakLogger logger;
    setGlobalLogger (&logger);

    const ScratchFolder scratch;
    const auto deviceRoot = scratch.folder.getChildFile ("device");
    const auto usr = deviceRoot.getChildFile (remoteFolder.substring (1));
    const auto local = scratch.folder.getChildFile ("local");
    usr.createDirectory();
    local.createDirectory();

    std::printf ("Preparing a %lld MiB file in %s\n", (long long) (transferSize >> 20),
                 scratch.folder.getFullPathName().toRawUTF8());
    writeRandomFile (usr.getChildFile ("big.bin"), transferSize, 3);

    DeviceSimulatorProcess simulator (simulatorExecutable());
    if (!simulator.start ({"--fs", deviceRoot.getFullPathName()}))
    {
        std::fprintf (stderr, "nubo-bench: nubo-devsim did not start\n");
        setGlobalLogger (nullptr);
        return 1;
    }

    std::vector<Checkpoint> checkpoints;
    bool failed = false;
    double exchangeSeconds = 0, getSeconds = 0, putSeconds = 0;
    {
        DeviceLink link;
        auto& client = link.getClient();
        failed = !link.open (simulator.portPath());

        DeviceIdentity identity;
        failed = failed || client.whoAmI (identity) != 0;
        checkpoints.push_back (measure ("start (connected, one exchange)"));

        const Stopwatch exchangeWatch;
        for (int i = 1; i <= exchanges && !failed; ++i)
        {
            failed = client.whoAmI (identity) != 0;
            if (i == exchanges / 2)
                checkpoints.push_back (measure ("after " + juce::String (i) + " exchanges"));
        }
        exchangeSeconds = exchangeWatch.seconds();
        checkpoints.push_back (measure ("after " + juce::String (exchanges) + " exchanges"));

        const Stopwatch getWatch;
        failed = failed || fetchFile (client, remoteFolder + "/big.bin", local.getChildFile ("big.bin")) != 0;
        getSeconds = getWatch.seconds();
        checkpoints.push_back (measure ("after 1 GiB from the device"));

        const Stopwatch putWatch;
        failed = failed || sendFile (client, local.getChildFile ("big.bin"), remoteFolder + "/up.bin") != 0;
        putSeconds = putWatch.seconds();
        checkpoints.push_back (measure ("end: after 1 GiB to the device"));

        link.close();
    }
    simulator.stop();
    setGlobalLogger (nullptr);

    const auto intact = !failed &&
                        usr.getChildFile ("big.bin").hasIdenticalContentTo (local.getChildFile ("big.bin")) &&
                        usr.getChildFile ("big.bin").hasIdenticalContentTo (usr.getChildFile ("up.bin"));

    std::printf ("\n%d exchanges in %.1f s; 1 GiB from the device in %.1f s (%.1f MB/s), to it in %.1f s (%.1f MB/s)\n",
                 exchanges, exchangeSeconds, getSeconds, (double) transferSize / getSeconds / 1e6, putSeconds,
                 (double) transferSize / putSeconds / 1e6);

    // Flat: the memory after the exchanges and after the transfers stays near the start's;
    // constant: the same threads at every checkpoint.
    bool flat = true, constant = true;
    for (auto& c : checkpoints)
    {
        constant &= c.threads == checkpoints.front().threads;
        flat &= c.residentKiB - checkpoints.front().residentKiB <= allowedGrowthKiB;
    }
    std::printf ("Resident memory %s; threads %s\n", flat ? "flat" : "GREW", constant ? "constant" : "CHANGED");

    if (!intact || logger.failures > 0)
        std::fprintf (stderr, "nubo-bench: the soak run failed (%s)\n", intact ? "files intact" : "files differ");
    return intact && logger.failures == 0 && flat && constant ? 0 : 1;
}
