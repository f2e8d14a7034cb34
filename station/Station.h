#pragma once

#include "device/DeviceWorker.h"
#include "station/LineUploader.h"
#include "station/Recipe.h"
#include "station/StationFile.h"
#include "station/StationRecords.h"

#include <juce_core/juce_core.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class SerialPortWatcher;
class TidewireClient;
struct DeviceIdentity;

/** A production station: it watches the USB slots, and every unit plugged into one is
    identified, checked against the records, flashed, followed through its restart,
    checked again and recorded, each on a worker of its own, many at once. Front ends
    (the terminal table, the JSON events, the control socket, the window's Production tab)
    show its events and call its commands; none of them touches a device.

    A unit already in a slot when the station starts is shown but held until it is
    started; a slot takes its next unit only once the unit that was processed has been
    removed (a restart after the trigger is the same insertion). Transient faults are
    retried by themselves, refusals never. Every attempt is a record, committed before
    its outcome is shown. */
class Station final : private juce::Thread
{
public:
    enum class SlotState
    {
        empty,       ///< no unit
        held,        ///< a unit that was there when the station started: waits for start
        waiting,     ///< a new unit while the station is paused
        running,     ///< being processed
        passed,
        failed,
        duplicate,
        refused,     ///< of another kind: left untouched
        interrupted, ///< stopped in the middle
        stopped      ///< not processed, on the operator's word
    };

    /** One slot as it is now. */
    struct SlotView
    {
        std::string slot, nickname, tty, usbSerial, mac;
        SlotState state = SlotState::empty;
        std::string step;        ///< the running step, or the last one
        juce::int64 done = 0, total = 0;
        juce::int64 startedMs = 0, endedMs = 0;
        int attempt = 0;
        std::string reason;      ///< why it did not pass
        std::string recordId;    ///< the last attempt's
        std::string lineCheck;   ///< the last attempt's duplicate check: "line", "local only" or "" (no line database)
        bool present = false;
    };

    struct Event
    {
        enum class Kind
        {
            unitAppeared,
            stepBegun,
            progress, ///< at most four times a second per slot, and at a step's end
            stepEnded,
            unitDone, ///< an attempt is recorded: record holds it
            unitRemoved,
            log       ///< a line from the unit's worker
        };

        Kind kind = Kind::log;
        SlotView slot;
        std::string step;
        bool succeeded = true;
        std::string text;
        std::optional<StationRecords::Record> record;
    };

    /** Told from the station's and the workers' threads: it must be thread-safe and quick. */
    using Listener = std::function<void (const Event&)>;

    struct Settings
    {
        std::shared_ptr<const Recipe> recipe;
        StationFile station = StationFile::defaults();
        juce::File database;         ///< the station's own records, the journal of the line's
        std::string lineDatabase;    ///< the line's PostgreSQL database (libpq connection string), or empty
        juce::File workFolder;       ///< the station's own temporary files
        std::string operatorName;
        std::string programVersion;
        bool holdPresentAtStart = true; ///< units there at the start wait to be started
        juce::String portHolder = "the station"; ///< who holds the ports, for another part of the program
        int deviceFilter = 1;        ///< which ports are units (see passesSerialPortFilter)
        int pollMs = 100;            ///< how often sysfs is looked at, besides the hot-plug notices
        int connectTimeoutMs = 3000; ///< for a port that appeared to open
    };

    struct Answer
    {
        bool ok = true;
        std::string error; ///< one line, for a refused command
        int slots = 0;     ///< how many slots the command changed
    };

    struct Totals
    {
        int passed = 0, failed = 0, duplicates = 0, refused = 0, interrupted = 0, running = 0;
        double unitsPerHour = 0.0; ///< passed units per hour since the first unit began
    };

    struct Created
    {
        std::unique_ptr<Station> station;
        juce::String reason;
        int interruptedFound = 0; ///< attempts a killed station had left running, now marked
    };

    /** Opens the records and prepares; nothing is watched until begin(). */
    static Created create (Settings settings, Listener listener);

    /** Brings everything to a safe stop (see shutDown). */
    ~Station() override;

    /** Starts watching the slots; the units there now are held. */
    void begin();

    // The commands: from any thread. A slot is named by its sysfs name or its nickname, or "all".
    Answer start (const std::string& slot);
    Answer stop (const std::string& slot);
    Answer retry (const std::string& slot);
    void pause();
    void resume();
    bool isPaused() const;

    std::vector<SlotView> slots() const;
    Totals totals() const;
    bool isRunning() const; ///< some unit is being processed

    /** The line's database as the uploader sees it; nothing without one. */
    std::optional<LineUploader::State> lineState() const;

    /** The records that started at or after sinceMs, oldest first. */
    StationRecords::Listed results (juce::int64 sinceMs);

    /** Cancels every running unit (a file being sent is closed and its part file removed
        while the unit answers; after the trigger the unit is left to finish by itself),
        waits for their attempts to be recorded as interrupted and stops watching. Nothing
        runs afterwards; safe to repeat. */
    void shutDown();

    const Recipe& getRecipe() const
    {
        return *settings.recipe;
    }
    const Settings& getSettings() const
    {
        return settings;
    }

    static const char* nameOf (SlotState state);

private:
    struct Slot;
    struct Outcome;

    Station (Settings settings, Listener listener, std::unique_ptr<StationRecords> records);

    void run() override;
    void scan();
    Slot* find (const std::string& slotOrNickname);
    /** The slot, when it holds a unit that nothing runs on; else why not. Under the lock. */
    Answer idleUnit (const std::string& name, Slot*& slot);
    void launch (Slot& slot, int attempt);
    void reap();
    bool isHeldState (SlotState state) const;

    OperationResult runUnit (DeviceWorker::Context& context, const std::string& slotName, int firstAttempt);
    /** The line-wide duplicate check of a unit about to pass, into its outcome. */
    void checkOnTheLine (DeviceWorker::Context& context, const std::string& slotName, const StationRecords::Record& record,
                         Outcome& outcome);
    Outcome attemptOnce (DeviceWorker::Context& context, const std::string& slotName, StationRecords::Record& record);
    void closeSlotPort (DeviceWorker::Context& context);
    bool openSlotPort (DeviceWorker::Context& context, const std::string& slotName, Outcome& outcome);
    /** Waits until the slot holds this unit again after it went away; its port, or empty. */
    juce::String awaitReturn (const std::string& slotName, const std::string& usbSerial, juce::uint64 afterGeneration,
                              int timeoutMs, const CancelToken& cancel, bool& replaced);
    juce::uint64 generationOf (const std::string& slotName);
    /** Returns once the slots have been looked at again from scratch (at most two seconds). */
    void waitForFreshScan();

    void setStep (const std::string& slotName, const std::string& step);
    void endStep (const std::string& slotName, const std::string& step, bool succeeded, const std::string& why);
    void progress (const std::string& slotName, juce::int64 done, juce::int64 total);
    void emit (Event::Kind kind, const std::string& slotName, const std::function<void (Event&)>& fill = {});
    SlotView viewOf (const std::string& slotName) const;

    Settings settings;
    const Listener listener;

    std::mutex recordsLock; // serialises the records object, and nothing else
    std::unique_ptr<StationRecords> records;
    std::unique_ptr<LineUploader> uploader; // with a line database; stopped after the workers

    mutable std::mutex lock; // the slots, their workers and the flags below
    std::condition_variable changed;
    std::map<std::string, std::unique_ptr<Slot>> slotTable;
    bool paused = false, stopping = false, scannedOnce = false;
    juce::uint64 scans = 0; // looks at the slots so far
    juce::int64 firstStartMs = 0;
    Totals counted;

    juce::WaitableEvent wakeScan;
    std::unique_ptr<SerialPortWatcher> watcher; // created by begin(); stopped before the slots go

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Station)
};
