// nubo-bench: how fast the client runs against nubo-devsim over a pseudo-terminal,
// next to the ceiling of the same kind of link (two plain threads and nothing else).
//
// The machine this runs on is often busy, and a pseudo-terminal's speed swings with
// that by a factor of two from one second to the next. So the ceiling is measured in
// the same run, in turns with the client: each client transfer is bracketed by two
// ceiling transfers of the same size and direction, and every WhoAmI alternates with
// a ceiling round trip. The ratio of a transfer to its own two brackets means
// something; medians over several rounds, with the lowest and highest beside them.
//
// Whole transfers take turns, not pieces of them. The transfer is carried on by the
// reader thread, which a pause every few hundred blocks would leave to go cold while
// the ceiling's threads run; the ceiling never pauses so, and a transfer never does.
//
// A second column, the same client against a device with nothing behind it, tells
// the client's own cost from the simulator's.

#include "BenchSupport.h"
#include "LinkBench.h"
#include "Soak.h"

#include "device/DeviceLink.h"
#include "log/GlobalLog.h"
#include "protocol/TidewireClient.h"
#include "protocol/TidewireClientRequest.h"

#include <juce_events/juce_events.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <sys/resource.h>

namespace
{
constexpr juce::int64 transferSize = 32 * 1024 * 1024;
constexpr int roundTrips = 1000;
constexpr int listingEntries = 1000;
const juce::String remoteFolder = "/mnt/nandfs/usr";

/** CPU seconds this process has used, every thread of it. */
double processCpuSeconds()
{
    rusage usage{};
    ::getrusage (RUSAGE_SELF, &usage);
    return (double) usage.ru_utime.tv_sec + (double) usage.ru_utime.tv_usec / 1e6 + (double) usage.ru_stime.tv_sec +
           (double) usage.ru_stime.tv_usec / 1e6;
}

/** Takes the client's lines: failures are counted and shown, progress is dropped. */
class BenchLogger final : public ILogger
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

/** A client connected to one device over its own link. */
class Session final
{
public:
    explicit Session (const juce::String& portPath)
    {
        link.open (portPath);
    }

    bool isOpen() const
    {
        return link.isOpen();
    }

    DeviceLink link;
    TidewireClient& client = link.getClient();
};

/** One kind of exchange, client and ceiling side by side. */
struct Comparison
{
    double clientSeconds = 0, ceilingSeconds = 0;
    double clientCpuSeconds = 0; // this process, during the client's transfer
    juce::int64 clientBlocks = 0, ceilingBlocks = 0;
    bool failed = false;

    /** Client speed as a share of the ceiling's, block for block. */
    double ratio() const
    {
        return (clientBlocks / clientSeconds) / (ceilingBlocks / ceilingSeconds);
    }

    double clientMegabytesPerSecond() const
    {
        return (double) transferSize / clientSeconds / 1e6;
    }

    /** CPU milliseconds of this process per MB moved. */
    double cpuMillisecondsPerMegabyte() const
    {
        return clientCpuSeconds * 1e3 / ((double) transferSize / 1e6);
    }

    double ceilingMegabytesPerSecond() const
    {
        return (double) ceilingBlocks * TidewireClientRequest::maxFileBlockSize / ceilingSeconds / 1e6;
    }
};

/** One client transfer between two ceiling transfers of the same size and direction. */
Comparison bracketedTransfer (CeilingLink& ceiling, bool upward, const std::function<int()>& transfer)
{
    const auto blockSize = TidewireClientRequest::maxFileBlockSize;
    const auto blocks = (int) ((transferSize + blockSize - 1) / blockSize);

    Comparison c;
    const auto before = ceiling.bulk (blocks, upward);

    const Stopwatch watch;
    const auto cpu = processCpuSeconds();
    c.failed = transfer() != 0;
    c.clientSeconds = watch.seconds();
    c.clientCpuSeconds = processCpuSeconds() - cpu;

    const auto after = ceiling.bulk (blocks, upward);
    c.failed |= before < 0 || after < 0;
    c.ceilingSeconds = before + after;
    c.ceilingBlocks = 2 * (juce::int64) blocks;
    c.clientBlocks = blocks;
    return c;
}

struct TripComparison
{
    std::vector<double> client, ceiling;
    bool failed = false;
};

TripComparison interleavedRoundTrips (TidewireClient& client, CeilingLink& ceiling)
{
    TripComparison t;
    DeviceIdentity identity;
    for (int i = 0; i < roundTrips && !t.failed; ++i)
    {
        t.ceiling.push_back (ceiling.smallTrip());
        const Stopwatch watch;
        t.failed = client.whoAmI (identity) != 0;
        t.client.push_back (watch.seconds());
    }
    return t;
}

bool sameContent (const juce::File& a, const juce::File& b)
{
    return a.getSize() == b.getSize() && a.hasIdenticalContentTo (b);
}

int runBenchmark (int rounds)
{
    BenchLogger logger;
    setGlobalLogger (&logger);

    const ScratchFolder scratch;
    const auto deviceRoot = scratch.folder.getChildFile ("device");
    const auto usr = deviceRoot.getChildFile (remoteFolder.substring (1));
    const auto local = scratch.folder.getChildFile ("local");
    usr.getChildFile ("list").createDirectory();
    local.createDirectory();

    std::printf ("Preparing a %lld MiB file and a folder of %d entries in %s\n", (long long) (transferSize >> 20),
                 listingEntries, scratch.folder.getFullPathName().toRawUTF8());
    writeRandomFile (usr.getChildFile ("big.bin"), transferSize, 1);
    writeRandomFile (local.getChildFile ("up.bin"), transferSize, 2);
    for (int i = 0; i < listingEntries; ++i)
        usr.getChildFile ("list/e" + juce::String (i).paddedLeft ('0', 3)).create();

    DeviceSimulatorProcess simulator (simulatorExecutable());
    if (!simulator.start ({"--fs", deviceRoot.getFullPathName()}))
    {
        std::fprintf (stderr, "nubo-bench: nubo-devsim did not start (looked for %s)\n",
                      simulatorExecutable().getFullPathName().toRawUTF8());
        setGlobalLogger (nullptr);
        return 1;
    }

    // The listing's own baseline: the same requests, sent bare to a second simulator
    // over the same files.
    DeviceSimulatorProcess bareSimulator (simulatorExecutable());
    if (!bareSimulator.start ({"--fs", deviceRoot.getFullPathName()}))
    {
        std::fprintf (stderr, "nubo-bench: a second nubo-devsim did not start\n");
        setGlobalLogger (nullptr);
        return 1;
    }
    BareClient bare (bareSimulator.portPath());

    PlainDevice plain (transferSize);
    CeilingLink ceiling;
    if (!ceiling.isOpen() || !plain.isOpen() || !bare.isOpen())
    {
        std::fprintf (stderr, "nubo-bench: cannot open pseudo-terminals\n");
        setGlobalLogger (nullptr);
        return 1;
    }

    struct Round
    {
        Comparison get, put, plainGet, plainPut, bareGet, barePut;
        TripComparison trips, plainTrips;
        double listSeconds = 0, listCeilingSeconds = 0, listBareSeconds = 0;
        bool listFailed = false;

        bool failed() const
        {
            return get.failed || put.failed || plainGet.failed || plainPut.failed || bareGet.failed || barePut.failed ||
                   trips.failed || plainTrips.failed || listFailed;
        }
    };
    std::vector<Round> results;
    {
        Session simulated (simulator.portPath()), direct (plain.portPath());
        if (!simulated.isOpen() || !direct.isOpen())
        {
            std::fprintf (stderr, "nubo-bench: cannot open the client's ports\n");
            setGlobalLogger (nullptr);
            return 1;
        }

        // Warm up every path once.
        DeviceIdentity identity;
        for (int i = 0; i < 20; ++i)
        {
            simulated.client.whoAmI (identity);
            direct.client.whoAmI (identity);
            ceiling.smallTrip();
        }

        for (int round = 0; round < rounds; ++round)
        {
            Round r;
            r.trips = interleavedRoundTrips (simulated.client, ceiling);
            r.plainTrips = interleavedRoundTrips (direct.client, ceiling);
            r.get = bracketedTransfer (
                ceiling, false,
                [&]
                { return fetchFile (simulated.client, remoteFolder + "/big.bin", local.getChildFile ("big.bin")); });
            r.put = bracketedTransfer (
                ceiling, true,
                [&] { return sendFile (simulated.client, local.getChildFile ("up.bin"), remoteFolder + "/up.bin"); });
            r.plainGet = bracketedTransfer (
                ceiling, false, [&] { return fetchFile (direct.client, "/plain", local.getChildFile ("plain.bin")); });
            r.plainPut = bracketedTransfer (
                ceiling, true, [&] { return sendFile (direct.client, local.getChildFile ("up.bin"), "/plain"); });
            // What the simulator allows at all: the same file requests sent bare to the
            // second simulator, bracketed by the ceiling like the client's.
            r.bareGet =
                bracketedTransfer (ceiling, false, [&] { return bare.transfer (remoteFolder + "/big.bin", false, 0); });
            r.barePut = bracketedTransfer (
                ceiling, true, [&] { return bare.transfer (remoteFolder + "/bare.bin", true, transferSize); });

            // The listing's exchanges alternate with ceiling round trips and with the
            // same requests sent bare to the second simulator, one each, so that it can
            // be told as a multiple of both.
            const auto bareTrip = [&r, &bare] (TidewireClientRequest&& request)
            {
                const auto seconds = bare.exchange (request);
                r.listFailed |= seconds < 0;
                r.listBareSeconds += seconds;
            };
            juce::StringArray names;
            {
                const Stopwatch watch;
                r.listFailed = simulated.client.getFolderContents (remoteFolder + "/list", &names, nullptr) != 0 ||
                               names.size() != listingEntries;
                r.listSeconds += watch.seconds();
            }
            r.listCeilingSeconds += ceiling.smallTrip();
            bareTrip (FolderContentsRequest (remoteFolder + "/list"));
            for (auto& name : names)
            {
                FileSystemEntryInfo info;
                const Stopwatch watch;
                r.listFailed |= simulated.client.getEntryInfo (remoteFolder + "/list/" + name, false, info) != 0;
                r.listSeconds += watch.seconds();
                r.listCeilingSeconds += ceiling.smallTrip();
                bareTrip (FileSystemEntryInfoRequest (remoteFolder + "/list/" + name, false));
            }

            std::printf ("round %d: WhoAmI %5.1f us / ceiling %5.1f us; get %6.1f / %6.1f MB/s (%3.0f %%, plain device "
                         "%3.0f %%, bare %3.0f %%); put %6.1f / %6.1f MB/s (%3.0f %%, plain device %3.0f %%, bare "
                         "%3.0f %%)\n",
                         round + 1, summarise (r.trips.client).median * 1e6, summarise (r.trips.ceiling).median * 1e6,
                         r.get.clientMegabytesPerSecond(), r.get.ceilingMegabytesPerSecond(), 100.0 * r.get.ratio(),
                         100.0 * r.plainGet.ratio(), 100.0 * r.bareGet.ratio(), r.put.clientMegabytesPerSecond(),
                         r.put.ceilingMegabytesPerSecond(), 100.0 * r.put.ratio(), 100.0 * r.plainPut.ratio(),
                         100.0 * r.barePut.ratio());
            std::fflush (stdout);

            results.push_back (r);
            if (r.failed())
                break;
        }
    }

    const auto intact = sameContent (usr.getChildFile ("big.bin"), local.getChildFile ("big.bin")) &&
                        sameContent (local.getChildFile ("up.bin"), usr.getChildFile ("up.bin")) &&
                        local.getChildFile ("plain.bin").getSize() == transferSize;
    simulator.stop();
    setGlobalLogger (nullptr);

    if (results.back().failed() || !intact || logger.failures > 0)
    {
        std::fprintf (stderr, "nubo-bench: a run failed (%s)\n", intact ? "files intact" : "files differ");
        return 1;
    }

    // Round trips pool their samples; every other figure is the median over the rounds,
    // with the lowest and highest round beside it.
    std::vector<double> whoAmI, ceilingTrips, tripRatio, plainTripRatio, get, put, plainGet, plainPut, bareGet, barePut,
        getOfBare, putOfBare, getRate, putRate, getCeiling, putCeiling, list, listRatio, listBareRatio, getCpu, putCpu;
    for (auto& r : results)
    {
        whoAmI.insert (whoAmI.end(), r.trips.client.begin(), r.trips.client.end());
        ceilingTrips.insert (ceilingTrips.end(), r.trips.ceiling.begin(), r.trips.ceiling.end());
        tripRatio.push_back (summarise (r.trips.client).median / summarise (r.trips.ceiling).median);
        plainTripRatio.push_back (summarise (r.plainTrips.client).median / summarise (r.plainTrips.ceiling).median);
        get.push_back (r.get.ratio());
        put.push_back (r.put.ratio());
        plainGet.push_back (r.plainGet.ratio());
        plainPut.push_back (r.plainPut.ratio());
        bareGet.push_back (r.bareGet.ratio());
        barePut.push_back (r.barePut.ratio());
        getOfBare.push_back (r.get.ratio() / r.bareGet.ratio());
        putOfBare.push_back (r.put.ratio() / r.barePut.ratio());
        getRate.push_back (r.get.clientMegabytesPerSecond());
        putRate.push_back (r.put.clientMegabytesPerSecond());
        getCeiling.push_back (r.get.ceilingMegabytesPerSecond());
        putCeiling.push_back (r.put.ceilingMegabytesPerSecond());
        list.push_back (r.listSeconds);
        listRatio.push_back (r.listSeconds / r.listCeilingSeconds);
        listBareRatio.push_back (r.listSeconds / r.listBareSeconds);
        getCpu.push_back (r.get.cpuMillisecondsPerMegabyte());
        putCpu.push_back (r.put.cpuMillisecondsPerMegabyte());
    }
    const auto median = [] (std::vector<double> v) { return summarise (std::move (v)).median; };
    const auto range = [] (std::vector<double> v, double scale)
    {
        const auto s = summarise (std::move (v));
        return juce::String::formatted ("[%.0f..%.0f]", s.lowest * scale, s.highest * scale);
    };
    const auto rangeOfTimes = [] (std::vector<double> v)
    {
        const auto s = summarise (std::move (v));
        return juce::String::formatted ("[%.2f..%.2f]", s.lowest, s.highest);
    };
    const auto ceilingTrip = summarise (ceilingTrips), clientTrip = summarise (whoAmI);

    std::printf ("\nCeiling: two plain threads over a fresh pseudo-terminal, measured in turns with the client\n");
    std::printf ("  10-byte round trip  median %6.1f us, 99th percentile %7.1f us\n", ceilingTrip.median * 1e6,
                 ceilingTrip.p99 * 1e6);
    std::printf ("  8191-byte requests, 10-byte replies  %7.1f MB/s of data\n", median (putCeiling));
    std::printf ("  10-byte requests, 8191-byte replies  %7.1f MB/s of data\n", median (getCeiling));

    std::printf (
        "\nClient against nubo-devsim (median of %d rounds, [lowest..highest round]; plain device: the same client "
        "against a device in this process with nothing behind it, the client's own cost)\n",
        (int) results.size());
    std::printf ("  WhoAmI round trip  median %6.1f us, 99th percentile %7.1f us: %.2f x the ceiling %s   (plain "
                 "device %.2f x %s)\n",
                 clientTrip.median * 1e6, clientTrip.p99 * 1e6, median (tripRatio),
                 rangeOfTimes (tripRatio).toRawUTF8(), median (plainTripRatio),
                 rangeOfTimes (plainTripRatio).toRawUTF8());
    std::printf ("  get     %2lld MiB     %7.1f MB/s: %3.0f %% of the ceiling %s   (plain device %3.0f %% %s)\n",
                 (long long) (transferSize >> 20), median (getRate), 100.0 * median (get),
                 range (get, 100.0).toRawUTF8(), 100.0 * median (plainGet), range (plainGet, 100.0).toRawUTF8());
    std::printf ("  put     %2lld MiB     %7.1f MB/s: %3.0f %% of the ceiling %s   (plain device %3.0f %% %s)\n",
                 (long long) (transferSize >> 20), median (putRate), 100.0 * median (put),
                 range (put, 100.0).toRawUTF8(), 100.0 * median (plainPut), range (plainPut, 100.0).toRawUTF8());
    std::printf (
        "  the same file requests sent bare to a second nubo-devsim (the simulator's own limit): get %3.0f %% "
        "%s, put %3.0f %% %s of the ceiling;\n    the client reaches get %3.0f %% %s, put %3.0f %% %s of that\n",
        100.0 * median (bareGet), range (bareGet, 100.0).toRawUTF8(), 100.0 * median (barePut),
        range (barePut, 100.0).toRawUTF8(), 100.0 * median (getOfBare), range (getOfBare, 100.0).toRawUTF8(),
        100.0 * median (putOfBare), range (putOfBare, 100.0).toRawUTF8());
    std::printf ("  listing %d entries (contents, then the facts of each): %.1f ms, %.2f x the ceiling's round trips "
                 "%s,\n    %.2f x the same requests sent bare to a second nubo-devsim (the round trips plus the "
                 "simulator's own turnaround) %s\n",
                 listingEntries, median (list) * 1e3, median (listRatio), rangeOfTimes (listRatio).toRawUTF8(),
                 median (listBareRatio), rangeOfTimes (listBareRatio).toRawUTF8());
    std::printf ("  client CPU per MB (this process, during its transfers): get %.2f ms %s, put %.2f ms %s\n",
                 median (getCpu), rangeOfTimes (getCpu).toRawUTF8(), median (putCpu),
                 rangeOfTimes (putCpu).toRawUTF8());
    return 0;
}

/** Only the client against the plain device, or against nubo-devsim beside the same
    requests sent bare, with no ceiling in between: something steady to hold a
    profiler or strace to. */
int runProfile (bool upward, bool simulated, int rounds)
{
    BenchLogger logger;
    setGlobalLogger (&logger);
    const ScratchFolder scratch;
    const auto up = scratch.folder.getChildFile ("up.bin"), down = scratch.folder.getChildFile ("plain.bin");
    if (upward)
        writeRandomFile (up, transferSize, 2);

    // Against nubo-devsim the simulator's own turnaround is in the figures too.
    const auto deviceRoot = scratch.folder.getChildFile ("device");
    const auto usr = deviceRoot.getChildFile (remoteFolder.substring (1));
    const auto remotePath = simulated ? remoteFolder + "/big.bin" : juce::String ("/plain");
    DeviceSimulatorProcess simulator (simulatorExecutable());
    if (simulated)
    {
        usr.createDirectory();
        writeRandomFile (usr.getChildFile ("big.bin"), transferSize, 1);
        if (!simulator.start ({"--fs", deviceRoot.getFullPathName()}))
        {
            std::fprintf (stderr, "nubo-bench: nubo-devsim did not start\n");
            setGlobalLogger (nullptr);
            return 1;
        }
    }

    // Beside each of the client's transfers, the same requests sent bare to a second
    // simulator over the same files: what the simulator allows at all.
    DeviceSimulatorProcess bareSimulator (simulatorExecutable());
    std::unique_ptr<BareClient> bare;
    if (simulated && bareSimulator.start ({"--fs", deviceRoot.getFullPathName()}))
        bare = std::make_unique<BareClient> (bareSimulator.portPath());

    PlainDevice plain (transferSize);
    int result = 0;
    {
        Session direct (simulated ? simulator.portPath() : plain.portPath());
        for (int i = 0; i < rounds && result == 0 && direct.isOpen(); ++i)
        {
            const Stopwatch watch;
            const auto cpu = processCpuSeconds();
            result = upward ? sendFile (direct.client, up, remotePath) : fetchFile (direct.client, remotePath, down);
            const auto seconds = watch.seconds();
            std::printf ("%s %6.1f MB/s, %.2f ms CPU per MB (this process%s)", upward ? "put" : "get",
                         (double) transferSize / seconds / 1e6,
                         (processCpuSeconds() - cpu) * 1e3 / ((double) transferSize / 1e6),
                         simulated ? "" : ", the device thread included");
            if (bare != nullptr && result == 0)
            {
                const auto bareSpeed = [&]
                {
                    const Stopwatch bareWatch;
                    const auto failed = bare->transfer (upward ? remoteFolder + "/bare.bin" : remotePath, upward,
                                                        upward ? transferSize : 0) != 0;
                    result |= failed ? 1 : 0;
                    return (double) transferSize / bareWatch.seconds() / 1e6;
                };
                std::printf (";  bare to a second nubo-devsim %6.1f MB/s", bareSpeed());
                // The same again, each answer waited for in poll first, as the client's
                // reader must: what that wait costs on its own.
                bare->pollFirst = true;
                std::printf (", polling first %6.1f MB/s", bareSpeed());
                bare->pollFirst = false;
            }
            std::printf ("\n");
        }
    }
    setGlobalLogger (nullptr);
    return result == 0 && logger.failures == 0 ? 0 : 1;
}

/** The ceiling alone, in transfers of the same size. */
int runCeilingProfile (int rounds)
{
    CeilingLink ceiling;
    const auto blockSize = TidewireClientRequest::maxFileBlockSize;
    const auto blocks = (int) ((transferSize + blockSize - 1) / blockSize);
    for (int i = 0; i < rounds && ceiling.isOpen(); ++i)
    {
        const auto down = ceiling.bulk (blocks, false), up = ceiling.bulk (blocks, true);
        if (down < 0 || up < 0)
            return 1;
        std::printf ("ceiling get %6.1f MB/s, put %6.1f MB/s\n", (double) blocks * blockSize / down / 1e6,
                     (double) blocks * blockSize / up / 1e6);
    }
    return ceiling.isOpen() ? 0 : 1;
}
} // namespace

int main (int argc, char** argv)
{
    if (argc == 2 && juce::String (argv[1]) == "--soak")
    {
        std::signal (SIGPIPE, SIG_IGN);
        const juce::ScopedJuceInitialiser_GUI juce;
        return runSoak();
    }

    if (argc >= 2 && juce::String (argv[1]) == "link")
    {
        const auto seconds = argc >= 3 ? juce::String (argv[2]).getIntValue() : 60;
        const auto everyMs = argc >= 4 ? juce::String (argv[3]).getIntValue() : 86;
        if (argc > 4 || seconds < 1 || everyMs < 1)
        {
            std::fprintf (stderr, "Usage: nubo-bench link [seconds [async-every-ms]]   (default 60 86)\n");
            return 2;
        }
        std::signal (SIGPIPE, SIG_IGN);
        const juce::ScopedJuceInitialiser_GUI juce;
        return runLinkBenchmark (seconds, everyMs);
    }

    if (argc >= 3 && juce::String (argv[1]) == "profile")
    {
        const juce::String direction (argv[2]);
        const auto count = argc >= 4 ? juce::String (argv[3]).getIntValue() : 5;
        const auto simulated = direction.endsWith ("-devsim");
        const auto kind = direction.upToFirstOccurrenceOf ("-", false, false);
        const juce::StringArray kinds{"get", "put", "get-devsim", "put-devsim", "ceiling"};
        if (argc > 4 || !kinds.contains (direction) || count < 1 || count > 50)
        {
            std::fprintf (stderr, "Usage: nubo-bench profile get|put|get-devsim|put-devsim|ceiling [rounds]\n");
            return 2;
        }
        std::signal (SIGPIPE, SIG_IGN);
        const juce::ScopedJuceInitialiser_GUI juce;
        return direction == "ceiling" ? runCeilingProfile (count) : runProfile (kind == "put", simulated, count);
    }

    const auto rounds = argc == 2 ? juce::String (argv[1]).getIntValue() : 9;
    if (argc > 2 || rounds < 1 || rounds > 50)
    {
        std::fprintf (
            stderr, "Usage: nubo-bench [rounds | --soak]   (default 9 rounds; runs nubo-devsim from its own folder)\n"
                    "       nubo-bench link [seconds [async-every-ms]]   (the window under a flood; needs a display)\n"
                    "       nubo-bench profile get|put|get-devsim|put-devsim|ceiling [rounds]   (one kind alone, for a "
                    "profiler)\n");
        return 2;
    }

    std::signal (SIGPIPE, SIG_IGN);
    const juce::ScopedJuceInitialiser_GUI juce;
    return runBenchmark (rounds);
}
