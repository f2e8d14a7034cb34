#pragma once

#include <juce_core/juce_core.h>

#include <sys/types.h>

/** build/bin/nubo run as a child process without a display: its arguments, its own
    standard output and error (kept in files), its exit status and how long it took. */
class NuboProcess final
{
public:
    /** Output files go into the folder; the device root is passed in NUBO_DEVICE_ROOT. */
    NuboProcess (juce::File workFolder, juce::File deviceRoot);
    ~NuboProcess();

    /** Starts nubo in the work folder; false when it could not be started. */
    bool start (const juce::StringArray& arguments);

    /** Waits for it to end (killing it after timeoutMs); the exit status, or -1 when killed. */
    int wait (int timeoutMs = 120000);

    void interrupt();

    juce::String standardOutput() const
    {
        return stdoutFile().loadFileAsString();
    }
    juce::String standardError() const
    {
        return stderrFile().loadFileAsString();
    }
    double seconds() const
    {
        return elapsedSeconds;
    }

    static juce::File executable();

private:
    juce::File stdoutFile() const
    {
        return work.getChildFile ("nubo.out");
    }
    juce::File stderrFile() const
    {
        return work.getChildFile ("nubo.err");
    }

    juce::File work, root;
    pid_t pid = -1;
    juce::uint32 startMs = 0;
    double elapsedSeconds = 0;
};
