#pragma once

#include "device/CancelToken.h"

#include <juce_core/juce_core.h>

#include <memory>

class QuitSignalWatcher;
class TidewireClient;

/** Turns Ctrl-C (SIGINT), SIGTERM and SIGHUP into a flag and a cancelled exchange on
    every registered client, on the core's signal watcher's thread: a signal handler may
    do neither. A second signal has its default effect, so a run that does not end can
    still be stopped. Construct it first in main. */
class InterruptWatcher final
{
public:
    InterruptWatcher();

    /** Puts the previous handlers back and stops the watching thread. */
    ~InterruptWatcher();

    static bool isInterrupted();

    /** The signal that came (SIGINT, SIGTERM or SIGHUP); 0 before any. */
    static int lastSignal();

    /** Forgets the signal once the operation it ended has stopped, lets the clients
        exchange again and hears the next signal as the first: an interactive session
        goes on after a Ctrl-C. */
    static void listenAgain();

    /** The client's waiting exchange fails at once when a signal comes. Not owned;
        removed before it goes. */
    static void add (TidewireClient* client);
    static void remove (TidewireClient* client);

    /** A cancel token for one operation, tripped by the next signal (at once when one
        came already); the watcher trips it only while this lives. */
    class ScopedToken final
    {
    public:
        ScopedToken();
        ~ScopedToken();

        const CancelToken& get() const
        {
            return token;
        }

    private:
        CancelToken token;
        int id = 0;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ScopedToken)
    };

private:
    std::unique_ptr<QuitSignalWatcher> watcher;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (InterruptWatcher)
};
