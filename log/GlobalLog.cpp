#include "log/GlobalLog.h"

#include "log/ScopedLogContext.h"

namespace
{
// Readers are the logging threads; the writer is whoever swaps the logger. The
// read lock is re-entrant, so a logger may log again from inside its own call.
juce::ReadWriteLock& slotLock()
{
    static juce::ReadWriteLock lock;
    return lock;
}

ILogger* slot = nullptr;
} // namespace

ILogger* globalLogger()
{
    const juce::ScopedReadLock sl (slotLock());
    return slot;
}

void setGlobalLogger (ILogger* logger)
{
    const juce::ScopedWriteLock sl (slotLock());
    slot = logger;
}

void globalLog (const juce::String& line)
{
    if (auto* own = ScopedLogContext::current())
    {
        own->log (line);
        return;
    }

    const juce::ScopedReadLock sl (slotLock());
    if (slot != nullptr)
        slot->log (line);
}

bool isControlCharacter (juce::juce_wchar c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

juce::String escapeControlCharacters (const juce::String& text)
{
    juce::String result;
    for (auto p = text.getCharPointer(); ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        if (isControlCharacter (c))
            result << "\\x" << juce::String::toHexString ((int) c).paddedLeft ('0', 2).toUpperCase();
        else
            result << juce::String::charToString (c);
    }
    return result;
}
