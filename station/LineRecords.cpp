#include "station/LineRecords.h"

#include <libpq-fe.h>

#include <algorithm>

namespace
{
// Tables of the line's database. Everything a unit or a station's settings gave is bytea:
// PostgreSQL's text refuses NUL and bytes that are not valid in the database's encoding,
// and one such record must not hold up a station's uploads for ever.
constexpr const char* schemaStatements = R"sql(
CREATE TABLE line_schema_version (version integer NOT NULL);
CREATE TABLE line_records (
    record_id text PRIMARY KEY,
    station_id bytea NOT NULL,
    slot bytea NOT NULL,
    slot_nickname bytea NOT NULL,
    usb_serial bytea NOT NULL,
    identity_before bytea NOT NULL,
    identity_after bytea NOT NULL,
    firmware_before bigint,
    firmware_after bigint,
    image_sha256 bytea NOT NULL,
    recipe_sha256 bytea NOT NULL,
    mac_file bytea NOT NULL,
    start_time timestamptz NOT NULL,
    end_time timestamptz,
    duration_ms bigint,
    result text NOT NULL
        CHECK (result IN ('running', 'passed', 'failed', 'duplicate', 'interrupted', 'refused')),
    failure_class bytea NOT NULL,
    failure_reason bytea NOT NULL,
    attempt_number integer NOT NULL,
    program_version bytea NOT NULL,
    operator_name bytea,
    uploaded bigint GENERATED ALWAYS AS IDENTITY
);
CREATE INDEX line_records_by_start ON line_records (start_time);
CREATE INDEX line_records_by_station ON line_records (station_id, start_time);
CREATE TABLE line_mac_claims (
    mac bytea PRIMARY KEY,
    usb_serial bytea NOT NULL,
    record_id text NOT NULL REFERENCES line_records DEFERRABLE INITIALLY DEFERRED
);
CREATE TABLE line_serial_claims (
    usb_serial bytea PRIMARY KEY,
    mac bytea NOT NULL,
    record_id text NOT NULL REFERENCES line_records DEFERRABLE INITIALLY DEFERRED
);
INSERT INTO line_schema_version (version) VALUES (1);
)sql";

constexpr const char* insertRecord =
    "INSERT INTO line_records (record_id, station_id, slot, slot_nickname, usb_serial, identity_before, "
    "identity_after, firmware_before, firmware_after, image_sha256, recipe_sha256, mac_file, start_time, end_time, "
    "duration_ms, result, failure_class, failure_reason, attempt_number, program_version, operator_name) "
    "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, "
    "'epoch'::timestamptz + $13::bigint * interval '1 millisecond', "
    "'epoch'::timestamptz + $14::bigint * interval '1 millisecond', $15, $16, $17, $18, $19, $20, $21) "
    "ON CONFLICT (record_id) DO NOTHING";

// The columns in the order readRecord() takes them, times as milliseconds since the epoch.
constexpr const char* selectRecords =
    "SELECT record_id, station_id, slot, slot_nickname, usb_serial, identity_before, identity_after, "
    "firmware_before, firmware_after, image_sha256, recipe_sha256, mac_file, "
    "(extract (epoch FROM start_time) * 1000)::bigint, (extract (epoch FROM end_time) * 1000)::bigint, "
    "duration_ms, result, failure_class, failure_reason, attempt_number, program_version, operator_name "
    "FROM line_records ";

constexpr const char* inRange = "WHERE start_time >= 'epoch'::timestamptz + $1::bigint * interval '1 millisecond' "
                                "AND start_time < 'epoch'::timestamptz + $2::bigint * interval '1 millisecond' "
                                "AND ($3::bytea IS NULL OR station_id = $3) ";

// Taken while the schema is created or upgraded, so that two stations starting at once
// do not both create it.
constexpr const char* schemaLock = "SELECT pg_advisory_xact_lock (7239111094155043126)";

using Result = std::unique_ptr<PGresult, decltype (&PQclear)>;

/** Values for PQexecParams: text or binary (bytea), or NULL. */
class Parameters final
{
public:
    Parameters& text (const std::string& value)
    {
        return add (value, 0);
    }
    Parameters& bytes (const std::string& value)
    {
        return add (value, 1);
    }
    Parameters& integer (juce::int64 value)
    {
        return text (std::to_string (value));
    }

    Parameters& integer (const std::optional<juce::int64>& value)
    {
        return value ? integer (*value) : null();
    }

    Parameters& bytes (const std::optional<std::string>& value)
    {
        return value ? bytes (*value) : null();
    }

    Parameters& null()
    {
        values.emplace_back();
        nulls.push_back (true);
        formats.push_back (0);
        return *this;
    }

    Result run (PGconn* conn, const char* sql) const
    {
        std::vector<const char*> pointers;
        std::vector<int> lengths;
        for (size_t i = 0; i < values.size(); ++i)
        {
            pointers.push_back (nulls[i] ? nullptr : values[i].data());
            lengths.push_back ((int) values[i].size());
        }
        return Result (
            PQexecParams (conn, sql, (int) values.size(), nullptr, pointers.data(), lengths.data(), formats.data(), 0),
            &PQclear);
    }

private:
    Parameters& add (const std::string& value, int format)
    {
        values.push_back (value);
        nulls.push_back (false);
        formats.push_back (format);
        return *this;
    }

    std::vector<std::string> values;
    std::vector<bool> nulls;
    std::vector<int> formats;
};

Result execute (PGconn* conn, const char* sql)
{
    return Parameters().run (conn, sql);
}

/** Several statements without any value in them (the schema, the session's settings). */
Result executeScript (PGconn* conn, const char* sql)
{
    return Result (PQexec (conn, sql), &PQclear);
}

bool succeeded (const Result& result)
{
    const auto status = result == nullptr ? PGRES_FATAL_ERROR : PQresultStatus (result.get());
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string sqlState (const Result& result)
{
    const auto* state = result == nullptr ? nullptr : PQresultErrorField (result.get(), PG_DIAG_SQLSTATE);
    return state == nullptr ? std::string() : state;
}

std::string bytesAt (const PGresult* result, int row, int column)
{
    size_t length = 0;
    auto* bytes = PQunescapeBytea (reinterpret_cast<const unsigned char*> (PQgetvalue (result, row, column)), &length);
    if (bytes == nullptr)
        return {};
    std::string value (reinterpret_cast<const char*> (bytes), length);
    PQfreemem (bytes);
    return value;
}

std::optional<juce::int64> integerAt (const PGresult* result, int row, int column)
{
    if (PQgetisnull (result, row, column))
        return std::nullopt;
    return (juce::int64) std::strtoll (PQgetvalue (result, row, column), nullptr, 10);
}

StationRecords::Record readRecord (const PGresult* result, int row)
{
    StationRecords::Record r;
    r.recordId = PQgetvalue (result, row, 0);
    r.stationId = bytesAt (result, row, 1);
    r.slot = bytesAt (result, row, 2);
    r.slotNickname = bytesAt (result, row, 3);
    r.usbSerial = bytesAt (result, row, 4);
    r.identityBefore = bytesAt (result, row, 5);
    r.identityAfter = bytesAt (result, row, 6);
    r.firmwareBefore = integerAt (result, row, 7);
    r.firmwareAfter = integerAt (result, row, 8);
    r.imageSha256 = bytesAt (result, row, 9);
    r.recipeSha256 = bytesAt (result, row, 10);
    r.macFile = bytesAt (result, row, 11);
    r.startMs = integerAt (result, row, 12).value_or (0);
    r.endMs = integerAt (result, row, 13);
    r.durationMs = integerAt (result, row, 14);
    r.result = StationRecords::resultNamed (PQgetvalue (result, row, 15)).value_or (StationRecords::Result::failed);
    r.failureClass = bytesAt (result, row, 16);
    r.failureReason = bytesAt (result, row, 17);
    r.attemptNumber = (int) integerAt (result, row, 18).value_or (0);
    r.programVersion = bytesAt (result, row, 19);
    if (!PQgetisnull (result, row, 20))
        r.operatorName = bytesAt (result, row, 20);
    return r;
}

Parameters recordParameters (const StationRecords::Record& r, StationRecords::Result result,
                             const std::string& failureClass, const std::string& failureReason)
{
    Parameters p;
    p.text (r.recordId).bytes (r.stationId).bytes (r.slot).bytes (r.slotNickname).bytes (r.usbSerial);
    p.bytes (r.identityBefore).bytes (r.identityAfter).integer (r.firmwareBefore).integer (r.firmwareAfter);
    p.bytes (r.imageSha256).bytes (r.recipeSha256).bytes (r.macFile).integer (r.startMs).integer (r.endMs);
    p.integer (r.durationMs).text (StationRecords::nameOf (result)).bytes (failureClass).bytes (failureReason);
    p.integer ((juce::int64) r.attemptNumber).bytes (r.programVersion).bytes (r.operatorName);
    return p;
}

/** Milliseconds as a range's bound, within what a timestamptz holds (4713 BC to 294276 AD):
    "from the beginning" and "until the end" may be given as the int64's extremes. */
juce::int64 rangeBound (juce::int64 ms)
{
    return std::clamp<juce::int64> (ms, -200'000'000'000'000, 9'000'000'000'000'000);
}

/** Why a record cannot go to the line's database, or nothing. */
juce::String problemWith (const StationRecords::Record& record)
{
    // Record IDs are UUIDs this program made; anything else is a damaged journal.
    const auto& id = record.recordId;
    const bool printable = std::all_of (id.begin(), id.end(), [] (char c) { return c > 0x20 && c < 0x7f; });
    if (id.empty() || id.size() > 100 || !printable)
        return "a record has no valid record ID";
    if (record.result == StationRecords::Result::running)
        return "the record " + juce::String (id) + " has not finished";
    return {};
}

juce::String oneLine (const juce::String& text)
{
    auto words = juce::StringArray::fromTokens (text, " \t\r\n", "");
    words.removeEmptyStrings();
    return words.joinIntoString (" ");
}

void ignoreNotice (void*, const char*) {}

juce::String redacted (juce::String text, const std::vector<std::string>& secrets)
{
    for (const auto& secret : secrets)
        if (!secret.empty())
            text = text.replace (juce::String::fromUTF8 (secret.data(), (int) secret.size()), "********");
    return text;
}

/** A transaction, rolled back unless committed (when the connection still stands). */
class Transaction final
{
public:
    explicit Transaction (PGconn* connection) : conn (connection), open (succeeded (execute (conn, "BEGIN"))) {}

    ~Transaction()
    {
        if (open && PQstatus (conn) == CONNECTION_OK)
            execute (conn, "ROLLBACK");
    }

    bool began() const
    {
        return open;
    }

    /** The COMMIT's result: a deferred check or a serialisation failure shows there. */
    Result commit()
    {
        open = false;
        return execute (conn, "COMMIT");
    }

private:
    PGconn* conn;
    bool open;

    JUCE_DECLARE_NON_COPYABLE (Transaction)
};

} // namespace

//==============================================================================
LineRecords::LineRecords (PGconn* connection, std::vector<std::string> passwords)
    : conn (connection), secrets (std::move (passwords))
{
}

LineRecords::~LineRecords()
{
    PQfinish (conn);
}

LineRecords::Opened LineRecords::connect (const std::string& conninfo, int connectTimeoutS)
{
    // The passwords it holds, to keep them out of every reason. A string libpq cannot
    // parse is refused before anything is sent; its message quotes parts of the string
    // (a password among them, maybe), so the quoted parts are left out.
    std::vector<std::string> passwords;
    char* parseError = nullptr;
    if (auto* options = PQconninfoParse (conninfo.c_str(), &parseError))
    {
        for (auto* option = options; option->keyword != nullptr; ++option)
            if (std::string (option->keyword) == "password" && option->val != nullptr)
                passwords.emplace_back (option->val);
        PQconninfoFree (options);
    }
    else
    {
        juce::String message (parseError != nullptr ? juce::String::fromUTF8 (parseError) : "out of memory");
        PQfreemem (parseError);
        juce::String unquoted;
        bool quoted = false;
        for (const auto c : message)
        {
            if (c == '"')
                unquoted << (quoted ? "" : "\"...\""), quoted = !quoted;
            else if (!quoted)
                unquoted << juce::String::charToString (c);
        }
        return {nullptr, "the line records' connection string is not valid: " + oneLine (unquoted)};
    }

    // Keep-alives and the TCP user time-out notice a server or a network that went silent;
    // the connection string may change them. The connect time-out is ours.
    const auto timeout = std::to_string (std::max (connectTimeoutS, 1));
    const char* keywords[] = {"keepalives",
                              "keepalives_idle",
                              "keepalives_interval",
                              "keepalives_count",
                              "tcp_user_timeout",
                              "dbname",
                              "fallback_application_name",
                              "connect_timeout",
                              nullptr};
    const char* values[] = {"1", "10", "5", "3", "30000", conninfo.c_str(), "nubo-station", timeout.c_str(), nullptr};

    std::unique_ptr<LineRecords> records (new LineRecords (PQconnectdbParams (keywords, values, 1), passwords));
    if (records->conn == nullptr)
        return {nullptr, "cannot connect to the line records' database: out of memory"};
    if (PQstatus (records->conn) != CONNECTION_OK)
        return {nullptr, records->failureOf ("cannot connect to the line records' database")};
    // The server's notices (and warnings) are not for the station's output.
    PQsetNoticeProcessor (records->conn, ignoreNotice, nullptr);
    PQsetErrorVerbosity (records->conn, PQERRORS_TERSE); // no statement quoted in a reason
    if (auto problem = records->prepareSession(); problem.isNotEmpty())
        return {nullptr, problem};
    if (auto problem = records->createOrCheckSchema(); problem.isNotEmpty())
        return {nullptr, problem};
    return {std::move (records), {}};
}

juce::String LineRecords::failureOf (const juce::String& what) const
{
    const auto message = oneLine (redacted (juce::String::fromUTF8 (PQerrorMessage (conn)), secrets));
    return what + ": " + (message.isEmpty() ? juce::String ("no reason given") : message);
}

juce::String LineRecords::prepareSession()
{
    // Nothing waits for ever: not a statement, not a lock another station holds, and not
    // the server for a station that stopped in the middle of a transaction (its claims are
    // freed when the server ends that session).
    if (!succeeded (executeScript (conn, "SET statement_timeout = '120s'; SET lock_timeout = '30s'; "
                                         "SET idle_in_transaction_session_timeout = '60s'")))
        return failureOf ("cannot set up the line records' session");
    return {};
}

juce::String LineRecords::reconnectIfBroken()
{
    if (PQstatus (conn) == CONNECTION_OK)
        return {};
    PQreset (conn);
    if (PQstatus (conn) != CONNECTION_OK)
        return failureOf ("the line records' database cannot be reached");
    return prepareSession();
}

juce::String LineRecords::createOrCheckSchema()
{
    Transaction transaction (conn);
    if (!transaction.began() || !succeeded (execute (conn, schemaLock)))
        return failureOf ("cannot read the line records' schema");

    const auto found = execute (conn, "SELECT to_regclass ('line_schema_version') IS NOT NULL");
    if (!succeeded (found))
        return failureOf ("cannot read the line records' schema");
    if (std::string (PQgetvalue (found.get(), 0, 0)) == "t")
    {
        const auto version = execute (conn, "SELECT max(version) FROM line_schema_version");
        if (!succeeded (version))
            return failureOf ("cannot read the line records' schema version");
        const auto number = integerAt (version.get(), 0, 0).value_or (0);
        if (number > schemaVersion)
            return "the line records' database has schema version " + juce::String (number) +
                   ", newer than this program's " + juce::String (schemaVersion) + ": use a newer program";
        if (number < 1)
            return "the line records' database has no valid schema version";
        // Upgrades from older versions go here, one step per version.
        return {};
    }

    if (!succeeded (executeScript (conn, schemaStatements)))
        return failureOf ("cannot create the line records' tables (the first connection needs a role that may "
                          "create tables)");
    if (!succeeded (transaction.commit()))
        return failureOf ("cannot create the line records' tables");
    return {};
}

bool LineRecords::isConnected() const
{
    return PQstatus (conn) == CONNECTION_OK;
}

LineRecords::Uploaded LineRecords::upload (const std::vector<StationRecords::Record>& records)
{
    for (const auto& record : records)
        if (const auto problem = problemWith (record); problem.isNotEmpty())
            return {false, 0, "cannot upload the records: " + problem};
    if (const auto problem = reconnectIfBroken(); problem.isNotEmpty())
        return {false, 0, problem};

    Transaction transaction (conn);
    if (!transaction.began())
        return {false, 0, failureOf ("cannot upload the records")};
    for (const auto& r : records)
        if (!succeeded (recordParameters (r, r.result, r.failureClass, r.failureReason).run (conn, insertRecord)))
            return {false, 0, failureOf ("cannot upload the record " + juce::String (r.recordId))};
    if (!succeeded (transaction.commit()))
        return {false, 0, failureOf ("cannot commit the uploaded records")};
    return {true, (int) records.size(), {}};
}

LineRecords::Claimed LineRecords::passUnit (const StationRecords::Record& record)
{
    auto problem = problemWith (record);
    if (problem.isEmpty())
        problem = reconnectIfBroken();
    if (problem.isNotEmpty())
        return {false, false, {}, {}, problem};

    const auto mac = StationRecords::normalisedMac (record.macFile);
    const auto& serial = record.usbSerial;

    // A unit's MAC and serial are claimed by inserting them under unique keys: a second
    // station claiming the same one waits for the first one's transaction and then sees
    // its claim. Claims are always taken MAC first, so two stations cannot wait for each
    // other; a deadlock or serialisation failure the server still reports is retried.
    for (int attempt = 0;; ++attempt)
    {
        Claimed claimed;
        Result failed (nullptr, &PQclear);
        const auto keep = [&failed] (Result& result)
        {
            failed = std::move (result);
            return false;
        };
        const auto claim = [&] (const char* insert, const char* select, const std::string& key,
                                const std::string& partner, const char* what)
        {
            auto inserted = Parameters().bytes (key).bytes (partner).text (record.recordId).run (conn, insert);
            if (!succeeded (inserted))
                return keep (inserted);
            auto holder = Parameters().bytes (key).run (conn, select);
            if (!succeeded (holder) || PQntuples (holder.get()) != 1)
                return keep (holder);
            const auto holderId = std::string (PQgetvalue (holder.get(), 0, 1));
            if (bytesAt (holder.get(), 0, 0) != partner && holderId != record.recordId && !claimed.duplicate)
            {
                claimed.duplicate = true;
                claimed.duplicateOf = holderId;
                claimed.what = what;
                claimed.reason = juce::String ("the ") + what + " passed before on another unit, in record " +
                                 juce::String (holderId);
            }
            return true;
        };

        Transaction transaction (conn);
        bool ok = transaction.began() && succeeded (execute (conn, "SAVEPOINT claims"));
        if (ok && !mac.empty())
            ok = claim ("INSERT INTO line_mac_claims (mac, usb_serial, record_id) VALUES ($1, $2, $3) "
                        "ON CONFLICT (mac) DO NOTHING",
                        "SELECT usb_serial, record_id FROM line_mac_claims WHERE mac = $1", mac, serial, "MAC");
        if (ok && !serial.empty() && !claimed.duplicate)
            ok = claim ("INSERT INTO line_serial_claims (usb_serial, mac, record_id) VALUES ($1, $2, $3) "
                        "ON CONFLICT (usb_serial) DO NOTHING",
                        "SELECT mac, record_id FROM line_serial_claims WHERE usb_serial = $1", serial, mac,
                        "USB serial");
        if (ok && claimed.duplicate)
            ok = succeeded (execute (conn, "ROLLBACK TO SAVEPOINT claims"));
        if (ok)
        {
            const auto result = claimed.duplicate ? StationRecords::Result::duplicate : StationRecords::Result::passed;
            auto stored = recordParameters (record, result, claimed.duplicate ? "duplicate " + claimed.what : "",
                                            claimed.reason.toStdString())
                              .run (conn, insertRecord);
            ok = succeeded (stored) || keep (stored);
        }
        if (ok)
        {
            auto committed = transaction.commit();
            if (succeeded (committed))
            {
                claimed.checked = true;
                return claimed;
            }
            keep (committed);
        }

        const auto state = sqlState (failed);
        if ((state == "40001" || state == "40P01") && attempt < 3 && PQstatus (conn) == CONNECTION_OK)
            continue;
        return {false, false, {}, {}, failureOf ("cannot claim the unit's MAC and USB serial")};
    }
}

StationRecords::Listed LineRecords::recordsBetween (juce::int64 fromMs, juce::int64 toMs, const std::string& stationId)
{
    if (const auto problem = reconnectIfBroken(); problem.isNotEmpty())
        return {false, {}, problem};
    Parameters p;
    p.integer (rangeBound (fromMs)).integer (rangeBound (toMs));
    stationId.empty() ? p.null() : p.bytes (stationId);
    const auto sql = std::string (selectRecords) + inRange + "ORDER BY start_time, uploaded";
    const auto rows = p.run (conn, sql.c_str());
    if (!succeeded (rows))
        return {false, {}, failureOf ("cannot read the line records")};

    StationRecords::Listed listed;
    for (int row = 0; row < PQntuples (rows.get()); ++row)
        listed.records.push_back (readRecord (rows.get(), row));
    listed.read = true;
    return listed;
}

StationRecords::Counted LineRecords::countsBetween (juce::int64 fromMs, juce::int64 toMs, const std::string& stationId)
{
    if (const auto problem = reconnectIfBroken(); problem.isNotEmpty())
        return {false, {}, problem};
    Parameters p;
    p.integer (rangeBound (fromMs)).integer (rangeBound (toMs));
    stationId.empty() ? p.null() : p.bytes (stationId);
    const auto sql = std::string ("SELECT result, count(*), (extract (epoch FROM min(start_time)) * 1000)::bigint "
                                  "FROM line_records ") +
                     inRange + "GROUP BY result";
    const auto rows = p.run (conn, sql.c_str());
    if (!succeeded (rows))
        return {false, {}, failureOf ("cannot count the line records")};

    StationRecords::Counted counted;
    auto& counts = counted.counts;
    std::optional<juce::int64> firstMs;
    for (int row = 0; row < PQntuples (rows.get()); ++row)
    {
        const auto n = (int) integerAt (rows.get(), row, 1).value_or (0);
        const auto start = integerAt (rows.get(), row, 2);
        if (start && (!firstMs || *start < *firstMs))
            firstMs = start;
        using R = StationRecords::Result;
        switch (StationRecords::resultNamed (PQgetvalue (rows.get(), row, 0)).value_or (R::failed))
        {
        case R::running:
            counts.running += n;
            break;
        case R::passed:
            counts.passed += n;
            break;
        case R::failed:
            counts.failed += n;
            break;
        case R::duplicate:
            counts.duplicates += n;
            break;
        case R::interrupted:
            counts.interrupted += n;
            break;
        case R::refused:
            counts.refused += n;
            break;
        }
    }
    // Per hour of the range from its first record on and up to now at most, as a station counts.
    if (firstMs)
    {
        const auto spanMs = std::min (toMs, juce::Time::currentTimeMillis()) - std::max (fromMs, *firstMs);
        counts.unitsPerHour = counts.passed * 3600000.0 / (double) std::max<juce::int64> (spanMs, 1000);
    }
    counted.read = true;
    return counted;
}
