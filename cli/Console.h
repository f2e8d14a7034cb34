#pragma once

#include <juce_core/juce_core.h>

/** Where nubo writes: results on standard output, messages on standard error, whole
    lines at a time from any thread, each message line led by the calling thread's
    device prefix so that lines from several devices can be told apart. */
class Console final
{
public:
    /** Makes sure descriptors 0, 1 and 2 are open (on /dev/null where they were not),
        so that no file the process opens later takes the place of one of them: an
        error message must never land in a file being fetched. A standard output that
        was closed stays closed for results: writing one fails. Called once, first
        thing in main. */
    static void claimStandardDescriptors();

    /** One result line (with the thread's prefix) on standard output. */
    static void out (const juce::String& line);

    /** Text exactly as given on standard output (a JSON document, a file's bytes). */
    static void outRaw (const void* data, size_t numBytes);

    /** Where results go: standard output, or -1 when it was closed at start. */
    static int getResultDescriptor();

    /** Closes standard output after the last result: empty when every result reached
        it, else why not ("can't write standard output: No space left on device"). */
    static juce::String finishOutput();

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
