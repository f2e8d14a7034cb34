#pragma once

#include <juce_core/juce_core.h>

/** The facts about one remote entry, as a FileSystemEntryInfoResponse carries them. */
struct FileSystemEntryInfo
{
    juce::String name;
    juce::uint8 exists = 0;
    juce::int64 size = 0;
    juce::uint8 writable = 0; // the wire carries read-only; stored inverted
    juce::uint8 flag = 0;
    juce::Time time1;
    juce::Time modified;
    juce::Time time3;

    /** Back to the cleared record: empty name, zero flags and size, the zero time. */
    void clear() { *this = FileSystemEntryInfo(); }
};
