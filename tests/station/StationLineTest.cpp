// Stations with a line's PostgreSQL database, a real server started by the test: the
// journal carries records over an outage, and the line-wide duplicate check holds across
// stations.

#include "PostgresServer.h"
#include "StationFixture.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

class StationLineTest : public StationTest
{
protected:
    void SetUp() override
    {
        StationTest::SetUp();
        if (const auto reason = PostgresServer::unavailable(); reason.isNotEmpty())
            GTEST_SKIP() << reason;
        const auto started = server.start();
        ASSERT_TRUE (started.isEmpty()) << started;
        database = server.createDatabase();
    }

    std::optional<LineUploader::State> line() const
    {
        return station->lineState();
    }

    PostgresServer server;
    std::string database;
};

TEST_F (StationLineTest, RecordsMadeWhileTheServerIsAwayArriveOnceAndInOrderWhenItIsBack)
{
    begin ({}, server.conninfo (database));
    ASSERT_TRUE (waitUntil ([&] { return line()->connected; })) << line()->lastError;

    for (int port = 2; port <= 4; ++port)
        plug (port, "L" + juce::String (port), "00:00:00:00:01:0" + juce::String (port));
    ASSERT_TRUE (waitUntil ([&] { return station->totals().passed == 3 && line()->waiting == 0; }, 40000))
        << describe ("1-2") << "\n" << describe ("1-3") << "\n" << describe ("1-4") << "\nline: " << line()->connected << " "
        << line()->waiting << " " << line()->lastError;
    EXPECT_EQ (slot ("1-2").lineCheck, "line");

    server.stop();
    const auto stopped = std::chrono::steady_clock::now();
    for (int port = 5; port <= 9; ++port)
        plug (port, "L" + juce::String (port), "00:00:00:00:01:0" + juce::String (port));
    ASSERT_TRUE (waitUntil ([&] { return station->totals().passed == 8; }, 40000)) << describe ("1-5");
    EXPECT_EQ (slot ("1-9").lineCheck, "local only") << "the row says the check was local";
    ASSERT_TRUE (waitUntil ([&] { return !line()->connected && line()->waiting == 5; })) << line()->waiting;
    EXPECT_FALSE (line()->lastError.empty());

    // Back a minute later: by then the uploader tries only every half minute.
    std::this_thread::sleep_until (stopped + std::chrono::seconds (60));
    EXPECT_FALSE (line()->connected);
    EXPECT_EQ (line()->waiting, 5);
    ASSERT_TRUE (server.start().isEmpty());
    ASSERT_TRUE (waitUntil ([&] { return line()->connected && line()->waiting == 0; }, 45000)) << line()->lastError;

    // Each record once; those that waited in the journal in the order the station began
    // them (the first three went up as they passed, in the order they passed).
    juce::StringArray local, uploaded;
    {
        // The journal's own order: as the attempts were begun.
        sqlite3* journal = nullptr;
        ASSERT_EQ (sqlite3_open_v2 ((temp / "station.db").getFullPathName().toRawUTF8(), &journal, SQLITE_OPEN_READONLY,
                                    nullptr),
                   SQLITE_OK);
        sqlite3_stmt* query = nullptr;
        sqlite3_prepare_v2 (journal, "SELECT record_id FROM attempts ORDER BY rowid", -1, &query, nullptr);
        while (sqlite3_step (query) == SQLITE_ROW)
            local.add (reinterpret_cast<const char*> (sqlite3_column_text (query, 0)));
        sqlite3_finalize (query);
        sqlite3_close (journal);
    }
    uploaded.addTokens (server.queryValue (database, "SELECT string_agg(record_id, ',' ORDER BY uploaded) FROM line_records"),
                        ",", {});
    ASSERT_EQ (uploaded.size(), 8);
    for (int i = 3; i < 8; ++i)
        EXPECT_EQ (uploaded[i], local[i]) << i;
    EXPECT_EQ (server.queryValue (database, "SELECT count(DISTINCT record_id) FROM line_records"), "8");
}

TEST_F (StationLineTest, AServerThatCannotBeReachedLeavesTheStationRecordingLocally)
{
    begin ({}, "host=nonexistent.invalid dbname=line connect_timeout=2 password=hunter2");
    plug (3, "U1", "00:00:00:00:02:01");
    ASSERT_TRUE (waitUntil ([&] { return slotIs ("1-3", Station::SlotState::passed); })) << slot ("1-3").reason;
    EXPECT_EQ (slot ("1-3").lineCheck, "local only");
    EXPECT_EQ (records().at (0).lineCheck, "local only");
    ASSERT_TRUE (waitUntil ([&] { return line()->lastError.find ("nonexistent") != std::string::npos; }))
        << line()->lastError;
    EXPECT_EQ (line()->lastError.find ("hunter2"), std::string::npos);
    EXPECT_EQ (line()->lastError.find ('\n'), std::string::npos);
    EXPECT_EQ (line()->waiting, 1);
}

TEST_F (StationLineTest, TwoStationProcessesSeeingOneMacAtOnceLetExactlyOnePass)
{
    (temp / "recipe.json")
        .replaceWithText ("{ \"name\": \"line\", \"image\": \"image.bin\", \"follow_restart\": false }");
    std::vector<std::unique_ptr<DeviceSimulator>> units;
    std::vector<std::unique_ptr<juce::ChildProcess>> stations;
    for (int n = 1; n <= 2; ++n)
    {
        const auto root = temp / ("root" + juce::String (n));
        const auto fs = temp / ("line-fs" + juce::String (n));
        sampleDeviceFolder().copyDirectoryTo (fs);
        units.push_back (std::make_unique<DeviceSimulator>());
        ASSERT_TRUE (units.back()->start ({"--fs", fs.getFullPathName(), "--device-root", root.getFullPathName(),
                                           "--usb-serial", "TWIN-" + juce::String (n), "--mac", "02:00:00:00:0a:0b"}));
        // Each station sees its own root: the variable is read by the child at its start.
        setenv ("NUBO_DEVICE_ROOT", root.getFullPathName().toRawUTF8(), 1);
        stations.push_back (std::make_unique<juce::ChildProcess>());
        ASSERT_TRUE (stations.back()->start (
            juce::StringArray{juce::String (NUBO_BIN_DIR) + "/nubo", "station", (temp / "recipe.json").getFullPathName(),
                              "--db", juce::String (server.conninfo (database)), "--journal",
                              (temp / ("journal" + juce::String (n) + ".db")).getFullPathName(), "--json",
                              "--no-socket", "--start-present"},
            juce::ChildProcess::wantStdOut));
    }

    std::map<std::string, int> results;
    ASSERT_TRUE (waitUntil ([&]
                            {
                                return std::stoi ("0" + server.queryValue (database, "SELECT count(*) FROM line_records"))
                                       >= 2;
                            },
                            30000));
    std::this_thread::sleep_for (std::chrono::seconds (1)); // the events follow the server's commit
    for (auto& station : stations)
        station->kill();
    for (auto& station : stations)
    {
        juce::StringArray lines;
        lines.addLines (station->readAllProcessOutput());
        for (auto& text : lines)
        {
            const auto event = nlohmann::json::parse (text.toStdString(), nullptr, false);
            if (event.is_object() && event["event"] == "unit_done")
                ++results[event["record"]["result"].get<std::string>()];
        }
    }
    EXPECT_EQ (results["passed"], 1);
    EXPECT_EQ (results["duplicate"], 1);
    EXPECT_EQ (server.queryValue (database, "SELECT count(*) FROM line_records WHERE result = 'passed'"), "1");
}
