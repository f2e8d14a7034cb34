#pragma once

#include <juce_core/juce_core.h>

/** Turns text from the device or the user into local paths without letting JUCE
    interpret it: a leading "~" never means a home folder, and a name from the
    device always stays one entry directly inside the folder it was meant for. */
class LocalPaths final
{
public:
    /** Whether a name can become one entry directly inside a local folder: not empty,
        not "." or "..", no separator ("/" or "\"), no control character, no leading "~"
        (which JUCE and every shell read as a home folder), at most NAME_MAX bytes. */
    static bool isSafeName (const juce::String& name);

    /** The entry of that name directly inside the folder, or juce::File() when the name
        is not safe or the result would not be a direct child of the folder. */
    static juce::File childOf (const juce::File& folder, const juce::String& name);

    /** A path as given: an absolute one stays as it is, a relative one is taken from the
        current folder. A leading "~" is a name like any other. Empty gives juce::File(). */
    static juce::File resolve (const juce::String& path);

    /** Whether the system can name the file: the whole path shorter than PATH_MAX and
        every name at most NAME_MAX bytes. */
    static bool fitsSystemLimits (const juce::File& file);

private:
    LocalPaths() = delete;
};
