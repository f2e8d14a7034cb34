#pragma once

#include "log/ILogger.h"

/** The process-wide logger slot: empty at start, filled by the main pane.
    The protocol client, the device operations and port discovery log through it. */
ILogger* globalLogger();

/** Puts a logger into the slot (or empties it with nullptr). When this returns,
    no call into the previous logger is still running on another thread, so its
    owner may destroy it. */
void setGlobalLogger (ILogger* logger);

/** Hands the line to the calling thread's own logger (see ScopedLogContext), else to
    the logger in the slot, or drops it when the slot is empty. */
void globalLog (const juce::String& line);

/** True for the C0 and C1 control characters and DEL. */
bool isControlCharacter (juce::juce_wchar c);

/** The text with every control character written as \xNN, so that text from the
    device can never break a line of the log or drive the terminal behind it. */
juce::String escapeControlCharacters (const juce::String& text);
