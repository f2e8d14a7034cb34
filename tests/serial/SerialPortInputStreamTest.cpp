#include "PseudoTerminal.h"

#include "serial/SerialPort.h"
#include "serial/SerialPortInputStream.h"

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <atomic>
#include <memory>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace
{
/** Drains the stream from its data callback, as the protocol client does. */
struct DrainingListener final
{
    void drain (SerialPortInputStream& stream)
    {
        auto* thread = juce::Thread::getCurrentThread();
        onReaderThread = onReaderThread && thread != nullptr && thread->getThreadName() == "SerialInThread";
        const juce::ScopedLock sl (lock);
        while (!stream.isExhausted())
            stream.readIntoMemoryBlock (received);
    }

    juce::CriticalSection lock;
    juce::MemoryBlock received;
    std::atomic<bool> onReaderThread{true};
};

class SerialPortInputStreamTest : public ::testing::Test
{
protected:
    bool waitForBuffered (juce::int64 numBytes)
    {
        return waitUntil ([&] { return stream.getTotalLength() == numBytes; });
    }

    PseudoTerminal terminal;
    SerialPort port{terminal.slave, {115200, 8, 0, 0, 1}};
    SerialPortInputStream stream{port};
};
} // namespace

TEST_F (SerialPortInputStreamTest, ReadTakesOnlyWhatIsBufferedAndNeverWaits)
{
    char bytes[16]{};
    EXPECT_TRUE (stream.isExhausted());
    EXPECT_EQ (stream.read (bytes, sizeof (bytes)), 0);

    ASSERT_TRUE (terminal.send ("hel"));
    ASSERT_TRUE (waitForBuffered (3));
    EXPECT_EQ (stream.read (bytes, 2), 2);
    ASSERT_TRUE (terminal.send ("lo"));
    ASSERT_TRUE (waitForBuffered (3));
    EXPECT_EQ (stream.read (bytes + 2, sizeof (bytes) - 2), 3);
    EXPECT_STREQ (bytes, "hello");
    EXPECT_TRUE (stream.isExhausted());
    EXPECT_EQ (stream.read (bytes, sizeof (bytes)), 0);
}

TEST_F (SerialPortInputStreamTest, ReadNextLineStopsAfterLineFeed)
{
    ASSERT_TRUE (terminal.send ("ab\r\ncd"));
    ASSERT_TRUE (waitForBuffered (6));
    EXPECT_EQ (stream.readNextLine(), "ab");
    EXPECT_EQ (stream.getTotalLength(), 2);
    EXPECT_EQ (stream.readNextLine(), "cd");
    EXPECT_TRUE (stream.isExhausted());
}

TEST_F (SerialPortInputStreamTest, DeliveriesCallTheCallbackOnReaderThreadOnlyWhileSet)
{
    DrainingListener listener;
    ASSERT_TRUE (terminal.send ("quiet"));
    ASSERT_TRUE (waitForBuffered (5));

    stream.setDataCallback ([&] { listener.drain (stream); });
    juce::MemoryBlock payload (20000);
    juce::Random (7).fillBitsRandomly (payload.getData(), payload.getSize());
    ASSERT_TRUE (terminal.send (payload.getData(), payload.getSize()));
    ASSERT_TRUE (waitUntil (
        [&]
        {
            const juce::ScopedLock sl (listener.lock);
            return listener.received.getSize() == 5 + payload.getSize();
        }));

    // As the client does: the callback cleared, which waits for a delivery in progress.
    stream.setDataCallback (nullptr);

    const juce::ScopedLock sl (listener.lock);
    EXPECT_EQ (memcmp (listener.received.getData(), "quiet", 5), 0);
    EXPECT_EQ (memcmp (listener.received.begin() + 5, payload.getData(), payload.getSize()), 0);
    EXPECT_TRUE (listener.onReaderThread.load());
}

TEST_F (SerialPortInputStreamTest, ClearingTheCallbackWaitsForTheCallInProgress)
{
    std::atomic<int> calls{0};
    std::atomic<bool> finished{false};
    juce::WaitableEvent inCall, release;
    stream.setDataCallback (
        [&]
        {
            if (++calls > 1)
                return;
            inCall.signal();
            release.wait (10000);
            juce::Thread::sleep (50); // the clearing thread must still be waiting here
            finished = true;
        });

    ASSERT_TRUE (terminal.send ("a"));
    ASSERT_TRUE (inCall.wait (10000));
    std::thread releaser (
        [&]
        {
            juce::Thread::sleep (300);
            release.signal();
        });
    stream.setDataCallback (nullptr); // from another thread than the reader's
    const bool finishedBeforeClearReturned = finished.load();
    releaser.join();
    EXPECT_TRUE (finishedBeforeClearReturned);

    // Cleared means cleared: later bytes are only buffered.
    ASSERT_TRUE (terminal.send ("bc"));
    ASSERT_TRUE (waitForBuffered (3));
    EXPECT_EQ (calls.load(), 1);
}

TEST_F (SerialPortInputStreamTest, ACallbackMayReplaceOrClearItselfWhileItRuns)
{
    // The first callback owns the token; the weak pointer tells when it is destroyed.
    auto token = std::make_shared<int> (1);
    const std::weak_ptr<int> firstAlive = token;
    std::atomic<bool> survivedItsReplacement{false};
    std::atomic<int> firstCalls{0}, secondCalls{0};

    stream.setDataCallback (
        [&, token = std::move (token)]
        {
            ++firstCalls;
            stream.setDataCallback (
                [&]
                {
                    ++secondCalls;
                    stream.setDataCallback (nullptr);
                });
            // Still inside the replaced callback: what it captured must be alive.
            survivedItsReplacement = !firstAlive.expired() && *token == 1;
        });

    ASSERT_TRUE (terminal.send ("a"));
    ASSERT_TRUE (waitUntil ([&] { return firstAlive.expired(); })) << "the replaced callback is released";
    EXPECT_TRUE (survivedItsReplacement.load());

    ASSERT_TRUE (terminal.send ("b"));
    ASSERT_TRUE (waitUntil ([&] { return secondCalls.load() == 1; }));
    ASSERT_TRUE (terminal.send ("c"));
    ASSERT_TRUE (waitForBuffered (3));
    juce::Thread::sleep (100);
    EXPECT_EQ (firstCalls.load(), 1);
    EXPECT_EQ (secondCalls.load(), 1) << "it cleared itself";
}

TEST_F (SerialPortInputStreamTest, CallbacksMayBeSetAndClearedFromManyThreadsWhileBytesArrive)
{
    std::atomic<bool> done{false};
    std::atomic<int> calls{0};
    std::thread device (
        [&]
        {
            while (!done)
            {
                terminal.send ("0123456789", 10);
                juce::Thread::sleep (1);
            }
        });

    std::vector<std::thread> setters;
    for (int t = 0; t < 3; ++t)
        setters.emplace_back (
            [&, t]
            {
                for (int i = 0; i < 500; ++i)
                {
                    if ((i + t) % 2 == 0)
                        stream.setDataCallback ([&calls, payload = std::make_shared<int> (i)] { calls += *payload >= 0 ? 1 : 0; });
                    else
                        stream.setDataCallback (nullptr);
                    if (i % 50 == 0)
                        juce::Thread::sleep (2);
                }
            });
    for (auto& setter : setters)
        setter.join();

    // Whatever was set last, clearing it ends the calls.
    stream.setDataCallback (nullptr);
    const auto callsAtClear = calls.load();
    juce::Thread::sleep (100);
    done = true;
    device.join();
    EXPECT_EQ (calls.load(), callsAtClear);
    EXPECT_GT (stream.getTotalLength(), 0);
}

TEST_F (SerialPortInputStreamTest, FarEndClosingEndsReaderWithoutSpinning)
{
    auto cpuSeconds = []
    {
        rusage usage{};
        getrusage (RUSAGE_SELF, &usage);
        return (double) (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               (double) (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1.0e6;
    };
    ASSERT_TRUE (terminal.send ("x"));
    ASSERT_TRUE (waitForBuffered (1));

    const auto cpuBefore = cpuSeconds();
    terminal.closeMaster();
    EXPECT_TRUE (waitUntil ([&] { return !stream.isThreadRunning(); }));

    // A reader that retried a dead port at once would burn a core all this time.
    juce::Thread::sleep (2000);
    EXPECT_LT (cpuSeconds() - cpuBefore, 0.5);
    EXPECT_EQ (stream.getTotalLength(), 1);
}

TEST_F (SerialPortInputStreamTest, AHangUpIsReportedOnceToTheCallbackAndAClosedPortIsNot)
{
    std::atomic<int> calls{0};
    stream.setDataCallback ([&] { ++calls; });
    EXPECT_FALSE (stream.hasLostDevice());

    terminal.closeMaster();
    ASSERT_TRUE (waitUntil ([&] { return !stream.isThreadRunning(); }));
    EXPECT_TRUE (stream.hasLostDevice());
    EXPECT_EQ (calls.load(), 1) << "no bytes came: the one call is the hang-up";
    stream.setDataCallback (nullptr);

    // Closed by its owner, the port has not lost its device.
    PseudoTerminal other;
    SerialPort otherPort{other.slave, {115200, 8, 0, 0, 1}};
    SerialPortInputStream otherStream{otherPort};
    otherPort.close();
    ASSERT_TRUE (waitUntil ([&] { return !otherStream.isThreadRunning(); }));
    EXPECT_FALSE (otherStream.hasLostDevice());
}
