#include "TestSupport.h"

#include <cstdlib>

CapturingLogger::CapturingLogger()
{
    setGlobalLogger (this);
}

CapturingLogger::~CapturingLogger()
{
    if (globalLogger() == this)
        setGlobalLogger (nullptr);
}

void CapturingLogger::log (juce::String line)
{
    {
        const juce::ScopedLock sl (lock);
        captured.add (line);
    }
    arrived.signal();
}

juce::StringArray CapturingLogger::lines() const
{
    const juce::ScopedLock sl (lock);
    return captured;
}

void CapturingLogger::clear()
{
    const juce::ScopedLock sl (lock);
    captured.clear();
}

bool CapturingLogger::contains (const juce::String& line) const
{
    return lines().contains (line);
}

bool CapturingLogger::waitForLine (const juce::String& line, int timeoutMs) const
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
    for (;;)
    {
        if (contains (line))
            return true;
        if (juce::Time::getMillisecondCounter() >= deadline)
            return false;
        juce::Thread::sleep (5);
    }
}

TempFolder::TempFolder()
{
    // mkdtemp, so test programs running side by side never share a folder.
    auto pattern = juce::File::getSpecialLocation (juce::File::tempDirectory)
                       .getChildFile ("nubo-test-XXXXXX")
                       .getFullPathName()
                       .toStdString();
    if (mkdtemp (pattern.data()) != nullptr)
        folder = juce::File (juce::String (pattern));
}

TempFolder::~TempFolder()
{
    if (folder != juce::File())
        folder.deleteRecursively (false);
}

DeviceSimulator::DeviceSimulator() : DeviceSimulatorProcess (executable())
{
}

juce::File DeviceSimulator::executable()
{
    return juce::File (NUBO_BIN_DIR).getChildFile ("nubo-devsim");
}

juce::MemoryBlock hexBytes (const juce::String& hex)
{
    juce::MemoryBlock block;
    block.loadFromHexString (hex.removeCharacters (" \n\t"));
    return block;
}

juce::File sampleDeviceFolder()
{
    return juce::File (NUBO_SOURCE_DIR).getChildFile ("tools/devsim/sample-device");
}

juce::int64 residentKilobytes (const char* field)
{
    juce::StringArray lines;
    lines.addLines (juce::File ("/proc/self/status").loadFileAsString());
    for (auto& line : lines)
        if (line.startsWith (field))
            return line.fromFirstOccurrenceOf (":", false, false).trim().getLargeIntValue();
    return -1;
}

#if defined(__has_feature)
 #if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  #define NUBO_TESTS_SANITIZED 1
 #endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
 #define NUBO_TESTS_SANITIZED 1
#endif

bool residentMemoryIsMeaningful()
{
#ifdef NUBO_TESTS_SANITIZED
    return false;
#else
    return true;
#endif
}
