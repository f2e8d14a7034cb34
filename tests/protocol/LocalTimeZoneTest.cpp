#include "protocol/LocalTimeZone.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace
{
/** Sets the process's zone for one test and puts the previous one back. */
class ZoneScope final
{
public:
    explicit ZoneScope (const char* zone)
    {
        if (const auto* old = std::getenv ("TZ"))
            previous = old;
        ::setenv ("TZ", zone, 1);
        LocalTimeZone::reload();
    }

    ~ZoneScope()
    {
        if (previous.isEmpty())
            ::unsetenv ("TZ");
        else
            ::setenv ("TZ", previous.toRawUTF8(), 1);
        LocalTimeZone::reload();
    }

private:
    juce::String previous;
};

/** What the device's stamps were turned into before: JUCE's local-time constructor (mktime). */
juce::Time viaMktime (int year, int month, int day, int hours, int minutes)
{
    return juce::Time (year, month, day, hours, minutes, 0, 0, true);
}
} // namespace

// Every quarter hour of years with clock changes either side of UTC, half-hour shifts
// and midnight changes: the same instants as mktime, the hours that occur twice or
// never included.
TEST (LocalTimeZone, AgreesWithMktimeAcrossClockChanges)
{
    for (const auto* zone :
         {"Europe/Berlin", "America/New_York", "Australia/Lord_Howe", "America/Sao_Paulo", "Asia/Kolkata", "UTC"})
    {
        const ZoneScope scope (zone);
        int mismatches = 0;

        for (const int year : {1970, 1995, 2000, 2024, 2038})
            for (int month = 0; month < 12; ++month)
                for (int day = 1; day <= 31; ++day)
                    for (int hours = 0; hours < 24; ++hours)
                        for (int minutes = 0; minutes < 60; minutes += 15)
                        {
                            const auto expected = viaMktime (year, month, day, hours, minutes);
                            const auto actual = LocalTimeZone::toTime (year, month, day, hours, minutes);
                            if (actual != expected && ++mismatches <= 3)
                                ADD_FAILURE() << zone << " " << year << "-" << month + 1 << "-" << day << " " << hours
                                              << ":" << minutes << ": " << actual.toMilliseconds() << " instead of "
                                              << expected.toMilliseconds();
                        }

        EXPECT_EQ (mismatches, 0) << zone;
    }
}

// A device may send anything: fields out of range carry over as mktime's do.
TEST (LocalTimeZone, CarriesOverOutOfRangeFieldsAsMktimeDoes)
{
    const ZoneScope scope ("Europe/Berlin");

    for (const auto& f : std::vector<std::array<int, 5>>{{2024, 12, 1, 0, 0},
                                                         {2024, -1, 1, 0, 0},
                                                         {2024, 0, 0, 0, 0},
                                                         {2024, 1, 30, 25, 61},
                                                         {-32768, -128, -128, -128, -128},
                                                         {32767, 127, 127, 127, 127},
                                                         {1969, 11, 31, 23, 59}})
        EXPECT_EQ (LocalTimeZone::toTime (f[0], f[1], f[2], f[3], f[4]), viaMktime (f[0], f[1], f[2], f[3], f[4]))
            << f[0] << " " << f[1] << " " << f[2] << " " << f[3] << " " << f[4];
}

// The zone is read once, yet a change of zone is seen within about a second.
TEST (LocalTimeZone, NoticesAChangedZone)
{
    const ZoneScope scope ("UTC");
    EXPECT_EQ (LocalTimeZone::toTime (2024, 6, 1, 12, 0), juce::Time (2024, 6, 1, 12, 0, 0, 0, false));

    ::setenv ("TZ", "Asia/Kolkata", 1);
    juce::Thread::sleep (1100);
    EXPECT_EQ (LocalTimeZone::toTime (2024, 6, 1, 12, 0), juce::Time (2024, 6, 1, 6, 30, 0, 0, false));
}
