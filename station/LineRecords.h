#pragma once

#include "station/StationRecords.h"

#include <juce_core/juce_core.h>

#include <memory>
#include <string>
#include <vector>

struct pg_conn;

/** The records of a whole production line, in one PostgreSQL database that several
    stations write to. Each station's StationRecords file stays its journal; finished
    records are uploaded from it in order, idempotently (the record ID is the key), and
    a unit about to pass claims its MAC and USB serial here, line-wide.

    Text that came from a unit or from a station's settings is stored as bytea, so that
    bytes that are not UTF-8 and NUL bytes come back unchanged; only the record ID and
    the result, which this program makes, are text. Every failure, from a wrong password
    to a server that went away mid-transaction, is a value with a one-line reason that
    never holds the password. A connection that broke is opened again by the next call.
    An object is used by one thread at a time. */
class LineRecords final
{
public:
    struct Opened
    {
        std::unique_ptr<LineRecords> records; ///< null when the database could not be used
        juce::String reason;                  ///< why not, in one line
    };

    struct Uploaded
    {
        bool ok = false;
        int stored = 0; ///< records now in the database, those that were there before included
        juce::String reason;
    };

    struct Claimed
    {
        bool checked = false;    ///< the claim was decided and the record stored
        bool duplicate = false;  ///< stored as a duplicate, not as passed
        std::string duplicateOf; ///< the earlier pass's record ID
        std::string what;        ///< "MAC" or "USB serial"
        juce::String reason;     ///< why it is a duplicate, or why nothing was stored
    };

    ~LineRecords();

    /** Connects (a libpq connection string or URI; passwords come from libpq's usual
        ~/.pgpass or PGPASSWORD) and creates the schema, or upgrades it; a schema newer than
        this program's is refused. Creating it needs a role that may create tables (the
        database's owner); later connections need only SELECT and INSERT. */
    static Opened connect (const std::string& conninfo, int connectTimeoutS = 5);

    /** Stores finished records in one transaction, in order; a record already there is left
        as it is and counts as stored. */
    Uploaded upload (const std::vector<StationRecords::Record>& records);

    /** For a unit about to pass: claims its MAC (normalised as StationRecords does) and its
        USB serial line-wide and stores its record, passed or duplicate, in one transaction.
        The same unit (same MAC, same serial) passing again is no duplicate. */
    Claimed passUnit (const StationRecords::Record& record);

    /** The records of the line (or of one station) that started in [fromMs, toMs), oldest first. */
    StationRecords::Listed recordsBetween (juce::int64 fromMs, juce::int64 toMs, const std::string& stationId = {});

    /** How the records of the line (or of one station) that started in [fromMs, toMs) ended. */
    StationRecords::Counted countsBetween (juce::int64 fromMs, juce::int64 toMs, const std::string& stationId = {});

    bool isConnected() const;

    static constexpr int schemaVersion = 1;

private:
    LineRecords (pg_conn* connection, std::vector<std::string> secrets);

    juce::String reconnectIfBroken();
    juce::String failureOf (const juce::String& what) const;
    juce::String prepareSession();
    juce::String createOrCheckSchema();

    pg_conn* conn = nullptr;          // owned: finished by the destructor
    std::vector<std::string> secrets; // passwords of the connection string, kept out of every reason

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LineRecords)
};
