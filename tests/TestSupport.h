#pragma once

#include "log/GlobalLog.h"
#include "tools/common/DeviceSimulatorProcess.h"

#include <juce_core/juce_core.h>


/** Collects every line sent to globalLog while it lives; thread-safe. */
class CapturingLogger final : public ILogger
{
public:
    CapturingLogger();
    ~CapturingLogger() override;

    void log (juce::String line) override;

    juce::StringArray lines() const;
    void clear();
    bool contains (const juce::String& line) const;

    /** Waits until a line equal to the given text has been logged. */
    bool waitForLine (const juce::String& line, int timeoutMs) const;

private:
    juce::CriticalSection lock;
    juce::StringArray captured;
    juce::WaitableEvent arrived { true };
};

/** A fresh empty folder under the system's temporary folder, removed with the object. */
class TempFolder final
{
public:
    TempFolder();
    ~TempFolder();

    const juce::File& get() const { return folder; }
    juce::File operator/ (const juce::String& relative) const { return folder.getChildFile (relative); }

private:
    juce::File folder;
};

/** nubo-devsim from this build. */
class DeviceSimulator final : public DeviceSimulatorProcess
{
public:
    DeviceSimulator();

    static juce::File executable();
};

/** Bytes written by hand, as in the message tables: hexBytes ("01 00 04000000"). */
juce::MemoryBlock hexBytes (const juce::String& hex);

/** The folder of the sample device's file system kept in the repository. */
juce::File sampleDeviceFolder();

/** Kilobytes of this process's resident memory: now ("VmRSS:") or at its peak ("VmHWM:"). */
juce::int64 residentKilobytes (const char* field);

/** False in a sanitizer build, whose allocator keeps freed memory aside and pads every
    block: there a bound on resident memory says nothing about the program's own use. */
bool residentMemoryIsMeaningful();
