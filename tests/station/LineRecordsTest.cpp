#include "station/LineRecords.h"
#include "PostgresServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{
using Record = StationRecords::Record;
using Result = StationRecords::Result;

Record finishedRecord (int n, const std::string& station = "station-a")
{
    Record r;
    r.recordId = "rec-" + station + "-" + std::to_string (n);
    r.stationId = station;
    r.slot = "/dev/ttyACM" + std::to_string (n % 8);
    r.slotNickname = "left";
    r.usbSerial = "SN" + std::to_string (n);
    r.identityBefore = "Nubo 2.1";
    r.identityAfter = "Nubo 2.2";
    r.firmwareBefore = 0x020100;
    r.firmwareAfter = 0x020200;
    r.imageSha256 = std::string (64, 'a');
    r.recipeSha256 = std::string (64, 'b');
    r.macFile = "02:00:00:00:00:01\n";
    r.startMs = 1'700'000'000'000 + n * 1000;
    r.endMs = r.startMs + 500;
    r.durationMs = 500;
    r.result = n % 3 == 0 ? Result::failed : Result::passed;
    r.failureClass = r.result == Result::failed ? "write" : "";
    r.attemptNumber = 1 + n % 2;
    r.programVersion = "1.4.0";
    r.operatorName = "Ana";
    return r;
}

/** Every field, byte for byte (the CSV escapes every byte that is not plain text). */
std::string fields (const std::vector<Record>& records)
{
    return StationRecords::toCsv (records);
}

constexpr juce::int64 always = std::numeric_limits<juce::int64>::max() / 4;
} // namespace

class LineRecordsTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (PostgresServer::unavailable().isEmpty())
        {
            server = std::make_unique<PostgresServer>();
            startProblem = server->start();
        }
    }

    static void TearDownTestSuite()
    {
        server.reset();
    }

    void SetUp() override
    {
        if (const auto reason = PostgresServer::unavailable(); reason.isNotEmpty())
            GTEST_SKIP() << reason;
        ASSERT_TRUE (startProblem.isEmpty()) << startProblem;
        database = server->createDatabase();
    }

    std::unique_ptr<LineRecords> connect (const std::string& extra = {})
    {
        auto opened = LineRecords::connect (server->conninfo (database, extra));
        EXPECT_NE (opened.records, nullptr) << opened.reason;
        return std::move (opened.records);
    }

    static inline std::unique_ptr<PostgresServer> server;
    static inline juce::String startProblem;
    std::string database;
};

TEST_F (LineRecordsTest, UploadStoresEachRecordOnceInOrderAndKeepsItsBytes)
{
    auto records = connect();
    ASSERT_NE (records, nullptr);

    auto hostile = finishedRecord (1, "station-b");
    hostile.macFile = std::string ("\xff\xfe"
                                   "02:00\0:00\x80\n",
                                   13);
    hostile.usbSerial = "SN\x01\xc3(";
    hostile.identityAfter = std::string ("Nubo\0\xed\xa0\x80", 8);
    hostile.failureReason = "\x1b[31mred\r\n";
    Record bare; // every optional empty, every text empty
    bare.recordId = "bare";
    bare.startMs = hostile.startMs + 2000;
    bare.result = Result::interrupted;
    auto sameStart = finishedRecord (3);
    sameStart.startMs = bare.startMs; // the order of upload breaks the tie
    const std::vector<Record> batch{finishedRecord (0), hostile, bare, sameStart};

    for (int i = 0; i < 2; ++i)
    {
        const auto uploaded = records->upload (batch);
        ASSERT_TRUE (uploaded.ok) << uploaded.reason;
        EXPECT_EQ (uploaded.stored, 4);
    }
    EXPECT_EQ (server->queryValue (database, "SELECT count(*) FROM line_records"), "4");

    const auto listed = records->recordsBetween (0, always);
    ASSERT_TRUE (listed.read) << listed.reason;
    EXPECT_EQ (fields (listed.records), fields (batch));
    EXPECT_EQ (listed.records[1].macFile, hostile.macFile);

    const auto onlyB = records->recordsBetween (0, always, "station-b");
    ASSERT_TRUE (onlyB.read) << onlyB.reason;
    EXPECT_EQ (fields (onlyB.records), fields ({hostile}));
    const auto counted = records->countsBetween (0, always);
    ASSERT_TRUE (counted.read) << counted.reason;
    EXPECT_EQ (counted.counts.passed, 1);
    EXPECT_EQ (counted.counts.failed, 2);
    EXPECT_EQ (counted.counts.interrupted, 1);
    EXPECT_EQ (records->countsBetween (0, always, "station-b").counts.passed, 1);

    // A record still running would be kept unfinished for ever: refused, with the whole batch.
    auto running = finishedRecord (7);
    running.result = Result::running;
    const auto refused = records->upload ({finishedRecord (8), running});
    EXPECT_FALSE (refused.ok);
    EXPECT_TRUE (refused.reason.contains (running.recordId)) << refused.reason;
    EXPECT_EQ (server->queryValue (database, "SELECT count(*) FROM line_records"), "4");
}

TEST_F (LineRecordsTest, TwoStationsSeeingOneMacAtOnceLetExactlyOnePass)
{
    auto first = connect();
    auto second = connect();
    ASSERT_TRUE (first != nullptr && second != nullptr);

    for (int round = 0; round < 50; ++round)
    {
        auto a = finishedRecord (round, "station-a");
        auto b = finishedRecord (round, "station-b");
        a.usbSerial = "A" + std::to_string (round);
        b.usbSerial = "B" + std::to_string (round);
        a.macFile = juce::String::formatted ("02:00:00:00:01:%02x\n", round).toStdString();
        b.macFile =
            juce::String::formatted ("0200-0000-01%02X", round).toStdString(); // the same MAC, written otherwise

        std::atomic<int> ready{0};
        LineRecords::Claimed claimedA, claimedB;
        const auto pass = [&] (LineRecords& records, const Record& unit, LineRecords::Claimed& claimed)
        {
            ++ready;
            while (ready.load() < 2)
                std::this_thread::yield();
            claimed = records.passUnit (unit);
        };
        std::thread threadA (pass, std::ref (*first), std::cref (a), std::ref (claimedA));
        std::thread threadB (pass, std::ref (*second), std::cref (b), std::ref (claimedB));
        threadA.join();
        threadB.join();

        ASSERT_TRUE (claimedA.checked) << claimedA.reason;
        ASSERT_TRUE (claimedB.checked) << claimedB.reason;
        ASSERT_NE (claimedA.duplicate, claimedB.duplicate) << "round " << round;
        const auto& loser = claimedA.duplicate ? claimedA : claimedB;
        EXPECT_EQ (loser.duplicateOf, claimedA.duplicate ? b.recordId : a.recordId);
        EXPECT_EQ (loser.what, "MAC");
    }
    const auto counted = first->countsBetween (0, always);
    EXPECT_EQ (counted.counts.passed, 50);
    EXPECT_EQ (counted.counts.duplicates, 50);

    // The same unit again is no duplicate; its serial on a unit with another MAC is.
    const auto listed = first->recordsBetween (0, always);
    const auto winner = std::find_if (listed.records.begin(), listed.records.end(),
                                      [] (const Record& r) { return r.result == Result::passed; });
    ASSERT_NE (winner, listed.records.end());
    auto again = *winner;
    again.recordId += "-again";
    EXPECT_FALSE (second->passUnit (again).duplicate);
    again.recordId += "-other-mac";
    again.macFile = "02:ff:ff:ff:ff:ff";
    const auto serialTaken = second->passUnit (again);
    EXPECT_TRUE (serialTaken.checked && serialTaken.duplicate) << serialTaken.reason;
    EXPECT_EQ (serialTaken.what, "USB serial");
    EXPECT_EQ (serialTaken.duplicateOf, winner->recordId);
}

TEST_F (LineRecordsTest, ServerKilledMidUploadLosesAndDuplicatesNothing)
{
    auto records = connect();
    ASSERT_NE (records, nullptr);
    std::vector<Record> batch;
    for (int i = 0; i < 20000; ++i)
        batch.push_back (finishedRecord (i));
    ASSERT_TRUE (records->upload ({batch.begin(), batch.begin() + 100}).ok);

    LineRecords::Uploaded interrupted;
    std::thread uploader ([&] { interrupted = records->upload (batch); });
    // Killed once the upload's transaction has written something.
    const auto writing = "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'nubo-station' "
                         "AND backend_xid IS NOT NULL";
    for (int i = 0; i < 3000 && server->queryValue (database, writing) != "1"; ++i)
        juce::Thread::sleep (10);
    server->kill();
    uploader.join();
    EXPECT_FALSE (interrupted.ok);
    EXPECT_FALSE (interrupted.reason.containsAnyOf ("\r\n"));
    EXPECT_FALSE (records->isConnected());
    EXPECT_FALSE (records->recordsBetween (0, always).read); // while the server is down
    const auto unclaimed = records->passUnit (finishedRecord (20001));
    EXPECT_FALSE (unclaimed.checked);
    EXPECT_TRUE (unclaimed.reason.isNotEmpty());

    ASSERT_TRUE (server->start().isEmpty());
    const auto uploaded = records->upload (batch); // the same object connects again
    ASSERT_TRUE (uploaded.ok) << uploaded.reason;
    EXPECT_EQ (uploaded.stored, 20000);
    EXPECT_EQ (server->queryValue (database, "SELECT count(DISTINCT record_id) || '/' || count(*) FROM line_records"),
               "20000/20000");
    const auto listed = records->recordsBetween (0, always);
    ASSERT_TRUE (listed.read) << listed.reason;
    EXPECT_EQ (fields (listed.records), fields (batch));
}

TEST_F (LineRecordsTest, RefusalsGiveOneLineWithoutThePassword)
{
    const auto expectRefused = [] (const LineRecords::Opened& opened, const juce::String& expected)
    {
        EXPECT_EQ (opened.records, nullptr);
        EXPECT_TRUE (opened.reason.containsIgnoreCase (expected)) << opened.reason;
        EXPECT_FALSE (opened.reason.contains ("hunter2")) << opened.reason;
        EXPECT_FALSE (opened.reason.containsAnyOf ("\r\n")) << opened.reason;
    };
    const std::string user = PostgresServer::passwordUser;
    ASSERT_EQ (server->execute ("postgres", "CREATE ROLE " + user + " LOGIN PASSWORD 'right-hunter2'"), "");

    // The least-rights role cannot create the tables; once the owner has, the README's grants suffice.
    expectRefused (LineRecords::connect (server->conninfo (database, "password=right-hunter2", user)),
                   "permission denied");
    ASSERT_NE (connect(), nullptr);
    ASSERT_EQ (server->execute (database, "GRANT SELECT ON line_schema_version TO " + user +
                                              "; GRANT SELECT, INSERT "
                                              "ON line_records, line_mac_claims, line_serial_claims TO " +
                                              user),
               "");
    auto station = LineRecords::connect (server->conninfo (database, "password=right-hunter2", user));
    ASSERT_NE (station.records, nullptr) << station.reason;
    EXPECT_TRUE (station.records->passUnit (finishedRecord (1)).checked);
    EXPECT_TRUE (station.records->upload ({finishedRecord (2)}).ok);
    EXPECT_EQ (station.records->recordsBetween (0, always).records.size(), 2u);

    expectRefused (LineRecords::connect (server->conninfo (database, "password=wrong-hunter2", user)),
                   "password authentication failed");
    expectRefused (LineRecords::connect ("host=nonexistent.invalid dbname=x password=hunter2"), "nonexistent.invalid");
    expectRefused (LineRecords::connect ("host=/tmp password=hunter2 dbname"), "not valid");
    expectRefused (LineRecords::connect ("postgresql://user:hunter2@[::1/db"), "not valid");

    // A server that takes the connection and never answers: the connect time-out ends the wait.
    juce::StreamingSocket silent;
    ASSERT_TRUE (silent.createListener (0, "127.0.0.1"));
    expectRefused (LineRecords::connect ("host=127.0.0.1 port=" + std::to_string (silent.getBoundPort()) +
                                             " dbname=x password=hunter2",
                                         1),
                   "timeout");

    ASSERT_EQ (server->execute (database, "UPDATE line_schema_version SET version = 2"), "");
    expectRefused (LineRecords::connect (server->conninfo (database)), "schema version 2, newer than this program's 1");
}
