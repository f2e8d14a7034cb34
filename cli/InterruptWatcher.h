#pragma once

#include <juce_core/juce_core.h>

#include <atomic>
#include <thread>

class TidewireClient;

/** Turns Ctrl-C (SIGINT), SIGTERM and SIGHUP into a flag and a cancelled exchange on
    every registered client, on a thread of its own: a signal handler may do neither.
    The signals are blocked in every thread, so construct this first in main, before
    any other thread starts. */
class InterruptWatcher final
{
public:
    InterruptWatcher();

    /** Stops the watching thread. */
    ~InterruptWatcher();

    static bool isInterrupted();

    /** The client's waiting exchange fails at once when a signal comes. Not owned;
        removed before it goes. */
    static void add (TidewireClient* client);
    static void remove (TidewireClient* client);

private:
    void watch();

    std::atomic<bool> stopping{false};
    std::thread thread;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (InterruptWatcher)
};
