#include "cli/StationCommand.h"

#include "cli/CommandResult.h"
#include "cli/Console.h"
#include "cli/InterruptWatcher.h"
#include "log/GlobalLog.h"
#include "station/ControlServer.h"
#include "station/LineRecords.h"
#include "station/Station.h"
#include "station/StationControl.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <climits>
#include <poll.h>
#include <unistd.h>

namespace
{
juce::String text (const std::string& s)
{
    return juce::String::fromUTF8 (s.c_str());
}

/** Device text made safe for a terminal or a log line. */
juce::String shown (const std::string& s)
{
    return escapeControlCharacters (text (s));
}

juce::String fitted (const juce::String& s, int width)
{
    return s.length() > width ? s.substring (0, width - 1) + "~" : s.paddedRight (' ', width);
}

juce::String elapsed (juce::int64 ms)
{
    const auto seconds = ms / 1000;
    return juce::String (seconds / 60) + ":" + juce::String (seconds % 60).paddedLeft ('0', 2);
}

juce::String labelOf (const Station::SlotView& slot)
{
    return slot.nickname.empty() ? shown (slot.slot) : shown (slot.nickname) + " (" + shown (slot.slot) + ")";
}

/** Lines for standard output, written by a thread of their own: a reader that falls
    behind (a pipe nobody empties) must not hold up the units' workers, whose events
    these are. Past a bound, progress lines are dropped first, then everything but the
    records' lines, and the count of what was dropped is said at the end. */
class OutputQueue final
{
public:
    OutputQueue() : writer ([this] { run(); }) {}

    ~OutputQueue()
    {
        finish();
    }

    void push (std::string line, bool droppable)
    {
        {
            const std::lock_guard<std::mutex> guard (lock);
            if ((droppable && queue.size() >= softLimit) || queue.size() >= hardLimit)
            {
                ++dropped;
                return;
            }
            queue.push_back (std::move (line));
        }
        wake.notify_one();
    }

    /** Writes what is queued (for at most a few seconds: a reader that never reads does
        not keep the station from ending) and stops the thread; the lines dropped. */
    size_t finish()
    {
        {
            const std::lock_guard<std::mutex> guard (lock);
            if (finished)
                return dropped;
            finished = true;
            giveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds (5);
        }
        wake.notify_one();
        writer.join();
        return dropped;
    }

    /** Why standard output could not be written, or empty. */
    juce::String failure() const
    {
        return writeError == 0 ? juce::String() : "can't write standard output: " + juce::String (std::strerror (writeError));
    }

private:
    void run()
    {
        const int fd = Console::getResultDescriptor();
        std::unique_lock<std::mutex> guard (lock);
        for (;;)
        {
            wake.wait (guard, [this] { return !queue.empty() || finished; });
            if (queue.empty())
                break;
            auto line = std::move (queue.front()) + '\n';
            queue.pop_front();
            guard.unlock();
            const bool written = fd >= 0 && writeAll (fd, line);
            guard.lock();
            if (!written)
            {
                dropped += queue.size() + 1;
                queue.clear();
                if (finished || writeError != 0)
                    break;
            }
        }
    }

    /** Writes in pieces the pipe takes whole once poll says it has room, so that the
        thread can give up on a reader that never reads. */
    bool writeAll (int fd, const std::string& bytes)
    {
        for (size_t done = 0; done < bytes.size();)
        {
            pollfd p{fd, POLLOUT, 0};
            const int ready = ::poll (&p, 1, 100);
            if (ready < 0 && errno != EINTR)
                return false;
            if (ready <= 0)
            {
                const std::lock_guard<std::mutex> guard (lock);
                if (finished && std::chrono::steady_clock::now() > giveUpAt)
                    return false;
                continue;
            }
            const auto n = ::write (fd, bytes.data() + done, std::min<size_t> (bytes.size() - done, PIPE_BUF));
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
            {
                writeError = n < 0 ? errno : EIO;
                return false;
            }
            done += (size_t) n;
        }
        return true;
    }

    static constexpr size_t softLimit = 10000, hardLimit = 100000;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::string> queue;
    size_t dropped = 0;
    bool finished = false;
    std::chrono::steady_clock::time_point giveUpAt;
    std::atomic<int> writeError{0};
    std::thread writer; // last: started once the rest is there
};

/** How the station is shown: a table redrawn in place on a terminal, one line per event
    otherwise, or one JSON object per event. Events come from the station's threads. */
class StationOutput final
{
public:
    enum class Mode
    {
        table,
        plain,
        json
    };

    StationOutput (Mode m, bool showLog) : mode (m), verbose (showLog) {}

    void event (const Station::Event& e)
    {
        using K = Station::Event::Kind;
        if (e.kind == K::log)
        {
            // The units' protocol logs, with -v: on standard error, each line with its slot.
            if (verbose)
                Console::err ("[" + labelOf (e.slot) + "] " + shown (e.text));
            return;
        }
        if (mode == Mode::json)
        {
            lines.push (StationControl::eventJson (e), e.kind == K::progress);
            return;
        }

        juce::String what;
        switch (e.kind)
        {
            case K::unitAppeared:
                what = "unit " + shown (e.slot.usbSerial) + " appeared on " + shown (e.slot.tty)
                       + (e.slot.state == Station::SlotState::held ? juce::String (", held until started") : juce::String());
                break;
            case K::stepBegun: what = shown (e.step) + "..."; break;
            case K::stepEnded:
                what = shown (e.step) + (e.succeeded ? " done" : " failed") + (e.text.empty() ? "" : ": " + shown (e.text));
                break;
            case K::progress:
                // A line for every quarter of the way; the table shows the rest.
                if (e.slot.total <= 0 || (e.slot.done * 4 / e.slot.total) == lastQuarter (e.slot.slot))
                    return;
                lastQuarter (e.slot.slot) = e.slot.done * 4 / e.slot.total;
                what = shown (e.slot.step) + " " + juce::String (e.slot.done * 100 / e.slot.total) + "%";
                break;
            case K::unitDone:
                if (!e.record)
                    return;
                what = juce::String ("attempt ") + juce::String (e.record->attemptNumber) + " "
                       + StationRecords::nameOf (e.record->result) + ": unit " + shown (e.record->usbSerial)
                       + (e.slot.mac.empty() ? "" : ", MAC " + shown (e.slot.mac))
                       + (e.record->failureReason.empty() ? "" : ", " + shown (e.record->failureReason))
                       + (e.record->lineCheck == "local only" ? juce::String (", checked locally only") : juce::String())
                       + ", record " + text (e.record->recordId);
                break;
            case K::unitRemoved: what = "unit removed"; break;
            case K::log: return;
        }
        const auto entry = juce::Time::getCurrentTime().toString (false, true, true, true) + " " + labelOf (e.slot) + ": " + what;
        if (mode == Mode::plain)
            lines.push (entry.toStdString(), e.kind == K::progress);
        else if (e.kind == K::unitDone || e.kind == K::unitAppeared || e.kind == K::unitRemoved
                 || (e.kind == K::stepEnded && !e.succeeded))
        {
            const std::lock_guard<std::mutex> guard (lock);
            recent.push_back (entry);
            while (recent.size() > recentLines)
                recent.pop_front();
        }
    }

    /** Plain and JSON: a line of its own. */
    void line (const std::string& s)
    {
        lines.push (s, false);
    }

    /** Writes the lines still queued; how many had to be dropped. */
    size_t finish()
    {
        return lines.finish();
    }

    juce::String failure() const
    {
        return lines.failure();
    }

    /** The table, drawn over the last one. */
    void redraw (const Station& station, const juce::String& heading)
    {
        if (mode != Mode::table)
            return;
        const auto now = juce::Time::currentTimeMillis();
        juce::StringArray rows;
        const auto row = [&rows] (const juce::String& s) { rows.add (s); };
        row (heading);
        row ("");
        row (fitted ("NAME", 12) + fitted ("SLOT", 10) + fitted ("TTY", 9) + fitted ("SERIAL", 16) + fitted ("STEP", 14)
             + fitted ("PROGRESS", 27) + fitted ("TIME", 7) + "RESULT");
        for (auto& s : station.slots())
        {
            juce::String bar;
            if (s.total > 0 && s.state == Station::SlotState::running)
            {
                const int filled = (int) juce::jlimit<juce::int64> (0, 20, s.done * 20 / s.total);
                bar = "[" + juce::String::repeatedString ("#", filled) + juce::String::repeatedString (".", 20 - filled)
                      + "] " + juce::String (s.done * 100 / s.total).paddedLeft (' ', 3) + "%";
            }
            const auto time = s.startedMs == 0 ? juce::String() : elapsed ((s.endedMs != 0 ? s.endedMs : now) - s.startedMs);
            juce::String result = Station::nameOf (s.state);
            if (!s.reason.empty() && s.state != Station::SlotState::running)
                result << ": " << shown (s.reason);
            if (s.lineCheck == "local only" && s.state != Station::SlotState::running)
                result << " (checked locally only)";
            row (fitted (shown (s.nickname), 12) + fitted (shown (s.slot), 10) + fitted (shown (s.tty), 9)
                 + fitted (shown (s.usbSerial), 16) + fitted (shown (s.step), 14) + fitted (bar, 27) + fitted (time, 7)
                 + result.substring (0, 60));
        }
        const auto t = station.totals();
        row ("");
        row ("passed " + juce::String (t.passed) + "   failed " + juce::String (t.failed) + "   duplicates "
             + juce::String (t.duplicates) + "   refused " + juce::String (t.refused) + "   interrupted "
             + juce::String (t.interrupted) + "   running " + juce::String (t.running) + "   "
             + juce::String (t.unitsPerHour, 1) + " units/hour" + (station.isPaused() ? "   PAUSED" : ""));
        if (const auto line = station.lineState())
            row (line->connected ? "line database: connected, " + juce::String (line->waiting) + " records waiting"
                                 : "line database: AWAY, " + juce::String (line->waiting) + " records waiting ("
                                       + shown (line->lastError).substring (0, 100) + "); units checked locally only");
        row ("");
        {
            const std::lock_guard<std::mutex> guard (lock);
            for (size_t i = 0; i < recentLines; ++i)
                row (i < recent.size() ? recent[i].substring (0, 160) : juce::String());
        }
        row ("type a command and Enter: start SLOT|all, stop SLOT|all, retry SLOT, pause, resume, quit");

        // The typed command stays where it is being typed, below the table, unless the
        // table grew (a new slot) or a command was just taken.
        juce::String screen;
        const bool whole = first || rows.size() != drawnRows || redrawWhole;
        screen << (whole ? (first ? "\x1b[2J\x1b[H" : "\x1b[H") : "\x1b" "7\x1b[H");
        for (auto& r : rows)
            screen << r << "\x1b[K\n";
        screen << (whole ? "\x1b[J> " : "\x1b" "8");
        first = redrawWhole = false;
        drawnRows = rows.size();
        const auto bytes = screen.toStdString();
        Console::outRaw (bytes.data(), bytes.size());
    }

    /** A command typed on the terminal and its answer, for the lines under the table. */
    void typed (const std::string& command, const std::string& answer)
    {
        {
            const std::lock_guard<std::mutex> guard (lock);
            recent.push_back ("> " + shown (command) + "  " + shown (answer));
            while (recent.size() > recentLines)
                recent.pop_front();
        }
        redrawWhole = true;
    }

private:
    static constexpr size_t recentLines = 8;

    juce::int64& lastQuarter (const std::string& slot)
    {
        const std::lock_guard<std::mutex> guard (lock);
        return quarters[slot];
    }

    const Mode mode;
    const bool verbose;
    OutputQueue lines;
    std::mutex lock;
    std::deque<juce::String> recent;
    std::map<std::string, juce::int64> quarters;
    bool first = true, redrawWhole = false;
    int drawnRows = 0;
};

/** Commands typed on the terminal, a line at a time, without blocking. */
class TypedCommands final
{
public:
    TypedCommands() : open (::isatty (STDIN_FILENO) == 1) {}

    /** Waits up to timeoutMs for input; the lines completed meanwhile. */
    std::vector<std::string> wait (int timeoutMs)
    {
        std::vector<std::string> lines;
        if (!open)
        {
            juce::Thread::sleep (timeoutMs);
            return lines;
        }
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll (&p, 1, timeoutMs) <= 0)
            return lines;
        char buffer[1024];
        const auto n = ::read (STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0)
        {
            open = n < 0 && (errno == EINTR || errno == EAGAIN);
            return lines;
        }
        pending.append (buffer, (size_t) n);
        for (auto end = pending.find ('\n'); end != std::string::npos; end = pending.find ('\n'))
        {
            lines.push_back (pending.substr (0, end));
            pending.erase (0, end + 1);
        }
        if (pending.size() > 4096)
            pending.clear();
        return lines;
    }

private:
    bool open;
    std::string pending;
};

/** A folder of the station's own for the copy of the image and the files on their way. */
juce::File makeWorkFolder()
{
    const char* tmp = std::getenv ("TMPDIR");
    std::string pattern = std::string (tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/nubo-station-XXXXXX";
    return ::mkdtemp (pattern.data()) != nullptr ? juce::File (text (pattern)) : juce::File();
}

std::optional<juce::int64> parseTime (const std::string& given, juce::int64 fallback)
{
    if (given.empty())
        return fallback;
    if (auto parsed = StationRecords::parseIsoTime (given))
        return parsed;
    // A date alone: its midnight, UTC.
    if (auto parsed = StationRecords::parseIsoTime (given + "T00:00:00Z"))
        return parsed;
    return std::nullopt;
}
} // namespace

bool StationCommand::isLineDatabase (const std::string& database)
{
    if (database.rfind ("postgresql://", 0) == 0 || database.rfind ("postgres://", 0) == 0)
        return true;
    // key=value ...: the first word a libpq keyword (a file called so is named ./like=this).
    const auto equals = database.find ('=');
    return equals != std::string::npos && equals > 0
           && database.find_first_not_of ("abcdefghijklmnopqrstuvwxyz_") == equals;
}

int StationCommand::run (const Options& o)
{
    auto station = StationFile::defaults();
    if (!o.stationFile.empty())
    {
        const auto loaded = StationFile::load (juce::File::getCurrentWorkingDirectory().getChildFile (text (o.stationFile)));
        if (!loaded.loaded)
        {
            Console::error (loaded.reason);
            return ExitStatus::failed;
        }
        station = loaded.station;
    }

    const bool line = isLineDatabase (o.database);
    const auto local = line ? o.journal : (o.journal.empty() ? o.database : std::string());
    if (!line && !o.journal.empty())
    {
        Console::error ("--journal goes with a line's database in --db (postgresql://...)");
        return ExitStatus::usage;
    }
    const auto database = local.empty() ? StationRecords::defaultFile()
                                        : juce::File::getCurrentWorkingDirectory().getChildFile (text (local));
    if (!database.getParentDirectory().createDirectory())
    {
        Console::error ("can't create the folder " + database.getParentDirectory().getFullPathName());
        return ExitStatus::failed;
    }

    const auto workFolder = makeWorkFolder();
    if (workFolder == juce::File())
    {
        Console::error ("can't create a temporary folder: " + juce::String (std::strerror (errno)));
        return ExitStatus::failed;
    }
    struct FolderRemover
    {
        juce::File folder;
        ~FolderRemover() { folder.deleteRecursively(); }
    } removeWorkFolder{workFolder};

    const auto recipe = Recipe::load (juce::File::getCurrentWorkingDirectory().getChildFile (text (o.recipe)), workFolder);
    if (recipe.recipe == nullptr)
    {
        Console::error (recipe.reason);
        return ExitStatus::failed;
    }

    const auto mode = o.json ? StationOutput::Mode::json
                      : ::isatty (STDOUT_FILENO) == 1 ? StationOutput::Mode::table
                                                      : StationOutput::Mode::plain;
    StationOutput output (mode, o.verbose);

    Station::Settings settings;
    settings.recipe = recipe.recipe;
    settings.station = station;
    settings.database = database;
    settings.workFolder = workFolder;
    settings.operatorName = o.operatorName;
    settings.programVersion = o.programVersion;
    settings.holdPresentAtStart = !o.startHeld;
    if (line)
        settings.lineDatabase = o.database;
    auto created = Station::create (settings, [&output] (const Station::Event& e) { output.event (e); });
    if (created.station == nullptr)
    {
        Console::error (created.reason);
        return ExitStatus::failed;
    }
    if (created.interruptedFound > 0 && !o.quiet)
        Console::error (juce::String (created.interruptedFound) + " attempt(s) left running by a station that was "
                        "stopped short are now marked interrupted");

    juce::WaitableEvent wake;
    std::atomic<bool> quitAsked{false};
    auto& running = *created.station;
    const auto handler = [&running, &quitAsked, &wake] (const std::string& line)
    {
        return StationControl::answer (running, line, [&quitAsked, &wake]
                                       {
                                           quitAsked = true;
                                           wake.signal();
                                       });
    };
    ControlServer::Started control;
    juce::String controlName = "none";
    if (!o.noSocket)
    {
        if (o.tcpPort >= 0)
            control = ControlServer::listenLoopback (o.tcpPort, handler);
        else
            control = ControlServer::listenUnix (
                juce::File::getCurrentWorkingDirectory().getChildFile (
                    text (o.socketPath.empty() ? database.getFullPathName().toStdString() + ".sock" : o.socketPath)),
                handler);
        if (control.server == nullptr)
        {
            Console::error ("control socket: " + control.reason);
            return ExitStatus::failed;
        }
        controlName = o.tcpPort >= 0 ? "127.0.0.1:" + juce::String (control.server->getPort())
                                     : control.server->getSocketPath().getFullPathName();
    }

    const InterruptWatcher::ScopedToken interrupt;
    interrupt.get().onCancel ([&wake] { wake.signal(); });

    const auto& r = *recipe.recipe;
    const auto heading = "station " + shown (station.stationId) + "   recipe " + shown (r.name) + " (sha256 "
                         + text (r.sha256.substr (0, 16)) + ")   image " + r.sourceImage.getFileName() + " ("
                         + juce::String (r.imageSize) + " bytes, sha256 " + text (r.imageSha256.substr (0, 16))
                         + ")   control " + controlName;
    if (mode == StationOutput::Mode::json)
    {
        output.line ("{\"event\":\"station_started\",\"station_id\":" + StationControl::jsonString (station.stationId)
                     + ",\"recipe\":{\"name\":" + StationControl::jsonString (r.name) + ",\"sha256\":\"" + r.sha256
                     + "\",\"image_sha256\":\"" + r.imageSha256 + "\"},\"database\":"
                     + StationControl::jsonString (database.getFullPathName().toStdString()) + ",\"control\":"
                     + StationControl::jsonString (controlName.toStdString()) + "}");
    }
    else if (mode == StationOutput::Mode::plain)
    {
        output.line (heading.toStdString());
        output.line ("recipe sha256 " + r.sha256 + ", image sha256 " + r.imageSha256 + ", records in "
                     + database.getFullPathName().toStdString());
    }

    running.begin();
    TypedCommands commands;
    while (!interrupt.get().isCancelled() && !quitAsked)
    {
        output.redraw (running, heading);
        if (mode != StationOutput::Mode::table)
        {
            wake.wait (250);
            continue;
        }
        for (auto& command : commands.wait (250))
            if (command.find_first_not_of (" \t\r") != std::string::npos)
                output.typed (command, handler (command));
    }

    if (mode != StationOutput::Mode::json && !o.quiet)
        Console::err (running.isRunning() ? "stopping: the running units are brought to a safe stop..." : "stopping");
    control.server.reset(); // no more commands
    running.shutDown();
    output.redraw (running, heading);

    const auto t = running.totals();
    if (mode == StationOutput::Mode::json)
        output.line ("{\"event\":\"station_stopped\",\"passed\":" + std::to_string (t.passed) + ",\"failed\":"
                     + std::to_string (t.failed) + ",\"duplicates\":" + std::to_string (t.duplicates) + ",\"refused\":"
                     + std::to_string (t.refused) + ",\"interrupted\":" + std::to_string (t.interrupted) + "}");
    else if (!o.quiet)
        Console::err ("station stopped: " + juce::String (t.passed) + " passed, " + juce::String (t.failed) + " failed, "
                      + juce::String (t.duplicates) + " duplicates, " + juce::String (t.refused) + " refused, "
                      + juce::String (t.interrupted) + " interrupted");
    created.station.reset();
    const auto dropped = output.finish();
    if (const auto failure = output.failure(); failure.isNotEmpty())
    {
        Console::error (failure);
        return interrupt.get().isCancelled() ? ExitStatus::interrupted : ExitStatus::failed;
    }
    if (dropped > 0)
        Console::error (juce::String ((juce::int64) dropped) + " event lines were dropped: standard output was not read in time");
    return interrupt.get().isCancelled() ? ExitStatus::interrupted : ExitStatus::success;
}

int StationCommand::report (const ReportOptions& o)
{
    const auto from = parseTime (o.from, 0);
    const auto to = parseTime (o.to, std::numeric_limits<juce::int64>::max());
    if (!from || !to)
    {
        Console::error ("--from and --to take a time such as 2024-05-01 or 2024-05-01T12:00:00Z");
        return ExitStatus::usage;
    }
    if (o.format != "csv" && o.format != "jsonl")
    {
        Console::error ("--format is csv or jsonl");
        return ExitStatus::usage;
    }
    StationRecords::Counted counted;
    StationRecords::Listed listed;
    if (isLineDatabase (o.database))
    {
        auto line = LineRecords::connect (o.database);
        if (line.records == nullptr)
        {
            Console::error (line.reason);
            return ExitStatus::failed;
        }
        counted = line.records->countsBetween (*from, *to, o.stationId);
        if (counted.read && !o.countsOnly)
            listed = line.records->recordsBetween (*from, *to, o.stationId);
    }
    else
    {
        if (!o.stationId.empty())
        {
            Console::error ("--station-id works on a line's database; a station's own file holds its records alone");
            return ExitStatus::usage;
        }
        const auto database = o.database.empty()
                                  ? StationRecords::defaultFile()
                                  : juce::File::getCurrentWorkingDirectory().getChildFile (text (o.database));
        if (!database.existsAsFile())
        {
            Console::error ("no records at " + database.getFullPathName());
            return ExitStatus::failed;
        }
        auto opened = StationRecords::openBeside (database);
        if (opened.records == nullptr)
        {
            Console::error (opened.reason);
            return ExitStatus::failed;
        }
        counted = opened.records->countsBetween (*from, *to);
        if (counted.read && !o.countsOnly)
            listed = opened.records->recordsBetween (*from, *to);
    }
    if (!counted.read)
    {
        Console::error (counted.reason);
        return ExitStatus::failed;
    }
    if (!o.countsOnly)
    {
        if (!listed.read)
        {
            Console::error (listed.reason);
            return ExitStatus::failed;
        }
        const auto document = o.format == "csv" ? StationRecords::toCsv (listed.records)
                                                : StationRecords::toJsonLines (listed.records);
        Console::outRaw (document.data(), document.size());
    }
    const auto& c = counted.counts;
    const auto countsLine = "passed " + juce::String (c.passed) + ", failed " + juce::String (c.failed) + ", duplicates "
                  + juce::String (c.duplicates) + ", refused " + juce::String (c.refused) + ", interrupted "
                  + juce::String (c.interrupted) + ", running " + juce::String (c.running) + "; "
                  + juce::String (c.unitsPerHour, 1) + " units per hour";
    if (o.countsOnly)
        Console::out (countsLine);
    else
        Console::err (countsLine);
    return ExitStatus::success;
}
