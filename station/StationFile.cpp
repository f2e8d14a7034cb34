#include "station/StationFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <unistd.h>

using json = nlohmann::json;

StationFile StationFile::defaults()
{
    StationFile station;
    char host[256]{};
    station.stationId = ::gethostname (host, sizeof host - 1) == 0 && host[0] != '\0' ? host : "station";
    return station;
}

bool StationFile::isSlotName (const std::string& text)
{
    // bus "-" port, then "." port for every hub on the way
    const auto dash = text.find ('-');
    if (dash == 0 || dash == std::string::npos || text.size() > 64)
        return false;
    bool digitBefore = false;
    for (size_t i = 0; i < text.size(); ++i)
    {
        const char c = text[i];
        if (c >= '0' && c <= '9')
            digitBefore = true;
        else if ((c == '-' && i == dash) || (c == '.' && i > dash))
        {
            if (!digitBefore)
                return false;
            digitBefore = false;
        }
        else
            return false;
    }
    return digitBefore;
}

StationFile::Loaded StationFile::load (const juce::File& file)
{
    const auto where = "station file " + file.getFullPathName();
    if (!file.existsAsFile())
        return {false, {}, where + " is missing or not a file"};
    if (file.getSize() > 1024 * 1024)
        return {false, {}, where + " is too large"};

    json doc;
    try
    {
        doc = json::parse (file.loadFileAsString().toStdString());
    }
    catch (const json::exception& e)
    {
        return {false, {}, where + " is not valid JSON (" + juce::String (e.what()) + ")"};
    }
    if (!doc.is_object())
        return {false, {}, where + " is not a JSON object"};

    auto station = defaults();
    for (auto& [key, value] : doc.items())
    {
        if (key == "station_id" && value.is_string() && !value.get<std::string>().empty()
            && value.get<std::string>().size() <= 128)
            station.stationId = value.get<std::string>();
        else if (key == "only_these_slots" && value.is_boolean())
            station.onlyTheseSlots = value.get<bool>();
        else if (key == "slots" && value.is_array())
        {
            for (auto& entry : value)
            {
                if (!entry.is_object() || !entry.contains ("slot") || !entry["slot"].is_string()
                    || (entry.contains ("name") && !entry["name"].is_string()) || entry.size() > 2)
                    return {false, {}, where + ": \"slots\" must list objects with \"slot\" and \"name\""};
                Slot slot{entry["slot"].get<std::string>(), entry.value ("name", std::string())};
                if (!isSlotName (slot.slot))
                    return {false, {}, where + ": \"" + juce::String (slot.slot) + "\" is no USB slot (like 1-2.3)"};
                if (slot.nickname.size() > 64
                    || std::any_of (slot.nickname.begin(), slot.nickname.end(),
                                    [] (char c) { return (unsigned char) c < 0x20 || c == 0x7f; }))
                    return {false, {}, where + ": the name of slot " + juce::String (slot.slot) + " is too long or holds control characters"};
                if (!station.nicknameOf (slot.slot).empty() || std::any_of (station.slots.begin(), station.slots.end(),
                                                                             [&] (const Slot& s) { return s.slot == slot.slot; }))
                    return {false, {}, where + ": slot " + juce::String (slot.slot) + " is listed twice"};
                station.slots.push_back (slot);
            }
        }
        else
            return {false, {}, where + ": \"" + juce::String (key) + "\" is not a setting of the right kind here"};
    }
    if (station.onlyTheseSlots && station.slots.empty())
        return {false, {}, where + ": \"only_these_slots\" with no slots listed"};
    return {true, station, {}};
}

std::string StationFile::nicknameOf (const std::string& slot) const
{
    for (auto& s : slots)
        if (s.slot == slot)
            return s.nickname;
    return {};
}

bool StationFile::usesSlot (const std::string& slot) const
{
    return !onlyTheseSlots || std::any_of (slots.begin(), slots.end(), [&] (const Slot& s) { return s.slot == slot; });
}
