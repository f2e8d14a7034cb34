#include "station/Station.h"

#include "device/DeviceMaintenance.h"
#include "device/PortClaims.h"
#include "device/TransferEngine.h"
#include "protocol/DeviceIdentity.h"
#include "protocol/FileSystemEntryInfo.h"
#include "protocol/TidewireClient.h"
#include "serial/PresentSerialPort.h"
#include "serial/SerialPortDiscovery.h"
#include "serial/SerialPortWatcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace
{
constexpr int forReading = 1;
constexpr juce::int64 maxMacFileSize = 4096;
constexpr juce::int64 progressIntervalMs = 250;

juce::int64 nowMs()
{
    return juce::Time::currentTimeMillis();
}

std::string canonicalPath (const juce::String& path)
{
    char resolved[PATH_MAX];
    return ::realpath (path.toRawUTF8(), resolved) != nullptr ? std::string (resolved) : path.toStdString();
}

std::string hex4 (int value)
{
    return "0x" + juce::String::toHexString (value).paddedLeft ('0', 4).toStdString();
}

std::string identityText (const DeviceIdentity& id)
{
    return "family " + hex4 (id.familyId) + ", device " + hex4 (id.deviceId) + ", protocol "
           + hex4 (id.protocolVersion) + ", firmware " + hex4 (id.firmwareVersion) + ", " + id.text1 + " / " + id.text2;
}

/** A fault that is usually gone at the next try: no answer in time, or the unit gone. */
bool isTransientFault (const TidewireClient& client)
{
    return client.getLastExchangeOutcome() == TidewireClient::ExchangeOutcome::unanswered || !client.canHearDevice();
}

/** A name part no other file of this program's takes: the workers make them at the same
    time, and juce::Random's shared generator is not for several threads. */
juce::String uniqueSuffix()
{
    static std::atomic<juce::uint32> counter{0};
    return juce::String::toHexString ((int) ::getpid()) + "-" + juce::String::toHexString ((int) ++counter) + "-"
           + juce::String::toHexString (juce::Time::currentTimeMillis());
}

/** Writes a small file whole or not at all: a temporary file beside it, synced, renamed. */
bool writeDurably (const juce::File& file, const std::string& bytes, std::string& reason)
{
    if (!file.getParentDirectory().createDirectory())
    {
        reason = "can't create the folder " + file.getParentDirectory().getFullPathName().toStdString();
        return false;
    }
    const auto temporary = file.getSiblingFile ("." + file.getFileName() + ".nubo-partial-"
                                                + uniqueSuffix());
    const int fd = ::open (temporary.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && ::write (fd, bytes.data(), bytes.size()) == (ssize_t) bytes.size() && ::fsync (fd) == 0;
    const int error = errno;
    if (fd >= 0 && ::close (fd) != 0)
        ok = false;
    ok = ok && ::rename (temporary.getFullPathName().toRawUTF8(), file.getFullPathName().toRawUTF8()) == 0;
    if (!ok)
    {
        reason = "can't write " + file.getFullPathName().toStdString() + " (" + std::strerror (ok ? errno : error) + ")";
        temporary.deleteFile();
    }
    return ok;
}

bool isDoneState (Station::SlotState state)
{
    using S = Station::SlotState;
    return state == S::passed || state == S::failed || state == S::duplicate || state == S::refused
           || state == S::interrupted || state == S::stopped;
}
} // namespace

struct Station::Slot
{
    SlotView view;
    juce::String portPath;
    std::string canonical;        // which appearance of the port this is: another is a new one
    std::string presentSerial;    // the USB serial of the unit there now
    juce::uint64 generation = 0;  // counts the appearances
    std::unique_ptr<DeviceWorker> worker;
    std::future<OperationResult> job;
    bool stopRequested = false;
    juce::int64 lastProgressMs = 0;
};

struct Station::Outcome
{
    StationRecords::Outcome stored;
    bool begun = false;     // the record was begun (after the identification)
    bool transient = false; // worth another attempt
    bool unitGone = false;  // the unit left during the attempt
    bool wasCancelled = false;
};

const char* Station::nameOf (SlotState state)
{
    switch (state)
    {
        case SlotState::empty: return "empty";
        case SlotState::held: return "held";
        case SlotState::waiting: return "waiting";
        case SlotState::running: return "running";
        case SlotState::passed: return "passed";
        case SlotState::failed: return "failed";
        case SlotState::duplicate: return "duplicate";
        case SlotState::refused: return "refused";
        case SlotState::interrupted: return "interrupted";
        case SlotState::stopped: return "stopped";
    }
    return "empty";
}

//==============================================================================
Station::Created Station::create (Settings settings, Listener listener)
{
    if (settings.recipe == nullptr)
        return {nullptr, "no recipe", 0};
    auto opened = StationRecords::open (settings.database);
    if (opened.records == nullptr)
        return {nullptr, opened.reason, 0};
    std::unique_ptr<LineUploader> uploader;
    if (!settings.lineDatabase.empty())
    {
        uploader = std::make_unique<LineUploader> (settings.lineDatabase, settings.database);
        juce::String reason;
        if (!uploader->start (reason))
            return {nullptr, reason, 0};
    }
    std::unique_ptr<Station> station (new Station (std::move (settings), std::move (listener), std::move (opened.records)));
    station->uploader = std::move (uploader);
    return {std::move (station), {}, opened.interrupted};
}

Station::Station (Settings s, Listener l, std::unique_ptr<StationRecords> r)
    : juce::Thread ("station"), settings (std::move (s)), listener (std::move (l)), records (std::move (r))
{
    for (auto& listed : settings.station.slots)
    {
        auto slot = std::make_unique<Slot>();
        slot->view.slot = listed.slot;
        slot->view.nickname = listed.nickname;
        slotTable[listed.slot] = std::move (slot);
    }
}

Station::~Station()
{
    shutDown();
}

void Station::begin()
{
    watcher = SerialPortWatcher::create ([this] { wakeScan.signal(); });
    startThread();
}

void Station::shutDown()
{
    {
        const std::lock_guard<std::mutex> guard (lock);
        stopping = true;
        for (auto& [name, slot] : slotTable)
            if (slot->worker != nullptr)
                slot->worker->cancelAll();
    }
    changed.notify_all();
    watcher.reset();
    signalThreadShouldExit();
    wakeScan.signal();
    stopThread (-1);

    // The workers record their attempts as interrupted; then they go.
    std::vector<std::unique_ptr<DeviceWorker>> workers;
    {
        std::unique_lock<std::mutex> guard (lock);
        for (auto& [name, slot] : slotTable)
        {
            if (slot->job.valid())
            {
                guard.unlock();
                slot->job.wait();
                guard.lock();
            }
            if (slot->worker != nullptr)
                workers.push_back (std::move (slot->worker));
        }
    }
    workers.clear();
    uploader.reset(); // what did not go up waits in the journal for the next run
}

//==============================================================================
void Station::run()
{
    while (!threadShouldExit())
    {
        scan();
        reap();
        wakeScan.wait (settings.pollMs);
    }
}

void Station::scan()
{
    std::map<std::string, PresentSerialPort> present;
    for (auto& port : listPresentSerialPorts())
    {
        const auto slotName = port.usbPath.toStdString();
        if (slotName.empty() || !passesSerialPortFilter (port.hardwareId, settings.deviceFilter)
            || !settings.station.usesSlot (slotName))
            continue;
        present.emplace (slotName, port);
    }

    std::vector<std::pair<Event::Kind, std::string>> told;
    {
        const std::lock_guard<std::mutex> guard (lock);
        for (auto& [slotName, port] : present)
        {
            auto& entry = slotTable[slotName];
            if (entry == nullptr)
            {
                entry = std::make_unique<Slot>();
                entry->view.slot = slotName;
                entry->view.nickname = settings.station.nicknameOf (slotName);
            }
            auto& slot = *entry;
            // Not the node the port resolves to where the platform tells appearances
            // apart: the node may come a moment after the port is listed.
            const auto canonical = port.appearance.isEmpty() ? canonicalPath (port.portName)
                                                             : (port.portName + "|" + port.appearance).toStdString();
            const bool appeared = !slot.view.present || canonical != slot.canonical;
            slot.view.present = true;
            slot.portPath = port.portName;
            slot.canonical = canonical;
            slot.presentSerial = port.serialNumber.toStdString();
            slot.view.tty = port.portName.fromLastOccurrenceOf ("/", false, false).toStdString();
            if (!appeared)
                continue;
            ++slot.generation;
            if (slot.job.valid())
                continue; // the unit's own worker follows it (a restart, a replug mid-way)

            // A new insertion.
            slot.view.usbSerial = slot.presentSerial;
            slot.view.mac.clear();
            slot.view.reason.clear();
            slot.view.step.clear();
            slot.view.done = slot.view.total = 0;
            slot.view.attempt = 0;
            slot.view.recordId.clear();
            told.emplace_back (Event::Kind::unitAppeared, slotName);
            if (!scannedOnce && settings.holdPresentAtStart)
                slot.view.state = SlotState::held;
            else if (paused || stopping)
                slot.view.state = SlotState::waiting;
            else
                launch (slot, 1);
        }

        for (auto& [slotName, slot] : slotTable)
        {
            if (!slot->view.present || present.count (slotName) != 0)
                continue;
            slot->view.present = false;
            slot->canonical.clear();
            if (slot->job.valid())
                continue;
            slot->view.state = SlotState::empty;
            told.emplace_back (Event::Kind::unitRemoved, slotName);
        }
        scannedOnce = true;
        ++scans;
    }
    changed.notify_all();
    for (auto& [kind, slotName] : told)
        emit (kind, slotName);
}

void Station::reap()
{
    std::vector<std::unique_ptr<DeviceWorker>> finished;
    std::vector<std::string> removed;
    {
        const std::lock_guard<std::mutex> guard (lock);
        for (auto& [slotName, slot] : slotTable)
        {
            if (!slot->job.valid() || slot->job.wait_for (std::chrono::seconds (0)) != std::future_status::ready)
                continue;
            slot->job.get();
            finished.push_back (std::move (slot->worker));
            slot->stopRequested = false;
            if (!slot->view.present)
            {
                slot->view.state = SlotState::empty;
                removed.push_back (slotName);
            }
        }
    }
    finished.clear(); // their threads have nothing left to do
    for (auto& slotName : removed)
        emit (Event::Kind::unitRemoved, slotName);
}

void Station::launch (Slot& slot, int attempt)
{
    slot.view.state = SlotState::running;
    slot.view.startedMs = nowMs();
    slot.view.endedMs = 0;
    slot.view.reason.clear();
    slot.stopRequested = false;
    if (firstStartMs == 0)
        firstStartMs = slot.view.startedMs;
    ++counted.running;

    const auto slotName = slot.view.slot;
    const auto label = juce::String (slot.view.nickname.empty() ? slotName : slot.view.nickname);
    slot.worker = std::make_unique<DeviceWorker> (label,
                                                  [this, slotName] (const DeviceEvent& e)
                                                  {
                                                      if (e.kind == DeviceEvent::Kind::log)
                                                          emit (Event::Kind::log, slotName,
                                                                [&e] (Event& event) { event.text = e.text.toStdString(); });
                                                  });
    slot.job = slot.worker->submit ([this, slotName, attempt] (DeviceWorker::Context& context)
                                    { return runUnit (context, slotName, attempt); });
}

Station::Slot* Station::find (const std::string& name)
{
    auto it = slotTable.find (name);
    if (it != slotTable.end())
        return it->second.get();
    for (auto& [slotName, slot] : slotTable)
        if (!name.empty() && slot->view.nickname == name)
            return slot.get();
    return nullptr;
}

Station::Answer Station::idleUnit (const std::string& name, Slot*& slot)
{
    slot = find (name);
    if (slot == nullptr)
        return {false, "no slot " + name, 0};
    if (!slot->view.present)
        return {false, "no unit in slot " + slot->view.slot, 0};
    if (slot->job.valid())
        return {false, "slot " + slot->view.slot + " is running already", 0};
    return {};
}

//==============================================================================
Station::Answer Station::start (const std::string& name)
{
    const std::lock_guard<std::mutex> guard (lock);
    if (stopping)
        return {false, "the station is stopping", 0};
    const auto startable = [] (SlotState s) { return s == SlotState::held || s == SlotState::waiting || s == SlotState::stopped; };
    if (name == "all")
    {
        int n = 0;
        for (auto& [slotName, slot] : slotTable)
            if (slot->view.present && !slot->job.valid() && startable (slot->view.state))
            {
                launch (*slot, slot->view.attempt + 1);
                ++n;
            }
        return {true, {}, n};
    }
    Slot* slot = nullptr;
    if (auto refused = idleUnit (name, slot); !refused.ok)
        return refused;
    if (!startable (slot->view.state))
        return {false, "slot " + slot->view.slot + " has " + nameOf (slot->view.state)
                           + "; remove its unit for the next one, or retry it",
                0};
    launch (*slot, slot->view.attempt + 1);
    return {true, {}, 1};
}

Station::Answer Station::stop (const std::string& name)
{
    std::vector<std::string> stoppedIdle;
    Answer answer;
    {
        const std::lock_guard<std::mutex> guard (lock);
        std::vector<Slot*> chosen;
        if (name == "all")
            for (auto& [slotName, slot] : slotTable)
                chosen.push_back (slot.get());
        else if (auto* slot = find (name))
            chosen.push_back (slot);
        else
            return {false, "no slot " + name, 0};

        for (auto* slot : chosen)
        {
            if (slot->job.valid())
            {
                slot->stopRequested = true;
                slot->worker->cancelAll();
                ++answer.slots;
            }
            else if (slot->view.present && (slot->view.state == SlotState::held || slot->view.state == SlotState::waiting))
            {
                slot->view.state = SlotState::stopped;
                stoppedIdle.push_back (slot->view.slot);
                ++answer.slots;
            }
        }
    }
    for (auto& slotName : stoppedIdle)
        emit (Event::Kind::stepEnded, slotName, [] (Event& e) { e.step = "stopped"; });
    return answer;
}

Station::Answer Station::retry (const std::string& name)
{
    const std::lock_guard<std::mutex> guard (lock);
    if (stopping)
        return {false, "the station is stopping", 0};
    Slot* slot = nullptr;
    if (auto refused = idleUnit (name, slot); !refused.ok)
        return refused;
    const auto s = slot->view.state;
    if (s == SlotState::passed)
        return {false, "slot " + slot->view.slot + " has passed; nothing to retry", 0};
    if (!isDoneState (s))
        return {false, "slot " + slot->view.slot + " is " + nameOf (s) + "; start it instead", 0};
    launch (*slot, slot->view.attempt + 1);
    return {true, {}, 1};
}

void Station::pause()
{
    const std::lock_guard<std::mutex> guard (lock);
    paused = true;
}

void Station::resume()
{
    const std::lock_guard<std::mutex> guard (lock);
    paused = false;
    if (stopping)
        return;
    for (auto& [slotName, slot] : slotTable)
        if (slot->view.present && !slot->job.valid() && slot->view.state == SlotState::waiting)
            launch (*slot, slot->view.attempt + 1);
}

bool Station::isPaused() const
{
    const std::lock_guard<std::mutex> guard (lock);
    return paused;
}

std::vector<Station::SlotView> Station::slots() const
{
    const std::lock_guard<std::mutex> guard (lock);
    std::vector<SlotView> views;
    // The station file's order first, then the others as sysfs names them.
    for (auto& listed : settings.station.slots)
        if (auto it = slotTable.find (listed.slot); it != slotTable.end())
            views.push_back (it->second->view);
    for (auto& entry : slotTable)
        if (std::none_of (settings.station.slots.begin(), settings.station.slots.end(),
                          [&entry] (const StationFile::Slot& s) { return s.slot == entry.first; }))
            views.push_back (entry.second->view);
    return views;
}

Station::Totals Station::totals() const
{
    const std::lock_guard<std::mutex> guard (lock);
    auto totals = counted;
    if (firstStartMs != 0)
    {
        const double hours = (double) std::max<juce::int64> (nowMs() - firstStartMs, 1000) / 3.6e6;
        totals.unitsPerHour = totals.passed / hours;
    }
    return totals;
}

bool Station::isRunning() const
{
    const std::lock_guard<std::mutex> guard (lock);
    return counted.running > 0;
}

std::optional<LineUploader::State> Station::lineState() const
{
    if (uploader == nullptr)
        return std::nullopt;
    return uploader->getState();
}

StationRecords::Listed Station::results (juce::int64 sinceMs)
{
    const std::lock_guard<std::mutex> guard (recordsLock);
    return records->recordsBetween (sinceMs, std::numeric_limits<juce::int64>::max());
}

//==============================================================================
Station::SlotView Station::viewOf (const std::string& slotName) const
{
    const std::lock_guard<std::mutex> guard (lock);
    auto it = slotTable.find (slotName);
    return it != slotTable.end() ? it->second->view : SlotView();
}

void Station::emit (Event::Kind kind, const std::string& slotName, const std::function<void (Event&)>& fill)
{
    if (!listener)
        return;
    Event event;
    event.kind = kind;
    event.slot = viewOf (slotName);
    if (fill)
        fill (event);
    listener (event);
}

void Station::setStep (const std::string& slotName, const std::string& step)
{
    {
        const std::lock_guard<std::mutex> guard (lock);
        auto& view = slotTable[slotName]->view;
        view.step = step;
        view.done = view.total = 0;
    }
    emit (Event::Kind::stepBegun, slotName, [&step] (Event& e) { e.step = step; });
}

void Station::endStep (const std::string& slotName, const std::string& step, bool succeeded, const std::string& why)
{
    emit (Event::Kind::stepEnded, slotName,
          [&] (Event& e)
          {
              e.step = step;
              e.succeeded = succeeded;
              e.text = why;
          });
}

void Station::progress (const std::string& slotName, juce::int64 done, juce::int64 total)
{
    const auto now = nowMs();
    {
        const std::lock_guard<std::mutex> guard (lock);
        auto& slot = *slotTable[slotName];
        slot.view.done = done;
        slot.view.total = total;
        if (done < total && now - slot.lastProgressMs < progressIntervalMs)
            return;
        slot.lastProgressMs = now;
    }
    emit (Event::Kind::progress, slotName);
}

void Station::waitForFreshScan()
{
    std::unique_lock<std::mutex> guard (lock);
    const auto after = scans + 1; // the scan under way may have read sysfs before now
    guard.unlock();
    wakeScan.signal();
    guard.lock();
    changed.wait_for (guard, std::chrono::seconds (2), [this, after] { return scans > after || stopping; });
}

juce::uint64 Station::generationOf (const std::string& slotName)
{
    const std::lock_guard<std::mutex> guard (lock);
    return slotTable[slotName]->generation;
}

juce::String Station::awaitReturn (const std::string& slotName, const std::string& usbSerial,
                                   juce::uint64 afterGeneration, int timeoutMs, const CancelToken& cancel,
                                   bool& replaced)
{
    replaced = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds (timeoutMs);
    std::unique_lock<std::mutex> guard (lock);
    auto& slot = *slotTable[slotName];
    for (;;)
    {
        if (slot.view.present && slot.generation > afterGeneration)
        {
            if (slot.presentSerial == usbSerial)
                return slot.portPath;
            replaced = true;
            return {};
        }
        if (cancel.isCancelled() || stopping)
            return {};
        // Woken by every scan; the cancel is seen within a tenth of a second.
        if (changed.wait_until (guard, std::min (deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds (100)))
                == std::cv_status::timeout
            && std::chrono::steady_clock::now() >= deadline)
            return {};
    }
}

//==============================================================================
void Station::closeSlotPort (DeviceWorker::Context& context)
{
    const auto path = context.link.getDevicePath();
    context.link.close();
    if (path.isNotEmpty())
        PortClaims::release (path, settings.portHolder);
}

bool Station::openSlotPort (DeviceWorker::Context& context, const std::string& slotName, Outcome& outcome)
{
    setStep (slotName, "connect");
    const auto deadline = nowMs() + settings.connectTimeoutMs;
    juce::String path;
    for (;;)
    {
        {
            const std::lock_guard<std::mutex> guard (lock);
            auto& slot = *slotTable[slotName];
            path = slot.view.present ? slot.portPath : juce::String();
        }
        if (path.isNotEmpty())
        {
            if (const auto holder = PortClaims::claim (path, settings.portHolder); holder.isNotEmpty())
            {
                outcome.stored.failureClass = "local";
                outcome.stored.failureReason = path.toStdString() + " is in use by " + holder.toStdString();
                endStep (slotName, "connect", false, outcome.stored.failureReason);
                return false;
            }
            if (context.link.open (path))
            {
                endStep (slotName, "connect", true, path.toStdString());
                return true;
            }
            PortClaims::release (path, settings.portHolder);
        }
        if (context.isCancelled() || nowMs() >= deadline)
            break;
        juce::Thread::sleep (50); // a node that has just appeared may not open at once
    }
    outcome.wasCancelled = context.isCancelled();
    outcome.transient = true;
    outcome.unitGone = path.isEmpty();
    outcome.stored.failureClass = "transient";
    outcome.stored.failureReason = path.isEmpty() ? std::string ("the unit left its slot")
                                                  : "can't open " + path.toStdString() + ": "
                                                        + context.link.getOpenFailure().toStdString();
    endStep (slotName, "connect", false, outcome.stored.failureReason);
    return false;
}

//==============================================================================
OperationResult Station::runUnit (DeviceWorker::Context& context, const std::string& slotName, int firstAttempt)
{
    const auto& recipe = *settings.recipe;
    std::string usbSerial, nickname;
    {
        const std::lock_guard<std::mutex> guard (lock);
        auto& slot = *slotTable[slotName];
        usbSerial = slot.presentSerial;
        nickname = slot.view.nickname;
    }

    SlotState finalState = SlotState::failed;
    std::string finalReason;
    for (int attempt = firstAttempt;; ++attempt)
    {
        StationRecords::Record record;
        record.stationId = settings.station.stationId;
        record.slot = slotName;
        record.slotNickname = nickname;
        record.usbSerial = usbSerial;
        record.imageSha256 = recipe.imageSha256;
        record.recipeSha256 = recipe.sha256;
        record.attemptNumber = attempt;
        record.programVersion = settings.programVersion;
        if (!settings.operatorName.empty())
            record.operatorName = settings.operatorName;
        record.startMs = nowMs();
        {
            const std::lock_guard<std::mutex> guard (lock);
            auto& view = slotTable[slotName]->view;
            view.attempt = attempt;
            view.usbSerial = usbSerial;
        }

        auto outcome = attemptOnce (context, slotName, record);
        const bool cancelled = outcome.wasCancelled || context.isCancelled();
        bool stopRequested = false;
        {
            const std::lock_guard<std::mutex> guard (lock);
            stopRequested = slotTable[slotName]->stopRequested;
        }
        if (cancelled && outcome.stored.result != StationRecords::Result::passed)
        {
            outcome.stored.result = StationRecords::Result::interrupted;
            outcome.transient = false;
            if (outcome.stored.failureClass != "interrupted")
            {
                outcome.stored.failureClass = "interrupted";
                outcome.stored.failureReason = (stopRequested ? "stopped by the operator" : "the station was stopped")
                                               + (outcome.stored.failureReason.empty() ? std::string()
                                                                                       : " (" + outcome.stored.failureReason + ")");
            }
        }

        // The MAC file goes to its folder with the record; a duplicate leaves none behind.
        juce::File macCopy;
        bool macCopyIsNew = false;
        if (outcome.stored.result == StationRecords::Result::passed && recipe.macFolder != juce::File())
        {
            setStep (slotName, "mac file");
            const auto name = Recipe::fillTemplate (recipe.macName, usbSerial, slotName,
                                                    StationRecords::normalisedMac (outcome.stored.macFile));
            std::string why;
            if (name.empty())
                why = "the MAC file's name template \"" + recipe.macName + "\" gives no usable name for this unit";
            else
            {
                macCopy = recipe.macFolder.getChildFile (juce::String::fromUTF8 (name.c_str()));
                macCopyIsNew = !macCopy.exists();
                writeDurably (macCopy, outcome.stored.macFile, why);
            }
            if (!why.empty())
            {
                outcome.stored.result = StationRecords::Result::failed;
                outcome.stored.failureClass = "local";
                outcome.stored.failureReason = why;
                macCopy = juce::File();
            }
            endStep (slotName, "mac file", why.empty(), why);
        }

        if (uploader != nullptr && outcome.stored.result == StationRecords::Result::passed)
            checkOnTheLine (context, slotName, record, outcome);

        setStep (slotName, "record");
        StationRecords::Finished finished;
        StationRecords::Begun begun{outcome.begun, record.recordId, {}};
        {
            const std::lock_guard<std::mutex> guard (recordsLock);
            if (!begun.stored)
                begun = records->begin (record);
            if (begun.stored)
            {
                record.recordId = begun.recordId;
                finished = records->finish (begun.recordId, outcome.stored);
            }
        }
        if (!begun.stored || !finished.stored)
        {
            finished.result = StationRecords::Result::failed;
            outcome.stored.failureClass = "records";
            outcome.stored.failureReason = "the attempt could not be recorded: "
                                           + (begun.stored ? finished.reason : begun.reason).toStdString();
            outcome.transient = false;
        }
        else if (finished.result == StationRecords::Result::duplicate)
        {
            outcome.stored.failureClass = "duplicate";
            outcome.stored.failureReason = finished.reason.toStdString();
        }
        if (finished.result != StationRecords::Result::passed && macCopyIsNew && macCopy != juce::File())
            macCopy.deleteFile();
        endStep (slotName, "record", begun.stored && finished.stored,
                 begun.stored && finished.stored ? record.recordId : outcome.stored.failureReason);

        record.result = finished.result;
        record.failureClass = outcome.stored.failureClass;
        record.failureReason = outcome.stored.failureReason;
        record.identityAfter = outcome.stored.identityAfter;
        record.firmwareAfter = outcome.stored.firmwareAfter;
        record.macFile = outcome.stored.macFile;
        record.endMs = nowMs();
        record.durationMs = *record.endMs - record.startMs;

        switch (finished.result)
        {
            case StationRecords::Result::passed: finalState = SlotState::passed; break;
            case StationRecords::Result::duplicate: finalState = SlotState::duplicate; break;
            case StationRecords::Result::refused: finalState = SlotState::refused; break;
            case StationRecords::Result::interrupted: finalState = SlotState::interrupted; break;
            default: finalState = SlotState::failed; break;
        }
        finalReason = finished.result == StationRecords::Result::passed ? std::string() : outcome.stored.failureReason;

        const bool again = outcome.transient && !cancelled && attempt - firstAttempt < recipe.retries;
        {
            const std::lock_guard<std::mutex> guard (lock);
            auto& view = slotTable[slotName]->view;
            view.recordId = record.recordId;
            view.lineCheck = outcome.stored.lineCheck;
            view.reason = finalReason;
            view.endedMs = *record.endMs;
            if (!again)
                view.state = finalState;
        }
        record.lineCheck = outcome.stored.lineCheck;
        if (uploader != nullptr)
            uploader->recordFinished();
        emit (Event::Kind::unitDone, slotName, [&record] (Event& e) { e.record = record; });
        if (!again)
            break;

        // Once more, on the same unit: if it left, when it is back. A look at the slots made
        // after the failure first: sysfs may not have been read since the unit went.
        closeSlotPort (context);
        waitForFreshScan();
        bool present = false;
        juce::uint64 generation = 0;
        {
            const std::lock_guard<std::mutex> guard (lock);
            auto& slot = *slotTable[slotName];
            present = slot.view.present && slot.presentSerial == usbSerial;
            generation = slot.generation;
        }
        if (!present || outcome.unitGone)
        {
            setStep (slotName, "waiting for the unit");
            bool replaced = false;
            const auto back = awaitReturn (slotName, usbSerial, present ? generation : generation - 1,
                                           recipe.restartTimeoutMs, context.cancel, replaced);
            if (back.isEmpty())
            {
                endStep (slotName, "waiting for the unit", false,
                         replaced ? "another unit took the slot" : "the unit did not come back");
                const std::lock_guard<std::mutex> guard (lock);
                slotTable[slotName]->view.state = finalState;
                break;
            }
            endStep (slotName, "waiting for the unit", true, {});
        }
    }

    {
        const std::lock_guard<std::mutex> guard (lock);
        --counted.running;
        switch (finalState)
        {
            case SlotState::passed: ++counted.passed; break;
            case SlotState::duplicate: ++counted.duplicates; break;
            case SlotState::refused: ++counted.refused; break;
            case SlotState::interrupted: ++counted.interrupted; break;
            default: ++counted.failed; break;
        }
    }
    closeSlotPort (context);
    changed.notify_all();
    wakeScan.signal(); // the slot may have emptied meanwhile
    return finalState == SlotState::passed ? OperationResult::done()
                                           : OperationResult::failure (OperationResult::Outcome::failed,
                                                                       juce::String::fromUTF8 (finalReason.c_str()));
}

void Station::checkOnTheLine (DeviceWorker::Context& context, const std::string& slotName,
                              const StationRecords::Record& record, Outcome& outcome)
{
    setStep (slotName, "line check");
    auto passing = record;
    passing.result = StationRecords::Result::passed;
    passing.identityAfter = outcome.stored.identityAfter;
    passing.firmwareAfter = outcome.stored.firmwareAfter;
    passing.macFile = outcome.stored.macFile;
    passing.endMs = nowMs();
    passing.durationMs = *passing.endMs - passing.startMs;
    passing.lineCheck = "line";
    for (;;)
    {
        const auto claimed = uploader->passUnit (passing);
        if (claimed.checked)
        {
            outcome.stored.lineCheck = "line";
            if (claimed.duplicate)
            {
                outcome.stored.result = StationRecords::Result::duplicate;
                outcome.stored.failureClass = "duplicate";
                outcome.stored.failureReason = claimed.reason.toStdString() + " (line-wide)";
            }
            endStep (slotName, "line check", !claimed.duplicate, outcome.stored.failureReason);
            return;
        }
        if (settings.recipe->passWhileLineAway)
        {
            outcome.stored.lineCheck = "local only";
            endStep (slotName, "line check", true, "checked locally only: " + claimed.reason.toStdString());
            return;
        }
        // The recipe says a unit waits for the line's word.
        setStep (slotName, "waiting for the line's database");
        for (int i = 0; i < 20 && !context.isCancelled(); ++i)
            juce::Thread::sleep (100);
        if (context.isCancelled())
        {
            outcome.wasCancelled = true;
            outcome.stored.result = StationRecords::Result::interrupted;
            outcome.stored.failureReason = "while waiting for the line's database";
            return;
        }
    }
}

Station::Outcome Station::attemptOnce (DeviceWorker::Context& context, const std::string& slotName,
                                       StationRecords::Record& record)
{
    const auto& recipe = *settings.recipe;
    auto& client = context.link.getClient();
    Outcome outcome;
    const auto fail = [&] (const std::string& step, const std::string& failureClass, const std::string& why,
                           bool transient)
    {
        outcome.stored.result = failureClass == "wrong kind" ? StationRecords::Result::refused
                                : failureClass == "duplicate" ? StationRecords::Result::duplicate
                                                              : StationRecords::Result::failed;
        outcome.stored.failureClass = failureClass;
        outcome.stored.failureReason = why;
        outcome.transient = transient;
        outcome.wasCancelled = context.isCancelled();
        endStep (slotName, step, false, why);
        return outcome;
    };
    // A failed exchange: transient when unanswered or the unit went, the device's when it refused.
    const auto deviceFault = [&] (const std::string& step, const std::string& what, bool withExchangeReason = true)
    {
        const bool transient = isTransientFault (client);
        outcome.unitGone = !client.canHearDevice();
        return fail (step, transient ? "transient" : "device",
                     what + (withExchangeReason ? TransferEngine::exchangeReason (client, context.isCancelled()).toStdString()
                                                : std::string()),
                     transient);
    };
    const auto engineOptions = [&]
    {
        TransferEngine::Options options;
        options.cancel = context.cancel;
        options.verify = recipe.verify;
        options.progress = [this, slotName] (juce::int64 done, juce::int64 total) { progress (slotName, done, total); };
        return options;
    };

    if (!openSlotPort (context, slotName, outcome))
        return outcome;

    setStep (slotName, "identify");
    DeviceIdentity identity;
    if (client.whoAmI (identity) != 0)
        return deviceFault ("identify", "no answer to WhoAmI");
    record.identityBefore = identityText (identity);
    record.firmwareBefore = identity.firmwareVersion;
    {
        // Begun now, so that a station killed from here on leaves an interrupted attempt.
        const std::lock_guard<std::mutex> guard (recordsLock);
        const auto begun = records->begin (record);
        if (!begun.stored)
            return fail ("identify", "records", "the attempt could not be recorded: " + begun.reason.toStdString(), false);
        record.recordId = begun.recordId;
        outcome.begun = true;
    }
    if ((recipe.familyId && *recipe.familyId != identity.familyId)
        || (recipe.deviceId && *recipe.deviceId != identity.deviceId))
        return fail ("identify", "wrong kind",
                     "family " + hex4 (identity.familyId) + " device " + hex4 (identity.deviceId) + ", not family "
                         + (recipe.familyId ? hex4 (*recipe.familyId) : std::string ("any")) + " device "
                         + (recipe.deviceId ? hex4 (*recipe.deviceId) : std::string ("any")) + " as the recipe expects",
                     false);
    endStep (slotName, "identify", true, identityText (identity));

    // The MAC first: a unit already recorded under another name is left untouched.
    setStep (slotName, "mac");
    FileSystemEntryInfo info;
    if (client.getEntryInfo (DeviceMaintenance::macFilePath, false, info) != 0)
        return deviceFault ("mac", "can't look at the MAC-address file");
    if (info.exists == 0)
        return fail ("mac", "device", std::string ("the unit has no MAC-address file ") + DeviceMaintenance::macFilePath, false);
    if (info.size < 0 || info.size > maxMacFileSize)
        return fail ("mac", "device", "the MAC-address file is " + std::to_string (info.size) + " bytes, no MAC address", false);
    const auto macTemporary = settings.workFolder.getChildFile (
        "mac-" + uniqueSuffix() + ".txt");
    auto macOptions = engineOptions();
    macOptions.progress = {};
    const auto fetched = DeviceMaintenance::fetchMacFile (client, macTemporary.getFullPathName(), macOptions);
    juce::MemoryBlock macBytes;
    if (fetched.succeeded())
    {
        juce::FileInputStream in (macTemporary);
        if (in.openedOk())
            in.readIntoMemoryBlock (macBytes, maxMacFileSize + 1);
    }
    macTemporary.deleteFile();
    if (!fetched.succeeded())
        return deviceFault ("mac", "can't fetch the MAC-address file: " + fetched.reason.toStdString(), false);
    if ((juce::int64) macBytes.getSize() > maxMacFileSize)
        return fail ("mac", "device", "the MAC-address file grew past " + std::to_string (maxMacFileSize) + " bytes", false);
    outcome.stored.macFile.assign (static_cast<const char*> (macBytes.getData()), macBytes.getSize());
    if (StationRecords::normalisedMac (outcome.stored.macFile).empty())
        return fail ("mac", "device", "the MAC-address file holds no MAC address", false);
    {
        const std::lock_guard<std::mutex> guard (lock);
        slotTable[slotName]->view.mac = outcome.stored.macFile.substr (0, outcome.stored.macFile.find_first_of ("\r\n"));
    }
    StationRecords::Lookup earlier;
    {
        const std::lock_guard<std::mutex> guard (recordsLock);
        earlier = records->earlierPass (record.usbSerial, outcome.stored.macFile, record.recordId);
    }
    if (!earlier.read)
        return fail ("mac", "records", earlier.reason.toStdString(), false);
    if (!earlier.recordId.empty())
        return fail ("mac", "duplicate", earlier.reason.toStdString(), false);
    endStep (slotName, "mac", true, {});

    setStep (slotName, "flash");
    const auto generation = generationOf (slotName);
    const auto update = DeviceMaintenance::updateFirmware (client, recipe.image.getFullPathName(), recipe.force,
                                                           engineOptions());
    using U = DeviceMaintenance::UpdateResult;
    DeviceIdentity after = identity;
    switch (update.result)
    {
        case U::alreadyInstalled: endStep (slotName, "flash", true, "already installed"); break;
        case U::completed: endStep (slotName, "flash", true, {}); break;
        case U::badUpdateFile: return fail ("flash", "local", update.reason.toStdString(), false);
        case U::noMarkerAnswer:
        case U::sendFailed:
        case U::triggerFailed: return deviceFault ("flash", update.reason.toStdString(), false);
    }

    if (update.result == U::completed && recipe.followRestart)
    {
        setStep (slotName, "restart");
        closeSlotPort (context);
        bool replaced = false;
        const auto back = awaitReturn (slotName, record.usbSerial, generation, recipe.restartTimeoutMs, context.cancel,
                                       replaced);
        if (context.isCancelled())
        {
            fail ("restart", "interrupted", "stopped after the trigger; the unit finishes its update by itself", false);
            outcome.stored.result = StationRecords::Result::interrupted;
            return outcome;
        }
        if (replaced)
            return fail ("restart", "device", "another unit took the slot during the restart", false);
        if (back.isEmpty())
        {
            outcome.unitGone = true;
            return fail ("restart", "transient",
                         "the unit did not come back within " + std::to_string (recipe.restartTimeoutMs / 1000)
                             + " s after the trigger",
                         true);
        }
        endStep (slotName, "restart", true, {});
        if (!openSlotPort (context, slotName, outcome))
            return outcome;

        setStep (slotName, "check");
        if (client.whoAmI (after) != 0)
            return deviceFault ("check", "no answer to WhoAmI after the restart");
        juce::int64 handle = 0;
        if (client.openFile (DeviceMaintenance::firmwareMarkerPath, forReading, handle) == 0)
            client.closeFile (handle);
        else if (client.getLastExchangeOutcome() == TidewireClient::ExchangeOutcome::refused)
            return fail ("check", "device", "the firmware marker is missing after the restart", false);
        else
            return deviceFault ("check", "can't look for the firmware marker after the restart");
    }
    else
        setStep (slotName, "check");
    outcome.stored.identityAfter = identityText (after);
    outcome.stored.firmwareAfter = after.firmwareVersion;
    if (recipe.firmwareVersion && *recipe.firmwareVersion != after.firmwareVersion)
        return fail ("check", "version",
                     "firmware " + hex4 (after.firmwareVersion) + ", not " + hex4 (*recipe.firmwareVersion)
                         + " as the recipe expects",
                     false);
    endStep (slotName, "check", true, identityText (after));

    for (auto& step : recipe.files)
    {
        const auto name = (step.send ? "send " : "fetch ") + step.remote.toStdString();
        setStep (slotName, name);
        TransferEngine engine (client, engineOptions());
        OperationResult result;
        if (step.send)
            result = engine.send (juce::File (juce::String::fromUTF8 (step.local.c_str())), step.remote);
        else
        {
            const juce::File pattern (juce::String::fromUTF8 (step.local.c_str()));
            const auto fileName = Recipe::fillTemplate (pattern.getFileName().toStdString(), record.usbSerial, slotName,
                                                        StationRecords::normalisedMac (outcome.stored.macFile));
            if (fileName.empty())
                return fail (name, "local", "the name " + pattern.getFileName().toStdString() + " gives no usable file name", false);
            const auto target = pattern.getParentDirectory().getChildFile (juce::String::fromUTF8 (fileName.c_str()));
            target.getParentDirectory().createDirectory();
            result = engine.fetch (step.remote, target);
        }
        if (!result.succeeded())
        {
            if (isTransientFault (client))
                return deviceFault (name, result.reason.toStdString(), false);
            return fail (name, client.getLastExchangeOutcome() == TidewireClient::ExchangeOutcome::refused ? "device" : "local",
                         result.reason.toStdString(), false);
        }
        endStep (slotName, name, true, {});
    }

    outcome.stored.result = StationRecords::Result::passed;
    return outcome;
}
