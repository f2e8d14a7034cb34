#pragma once

#include <juce_core/juce_core.h>

/** Turns the device's local-time stamps into instants. The C library's mktime looks at
    the zone file on disk at every call (several file-system calls for each entry of a
    listing); this reads the zone's rules once and looks again at most once a second,
    so a changed zone is still noticed. Gives what mktime gives, except for a clock
    reading that occurs twice when the clocks go back and is written with out-of-range
    fields (mktime's pick then depends on its previous call). */
class LocalTimeZone final
{
public:
    /** The instant that reads as the given local time; fields out of range carry over
        as mktime's do (month 12 is January of the next year). Month counts from 0. */
    static juce::Time toTime (int year, int month, int day, int hours, int minutes);

    /** Reads the zone's rules again now (toTime does so by itself at most once a second). */
    static void reload();

private:
    LocalTimeZone() = delete;
};
