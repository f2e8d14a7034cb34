#pragma once

#include <juce_core/juce_core.h>

#include <sys/types.h>

/** build/bin/nubo run as a child process without a display: its arguments, its own
    standard output and error (kept in files), its exit status and how long it took. */
class NuboProcess final
{
public:
    /** Where a standard stream of nubo goes: its file in the work folder, a pipe that
        wait() empties or one that nobody reads (standard output only), /dev/full, or
        nowhere (closed). */
    enum class Stream
    {
        file,
        pipe,
        unreadPipe,
        full,
        closed
    };

    /** Output files go into the folder; the device root is passed in NUBO_DEVICE_ROOT. */
    NuboProcess (juce::File workFolder, juce::File deviceRoot);
    ~NuboProcess();

    /** Chosen before start(). */
    void setStandardOutput (Stream where)
    {
        outputTo = where;
    }
    void setStandardError (Stream where)
    {
        errorsTo = where;
    }

    /** Starts nubo in the work folder; false when it could not be started. With
        errorsToTerminal its standard error is a pseudo-terminal, read by wait(). */
    bool start (const juce::StringArray& arguments, bool errorsToTerminal = false);

    /** Waits for it to end (killing it after timeoutMs); the exit status, or -1 when killed. */
    int wait (int timeoutMs = 120000);

    void interrupt();

    /** Whether it was started and has not ended yet (an ended one is left for wait()). */
    bool isRunning() const;

    /** Sends any signal (SIGTERM, SIGKILL) to the running nubo. */
    void sendSignal (int signalNumber);

    juce::String standardOutput() const
    {
        return outputTo == Stream::pipe
                   ? juce::String::fromUTF8 ((const char*) pipeOutput.getData(), (int) pipeOutput.getSize())
                   : stdoutFile().loadFileAsString();
    }
    /** What came through the pipe, byte for byte. */
    const juce::MemoryBlock& pipedOutput() const
    {
        return pipeOutput;
    }
    /** What nubo wrote to standard error: the file, or what the terminal showed. */
    juce::String standardError() const
    {
        return usedTerminal ? terminalOutput : stderrFile().loadFileAsString();
    }
    double seconds() const
    {
        return elapsedSeconds;
    }

    static juce::File executable();

private:
    void readTerminal();
    void readPipe();

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
    int terminal = -1; // the pseudo-terminal's master side, while nubo runs
    juce::String terminalOutput;
    bool usedTerminal = false;
    Stream outputTo = Stream::file, errorsTo = Stream::file;
    int outputPipe = -1; // the reading end, while nubo runs
    juce::MemoryBlock pipeOutput;
    juce::uint32 startMs = 0;
    double elapsedSeconds = 0;
};
