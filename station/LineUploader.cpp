#include "station/LineUploader.h"

#include <algorithm>

namespace
{
constexpr int idleMs = 1000;
constexpr int longestRetryMs = 30000;
} // namespace

LineUploader::LineUploader (std::string info, juce::File journalPath)
    : juce::Thread ("line uploader"), conninfo (std::move (info)), journalFile (std::move (journalPath))
{
}

LineUploader::~LineUploader()
{
    signalThreadShouldExit();
    wake.signal();
    stopThread (-1); // an exchange with the server ends within libpq's time-outs
}

bool LineUploader::start (juce::String& reason)
{
    auto opened = StationRecords::openBeside (journalFile);
    if (opened.records == nullptr)
    {
        reason = opened.reason;
        return false;
    }
    journal = std::move (opened.records);
    {
        const std::lock_guard<std::mutex> guard (stateLock);
        state.waiting = journal->countWaitingUpload();
    }
    // Once before any unit is taken, so that the first units are checked on the line
    // whenever the line's database can be reached at all.
    connect();
    startThread();
    return true;
}

void LineUploader::recordFinished()
{
    {
        // Counted at once: the thread may be in a connection attempt that takes seconds.
        const std::lock_guard<std::mutex> guard (stateLock);
        if (state.waiting >= 0)
            ++state.waiting;
    }
    wake.signal();
}

LineUploader::State LineUploader::getState() const
{
    const std::lock_guard<std::mutex> guard (stateLock);
    return state;
}

LineRecords::Claimed LineUploader::passUnit (const StationRecords::Record& record)
{
    LineRecords::Claimed claimed;
    {
        const std::lock_guard<std::mutex> guard (lineLock);
        if (line == nullptr)
        {
            claimed.reason = "the line's database is not connected";
            return claimed;
        }
        claimed = line->passUnit (record);
    }
    if (!claimed.checked)
        noteFailure (claimed.reason);
    return claimed;
}

void LineUploader::noteFailure (const juce::String& reason)
{
    {
        const std::lock_guard<std::mutex> guard (lineLock);
        line.reset();
    }
    const std::lock_guard<std::mutex> guard (stateLock);
    state.connected = false;
    state.lastError = reason.toStdString();
}

void LineUploader::run()
{
    while (!threadShouldExit())
    {
        bool connected = false;
        {
            const std::lock_guard<std::mutex> guard (lineLock);
            connected = line != nullptr;
        }
        if (!connected)
            connect();
        {
            const std::lock_guard<std::mutex> guard (lineLock);
            connected = line != nullptr;
        }
        const bool progressed = connected && uploadWaiting();

        const auto waiting = journal->countWaitingUpload();
        {
            const std::lock_guard<std::mutex> guard (stateLock);
            state.waiting = waiting;
            connected = state.connected;
        }
        // Straight on while records wait and the server takes them; otherwise a pause,
        // longer after every failure to connect.
        if (connected && progressed && waiting > 0)
            continue;
        wake.wait (connected ? idleMs : retryMs);
    }
}

void LineUploader::connect()
{
    auto opened = LineRecords::connect (conninfo);
    if (opened.records == nullptr)
    {
        retryMs = std::min (retryMs * 2, longestRetryMs);
        const std::lock_guard<std::mutex> guard (stateLock);
        state.connected = false;
        state.lastError = opened.reason.toStdString();
        return;
    }
    retryMs = 1000;
    {
        const std::lock_guard<std::mutex> guard (lineLock);
        line = std::move (opened.records);
    }
    const std::lock_guard<std::mutex> guard (stateLock);
    state.connected = true;
    state.lastError.clear();
}

bool LineUploader::uploadWaiting()
{
    const auto waiting = journal->waitingUpload (batchSize);
    if (!waiting.read)
    {
        const std::lock_guard<std::mutex> guard (stateLock);
        state.lastError = waiting.reason.toStdString();
        return false;
    }
    if (waiting.records.empty())
        return false;

    LineRecords::Uploaded uploaded;
    {
        const std::lock_guard<std::mutex> guard (lineLock);
        if (line == nullptr)
            return false;
        uploaded = line->upload (waiting.records);
    }
    if (!uploaded.ok)
    {
        noteFailure (uploaded.reason);
        return false;
    }
    std::vector<std::string> ids;
    for (auto& record : waiting.records)
        ids.push_back (record.recordId);
    if (const auto problem = journal->markUploaded (ids); problem.isNotEmpty())
    {
        // Uploaded again later, which stores nothing twice.
        const std::lock_guard<std::mutex> guard (stateLock);
        state.lastError = problem.toStdString();
        return false;
    }
    return true;
}
