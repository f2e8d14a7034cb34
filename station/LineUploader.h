#pragma once

#include "station/LineRecords.h"
#include "station/StationRecords.h"

#include <juce_core/juce_core.h>

#include <memory>
#include <mutex>
#include <string>

/** Carries a station's records up to its line's database: a thread that takes the
    finished attempts from the station's journal (its SQLite file), oldest first, and
    uploads them, and marks them uploaded once the server has committed them. While the
    server is away the records wait in the journal and the thread tries again, less and
    less often; nothing is lost and, the record ID being the key, nothing is stored twice.
    It also makes the line-wide duplicate check for the station's workers. */
class LineUploader final : private juce::Thread
{
public:
    struct State
    {
        bool connected = false;
        int waiting = 0;       ///< finished records not uploaded yet; -1 when unknown
        std::string lastError; ///< one line, empty while all is well
    };

    /** Nothing happens until start(). */
    LineUploader (std::string conninfo, juce::File journal);

    /** Stops the thread. */
    ~LineUploader() override;

    /** Opens the journal beside the station's own connection, makes a first attempt at the
        line's database (at most its connect time-out) and starts uploading; false (with the
        reason) when the journal cannot be opened. */
    bool start (juce::String& reason);

    /** A record was finished: upload soon. */
    void recordFinished();

    State getState() const;

    /** The line-wide check of a unit about to pass: its claim and record stored on the
        server (passed or duplicate), or checked false while the server is away. Never
        waits for a connection to be made: that is the uploader's. */
    LineRecords::Claimed passUnit (const StationRecords::Record& record);

    static constexpr int batchSize = 200;

private:
    void run() override;
    void connect();
    /** One batch up; true when it went up and was noted. */
    bool uploadWaiting();
    void noteFailure (const juce::String& reason);

    const std::string conninfo;
    const juce::File journalFile;
    std::unique_ptr<StationRecords> journal; // the thread's own connection to the journal

    std::mutex lineLock; // the connection, used by the thread and the workers in turn
    std::unique_ptr<LineRecords> line;

    mutable std::mutex stateLock;
    State state;

    juce::WaitableEvent wake;
    int retryMs = 1000;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LineUploader)
};
