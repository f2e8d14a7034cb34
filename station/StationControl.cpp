#include "station/StationControl.h"

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

namespace
{
std::string text (const Json& document)
{
    // The unit's bytes need not be UTF-8: what is not stands as U+FFFD.
    return document.dump (-1, ' ', false, Json::error_handler_t::replace);
}

Json slotObject (const Station::SlotView& s)
{
    Json slot;
    slot["slot"] = s.slot;
    slot["nickname"] = s.nickname;
    slot["tty"] = s.tty;
    slot["serial"] = s.usbSerial;
    slot["mac"] = s.mac;
    slot["state"] = Station::nameOf (s.state);
    slot["step"] = s.step;
    slot["done"] = s.done;
    slot["total"] = s.total;
    slot["attempt"] = s.attempt;
    slot["elapsed_ms"] = s.startedMs == 0 ? 0 : (s.endedMs != 0 ? s.endedMs : juce::Time::currentTimeMillis()) - s.startedMs;
    slot["reason"] = s.reason;
    slot["record_id"] = s.recordId;
    slot["line_check"] = s.lineCheck;
    return slot;
}

Json recordObject (const StationRecords::Record& record)
{
    const auto line = StationRecords::toJsonLines ({record});
    return Json::parse (line, nullptr, false);
}

Json failure (const std::string& why)
{
    return Json{{"ok", false}, {"error", why}};
}

Json answered (const Station::Answer& answer)
{
    return answer.ok ? Json{{"ok", true}, {"slots", answer.slots}} : failure (answer.error);
}

std::optional<juce::int64> timeOf (const std::string& since)
{
    if (since.empty())
        return 0;
    if (since.find_first_not_of ("0123456789") == std::string::npos && since.size() <= 15)
        return std::stoll (since);
    return StationRecords::parseIsoTime (since);
}
} // namespace

std::string StationControl::jsonString (const std::string& s)
{
    return text (Json (s));
}

std::string StationControl::slotJson (const Station::SlotView& slot)
{
    return text (slotObject (slot));
}

std::string StationControl::recordJson (const StationRecords::Record& record)
{
    return text (recordObject (record));
}

std::string StationControl::eventJson (const Station::Event& event)
{
    Json line;
    using K = Station::Event::Kind;
    switch (event.kind)
    {
        case K::unitAppeared: line["event"] = "unit_appeared"; break;
        case K::stepBegun: line["event"] = "step_begun"; break;
        case K::progress: line["event"] = "progress"; break;
        case K::stepEnded: line["event"] = "step_ended"; break;
        case K::unitDone: line["event"] = "unit_done"; break;
        case K::unitRemoved: line["event"] = "unit_removed"; break;
        case K::log: line["event"] = "log"; break;
    }
    line["time"] = StationRecords::isoTime (juce::Time::currentTimeMillis());
    line["slot"] = slotObject (event.slot);
    if (event.kind == K::stepBegun || event.kind == K::stepEnded)
        line["step"] = event.step;
    if (event.kind == K::stepEnded)
        line["ok"] = event.succeeded;
    if (!event.text.empty())
        line["detail"] = event.text;
    if (event.record)
        line["record"] = recordObject (*event.record);
    return text (line);
}

std::string StationControl::answer (Station& station, const std::string& rawLine, const std::function<void()>& onQuit)
{
    auto line = rawLine;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
        line.pop_back();
    const auto start = line.find_first_not_of (" \t");
    line = start == std::string::npos ? std::string() : line.substr (start);
    const auto space = line.find_first_of (" \t");
    const auto command = line.substr (0, space);
    auto argument = space == std::string::npos ? std::string() : line.substr (line.find_first_not_of (" \t", space));

    const auto needsArgument = [&] (const char* what) { return failure (command + " needs " + what); };

    Json reply;
    if (command == "status" && argument.empty())
    {
        const auto totals = station.totals();
        const auto& recipe = station.getRecipe();
        reply["ok"] = true;
        reply["station_id"] = station.getSettings().station.stationId;
        reply["recipe"] = Json{{"name", recipe.name}, {"sha256", recipe.sha256}, {"image_sha256", recipe.imageSha256}};
        reply["paused"] = station.isPaused();
        reply["totals"] = Json{{"passed", totals.passed},           {"failed", totals.failed},
                               {"duplicates", totals.duplicates},   {"refused", totals.refused},
                               {"interrupted", totals.interrupted}, {"running", totals.running},
                               {"units_per_hour", totals.unitsPerHour}};
        if (const auto line = station.lineState())
            reply["line"] = Json{{"connected", line->connected}, {"waiting", line->waiting}, {"last_error", line->lastError}};
        reply["slots"] = Json::array();
        for (auto& slot : station.slots())
            reply["slots"].push_back (slotObject (slot));
    }
    else if (command == "start" || command == "stop" || command == "retry")
    {
        if (argument.empty())
            reply = needsArgument (command == "retry" ? "a slot" : "a slot or all");
        else if (command == "retry" && argument == "all")
            reply = failure ("retry takes one slot at a time");
        else
            reply = answered (command == "start" ? station.start (argument)
                              : command == "stop" ? station.stop (argument)
                                                  : station.retry (argument));
    }
    else if (command == "results")
    {
        const auto since = timeOf (argument);
        if (!since)
            reply = failure ("results takes a time: 2024-05-01T12:00:00Z or milliseconds since 1970");
        else
        {
            const auto listed = station.results (*since);
            if (!listed.read)
                reply = failure (listed.reason.toStdString());
            else
            {
                reply["ok"] = true;
                reply["records"] = Json::array();
                for (size_t i = 0; i < listed.records.size() && i < maxResultsPerAnswer; ++i)
                    reply["records"].push_back (recordObject (listed.records[i]));
                reply["more"] = listed.records.size() > maxResultsPerAnswer;
                if (listed.records.size() > maxResultsPerAnswer)
                    reply["next_since"] = StationRecords::isoTime (listed.records[maxResultsPerAnswer].startMs);
            }
        }
    }
    else if ((command == "pause" || command == "resume" || command == "quit") && argument.empty())
    {
        if (command == "pause")
            station.pause();
        else if (command == "resume")
            station.resume();
        else if (onQuit)
            onQuit();
        reply["ok"] = true;
    }
    else if (command.empty())
        reply = failure ("empty command; commands: status, start, stop, retry, results, pause, resume, quit");
    else if (command == "status" || command == "pause" || command == "resume" || command == "quit")
        reply = failure (command + " takes no argument");
    else
        reply = failure ("unknown command \"" + command.substr (0, 64)
                         + "\"; commands: status, start, stop, retry, results, pause, resume, quit");
    return text (reply);
}
