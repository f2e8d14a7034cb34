#include "protocol/LocalTimeZone.h"

#include <atomic>
#include <ctime>

namespace
{
constexpr juce::uint32 reloadIntervalMs = 1000;
std::atomic<juce::uint32> lastReload{0};
std::atomic<bool> loaded{false};

/** Reads the zone again when it may have changed; localtime_r alone never does. */
void reloadWhenDue()
{
    const auto now = juce::Time::getMillisecondCounter();
    if (loaded.load() && now - lastReload.load() < reloadIntervalMs)
        return;

    LocalTimeZone::reload();
}

bool offsetAt (time_t instant, long& offset)
{
    std::tm local{};
    if (::localtime_r (&instant, &local) == nullptr)
        return false;
    offset = local.tm_gmtoff;
    return true;
}
} // namespace

void LocalTimeZone::reload()
{
    ::tzset();
    lastReload = juce::Time::getMillisecondCounter();
    loaded = true;
}

juce::Time LocalTimeZone::toTime (int year, int month, int day, int hours, int minutes)
{
    reloadWhenDue();

    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month;
    fields.tm_mday = day;
    fields.tm_hour = hours;
    fields.tm_min = minutes;

    // The reading as if it were UTC, then shifted by the zone's offset. Offsets change
    // at most once in any two days, so the ones a day before and a day after are the
    // only candidates.
    const auto asUtc = ::timegm (&fields);
    long before = 0, after = 0;
    if (asUtc == (time_t) -1 || !offsetAt (asUtc - 86400, before) || !offsetAt (asUtc + 86400, after))
        return juce::Time (-1000); // what mktime's failure (-1 seconds) gives

    const auto early = asUtc - before, late = asUtc - after;
    time_t instant = early;

    if (before != after)
    {
        long offset = 0;
        const auto earlyFits = offsetAt (early, offset) && offset == before;
        const auto lateFits = offsetAt (late, offset) && offset == after;

        // Clocks went back: the reading occurs twice, the first is taken. Clocks went
        // forward: the reading never occurs and is taken with the offset before.
        if (earlyFits && lateFits)
            instant = juce::jmin (early, late);
        else if (lateFits)
            instant = late;
    }

    return juce::Time ((juce::int64) instant * 1000);
}
