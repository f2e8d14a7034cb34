#pragma once

#include <juce_core/juce_core.h>

/** Paths on the device as nubo takes them from its command line: absolute, or relative
    to the device's home folder. */
class RemotePath final
{
public:
    static constexpr const char* home = "/mnt/nandfs/usr";

    /** The folder that holds the device's whole file system. */
    static constexpr const char* fileSystemRoot = "/mnt/nandfs";

    /** Absolute, without "." or ".." components, repeated "/" or a trailing "/"; a
        relative path is taken from the home folder. ".." at "/" stays at "/", so every
        spelling of a folder comes out as the one text that the checks compare. */
    static juce::String normalise (const juce::String& path);

    /** Whether a path as given names nothing: empty, or white space alone (an unset shell
        variable). Such a path must never be taken for the home folder. */
    static bool isBlank (const juce::String& path);

    /** Whether a path as given ends in "/", i.e. must name an existing folder. */
    static bool namesFolder (const juce::String& path);

    /** Whether removing (or moving away) the normalised path would take the device's
        file system with it: "/", "/mnt" and "/mnt/nandfs". */
    static bool holdsFileSystem (const juce::String& normalisedPath);

    /** The last component. */
    static juce::String nameOf (const juce::String& path);

    static juce::String childOf (const juce::String& folder, const juce::String& name);

    /** Whether a name from the device stands for one entry of its folder, so that asking
        about it cannot be answered for another ("..", "a/b", "" would be); unlike
        isSafeName, control characters and a leading "~" are fine here. */
    static bool namesOneEntry (const juce::String& name);

    /** Whether a name (from the device, or the last part of a path) can be one entry in
        a folder: nothing that climbs out of it, names a path or drives a terminal. The
        same rule as for local names, as a name from the device may become either. */
    static bool isSafeName (const juce::String& name);

private:
    RemotePath() = delete;
};
