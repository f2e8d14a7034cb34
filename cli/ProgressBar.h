#pragma once

#include <juce_core/juce_core.h>

#include <mutex>

/** A transfer's progress on the terminal's last line: bytes, percent, rate and time
    left, redrawn at most ten times a second. Draws nothing when disabled (standard
    error is no terminal, or -q). Safe to update from any thread. */
class ProgressBar final
{
public:
    ProgressBar (juce::String label, bool enabled);

    /** Clears the line. */
    ~ProgressBar();

    /** Bytes moved so far of the total. A count that goes back (the next file) or a new
        total starts a new transfer: the rate counts from there. */
    void update (juce::int64 done, juce::int64 total);

    /** Clears the line. */
    void finish();

    /** "12.3 MiB" and the like. */
    static juce::String formatBytes (juce::int64 bytes);

    /** The line for these figures (the rate over the bytes moved in the given seconds);
        made separately so that it can be checked. */
    static juce::String render (const juce::String& label, juce::int64 done, juce::int64 total, double seconds,
                                int width, juce::int64 moved = -1);

private:
    const juce::String label;
    const bool enabled;

    std::mutex lock;
    juce::int64 total = -1, lastDone = 0, baseline = 0;
    juce::uint32 startMs = 0, lastDrawMs = 0;
    bool drawn = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ProgressBar)
};
