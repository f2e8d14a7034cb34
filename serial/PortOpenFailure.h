#pragma once

#include <juce_core/juce_core.h>

/** The log line that follows "Failed to open port": the device file, the system's
    reason for errorNumber (an errno value, as SerialPort::getOpenError gives it) and,
    where one helps, what to do about it. For a busy port it names the processes that
    hold the device open, as far as /proc shows them to this user. Empty when
    errorNumber is 0 (no port was named, so the system gave no reason). */
juce::String describePortOpenFailure (const juce::String& devicePath, int errorNumber);
