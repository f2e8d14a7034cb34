#pragma once

#include <juce_core/juce_core.h>

#include <string>
#include <vector>

/** Where a station stands: its ID and its slots, read from a small JSON file:

        {
          "station_id": "line-a-1",
          "slots": [ { "slot": "1-2", "name": "left 1" }, { "slot": "1-3", "name": "left 2" } ],
          "only_these_slots": true
        }

    A slot is a physical USB port as sysfs names it, so a unit is known by where it is
    plugged whatever tty it gets. Without a file (or without "station_id") the station is
    named after the host, and every slot that a unit shows up in is used. */
struct StationFile final
{
    struct Slot
    {
        std::string slot;     ///< e.g. "1-2.3"
        std::string nickname; ///< e.g. "left 1"; may be empty
    };

    std::string stationId;
    std::vector<Slot> slots; ///< in the order the station shows them
    bool onlyTheseSlots = false;

    struct Loaded;

    static Loaded load (const juce::File& file);

    /** The file's settings without a file: the host's name, every slot. */
    static StationFile defaults();

    /** The slot's nickname, or empty. */
    std::string nicknameOf (const std::string& slot) const;

    /** Whether a unit in this slot is the station's to process. */
    bool usesSlot (const std::string& slot) const;

    /** A slot name as sysfs writes them: "B-P[.P...]" with decimal numbers. */
    static bool isSlotName (const std::string& text);
};

struct StationFile::Loaded
{
    bool loaded = false;
    StationFile station;
    juce::String reason; ///< why not, in one line
};
