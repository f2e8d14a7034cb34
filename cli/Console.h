#pragma once

#include <juce_core/juce_core.h>

/** Where nubo writes: results on standard output, messages on standard error, whole
    lines at a time from any thread, each message line led by the calling thread's
    device prefix so that lines from several devices can be told apart. */
class Console final
{
public:
    /** Keeps the real standard output for results and points file descriptor 1 at
        standard error, so that nothing else the process prints (the framing
        diagnostics) can mix with them. Called once, first thing in main. */
    static void takeStandardOutput();

    /** One result line (with the thread's prefix) on standard output. */
    static void out (const juce::String& line);

    /** Text exactly as given on standard output (a JSON document, a file's bytes). */
    static void outRaw (const void* data, size_t numBytes);

    /** Where results go: the process's standard output as it was at start. */
    static int getResultDescriptor();

    /** The errno of the first write of results (out, outRaw) that failed, else 0:
        results that did not arrive make the run a failure. */
    static int getResultWriteError();

    /** One message line (with the thread's prefix) on standard error. */
    static void err (const juce::String& line);

    /** "nubo: " and the line on standard error. */
    static void error (const juce::String& line);

    /** Redraws the status line at the foot of a terminal (the progress bar); an empty
        text clears it. Message lines written meanwhile clear it first. */
    static void status (const juce::String& text);

    /** The prefix for lines written by this thread, e.g. "[ttyACM0] ". */
    static void setThreadPrefix (const juce::String& prefix);
    static juce::String getThreadPrefix();

    /** Lines from that thread (a device's client thread, which reports what the device
        says on its own) take the calling thread's prefix, until the thread is forgotten. */
    static void sharePrefixWith (const juce::Thread* thread);
    static void forgetThread (const juce::Thread* thread);

    static bool isErrorTerminal();

private:
    Console() = delete;
};
