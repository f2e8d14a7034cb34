#pragma once

#include <juce_core/juce_core.h>

/** Paths on the device as nubo takes them from its command line: absolute, or relative
    to the device's home folder. */
class RemotePath final
{
public:
    static constexpr const char* home = "/mnt/nandfs/usr";

    /** Absolute, without a trailing "/"; a relative path is taken from the home folder. */
    static juce::String normalise (const juce::String& path);

    /** The last component. */
    static juce::String nameOf (const juce::String& path);

    static juce::String childOf (const juce::String& folder, const juce::String& name);

    /** Whether a name (from the device, or the last part of a path) can be one entry in
        a folder: nothing that climbs out of it, names a path or drives a terminal. */
    static bool isSafeName (const juce::String& name);

private:
    RemotePath() = delete;
};
