#include "station/StationRecords.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
using Result = StationRecords::Result;

constexpr juce::int64 hourMs = 3600000;
constexpr juce::int64 t0 = 1714566896789; // 2024-05-01T12:34:56.789Z

StationRecords::Record attempt (const std::string& serial, juce::int64 startMs = t0)
{
    StationRecords::Record r;
    r.stationId = "station-1";
    r.slot = "1-2.3";
    r.slotNickname = "left";
    r.usbSerial = serial;
    r.identityBefore = "Nubo N1 v7";
    r.firmwareBefore = 7;
    r.imageSha256 = std::string (64, 'a');
    r.recipeSha256 = std::string (64, 'b');
    r.startMs = startMs;
    r.attemptNumber = 1;
    r.programVersion = "1.0";
    return r;
}

StationRecords::Outcome passedWith (const std::string& mac, juce::int64 endMs = t0 + 1000)
{
    StationRecords::Outcome o;
    o.result = Result::passed;
    o.identityAfter = "Nubo N1 v8";
    o.firmwareAfter = 8;
    o.macFile = mac;
    o.endMs = endMs;
    return o;
}

/** The file through a connection of its own, as another program would read it. */
std::string queryText (const juce::File& file, const char* sql)
{
    sqlite3* db = nullptr;
    std::string text = "(cannot open)";
    if (sqlite3_open_v2 (file.getFullPathName().toRawUTF8(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
    {
        sqlite3_stmt* statement = nullptr;
        text = "(no row)";
        if (sqlite3_prepare_v2 (db, sql, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step (statement) == SQLITE_ROW)
            text = reinterpret_cast<const char*> (sqlite3_column_text (statement, 0));
        sqlite3_finalize (statement);
    }
    sqlite3_close (db);
    return text;
}

/** RFC 4180: records of fields, quotes doubled inside quoted fields, CRLF between records. */
std::vector<std::vector<std::string>> parseCsv (const std::string& text)
{
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false, wasQuoted = false;
    for (size_t i = 0; i < text.size(); ++i)
    {
        const auto c = text[i];
        if (quoted)
        {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += '"', ++i;
            else if (c == '"')
                quoted = false;
            else
                field += c;
        }
        else if (c == '"' && field.empty() && !wasQuoted)
            quoted = wasQuoted = true;
        else if (c == ',')
            row.push_back (field), field.clear(), wasQuoted = false;
        else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
        {
            row.push_back (field), field.clear(), wasQuoted = false;
            rows.push_back (row), row.clear();
            ++i;
        }
        else
        {
            EXPECT_TRUE (c != '\r' && c != '\n' && c != '"') << "raw " << (int) c << " outside quotes at " << i;
            field += c;
        }
    }
    EXPECT_FALSE (quoted) << "unterminated quoted field";
    EXPECT_TRUE (field.empty() && row.empty()) << "last record without CRLF";
    return rows;
}

/** Runs the body in a child process (as nobody when the tests run as root, so that file
    modes apply) and gives its exit status. */
int inChild (const std::function<int()>& body, bool dropPrivileges)
{
    const auto pid = fork();
    if (pid == 0)
    {
        if (dropPrivileges && geteuid() == 0 && (setgid (65534) != 0 || setuid (65534) != 0))
            _exit (100);
        _exit (body());
    }
    int status = 0;
    waitpid (pid, &status, 0);
    return WIFEXITED (status) ? WEXITSTATUS (status) : 200 + (WIFSIGNALED (status) ? WTERMSIG (status) : 0);
}

class StationRecordsTest : public ::testing::Test
{
protected:
    TempFolder temp;
    juce::File file = temp / "records.sqlite";

    std::unique_ptr<StationRecords> openRecords (int* interrupted = nullptr)
    {
        auto opened = StationRecords::open (file);
        EXPECT_NE (opened.records, nullptr) << opened.reason;
        if (interrupted != nullptr)
            *interrupted = opened.interrupted;
        return std::move (opened.records);
    }
};

} // namespace

TEST_F (StationRecordsTest, EveryFieldComesBackFromTheFileAndThroughCsvAndJsonLines)
{
    // Device text with quotes, commas, line ends, control characters, a C1 control,
    // a backslash, invalid UTF-8 and a NUL byte.
    const std::string hostile = std::string ("a\"b,c\r\nd\te\x01\x7f\\ \xc2\x85 \xff\xfe ok \xc3\xa9") + '\0' + "z";
    const std::string hostileCsv = "a\"b,c\\r\\nd\\te\\x01\\x7f\\\\ \\u0085 \\xff\\xfe ok \xc3\xa9\\x00z";
    const std::string hostileJson =
        "a\"b,c\r\nd\te\x01\x7f\\ \xc2\x85 \xef\xbf\xbd\xef\xbf\xbd ok \xc3\xa9" + std::string (1, '\0') + "z";

    std::string firstId, secondId;
    {
        auto records = openRecords();
        ASSERT_NE (records, nullptr);

        auto full = attempt (hostile);
        full.stationId = "station \"7\", hall 2";
        full.slotNickname = hostile;
        full.identityBefore = hostile;
        full.firmwareBefore = std::nullopt;
        full.attemptNumber = 3;
        full.operatorName = std::string ("Zoë, line\n2");
        const auto begun = records->begin (full);
        ASSERT_TRUE (begun.stored) << begun.reason;
        firstId = begun.recordId;

        auto outcome = passedWith (hostile + "\naa:bb:cc:dd:ee:01", t0 + 61234);
        outcome.result = Result::failed;
        outcome.failureClass = "verify";
        outcome.failureReason = hostile;
        outcome.identityAfter = hostile;
        outcome.firmwareAfter = std::nullopt;
        const auto finished = records->finish (firstId, outcome);
        ASSERT_TRUE (finished.stored) << finished.reason;
        EXPECT_EQ (finished.result, Result::failed);

        const auto second = records->begin (attempt ("SER-2", t0 + hourMs / 2));
        ASSERT_TRUE (second.stored) << second.reason;
        secondId = second.recordId;
        ASSERT_TRUE (records->finish (secondId, passedWith ("AA:BB:CC:DD:EE:02", t0 + hourMs / 2 + 5)).stored);
    }

    // Reopened: what comes back is what was given, byte for byte.
    auto records = openRecords();
    ASSERT_NE (records, nullptr);
    const auto listed = records->recordsBetween (t0, t0 + hourMs);
    ASSERT_TRUE (listed.read) << listed.reason;
    ASSERT_EQ (listed.records.size(), 2u);
    const auto& r = listed.records[0];
    EXPECT_EQ (r.recordId, firstId);
    EXPECT_EQ (r.recordId.size(), 36u);
    EXPECT_NE (firstId, secondId);
    EXPECT_EQ (r.stationId, "station \"7\", hall 2");
    EXPECT_EQ (r.slot, "1-2.3");
    EXPECT_EQ (r.slotNickname, hostile);
    EXPECT_EQ (r.usbSerial, hostile);
    EXPECT_EQ (r.identityBefore, hostile);
    EXPECT_EQ (r.identityAfter, hostile);
    EXPECT_FALSE (r.firmwareBefore.has_value());
    EXPECT_FALSE (r.firmwareAfter.has_value());
    EXPECT_EQ (r.imageSha256, std::string (64, 'a'));
    EXPECT_EQ (r.recipeSha256, std::string (64, 'b'));
    EXPECT_EQ (r.macFile, hostile + "\naa:bb:cc:dd:ee:01");
    EXPECT_EQ (r.startMs, t0);
    EXPECT_EQ (r.endMs, t0 + 61234);
    EXPECT_EQ (r.durationMs, 61234);
    EXPECT_EQ (r.result, Result::failed);
    EXPECT_EQ (r.failureClass, "verify");
    EXPECT_EQ (r.failureReason, hostile);
    EXPECT_EQ (r.attemptNumber, 3);
    EXPECT_EQ (r.programVersion, "1.0");
    EXPECT_EQ (r.operatorName, std::optional<std::string> ("Zoë, line\n2"));
    EXPECT_EQ (listed.records[1].recordId, secondId);
    EXPECT_EQ (listed.records[1].firmwareBefore, 7);
    EXPECT_EQ (listed.records[1].firmwareAfter, 8);
    EXPECT_FALSE (listed.records[1].operatorName.has_value());
    EXPECT_EQ (queryText (file, "SELECT start_time FROM attempts ORDER BY start_time"), "2024-05-01T12:34:56.789Z");

    // The range is [from, to): the second attempt starts half an hour later.
    EXPECT_EQ (records->recordsBetween (t0 + 1, t0 + hourMs).records.size(), 1u);
    EXPECT_EQ (records->recordsBetween (t0, t0 + hourMs / 2).records.size(), 1u);

    const auto csv = StationRecords::toCsv (listed.records);
    const auto rows = parseCsv (csv);
    ASSERT_EQ (rows.size(), 3u) << csv;
    ASSERT_EQ (rows[0].size(), 22u);
    ASSERT_EQ (rows[1].size(), 22u) << csv;
    ASSERT_EQ (rows[2].size(), 22u) << csv;
    for (const auto c : csv)
        EXPECT_FALSE ((unsigned char) c < 0x20 && c != '\r' && c != '\n') << "raw control character in the CSV";
    EXPECT_EQ (csv.find ('\xff'), std::string::npos);
    const auto column = [&] (const std::string& name)
    {
        const auto found = std::find (rows[0].begin(), rows[0].end(), name);
        EXPECT_NE (found, rows[0].end()) << name;
        return (size_t) (found - rows[0].begin());
    };
    EXPECT_EQ (rows[1][column ("record_id")], firstId);
    EXPECT_EQ (rows[1][column ("station_id")], "station \"7\", hall 2");
    EXPECT_EQ (rows[1][column ("usb_serial")], hostileCsv);
    EXPECT_EQ (rows[1][column ("mac_file")], hostileCsv + "\\naa:bb:cc:dd:ee:01");
    EXPECT_EQ (rows[1][column ("operator_name")], "Zoë, line\\n2");
    EXPECT_EQ (rows[1][column ("firmware_before")], "");
    EXPECT_EQ (rows[1][column ("start_time")], "2024-05-01T12:34:56.789Z");
    EXPECT_EQ (rows[1][column ("end_time")], "2024-05-01T12:35:58.023Z");
    EXPECT_EQ (rows[1][column ("duration_ms")], "61234");
    EXPECT_EQ (rows[1][column ("attempt_number")], "3");
    EXPECT_EQ (rows[2][column ("result")], "passed");
    EXPECT_EQ (rows[2][column ("firmware_after")], "8");

    const auto jsonLines = StationRecords::toJsonLines (listed.records);
    std::vector<nlohmann::json> lines;
    for (size_t begin = 0, end; (end = jsonLines.find ('\n', begin)) != std::string::npos; begin = end + 1)
    {
        nlohmann::json line;
        ASSERT_NO_THROW (line = nlohmann::json::parse (jsonLines.substr (begin, end - begin))) << jsonLines;
        lines.push_back (line);
    }
    ASSERT_EQ (lines.size(), 2u) << jsonLines;
    EXPECT_EQ (std::count (jsonLines.begin(), jsonLines.end(), '\n'), 2);
    EXPECT_EQ (lines[0]["record_id"], firstId);
    EXPECT_EQ (lines[0]["usb_serial"], hostileJson);
    EXPECT_EQ (lines[0]["identity_before"], hostileJson);
    EXPECT_EQ (lines[0]["operator_name"], "Zoë, line\n2");
    EXPECT_TRUE (lines[0]["firmware_before"].is_null());
    EXPECT_EQ (lines[0]["duration_ms"], 61234);
    EXPECT_EQ (lines[0]["start_time"], "2024-05-01T12:34:56.789Z");
    EXPECT_EQ (lines[0]["result"], "failed");
    EXPECT_EQ (lines[1]["firmware_before"], 7);
    EXPECT_TRUE (lines[1]["operator_name"].is_null());
}

TEST_F (StationRecordsTest, RunningAttemptsBecomeInterruptedWhenTheFileIsOpenedAgain)
{
    std::string runningId, finishedId;
    {
        auto records = openRecords();
        ASSERT_NE (records, nullptr);
        runningId = records->begin (attempt ("SER-1")).recordId;
        finishedId = records->begin (attempt ("SER-2", t0 + 10)).recordId;
        ASSERT_TRUE (records->finish (finishedId, passedWith ("aa:bb:cc:dd:ee:01")).stored);
        ASSERT_TRUE (records->begin (attempt ("SER-3", t0 + 20)).stored);

        const auto counted = records->countsBetween (t0, t0 + hourMs);
        ASSERT_TRUE (counted.read) << counted.reason;
        EXPECT_EQ (counted.counts.running, 2);
    }

    int interrupted = -1;
    auto records = openRecords (&interrupted);
    ASSERT_NE (records, nullptr);
    EXPECT_EQ (interrupted, 2);

    const auto listed = records->recordsBetween (t0, t0 + hourMs);
    ASSERT_EQ (listed.records.size(), 3u);
    EXPECT_EQ (listed.records[0].recordId, runningId);
    EXPECT_EQ (listed.records[0].result, Result::interrupted);
    EXPECT_FALSE (listed.records[0].failureReason.empty());
    EXPECT_EQ (listed.records[1].result, Result::passed);
    EXPECT_EQ (listed.records[2].result, Result::interrupted);

    // An interrupted attempt is over: it cannot be finished any more.
    const auto late = records->finish (runningId, passedWith ("aa:bb:cc:dd:ee:09"));
    EXPECT_FALSE (late.stored);
    EXPECT_TRUE (late.reason.contains (runningId)) << late.reason;

    int again = -1;
    records.reset();
    records = openRecords (&again);
    EXPECT_EQ (again, 0);
}

TEST_F (StationRecordsTest, DuplicateMacOrSerialOfAnotherUnitIsCaughtAndCounted)
{
    auto records = openRecords();
    ASSERT_NE (records, nullptr);
    const auto pass = [&] (const std::string& serial, const std::string& mac, juce::int64 start)
    {
        const auto begun = records->begin (attempt (serial, start));
        EXPECT_TRUE (begun.stored) << begun.reason;
        return std::make_pair (begun.recordId, records->finish (begun.recordId, passedWith (mac, start + 100)));
    };

    const auto [firstId, first] = pass ("SER-1", "AA:BB:CC:DD:EE:01\n", t0);
    ASSERT_TRUE (first.stored) << first.reason;
    EXPECT_EQ (first.result, Result::passed);

    // The same unit again (same serial, same MAC spelt otherwise) passes again.
    const auto [againId, again] = pass ("SER-1", "aa-bb-cc-dd-ee-01", t0 + 1000);
    EXPECT_EQ (again.result, Result::passed) << again.reason;

    // Another unit whose MAC file names the first one's MAC, in another spelling.
    const auto [macId, mac] = pass ("SER-2", "aabb.ccdd.ee01", t0 + 2000);
    ASSERT_TRUE (mac.stored) << mac.reason;
    EXPECT_EQ (mac.result, Result::duplicate);
    EXPECT_EQ (mac.duplicateOf, firstId);
    EXPECT_TRUE (mac.reason.contains (firstId)) << mac.reason;
    EXPECT_TRUE (mac.reason.contains ("MAC")) << mac.reason;

    // Another MAC on a unit whose USB serial passed before.
    const auto [serialId, serial] = pass ("SER-1", "aa:bb:cc:dd:ee:99", t0 + 3000);
    EXPECT_EQ (serial.result, Result::duplicate);
    EXPECT_EQ (serial.duplicateOf, firstId);
    EXPECT_TRUE (serial.reason.contains ("serial")) << serial.reason;

    // A failed attempt is no pass: its MAC is no reason to call a later unit a duplicate.
    const auto failedStart = records->begin (attempt ("SER-3", t0 + 4000));
    auto failedOutcome = passedWith ("aa:bb:cc:dd:ee:03");
    failedOutcome.result = Result::failed;
    ASSERT_TRUE (records->finish (failedStart.recordId, failedOutcome).stored);
    const auto [freshId, fresh] = pass ("SER-4", "AA:BB:CC:DD:EE:03", t0 + 5000);
    EXPECT_EQ (fresh.result, Result::passed) << fresh.reason;

    // An empty MAC file matches nothing.
    const auto [emptyId, empty] = pass ("SER-5", "", t0 + 6000);
    EXPECT_EQ (empty.result, Result::passed) << empty.reason;

    // Stored as duplicates, reason and all.
    const auto listed = records->recordsBetween (t0, t0 + hourMs);
    ASSERT_EQ (listed.records.size(), 7u);
    EXPECT_EQ (listed.records[2].result, Result::duplicate);
    EXPECT_NE (listed.records[2].failureReason.find (firstId), std::string::npos);

    const auto counted = records->countsBetween (t0, t0 + 2 * hourMs);
    ASSERT_TRUE (counted.read) << counted.reason;
    EXPECT_EQ (counted.counts.passed, 4);
    EXPECT_EQ (counted.counts.duplicates, 2);
    EXPECT_EQ (counted.counts.failed, 1);
    EXPECT_EQ (counted.counts.interrupted, 0);
    EXPECT_DOUBLE_EQ (counted.counts.unitsPerHour, 2.0);
}

TEST_F (StationRecordsTest, CommittedRecordsSurviveAStationKilledWhileWriting)
{
    int ids[2];
    ASSERT_EQ (pipe (ids), 0);
    const auto pid = fork();
    if (pid == 0)
    {
        close (ids[0]);
        auto opened = StationRecords::open (file);
        if (opened.records == nullptr)
            _exit (1);
        for (int i = 0; i < 100000; ++i)
        {
            auto a = attempt ("SER-" + std::to_string (i), t0 + i);
            a.identityBefore = std::string (2000, 'x'); // pages to write, so that the kill lands mid-write
            const auto begun = opened.records->begin (a);
            if (!begun.stored ||
                !opened.records->finish (begun.recordId, passedWith ("mac " + std::to_string (i))).stored)
                _exit (2);
            // Told only once committed: every ID the parent reads must be in the file.
            const auto line = begun.recordId + "\n";
            if (write (ids[1], line.data(), line.size()) != (ssize_t) line.size())
                _exit (3);
        }
        _exit (4);
    }
    ASSERT_GT (pid, 0);
    close (ids[1]);

    // Reads the IDs sent so far; false once the writer is gone.
    std::vector<std::string> committed;
    std::string pending;
    const auto readIds = [&]
    {
        char buffer[4096];
        const auto n = read (ids[0], buffer, sizeof (buffer));
        if (n <= 0)
            return false;
        pending.append (buffer, (size_t) n);
        for (auto end = pending.find ('\n'); end != std::string::npos; end = pending.find ('\n'))
        {
            committed.push_back (pending.substr (0, end));
            pending.erase (0, end + 1);
        }
        return true;
    };
    bool writing = true;
    while (writing && committed.size() < 300)
        writing = readIds();
    kill (pid, SIGKILL);
    int status = 0;
    waitpid (pid, &status, 0);
    ASSERT_TRUE (writing) << "the writer stopped by itself, status " << status;
    EXPECT_TRUE (WIFSIGNALED (status));
    // IDs sent after the last read count too: each was committed before it was sent.
    while (readIds())
    {
    }
    close (ids[0]);

    int interrupted = -1;
    auto records = openRecords (&interrupted);
    ASSERT_NE (records, nullptr);
    EXPECT_LE (interrupted, 1); // the attempt it was in the middle of, if any
    EXPECT_EQ (queryText (file, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ (queryText (file, "PRAGMA journal_mode"), "wal");

    const auto listed = records->recordsBetween (t0, t0 + hourMs);
    ASSERT_TRUE (listed.read) << listed.reason;
    std::map<std::string, StationRecords::Record> byId;
    for (const auto& r : listed.records)
        byId[r.recordId] = r;
    for (size_t i = 0; i < committed.size(); ++i)
    {
        const auto found = byId.find (committed[i]);
        ASSERT_NE (found, byId.end()) << "committed record " << i << " is missing";
        const auto& r = found->second;
        EXPECT_EQ (r.result, Result::passed);
        EXPECT_EQ (r.usbSerial, "SER-" + std::to_string (i));
        EXPECT_EQ (r.macFile, "mac " + std::to_string (i));
        EXPECT_EQ (r.identityBefore, std::string (2000, 'x'));
        EXPECT_EQ (r.firmwareAfter, 8);
    }
}

TEST_F (StationRecordsTest, FilesItCannotUseAreRefusedWithAReason)
{
    const auto refusal = [] (const juce::File& path)
    {
        auto opened = StationRecords::open (path, 200);
        EXPECT_EQ (opened.records, nullptr) << path.getFullPathName();
        EXPECT_TRUE (opened.reason.isNotEmpty());
        EXPECT_FALSE (opened.reason.containsAnyOf ("\r\n")) << opened.reason;
        return opened.reason;
    };

    // Written by a newer program.
    {
        auto records = openRecords();
        ASSERT_NE (records, nullptr);
    }
    EXPECT_EQ (queryText (file, "SELECT version FROM schema_version"), "2");
    queryText (file, "UPDATE schema_version SET version = 3");
    const auto newer = refusal (file);
    EXPECT_TRUE (newer.contains ("schema version 3")) << newer;
    EXPECT_TRUE (newer.contains ("newer")) << newer;

    // A folder, a pipe, garbage, another program's database, a missing folder.
    EXPECT_TRUE (refusal (temp.get()).contains ("folder"));
    const auto fifo = temp / "fifo";
    ASSERT_EQ (mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);
    EXPECT_TRUE (refusal (fifo).contains ("not a regular file"));
    const auto garbage = temp / "garbage.sqlite";
    garbage.replaceWithText (juce::String::repeatedString ("not a database ", 400));
    EXPECT_TRUE (refusal (garbage).contains ("not a database"));
    const auto other = temp / "other.sqlite";
    {
        sqlite3* db = nullptr;
        sqlite3_open (other.getFullPathName().toRawUTF8(), &db);
        sqlite3_exec (db, "CREATE TABLE notes (text TEXT)", nullptr, nullptr, nullptr);
        sqlite3_close (db);
    }
    EXPECT_TRUE (refusal (other).contains ("not a station records file"));
    EXPECT_TRUE (refusal (temp / "missing/records.sqlite").contains ("No such file"));
    const auto plain = temp / "plain";
    plain.replaceWithText ("x");
    EXPECT_TRUE (refusal (plain.getChildFile ("records.sqlite")).contains ("not a folder"));
    refusal (juce::File());

    // A read-only folder and a read-only file, for a user that file modes bind.
    const auto locked = temp / "locked";
    ASSERT_TRUE (locked.createDirectory());
    const auto shared = temp / "shared"; // anyone may write in it, not the file
    ASSERT_TRUE (shared.createDirectory());
    const auto readOnly = shared.getChildFile ("read-only.sqlite");
    {
        auto made = StationRecords::open (readOnly);
        ASSERT_NE (made.records, nullptr) << made.reason;
    }
    chmod (temp.get().getFullPathName().toRawUTF8(), 0755);
    chmod (locked.getFullPathName().toRawUTF8(), 0555);
    chmod (shared.getFullPathName().toRawUTF8(), 0777);
    chmod (readOnly.getFullPathName().toRawUTF8(), 0444);
    const auto status = inChild (
        [&]
        {
            // The reason goes to standard error when it is not the expected one.
            const auto expect = [] (const StationRecords::Opened& opened, const char* words)
            {
                if (opened.records == nullptr && opened.reason.contains (words))
                    return true;
                std::fprintf (stderr, "unexpected: %s\n", opened.reason.toRawUTF8());
                return false;
            };
            if (!expect (StationRecords::open (locked.getChildFile ("records.sqlite"), 200),
                         "cannot be written (Permission denied)"))
                return 1;
            if (!expect (StationRecords::open (readOnly, 200), "read-only"))
                return 2;
            return 0;
        },
        true);
    EXPECT_EQ (status, 0);
    chmod (locked.getFullPathName().toRawUTF8(), 0755);
}

TEST_F (StationRecordsTest, LockedFullAndCorruptFilesGiveReasonsNotCrashes)
{
    auto opened = StationRecords::open (file, 100);
    ASSERT_NE (opened.records, nullptr);

    // Another writer holds the file past the busy timeout.
    sqlite3* other = nullptr;
    ASSERT_EQ (sqlite3_open (file.getFullPathName().toRawUTF8(), &other), SQLITE_OK);
    ASSERT_EQ (sqlite3_exec (other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto blocked = opened.records->begin (attempt ("SER-1"));
    EXPECT_FALSE (blocked.stored);
    EXPECT_TRUE (blocked.reason.contains ("locked")) << blocked.reason;
    sqlite3_exec (other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close (other);

    const auto begun = opened.records->begin (attempt ("SER-1"));
    ASSERT_TRUE (begun.stored) << begun.reason;
    const auto missing = opened.records->finish ("no-such-id", passedWith ("aa"));
    EXPECT_FALSE (missing.stored);
    EXPECT_TRUE (missing.reason.contains ("no-such-id"));

    // A full disk: the child may write files of a few hundred kilobytes only. No
    // connection of this process is open across the fork.
    opened.records.reset();
    const auto full = inChild (
        [&]
        {
            std::signal (SIGXFSZ, SIG_IGN);
            const rlimit limit{256 * 1024, 256 * 1024};
            setrlimit (RLIMIT_FSIZE, &limit);
            auto child = StationRecords::open (file, 100);
            if (child.records == nullptr)
                return 1;
            for (int i = 0; i < 10000; ++i)
            {
                auto a = attempt ("SER-" + std::to_string (i), t0 + i);
                a.identityBefore = std::string (4000, 'y');
                const auto step = child.records->begin (a);
                if (!step.stored)
                    return (step.reason.contains ("while writing") || step.reason.contains ("disk is full")) &&
                                   !step.reason.containsAnyOf ("\r\n")
                               ? 0
                               : 2;
            }
            return 3; // never stopped
        },
        false);
    EXPECT_EQ (full, 0);

    // A file whose pages were overwritten: reading it ends in a reason.
    {
        auto filler = openRecords();
        ASSERT_NE (filler, nullptr);
        for (int i = 0; i < 50; ++i)
        {
            auto a = attempt ("FILL-" + std::to_string (i), t0 + hourMs + i);
            a.identityBefore = std::string (3000, 'z');
            ASSERT_TRUE (filler->begin (a).stored);
        }
    }
    ASSERT_EQ (queryText (file, "PRAGMA wal_checkpoint(TRUNCATE)"), "0");
    {
        const auto fd = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY);
        ASSERT_GE (fd, 0);
        const std::string junk (4096 * 8, '\x5a');
        ASSERT_EQ (pwrite (fd, junk.data(), junk.size(), 4096 * 2), (ssize_t) junk.size());
        close (fd);
    }
    auto corrupt = StationRecords::open (file, 100);
    if (corrupt.records == nullptr)
    {
        EXPECT_TRUE (corrupt.reason.isNotEmpty());
    }
    else
    {
        const auto listed = corrupt.records->recordsBetween (0, t0 + 2 * hourMs);
        EXPECT_FALSE (listed.read);
        EXPECT_TRUE (listed.reason.contains ("malformed")) << listed.reason;
    }
}

TEST_F (StationRecordsTest, AnOlderFileIsBroughtUpAndItsRecordsWaitForTheUploadInOrder)
{
    juce::StringArray ids;
    {
        auto records = openRecords();
        ASSERT_NE (records, nullptr);
        for (int i = 0; i < 3; ++i)
        {
            const auto begun = records->begin (attempt ("SER-" + std::to_string (i)));
            ASSERT_TRUE (records->finish (begun.recordId, passedWith ("aa:bb:cc:dd:ee:0" + std::to_string (i))).stored);
            ids.add (begun.recordId);
        }
    }
    // As the first program that kept records left its file.
    queryText (file, "DROP INDEX waiting_upload");
    queryText (file, "ALTER TABLE attempts DROP COLUMN uploaded");
    queryText (file, "ALTER TABLE attempts DROP COLUMN line_check");
    queryText (file, "UPDATE schema_version SET version = 1");

    auto records = openRecords();
    ASSERT_NE (records, nullptr);
    EXPECT_EQ (queryText (file, "SELECT version FROM schema_version"), "2");
    const auto running = records->begin (attempt ("SER-9"));
    EXPECT_EQ (records->countWaitingUpload(), 3) << "a running attempt waits until it has ended";

    auto waiting = records->waitingUpload (2);
    ASSERT_TRUE (waiting.read) << waiting.reason;
    ASSERT_EQ (waiting.records.size(), 2u);
    EXPECT_EQ (juce::String (waiting.records[0].recordId), ids[0]);
    EXPECT_EQ (juce::String (waiting.records[1].recordId), ids[1]);
    EXPECT_TRUE (records->markUploaded ({waiting.records[0].recordId, waiting.records[1].recordId}).isEmpty());
    EXPECT_TRUE (records->markUploaded ({running.recordId}).isEmpty());

    auto outcome = passedWith ("aa:bb:cc:dd:ee:09");
    outcome.lineCheck = "local only";
    ASSERT_TRUE (records->finish (running.recordId, outcome).stored);
    waiting = records->waitingUpload (10);
    ASSERT_EQ (waiting.records.size(), 2u);
    EXPECT_EQ (juce::String (waiting.records[0].recordId), ids[2]);
    EXPECT_EQ (waiting.records[1].recordId, running.recordId);
    EXPECT_EQ (waiting.records[1].lineCheck, "local only");
}
