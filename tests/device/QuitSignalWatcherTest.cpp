// The signal watcher reports a signal on its own thread and leaves the previous
// handlers as they were.

#include "device/QuitSignalWatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <signal.h>

namespace
{
std::atomic<int> previousHandlerCalls{0};

extern "C" void countingHandler (int)
{
    ++previousHandlerCalls;
}
} // namespace

TEST (QuitSignalWatcher, ReportsTheSignalOnItsThreadAndPutsThePreviousHandlerBack)
{
    struct sigaction counting = {}, original = {};
    counting.sa_handler = countingHandler;
    sigemptyset (&counting.sa_mask);
    ASSERT_EQ (::sigaction (SIGHUP, &counting, &original), 0);

    {
        juce::WaitableEvent reported;
        std::atomic<int> heard{0};
        std::atomic<bool> onOtherThread{false};
        const auto testThread = juce::Thread::getCurrentThreadId();
        QuitSignalWatcher watcher (
            [&] (int signalNumber)
            {
                heard = signalNumber;
                onOtherThread = juce::Thread::getCurrentThreadId() != testThread;
                reported.signal();
            });

        ASSERT_EQ (::raise (SIGHUP), 0);
        ASSERT_TRUE (reported.wait (10000));
        EXPECT_EQ (heard.load(), SIGHUP);
        EXPECT_TRUE (onOtherThread.load());
        EXPECT_EQ (previousHandlerCalls.load(), 0);
    }

    ASSERT_EQ (::raise (SIGHUP), 0);
    EXPECT_EQ (previousHandlerCalls.load(), 1);
    ::sigaction (SIGHUP, &original, nullptr);
}
