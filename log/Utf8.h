#pragma once

#include <juce_core/juce_core.h>

/** Text whose bytes come from outside (the device, sysfs, a settings file): whether it
    is UTF-8, and a text that stands for it when it is not. */
namespace Utf8
{
/** Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF. */
bool isValid (const juce::uint8* text, int numBytes);

/** The bytes read as UTF-8, each byte that does not belong to a valid sequence
    replaced by U+FFFD. */
juce::String withReplacements (const void* bytes, size_t numBytes);
} // namespace Utf8
