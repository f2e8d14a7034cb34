#pragma once

#include <juce_core/juce_core.h>

#include <atomic>

/** Counts posts and lets one waiter take them one at a time, with a time-out.

    A waiter can also be woken without a post (wakeWaiter), so that it looks at a
    cancel flag it was given and leaves early. */
class CountingSemaphore final
{
public:
    CountingSemaphore();
    ~CountingSemaphore();

    /** Adds one to the count and wakes a waiter. */
    void post();

    /** Takes one from the count, waiting up to timeoutMs (a negative time-out waits
        for good) for a post. False on time-out, or at once when cancel becomes true. */
    bool wait (int timeoutMs, const std::atomic<bool>* cancel = nullptr);

    /** Takes one from the count if there is one; never waits. */
    bool tryWait();

    /** Wakes a waiter without posting, so that it checks its cancel flag. */
    void wakeWaiter();

private:
    juce::WaitableEvent event; // auto-reset
    juce::CriticalSection lock;
    int count = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CountingSemaphore)
};
