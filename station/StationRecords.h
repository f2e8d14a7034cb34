#pragma once

#include <juce_core/juce_core.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

/** The production station's records: one row per attempt on a unit, in an SQLite file
    (WAL, synchronous=FULL), so that an outcome the station shows is already on disk.
    An attempt is written as running when the unit starts and gets its outcome in one
    transaction when it ends; attempts a killed station left running are marked
    interrupted the next time the file is opened.

    Text from the unit (identities, serials, the MAC file) is kept as the bytes that came,
    valid UTF-8 or not, and comes back unchanged. Every failure, from a folder that cannot
    be written to a corrupt file or a full disk, is a value with a one-line reason; nothing
    throws. An object is used by one thread at a time; several objects (threads, processes)
    may share a file. */
class StationRecords final
{
public:
    enum class Result
    {
        running,
        passed,
        failed,
        duplicate,
        interrupted,
        refused
    };

    /** One attempt, as stored. Times are milliseconds since the epoch, kept as ISO 8601 UTC. */
    struct Record
    {
        std::string recordId; ///< UUID text, made by begin()
        std::string stationId;
        std::string slot;
        std::string slotNickname;
        std::string usbSerial;
        std::string identityBefore;
        std::string identityAfter;
        std::optional<juce::int64> firmwareBefore;
        std::optional<juce::int64> firmwareAfter;
        std::string imageSha256;
        std::string recipeSha256;
        std::string macFile; ///< the MAC-address file's contents
        juce::int64 startMs = 0;
        std::optional<juce::int64> endMs;
        std::optional<juce::int64> durationMs;
        Result result = Result::running;
        std::string failureClass;
        std::string failureReason;
        int attemptNumber = 1;
        std::string programVersion;
        std::optional<std::string> operatorName;
        std::string lineCheck; ///< "" without a line database, "line" checked on it, "local only" while it was away
    };

    /** What finish() learns at the end of an attempt. */
    struct Outcome
    {
        Result result = Result::failed; ///< passed, failed, refused or interrupted
        std::string failureClass;
        std::string failureReason;
        std::string identityAfter;
        std::optional<juce::int64> firmwareAfter;
        std::string macFile;
        juce::int64 endMs = 0; ///< 0: now
        std::string lineCheck;
    };

    struct Opened
    {
        std::unique_ptr<StationRecords> records; ///< null when the file could not be used
        juce::String reason;                     ///< why not, in one line
        int interrupted = 0;                     ///< running attempts found and marked interrupted
    };

    struct Begun
    {
        bool stored = false;
        std::string recordId;
        juce::String reason;
    };

    struct Finished
    {
        bool stored = false;
        Result result = Result::failed; ///< as stored: duplicate when the unit's MAC or serial passed before
        juce::String reason;            ///< why it was not stored, or why it is a duplicate
        std::string duplicateOf;        ///< the earlier passed record's ID, for a duplicate
    };

    struct Counts
    {
        int passed = 0;
        int failed = 0;
        int duplicates = 0;
        int interrupted = 0;
        int refused = 0;
        int running = 0;
        double unitsPerHour = 0.0; ///< passed attempts per hour of the range
    };

    struct Listed
    {
        bool read = false;
        std::vector<Record> records;
        juce::String reason;
    };

    struct Counted
    {
        bool read = false;
        Counts counts;
        juce::String reason;
    };

    ~StationRecords();

    /** Opens the records file, creating it and its schema when it does not exist. A file
        written by a newer program (a newer schema), a read-only or corrupt file, and a
        path that is a folder, a pipe or a device are refused. Attempts still running are
        marked interrupted, whichever station began them: stations that share a file open it
        before any of them starts a unit. */
    static Opened open (const juce::File& file, int busyTimeoutMs = 5000);

    /** Where a station keeps its records unless told: $XDG_DATA_HOME/nubo/station.db, or
        ~/.local/share/nubo/station.db. */
    static juce::File defaultFile();

    /** Opens the file beside a station that has it open already (the uploader's own
        connection): its running attempts are its own, left as they are. */
    static Opened openBeside (const juce::File& file, int busyTimeoutMs = 5000);

    /** Stores the attempt as running (committed) and gives it a new record ID. The
        record's outcome fields are ignored; a start of 0 is now. */
    Begun begin (const Record& attempt);

    /** Stores the outcome of a running attempt in one transaction. An attempt that would
        pass is stored as a duplicate when its MAC (compared without case or separators)
        passed before on a unit with another USB serial, or its USB serial passed before
        with another MAC. */
    Finished finish (const std::string& recordId, const Outcome& outcome);

    struct Lookup
    {
        bool read = false;
        std::string recordId; ///< the earlier pass's, empty when there is none
        std::string what;     ///< "MAC" or "USB serial"
        juce::String reason;  ///< why the unit is a duplicate, or why the lookup failed
    };

    /** The earliest pass of another unit with this MAC (compared as finish() does), or of
        this USB serial with another MAC: what would make this unit a duplicate. */
    Lookup earlierPass (const std::string& usbSerial, const std::string& macFile,
                        const std::string& exceptRecordId = {});

    /** The journal of uploads to a line's database: finished attempts not uploaded yet, in
        the order they were begun, at most limit of them. */
    Listed waitingUpload (int limit);

    /** Notes the attempts as uploaded; empty, or why it could not be noted. */
    juce::String markUploaded (const std::vector<std::string>& recordIds);

    /** Finished attempts waiting for the upload; -1 when it cannot be read. */
    int countWaitingUpload();

    /** The attempts that started in [fromMs, toMs), oldest first. */
    Listed recordsBetween (juce::int64 fromMs, juce::int64 toMs);

    /** How the attempts that started in [fromMs, toMs) ended. */
    Counted countsBetween (juce::int64 fromMs, juce::int64 toMs);

    /** RFC 4180 CSV with a header line and CRLF line ends. Text is escaped so that no
        control character or invalid UTF-8 byte appears raw: \\ \n \r \t, \xNN for
        other bytes, \u00NN for C1 controls. */
    static std::string toCsv (const std::vector<Record>& records);

    /** One JSON object per line, LF-terminated; bytes that are not UTF-8 become U+FFFD. */
    static std::string toJsonLines (const std::vector<Record>& records);

    static const char* nameOf (Result result);
    static std::optional<Result> resultNamed (const std::string& name);

    /** Lower case, without separators (':' '-' '.' and white space). */
    static std::string normalisedMac (const std::string& macFile);

    /** "2024-05-01T12:34:56.789Z"; and back (nullopt for anything else). */
    static std::string isoTime (juce::int64 msSinceEpoch);
    static std::optional<juce::int64> parseIsoTime (const std::string& text);

    /** The text as it goes into a CSV field (see toCsv). */
    static std::string escapedText (const std::string& text);

    static constexpr int schemaVersion = 2;

private:
    explicit StationRecords (sqlite3* database);
    static Opened open (const juce::File& file, int busyTimeoutMs, bool markInterrupted);

    juce::String markRunningAsInterrupted (int& count);
    Listed select (juce::int64 fromMs, juce::int64 toMs);

    sqlite3* db = nullptr; // owned: closed by the destructor

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (StationRecords)
};
