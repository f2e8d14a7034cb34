#pragma once

#include <juce_core/juce_core.h>

/** A transfer's progress on the terminal's last line: bytes, percent, rate and time
    left, redrawn at most ten times a second. Draws nothing when disabled (standard
    error is no terminal, -q, several devices at once). */
class ProgressBar final
{
public:
    ProgressBar (juce::String label, bool enabled);

    /** Clears the line. */
    ~ProgressBar();

    /** Starts a new transfer under this label. */
    void start (const juce::String& newLabel, juce::int64 total);

    void update (juce::int64 done);

    /** Clears the line. */
    void finish();

    /** "12.3 MiB" and the like. */
    static juce::String formatBytes (juce::int64 bytes);

    /** The line for these figures; made separately so that it can be checked. */
    static juce::String render (const juce::String& label, juce::int64 done, juce::int64 total, double seconds,
                                int width);

private:
    juce::String label;
    const bool enabled;
    juce::int64 total = 0;
    juce::uint32 startMs = 0, lastDrawMs = 0;
    bool drawn = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ProgressBar)
};
