// nubo station as a line runs it: a child process with its JSON events, its control
// socket, Ctrl-C, SIGTERM and kill -9, against simulated units.

#include "NuboFixture.h"

#include "station/StationRecords.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace
{
bool waitUntil (const std::function<bool()>& condition, int timeoutMs = 30000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds (timeoutMs);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for (std::chrono::milliseconds (50));
    }
    return true;
}

/** A client of the control socket. */
class ControlClient final
{
public:
    explicit ControlClient (const juce::File& socketPath)
    {
        fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy (address.sun_path, socketPath.getFullPathName().toRawUTF8(), sizeof address.sun_path - 1);
        if (::connect (fd, (sockaddr*) &address, sizeof address) != 0)
        {
            ::close (fd);
            fd = -1;
        }
    }
    ~ControlClient()
    {
        if (fd >= 0)
            ::close (fd);
    }
    bool isConnected() const
    {
        return fd >= 0;
    }
    bool sendRaw (const std::string& bytes)
    {
        return ::send (fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t) bytes.size();
    }

    /** Sends the command and returns its answer, parsed (null when none came in time). */
    nlohmann::json ask (const std::string& command)
    {
        if (!sendRaw (command + "\n"))
            return nullptr;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (10);
        for (;;)
        {
            if (const auto end = pending.find ('\n'); end != std::string::npos)
            {
                const auto line = pending.substr (0, end);
                pending.erase (0, end + 1);
                return nlohmann::json::parse (line, nullptr, false);
            }
            pollfd p{fd, POLLIN, 0};
            if (std::chrono::steady_clock::now() > deadline || ::poll (&p, 1, 200) < 0)
                return nullptr;
            char buffer[65536];
            const auto n = (p.revents & (POLLIN | POLLHUP)) != 0 ? ::recv (fd, buffer, sizeof buffer, 0) : 0;
            if (n < 0 || ((p.revents & POLLHUP) != 0 && n == 0))
                return nullptr;
            pending.append (buffer, (size_t) std::max<ssize_t> (n, 0));
        }
    }

private:
    int fd = -1;
    std::string pending;
};

std::string stateOf (const nlohmann::json& status, const std::string& slot)
{
    if (status.is_object() && status.contains ("slots"))
        for (auto& s : status["slots"])
            if (s["slot"] == slot)
                return s["state"];
    return "absent";
}
} // namespace

class NuboStationTest : public NuboFixture
{
protected:
    void SetUp() override
    {
        NuboFixture::SetUp();
        writeFile (work().getChildFile ("image.bin"), randomBytes (imageSize, 7));
    }

    void writeRecipe (const juce::String& extras = {})
    {
        work().getChildFile ("recipe.json")
            .replaceWithText ("{ \"name\": \"line\", \"image\": \"image.bin\", \"follow_restart\": false" + extras + " }");
    }

    /** Device n with a MAC address of its own. */
    void plug (int n, const juce::StringArray& options = {})
    {
        startDevice (n, options);
        deviceFile (n, "/mnt/nandfs/macAddress.txt")
            .replaceWithText ("02:00:00:00:00:" + juce::String (n).paddedLeft ('0', 2) + "\n", false, false, "\n");
    }

    juce::File database() const
    {
        return work().getChildFile ("station.db");
    }
    juce::File socket() const
    {
        return work().getChildFile ("station.db.sock");
    }

    bool startStation (NuboProcess& nubo, const juce::StringArray& extra = {})
    {
        juce::StringArray arguments{"station", "recipe.json", "--db", database().getFullPathName(), "--json"};
        arguments.addArray (extra);
        return nubo.start (arguments) && waitUntil ([this] { return socket().exists(); }, 10000);
    }

    nlohmann::json statusWhen (ControlClient& client, const std::function<bool (const nlohmann::json&)>& condition)
    {
        nlohmann::json status;
        waitUntil ([&]
                   {
                       status = client.ask ("status");
                       return condition (status);
                   });
        return status;
    }

    size_t imageSize = 200000;
};

TEST_F (NuboStationTest, ControlSocketCommandsJsonEventsAndQuit)
{
    writeRecipe();
    plug (0); // slot 1-2, there before the station: held
    NuboProcess nubo (work(), root());
    ASSERT_TRUE (startStation (nubo));

    ControlClient rig (socket()), silent (socket()), flood (socket());
    ASSERT_TRUE (rig.isConnected() && silent.isConnected() && flood.isConnected());
    std::thread flooding ([&flood]
                          {
                              const std::string block (1 << 20, 'x');
                              for (int i = 0; i < 10; ++i)
                                  flood.sendRaw (block); // 10 MB, no line end
                          });

    auto status = statusWhen (rig, [] (const nlohmann::json& s) { return stateOf (s, "1-2") == "held"; });
    EXPECT_EQ (stateOf (status, "1-2"), "held") << status.dump();
    EXPECT_EQ (status["recipe"]["sha256"].get<std::string>().size(), 64u);

    for (const auto* bad : {"bogus", "start", "retry all", "status now", "results yesterday", "start 9-9"})
    {
        const auto answer = rig.ask (bad);
        EXPECT_EQ (answer["ok"], false) << bad << " " << answer.dump();
        EXPECT_TRUE (answer.contains ("error"));
    }
    EXPECT_EQ (stateOf (rig.ask ("status"), "1-2"), "held") << "a bad command changes nothing";

    EXPECT_EQ (rig.ask ("start 1-2")["ok"], true);
    status = statusWhen (rig, [] (const nlohmann::json& s) { return stateOf (s, "1-2") == "passed"; });
    EXPECT_EQ (stateOf (status, "1-2"), "passed") << status.dump();
    EXPECT_EQ (rig.ask ("retry 1-2")["ok"], false);

    EXPECT_EQ (rig.ask ("pause")["ok"], true);
    plug (1);
    status = statusWhen (rig, [] (const nlohmann::json& s) { return stateOf (s, "1-3") == "waiting"; });
    EXPECT_EQ (status["paused"], true);
    EXPECT_EQ (rig.ask ("resume")["ok"], true);
    statusWhen (rig, [] (const nlohmann::json& s) { return stateOf (s, "1-3") == "passed"; });

    const auto results = rig.ask ("results");
    ASSERT_EQ (results["records"].size(), 2u) << results.dump();
    EXPECT_EQ (results["records"][0]["usb_serial"], "SIM-0");
    EXPECT_EQ (results["records"][1]["mac_file"], "02:00:00:00:00:01\n");
    EXPECT_EQ (rig.ask ("results 2999-01-01T00:00:00Z")["records"].size(), 0u);
    EXPECT_EQ (rig.ask ("stop all")["ok"], true);

    flooding.join();
    EXPECT_EQ (rig.ask ("quit")["ok"], true);
    EXPECT_EQ (nubo.wait (20000), 0) << nubo.standardError();
    EXPECT_FALSE (socket().exists());

    // Standard output: one JSON object per line, nothing else.
    juce::StringArray lines;
    lines.addLines (nubo.standardOutput().trimEnd());
    std::map<std::string, int> kinds;
    for (auto& line : lines)
    {
        const auto event = nlohmann::json::parse (line.toStdString(), nullptr, false);
        ASSERT_TRUE (event.is_object()) << line;
        ++kinds[event["event"].get<std::string>()];
    }
    EXPECT_EQ (kinds["station_started"], 1);
    EXPECT_EQ (kinds["unit_appeared"], 2);
    EXPECT_EQ (kinds["unit_done"], 2);
    EXPECT_GE (kinds["step_begun"], 10);
    EXPECT_EQ (kinds["station_stopped"], 1);

    const auto report = run ({"station", "report", "--db", database().getFullPathName(), "--counts"});
    EXPECT_EQ (report.status, 0) << report.err;
    EXPECT_TRUE (report.out.startsWith ("passed 2, failed 0")) << report.out;
}

TEST_F (NuboStationTest, SigtermStopsRunningUnitsSafelyAndKillDashNineLosesNoCommittedRecord)
{
    writeRecipe();
    NuboProcess first (work(), root());
    ASSERT_TRUE (startStation (first));
    plug (0);
    plug (1);
    ControlClient rig (socket());
    statusWhen (rig, [] (const nlohmann::json& s) { return stateOf (s, "1-2") == "passed" && stateOf (s, "1-3") == "passed"; });

    // Two slow units in the middle of their images: SIGTERM.
    for (int n = 2; n <= 3; ++n)
        plug (n, {"--delay", "150"});
    statusWhen (rig, [] (const nlohmann::json& s)
                {
                    int sending = 0;
                    for (auto& slot : s["slots"])
                        sending += slot["step"] == "flash" && slot["done"].get<long long>() > 0 ? 1 : 0;
                    return sending == 2;
                });
    first.sendSignal (SIGTERM);
    EXPECT_EQ (first.wait (20000), 130) << first.standardError();
    for (int n = 2; n <= 3; ++n)
    {
        EXPECT_FALSE (deviceFile (n, "/mnt/nandfs/NuboimageDone").exists()) << "stopped before the trigger";
        EXPECT_FALSE (deviceRequests (n, "FileCloseRequest").isEmpty()) << "the image was closed on the device";
    }

    // The two slow ones again and six more, in the middle of their transfers: kill -9.
    NuboProcess second (work(), root());
    ASSERT_TRUE (startStation (second, {"--start-present"}));
    for (int n = 4; n <= 9; ++n)
        plug (n, {"--delay", "150"});
    ControlClient rig2 (socket());
    statusWhen (rig2, [] (const nlohmann::json& s)
                {
                    int sending = 0;
                    for (auto& slot : s["slots"])
                        sending += slot["step"] == "flash" ? 1 : 0;
                    return sending == 8;
                });
    second.sendSignal (SIGKILL);
    second.wait (10000);

    auto opened = StationRecords::open (database());
    ASSERT_NE (opened.records, nullptr) << opened.reason;
    EXPECT_EQ (opened.interrupted, 8);
    const auto counts = opened.records->countsBetween (0, std::numeric_limits<juce::int64>::max()).counts;
    juce::String seen;
    for (auto& record : opened.records->recordsBetween (0, std::numeric_limits<juce::int64>::max()).records)
        seen << record.usbSerial << " " << StationRecords::nameOf (record.result) << " " << record.failureReason << "\n";
    EXPECT_EQ (counts.passed, 4) << seen; // --start-present took the two fast units once more
    EXPECT_EQ (counts.interrupted, 10);
    EXPECT_EQ (counts.running, 0);
    for (auto& record : opened.records->recordsBetween (0, std::numeric_limits<juce::int64>::max()).records)
    {
        if (record.result == StationRecords::Result::passed)
        {
            EXPECT_FALSE (record.macFile.empty());
        }
    }
}

TEST_F (NuboStationTest, AReaderThatNeverReadsTheEventsHoldsUpNoUnit)
{
    juce::String fetches;
    for (int i = 0; i < 30; ++i)
        fetches << (i == 0 ? "" : ", ") << "{ \"remote\": \"/mnt/nandfs/macAddress.txt\", \"local\": \"copies/{serial}-" << i
                << "\" }";
    writeRecipe (", \"fetch\": [ " + fetches + " ]");
    NuboProcess nubo (work(), root());
    nubo.setStandardOutput (NuboProcess::Stream::unreadPipe);
    ASSERT_TRUE (startStation (nubo));
    ControlClient rig (socket());
    // Sixty steps a unit: the events of two units fill a pipe's 64 KiB.
    for (int n = 0; n < 4; ++n)
        plug (n);
    const auto status = statusWhen (rig, [] (const nlohmann::json& s)
                                    { return s.contains ("totals") && s["totals"]["passed"] == 4; });
    EXPECT_EQ (status["totals"]["passed"], 4) << status.dump();
    EXPECT_EQ (rig.ask ("quit")["ok"], true);
    EXPECT_EQ (nubo.wait (30000), 0) << "the station ends though its last lines cannot be written";
}
