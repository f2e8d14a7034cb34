#pragma once

#include "station/Station.h"

#include <functional>
#include <string>

/** The station's text commands, as the control socket takes them: one command per line,
    one JSON document per answer, always with "ok" (and "error" when false):

        status                  the station, its totals and every slot
        start SLOT|all          process a held, waiting or stopped unit
        stop SLOT|all           bring a running unit to a safe stop; hold a waiting one
        retry SLOT              another attempt at a unit that did not pass
        results [SINCE]         the records that started since (ISO 8601 time or ms since the epoch)
        pause / resume          new units wait / go
        quit                    the station stops (as on Ctrl-C)

    A slot is named by its USB path or its nickname. A bad command changes nothing. */
class StationControl final
{
public:
    /** The answer to one line, without a line end. onQuit is called for quit. */
    static std::string answer (Station& station, const std::string& line, const std::function<void()>& onQuit);

    /** One slot as a JSON object text (the status answer's and the event lines' form). */
    static std::string slotJson (const Station::SlotView& slot);

    /** One record as a JSON object text. */
    static std::string recordJson (const StationRecords::Record& record);

    /** An event as one JSON line's text, without the line end. */
    static std::string eventJson (const Station::Event& event);

    /** A JSON string literal (quotes included) of the bytes; what is not UTF-8 stands as U+FFFD. */
    static std::string jsonString (const std::string& text);

    static constexpr size_t maxResultsPerAnswer = 1000;

private:
    StationControl() = delete;
};
