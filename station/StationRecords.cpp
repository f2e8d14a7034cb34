#include "station/StationRecords.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <sqlite3.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// The columns in the order every query reads them (see readRecord).
constexpr const char* recordColumns =
    "record_id, station_id, slot, slot_nickname, usb_serial, identity_before, identity_after, "
    "firmware_before, firmware_after, image_sha256, recipe_sha256, mac_file, start_time, end_time, "
    "duration_ms, result, failure_class, failure_reason, attempt_number, program_version, operator_name, line_check";

constexpr const char* schemaStatements = R"sql(
CREATE TABLE schema_version (version INTEGER NOT NULL);
CREATE TABLE attempts (
    record_id TEXT PRIMARY KEY NOT NULL,
    station_id TEXT NOT NULL,
    slot TEXT NOT NULL,
    slot_nickname TEXT NOT NULL,
    usb_serial TEXT NOT NULL,
    identity_before TEXT NOT NULL,
    identity_after TEXT NOT NULL DEFAULT '',
    firmware_before INTEGER,
    firmware_after INTEGER,
    image_sha256 TEXT NOT NULL,
    recipe_sha256 TEXT NOT NULL,
    mac_file TEXT NOT NULL DEFAULT '',
    mac_normalised TEXT NOT NULL DEFAULT '',
    start_time TEXT NOT NULL,
    end_time TEXT,
    duration_ms INTEGER,
    result TEXT NOT NULL
        CHECK (result IN ('running', 'passed', 'failed', 'duplicate', 'interrupted', 'refused')),
    failure_class TEXT NOT NULL DEFAULT '',
    failure_reason TEXT NOT NULL DEFAULT '',
    attempt_number INTEGER NOT NULL,
    program_version TEXT NOT NULL,
    operator_name TEXT
);
CREATE INDEX attempts_by_start ON attempts (start_time);
CREATE INDEX passed_by_mac ON attempts (mac_normalised) WHERE result = 'passed';
CREATE INDEX passed_by_serial ON attempts (usb_serial) WHERE result = 'passed';
CREATE INDEX running ON attempts (result) WHERE result = 'running';
)sql";

// Each step takes the schema one version further; a new file is made at version 1 and
// brought up like an old one, so that every upgrade is the one path every file takes.
constexpr const char* upgrades[] = {
    // 2: the journal of uploads to the line's database.
    R"sql(
ALTER TABLE attempts ADD COLUMN line_check TEXT NOT NULL DEFAULT '';
ALTER TABLE attempts ADD COLUMN uploaded INTEGER NOT NULL DEFAULT 0;
CREATE INDEX waiting_upload ON attempts (uploaded) WHERE uploaded = 0;
)sql",
};

juce::String oneLine (juce::String text)
{
    return text.replaceCharacters ("\r\n", "  ").trim();
}

/** What SQLite says went wrong, with the system's reason when there is one. */
juce::String failureOf (sqlite3* db, const juce::String& what)
{
    if (db == nullptr)
        return what + ": out of memory";

    auto reason = what + ": " + juce::String::fromUTF8 (sqlite3_errmsg (db));
    switch (sqlite3_extended_errcode (db))
    {
    case SQLITE_IOERR_READ:
        reason << " while reading";
        break;
    case SQLITE_IOERR_SHORT_READ:
        reason << " (the file is shorter than it says)";
        break;
    case SQLITE_IOERR_WRITE:
        reason << " while writing";
        break;
    case SQLITE_IOERR_FSYNC:
        reason << " while flushing to disk";
        break;
    default:
        break;
    }
    if (const auto systemError = sqlite3_system_errno (db); systemError != 0)
        reason << " (" << std::strerror (systemError) << ")";
    return oneLine (reason);
}

/** A prepared statement, finalised with the object. */
class Statement final
{
public:
    Statement (sqlite3* database, const char* sql) : db (database)
    {
        if (sqlite3_prepare_v2 (db, sql, -1, &statement, nullptr) != SQLITE_OK)
            statement = nullptr;
    }

    ~Statement()
    {
        sqlite3_finalize (statement);
    }

    bool prepared() const
    {
        return statement != nullptr;
    }

    void bind (int index, const std::string& text)
    {
        sqlite3_bind_text (statement, index, text.data(), (int) text.size(), SQLITE_TRANSIENT);
    }

    void bind (int index, juce::int64 value)
    {
        sqlite3_bind_int64 (statement, index, value);
    }

    template <typename Value> void bind (int index, const std::optional<Value>& value)
    {
        if (value.has_value())
            bind (index, *value);
        else
            sqlite3_bind_null (statement, index);
    }

    /** SQLITE_ROW, SQLITE_DONE or the error. */
    int step()
    {
        return statement == nullptr ? SQLITE_ERROR : sqlite3_step (statement);
    }

    std::string text (int column) const
    {
        const auto* bytes = static_cast<const char*> (sqlite3_column_blob (statement, column));
        return bytes == nullptr ? std::string()
                                : std::string (bytes, (size_t) sqlite3_column_bytes (statement, column));
    }

    std::optional<std::string> optionalText (int column) const
    {
        if (sqlite3_column_type (statement, column) == SQLITE_NULL)
            return std::nullopt;
        return text (column);
    }

    juce::int64 integer (int column) const
    {
        return sqlite3_column_int64 (statement, column);
    }

    std::optional<juce::int64> optionalInteger (int column) const
    {
        if (sqlite3_column_type (statement, column) == SQLITE_NULL)
            return std::nullopt;
        return integer (column);
    }

private:
    sqlite3* db;
    sqlite3_stmt* statement = nullptr;

    JUCE_DECLARE_NON_COPYABLE (Statement)
};

bool execute (sqlite3* db, const char* sql)
{
    return sqlite3_exec (db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

/** A write transaction taken at once (BEGIN IMMEDIATE), so that what is read inside it
    cannot change before the write; rolled back unless committed. */
class WriteTransaction final
{
public:
    explicit WriteTransaction (sqlite3* database) : db (database)
    {
        open = execute (db, "BEGIN IMMEDIATE");
    }

    ~WriteTransaction()
    {
        if (open)
            execute (db, "ROLLBACK");
    }

    bool began() const
    {
        return open;
    }

    bool commit()
    {
        if (!execute (db, "COMMIT"))
            return false;
        open = false;
        return true;
    }

private:
    sqlite3* db;
    bool open = false;

    JUCE_DECLARE_NON_COPYABLE (WriteTransaction)
};

std::string newRecordId()
{
    // A version 4 UUID from the system's random source (std::random_device reads
    // /dev/urandom on Linux): stations that share no state still make distinct IDs.
    std::random_device source;
    unsigned char bytes[16];
    for (size_t i = 0; i < sizeof (bytes); i += 4)
    {
        const auto word = source();
        for (size_t j = 0; j < 4; ++j)
            bytes[i + j] = (unsigned char) (word >> (8 * j));
    }
    bytes[6] = (unsigned char) ((bytes[6] & 0x0f) | 0x40);
    bytes[8] = (unsigned char) ((bytes[8] & 0x3f) | 0x80);

    static constexpr char digits[] = "0123456789abcdef";
    std::string id;
    for (size_t i = 0; i < sizeof (bytes); ++i)
    {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            id += '-';
        id += digits[bytes[i] >> 4];
        id += digits[bytes[i] & 0x0f];
    }
    return id;
}

StationRecords::Record readRecord (const Statement& row)
{
    StationRecords::Record record;
    record.recordId = row.text (0);
    record.stationId = row.text (1);
    record.slot = row.text (2);
    record.slotNickname = row.text (3);
    record.usbSerial = row.text (4);
    record.identityBefore = row.text (5);
    record.identityAfter = row.text (6);
    record.firmwareBefore = row.optionalInteger (7);
    record.firmwareAfter = row.optionalInteger (8);
    record.imageSha256 = row.text (9);
    record.recipeSha256 = row.text (10);
    record.macFile = row.text (11);
    record.startMs = StationRecords::parseIsoTime (row.text (12)).value_or (0);
    if (const auto end = row.optionalText (13))
        record.endMs = StationRecords::parseIsoTime (*end);
    record.durationMs = row.optionalInteger (14);
    record.result = StationRecords::resultNamed (row.text (15)).value_or (StationRecords::Result::failed);
    record.failureClass = row.text (16);
    record.failureReason = row.text (17);
    record.attemptNumber = (int) row.integer (18);
    record.programVersion = row.text (19);
    record.operatorName = row.optionalText (20);
    record.lineCheck = row.text (21);
    return record;
}

juce::String describePathProblem (const juce::File& file)
{
    // Checked before SQLite sees the path: it would block reading a pipe, and after a
    // failed open it retries read-only, so its own reason names the retry's error.
    const auto path = file.getFullPathName();
    struct stat info;
    if (::stat (path.toRawUTF8(), &info) == 0)
    {
        if (S_ISDIR (info.st_mode))
            return "the records path " + path + " is a folder";
        if (!S_ISREG (info.st_mode))
            return "the records path " + path + " is not a regular file (a pipe, a device or a socket)";
    }

    // The journal and the shared-memory index are files beside it.
    const auto folder = file.getParentDirectory().getFullPathName();
    if (::stat (folder.toRawUTF8(), &info) != 0)
        return "the folder " + folder + " of the records file cannot be used (" + juce::String (std::strerror (errno)) +
               ")";
    if (!S_ISDIR (info.st_mode))
        return "the records file's parent " + folder + " is not a folder";
    if (::access (folder.toRawUTF8(), W_OK | X_OK) != 0)
        return "the folder " + folder + " of the records file cannot be written (" +
               juce::String (std::strerror (errno)) + ")";
    return {};
}

int utf8SequenceLength (const unsigned char* bytes, size_t available)
{
    // The number of bytes of the valid UTF-8 sequence that starts here, or 0.
    const auto first = bytes[0];
    int length = 0;
    unsigned int codePoint = 0;
    if (first < 0x80)
        return 1;
    if (first >= 0xc2 && first <= 0xdf)
        length = 2, codePoint = first & 0x1fu;
    else if (first >= 0xe0 && first <= 0xef)
        length = 3, codePoint = first & 0x0fu;
    else if (first >= 0xf0 && first <= 0xf4)
        length = 4, codePoint = first & 0x07u;
    else
        return 0;
    if ((size_t) length > available)
        return 0;
    for (int i = 1; i < length; ++i)
    {
        if ((bytes[i] & 0xc0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (bytes[i] & 0x3fu);
    }
    const bool overlong = (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
    const bool surrogate = codePoint >= 0xd800 && codePoint <= 0xdfff;
    if (overlong || surrogate || codePoint > 0x10ffff)
        return 0;
    return length;
}

std::string csvField (const std::string& text)
{
    const auto escaped = StationRecords::escapedText (text);
    if (escaped.find_first_of ("\",\r\n") == std::string::npos)
        return escaped;
    std::string quoted = "\"";
    for (const auto c : escaped)
    {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

template <typename Value> std::string csvField (const std::optional<Value>& value)
{
    if (!value.has_value())
        return {};
    if constexpr (std::is_same_v<Value, std::string>)
        return csvField (*value);
    else
        return std::to_string (*value);
}

} // namespace

//==============================================================================
StationRecords::StationRecords (sqlite3* database) : db (database) {}

StationRecords::~StationRecords()
{
    sqlite3_close_v2 (db);
}

StationRecords::Opened StationRecords::open (const juce::File& file, int busyTimeoutMs)
{
    return open (file, busyTimeoutMs, true);
}

juce::File StationRecords::defaultFile()
{
    const char* data = std::getenv ("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/')
        return juce::File (juce::String::fromUTF8 (data)).getChildFile ("nubo/station.db");
    return juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile (".local/share/nubo/station.db");
}

StationRecords::Opened StationRecords::openBeside (const juce::File& file, int busyTimeoutMs)
{
    return open (file, busyTimeoutMs, false);
}

StationRecords::Opened StationRecords::open (const juce::File& file, int busyTimeoutMs, bool markInterrupted)
{
    Opened opened;
    const auto path = file.getFullPathName();
    if (path.isEmpty())
        return {nullptr, "no records file was named", 0};
    if (const auto problem = describePathProblem (file); problem.isNotEmpty())
        return {nullptr, problem, 0};

    sqlite3* handle = nullptr;
    const auto status =
        sqlite3_open_v2 (path.toRawUTF8(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::unique_ptr<StationRecords> records (new StationRecords (handle));
    const auto fail = [&] (const juce::String& what) { return Opened{nullptr, failureOf (handle, what), 0}; };

    if (status != SQLITE_OK)
        return fail ("cannot open the records file " + path);
    sqlite3_extended_result_codes (handle, 1);
    sqlite3_busy_timeout (handle, busyTimeoutMs);
    if (sqlite3_db_readonly (handle, "main") == 1)
        return {nullptr, "the records file " + path + " is read-only", 0};

    // The first statement that reads the file: a file that is not a database ends here.
    {
        Statement journal (handle, "PRAGMA journal_mode = WAL");
        if (journal.step() != SQLITE_ROW)
            return fail ("cannot use the records file " + path);
        if (juce::String (journal.text (0)).toLowerCase() != "wal")
            return {nullptr, "the records file " + path + " cannot be put in WAL mode", 0};
    }
    // Each commit waits for the disk, so an outcome shown is an outcome kept.
    if (!execute (handle, "PRAGMA synchronous = FULL"))
        return fail ("cannot use the records file " + path);

    {
        WriteTransaction transaction (handle);
        if (!transaction.began())
            return fail ("cannot use the records file " + path);

        Statement tables (handle, "SELECT count(*), count(CASE WHEN name = 'schema_version' THEN 1 END) "
                                  "FROM sqlite_schema WHERE type = 'table'");
        if (tables.step() != SQLITE_ROW)
            return fail ("cannot read the records file " + path);
        const auto tableCount = tables.integer (0);
        const bool versioned = tables.integer (1) > 0;

        if (!versioned)
        {
            if (tableCount > 0)
                return {nullptr, "the file " + path + " is a database but not a station records file", 0};
            if (!execute (handle, schemaStatements))
                return fail ("cannot create the records in " + path);
            if (!execute (handle, "INSERT INTO schema_version (version) VALUES (1)"))
                return fail ("cannot create the records in " + path);
        }

        Statement version (handle, "SELECT max(version) FROM schema_version");
        if (version.step() != SQLITE_ROW)
            return fail ("cannot read the records file " + path);
        const auto found = version.integer (0);
        if (found > schemaVersion)
            return {nullptr,
                    "the records file " + path + " has schema version " + juce::String (found) +
                        ", newer than this program's " + juce::String (schemaVersion) + ": use a newer program",
                    0};
        if (found < 1)
            return {nullptr, "the records file " + path + " has no valid schema version", 0};
        for (auto step = found + 1; step <= schemaVersion; ++step)
        {
            if (!execute (handle, upgrades[step - 2]))
                return fail ("cannot bring the records in " + path + " to schema version " + juce::String (step));
            Statement stamp (handle, "UPDATE schema_version SET version = ?");
            stamp.bind (1, (juce::int64) step);
            if (stamp.step() != SQLITE_DONE)
                return fail ("cannot bring the records in " + path + " to schema version " + juce::String (step));
        }
        if (!transaction.commit())
            return fail ("cannot write the records file " + path);
    }

    int interrupted = 0;
    if (const auto problem = markInterrupted ? records->markRunningAsInterrupted (interrupted) : juce::String();
        problem.isNotEmpty())
        return {nullptr, problem, 0};

    return {std::move (records), {}, interrupted};
}

juce::String StationRecords::markRunningAsInterrupted (int& count)
{
    count = 0;
    Statement update (db, "UPDATE attempts SET result = 'interrupted', failure_class = 'interrupted', "
                          "failure_reason = 'the station stopped before the attempt ended' "
                          "WHERE result = 'running'");
    if (update.step() != SQLITE_DONE)
        return failureOf (db, "cannot mark the unfinished attempts as interrupted");
    count = sqlite3_changes (db);
    return {};
}

StationRecords::Begun StationRecords::begin (const Record& attempt)
{
    Begun begun;
    begun.recordId = newRecordId();
    const auto startMs = attempt.startMs != 0 ? attempt.startMs : juce::Time::currentTimeMillis();

    Statement insert (db, "INSERT INTO attempts (record_id, station_id, slot, slot_nickname, usb_serial, "
                          "identity_before, firmware_before, image_sha256, recipe_sha256, start_time, result, "
                          "attempt_number, program_version, operator_name) "
                          "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 'running', ?, ?, ?)");
    insert.bind (1, begun.recordId);
    insert.bind (2, attempt.stationId);
    insert.bind (3, attempt.slot);
    insert.bind (4, attempt.slotNickname);
    insert.bind (5, attempt.usbSerial);
    insert.bind (6, attempt.identityBefore);
    insert.bind (7, attempt.firmwareBefore);
    insert.bind (8, attempt.imageSha256);
    insert.bind (9, attempt.recipeSha256);
    insert.bind (10, isoTime (startMs));
    insert.bind (11, (juce::int64) attempt.attemptNumber);
    insert.bind (12, attempt.programVersion);
    insert.bind (13, attempt.operatorName);
    if (insert.step() != SQLITE_DONE)
        return {false, {}, failureOf (db, "cannot record the start of the attempt")};
    begun.stored = true;
    return begun;
}

StationRecords::Finished StationRecords::finish (const std::string& recordId, const Outcome& outcome)
{
    Finished finished;
    finished.result = outcome.result;
    if (outcome.result == Result::running)
        return {false, outcome.result, "an attempt cannot finish as running", {}};

    WriteTransaction transaction (db);
    if (!transaction.began())
        return {false, outcome.result, failureOf (db, "cannot record the end of the attempt"), {}};

    Statement running (db, "SELECT usb_serial, start_time FROM attempts WHERE record_id = ? AND result = 'running'");
    running.bind (1, recordId);
    const auto found = running.step();
    if (found == SQLITE_DONE)
        return {false, outcome.result, "no running attempt has the record ID " + juce::String (recordId), {}};
    if (found != SQLITE_ROW)
        return {false, outcome.result, failureOf (db, "cannot read the attempt"), {}};
    const auto usbSerial = running.text (0);
    const auto startMs = parseIsoTime (running.text (1)).value_or (0);

    const auto mac = normalisedMac (outcome.macFile);
    auto failureClass = outcome.failureClass;
    auto failureReason = outcome.failureReason;

    if (outcome.result == Result::passed)
    {
        const auto earlier = earlierPass (usbSerial, outcome.macFile, recordId);
        if (!earlier.read)
            return {false, outcome.result, earlier.reason, {}};
        if (!earlier.recordId.empty())
        {
            finished.result = Result::duplicate;
            finished.duplicateOf = earlier.recordId;
            failureClass = "duplicate " + earlier.what;
            failureReason = earlier.reason.toStdString();
            finished.reason = earlier.reason;
        }
    }

    const auto endMs = outcome.endMs != 0 ? outcome.endMs : juce::Time::currentTimeMillis();
    Statement update (db, "UPDATE attempts SET identity_after = ?, firmware_after = ?, mac_file = ?, "
                          "mac_normalised = ?, end_time = ?, duration_ms = ?, result = ?, failure_class = ?, "
                          "failure_reason = ?, line_check = ? WHERE record_id = ?");
    update.bind (1, outcome.identityAfter);
    update.bind (2, outcome.firmwareAfter);
    update.bind (3, outcome.macFile);
    update.bind (4, mac);
    update.bind (5, isoTime (endMs));
    update.bind (6, endMs - startMs);
    update.bind (7, std::string (nameOf (finished.result)));
    update.bind (8, failureClass);
    update.bind (9, failureReason);
    update.bind (10, outcome.lineCheck);
    update.bind (11, recordId);
    if (update.step() != SQLITE_DONE)
        return {false, outcome.result, failureOf (db, "cannot record the end of the attempt"), {}};
    if (!transaction.commit())
        return {false, outcome.result, failureOf (db, "cannot commit the end of the attempt"), {}};

    finished.stored = true;
    return finished;
}

StationRecords::Listed StationRecords::waitingUpload (int limit)
{
    Listed listed;
    const auto sql = std::string ("SELECT ") + recordColumns +
                     " FROM attempts WHERE uploaded = 0 AND result <> 'running' ORDER BY rowid LIMIT ?";
    Statement query (db, sql.c_str());
    query.bind (1, (juce::int64) limit);
    for (;;)
    {
        const auto step = query.step();
        if (step == SQLITE_DONE)
            break;
        if (step != SQLITE_ROW)
            return {false, {}, failureOf (db, "cannot read the records waiting for the upload")};
        listed.records.push_back (readRecord (query));
    }
    listed.read = true;
    return listed;
}

juce::String StationRecords::markUploaded (const std::vector<std::string>& recordIds)
{
    WriteTransaction transaction (db);
    if (!transaction.began())
        return failureOf (db, "cannot note the upload");
    for (auto& id : recordIds)
    {
        Statement update (db, "UPDATE attempts SET uploaded = 1 WHERE record_id = ? AND result <> 'running'");
        update.bind (1, id);
        if (update.step() != SQLITE_DONE)
            return failureOf (db, "cannot note the upload");
    }
    return transaction.commit() ? juce::String() : failureOf (db, "cannot commit the note of the upload");
}

int StationRecords::countWaitingUpload()
{
    Statement query (db, "SELECT count(*) FROM attempts WHERE uploaded = 0 AND result <> 'running'");
    return query.step() == SQLITE_ROW ? (int) query.integer (0) : -1;
}

StationRecords::Lookup StationRecords::earlierPass (const std::string& usbSerial, const std::string& macFile,
                                                    const std::string& exceptRecordId)
{
    // The earliest pass that names the same unit differently: its MAC on a unit with
    // another serial, or its serial on a unit with another MAC.
    const auto mac = normalisedMac (macFile);
    const auto query = [&] (const char* sql, const std::string& key, const std::string& other)
    {
        Statement statement (db, sql);
        statement.bind (1, key);
        statement.bind (2, other);
        statement.bind (3, exceptRecordId);
        const auto step = statement.step();
        return std::make_pair (step, step == SQLITE_ROW ? statement.text (0) : std::string());
    };

    std::pair<int, std::string> earlier{SQLITE_DONE, {}};
    const char* what = "";
    if (!mac.empty())
    {
        earlier = query ("SELECT record_id FROM attempts WHERE result = 'passed' AND mac_normalised = ? "
                         "AND usb_serial <> ? AND record_id <> ? ORDER BY start_time, rowid LIMIT 1",
                         mac, usbSerial);
        what = "MAC";
    }
    if (earlier.first == SQLITE_DONE && !usbSerial.empty())
    {
        earlier = query ("SELECT record_id FROM attempts WHERE result = 'passed' AND usb_serial = ? "
                         "AND mac_normalised <> ? AND record_id <> ? ORDER BY start_time, rowid LIMIT 1",
                         usbSerial, mac);
        what = "USB serial";
    }
    if (earlier.first != SQLITE_DONE && earlier.first != SQLITE_ROW)
        return {false, {}, {}, failureOf (db, "cannot look for earlier passes")};
    if (earlier.first == SQLITE_DONE)
        return {true, {}, {}, {}};
    return {true, earlier.second, what,
            juce::String ("the ") + what + " passed before on another unit, in record " + juce::String (earlier.second)};
}

StationRecords::Listed StationRecords::select (juce::int64 fromMs, juce::int64 toMs)
{
    Listed listed;
    const auto sql = std::string ("SELECT ") + recordColumns +
                     " FROM attempts WHERE start_time >= ? AND start_time < ? ORDER BY start_time, rowid";
    Statement query (db, sql.c_str());
    query.bind (1, isoTime (fromMs));
    query.bind (2, isoTime (toMs));
    for (;;)
    {
        const auto step = query.step();
        if (step == SQLITE_DONE)
            break;
        if (step != SQLITE_ROW)
            return {false, {}, failureOf (db, "cannot read the records")};
        listed.records.push_back (readRecord (query));
    }
    listed.read = true;
    return listed;
}

StationRecords::Listed StationRecords::recordsBetween (juce::int64 fromMs, juce::int64 toMs)
{
    return select (fromMs, toMs);
}

StationRecords::Counted StationRecords::countsBetween (juce::int64 fromMs, juce::int64 toMs)
{
    Counted counted;
    Statement query (db, "SELECT result, count(*) FROM attempts WHERE start_time >= ? AND start_time < ? "
                         "GROUP BY result");
    query.bind (1, isoTime (fromMs));
    query.bind (2, isoTime (toMs));
    for (;;)
    {
        const auto step = query.step();
        if (step == SQLITE_DONE)
            break;
        if (step != SQLITE_ROW)
            return {false, {}, failureOf (db, "cannot count the records")};
        const auto n = (int) query.integer (1);
        switch (resultNamed (query.text (0)).value_or (Result::failed))
        {
        case Result::running:
            counted.counts.running += n;
            break;
        case Result::passed:
            counted.counts.passed += n;
            break;
        case Result::failed:
            counted.counts.failed += n;
            break;
        case Result::duplicate:
            counted.counts.duplicates += n;
            break;
        case Result::interrupted:
            counted.counts.interrupted += n;
            break;
        case Result::refused:
            counted.counts.refused += n;
            break;
        }
    }
    // Per hour of the range, from its first attempt on (an open range, "everything",
    // has a rate too) and up to now at most.
    Statement first (db, "SELECT MIN(start_time) FROM attempts WHERE start_time >= ? AND start_time < ?");
    first.bind (1, isoTime (fromMs));
    first.bind (2, isoTime (toMs));
    if (first.step() == SQLITE_ROW)
        if (const auto firstMs = parseIsoTime (first.text (0)))
        {
            const auto spanMs = std::min (toMs, juce::Time::currentTimeMillis()) - std::max (fromMs, *firstMs);
            counted.counts.unitsPerHour = counted.counts.passed * 3600000.0 / (double) std::max<juce::int64> (spanMs, 1000);
        }
    counted.read = true;
    return counted;
}

//==============================================================================
std::string StationRecords::toCsv (const std::vector<Record>& records)
{
    std::string csv = "record_id,station_id,slot,slot_nickname,usb_serial,identity_before,identity_after,"
                      "firmware_before,firmware_after,image_sha256,recipe_sha256,mac_file,start_time,end_time,"
                      "duration_ms,result,failure_class,failure_reason,attempt_number,program_version,"
                      "operator_name,line_check\r\n";
    for (const auto& r : records)
    {
        const std::string fields[] = {csvField (r.recordId),
                                      csvField (r.stationId),
                                      csvField (r.slot),
                                      csvField (r.slotNickname),
                                      csvField (r.usbSerial),
                                      csvField (r.identityBefore),
                                      csvField (r.identityAfter),
                                      csvField (r.firmwareBefore),
                                      csvField (r.firmwareAfter),
                                      csvField (r.imageSha256),
                                      csvField (r.recipeSha256),
                                      csvField (r.macFile),
                                      isoTime (r.startMs),
                                      r.endMs ? isoTime (*r.endMs) : std::string(),
                                      csvField (r.durationMs),
                                      nameOf (r.result),
                                      csvField (r.failureClass),
                                      csvField (r.failureReason),
                                      std::to_string (r.attemptNumber),
                                      csvField (r.programVersion),
                                      csvField (r.operatorName),
                                      csvField (r.lineCheck)};
        for (size_t i = 0; i < std::size (fields); ++i)
            csv += (i == 0 ? "" : ",") + fields[i];
        csv += "\r\n";
    }
    return csv;
}

std::string StationRecords::toJsonLines (const std::vector<Record>& records)
{
    using Json = nlohmann::ordered_json;
    const auto optional = [] (const auto& value) { return value.has_value() ? Json (*value) : Json (nullptr); };

    std::string lines;
    for (const auto& r : records)
    {
        Json line;
        line["record_id"] = r.recordId;
        line["station_id"] = r.stationId;
        line["slot"] = r.slot;
        line["slot_nickname"] = r.slotNickname;
        line["usb_serial"] = r.usbSerial;
        line["identity_before"] = r.identityBefore;
        line["identity_after"] = r.identityAfter;
        line["firmware_before"] = optional (r.firmwareBefore);
        line["firmware_after"] = optional (r.firmwareAfter);
        line["image_sha256"] = r.imageSha256;
        line["recipe_sha256"] = r.recipeSha256;
        line["mac_file"] = r.macFile;
        line["start_time"] = isoTime (r.startMs);
        line["end_time"] = r.endMs ? Json (isoTime (*r.endMs)) : Json (nullptr);
        line["duration_ms"] = optional (r.durationMs);
        line["result"] = nameOf (r.result);
        line["failure_class"] = r.failureClass;
        line["failure_reason"] = r.failureReason;
        line["attempt_number"] = r.attemptNumber;
        line["program_version"] = r.programVersion;
        line["operator_name"] = optional (r.operatorName);
        line["line_check"] = r.lineCheck;
        lines += line.dump (-1, ' ', false, Json::error_handler_t::replace);
        lines += '\n';
    }
    return lines;
}

const char* StationRecords::nameOf (Result result)
{
    switch (result)
    {
    case Result::running:
        return "running";
    case Result::passed:
        return "passed";
    case Result::failed:
        return "failed";
    case Result::duplicate:
        return "duplicate";
    case Result::interrupted:
        return "interrupted";
    case Result::refused:
        return "refused";
    }
    return "failed";
}

std::optional<StationRecords::Result> StationRecords::resultNamed (const std::string& name)
{
    for (const auto result :
         {Result::running, Result::passed, Result::failed, Result::duplicate, Result::interrupted, Result::refused})
        if (name == nameOf (result))
            return result;
    return std::nullopt;
}

std::string StationRecords::normalisedMac (const std::string& macFile)
{
    std::string mac;
    for (const auto c : macFile)
    {
        if (c == ':' || c == '-' || c == '.' || c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        mac += (c >= 'A' && c <= 'Z') ? (char) (c - 'A' + 'a') : c;
    }
    return mac;
}

std::string StationRecords::isoTime (juce::int64 msSinceEpoch)
{
    auto seconds = (std::time_t) (msSinceEpoch / 1000);
    auto ms = (int) (msSinceEpoch % 1000);
    if (ms < 0)
        ms += 1000, --seconds;
    std::tm utc{};
    gmtime_r (&seconds, &utc);
    char text[80];
    std::snprintf (text, sizeof (text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                   utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
    return text;
}

std::optional<juce::int64> StationRecords::parseIsoTime (const std::string& text)
{
    std::tm utc{};
    int ms = 0;
    int consumed = 0;
    if (text.size() != 24 ||
        std::sscanf (text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ%n", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                     &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &ms, &consumed) != 7 ||
        consumed != 24)
        return std::nullopt;
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    return (juce::int64) timegm (&utc) * 1000 + ms;
}

std::string StationRecords::escapedText (const std::string& text)
{
    static constexpr char digits[] = "0123456789abcdef";
    const auto* bytes = reinterpret_cast<const unsigned char*> (text.data());
    std::string escaped;
    for (size_t i = 0; i < text.size();)
    {
        const auto length = utf8SequenceLength (bytes + i, text.size() - i);
        const auto c = bytes[i];
        if (length == 0 || (length == 1 && (c < 0x20 || c == 0x7f)))
        {
            switch (c)
            {
            case '\n':
                escaped += "\\n";
                break;
            case '\r':
                escaped += "\\r";
                break;
            case '\t':
                escaped += "\\t";
                break;
            default:
                escaped += "\\x";
                escaped += digits[c >> 4];
                escaped += digits[c & 0x0f];
            }
            ++i;
        }
        else if (length == 2 && c == 0xc2 && bytes[i + 1] < 0xa0)
        {
            // U+0080 to U+009F, the C1 controls.
            escaped += "\\u00";
            escaped += digits[bytes[i + 1] >> 4];
            escaped += digits[bytes[i + 1] & 0x0f];
            i += 2;
        }
        else
        {
            if (c == '\\')
                escaped += '\\';
            escaped.append (text, i, (size_t) length);
            i += (size_t) length;
        }
    }
    return escaped;
}
