#pragma once

#include <juce_core/juce_core.h>

/** Which part of this program holds which port: the window's Connection tab and its
    station may both reach for the same device, and the port's own lock does not keep a
    process from itself. A claim is by device path, as resolved through links, so that
    /dev/serial/by-id/... and /dev/ttyACM0 are the same port. */
class PortClaims final
{
public:
    /** Claims the port for holder (e.g. "the Connection tab"): empty when it is now the
        holder's (or was already), else the name of whoever holds it. */
    static juce::String claim (const juce::String& devicePath, const juce::String& holder);

    /** Gives up the holder's claim on the port; nothing when the holder has none. */
    static void release (const juce::String& devicePath, const juce::String& holder);

    /** Who holds the port, or empty. */
    static juce::String holderOf (const juce::String& devicePath);

private:
    PortClaims() = delete;
};
