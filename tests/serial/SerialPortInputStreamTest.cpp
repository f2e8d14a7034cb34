#include "PseudoTerminal.h"

#include "serial/SerialPort.h"
#include "serial/SerialPortInputStream.h"

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <atomic>
#include <sys/resource.h>

namespace
{
/** Drains the stream from its change callback, as the protocol client does. */
struct DrainingListener final : public juce::ChangeListener
{
    void changeListenerCallback (juce::ChangeBroadcaster* source) override
    {
        auto* thread = juce::Thread::getCurrentThread();
        onReaderThread = onReaderThread && thread != nullptr && thread->getThreadName() == "SerialInThread";
        auto* stream = dynamic_cast<SerialPortInputStream*> (source);
        const juce::ScopedLock sl (lock);
        while (stream != nullptr && !stream->isExhausted())
            stream->readIntoMemoryBlock (received);
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

TEST_F (SerialPortInputStreamTest, DeliveriesCallListenersOnReaderThreadOnlyWhenAsked)
{
    DrainingListener listener;
    stream.addChangeListener (&listener);
    ASSERT_TRUE (terminal.send ("quiet"));
    ASSERT_TRUE (waitForBuffered (5));

    stream.setNotifyOnData (true);
    juce::MemoryBlock payload (20000);
    juce::Random (7).fillBitsRandomly (payload.getData(), payload.getSize());
    ASSERT_TRUE (terminal.send (payload.getData(), payload.getSize()));
    ASSERT_TRUE (waitUntil (
        [&]
        {
            const juce::ScopedLock sl (listener.lock);
            return listener.received.getSize() == 5 + payload.getSize();
        }));

    // As the client does: notification off first, which waits for a delivery in
    // progress, so that the listener list is not changed while the reader walks it.
    stream.setNotifyOnData (false);
    stream.removeChangeListener (&listener);

    const juce::ScopedLock sl (listener.lock);
    EXPECT_EQ (memcmp (listener.received.getData(), "quiet", 5), 0);
    EXPECT_EQ (memcmp (listener.received.begin() + 5, payload.getData(), payload.getSize()), 0);
    EXPECT_TRUE (listener.onReaderThread.load());
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

TEST_F (SerialPortInputStreamTest, AHangUpIsReportedOnceToTheListenersAndAClosedPortIsNot)
{
    std::atomic<int> calls{0};
    struct CountingListener final : public juce::ChangeListener
    {
        explicit CountingListener (std::atomic<int>& c) : count (c) {}
        void changeListenerCallback (juce::ChangeBroadcaster*) override
        {
            ++count;
        }
        std::atomic<int>& count;
    } listener (calls);

    stream.addChangeListener (&listener);
    stream.setNotifyOnData (true);
    EXPECT_FALSE (stream.hasLostDevice());

    terminal.closeMaster();
    ASSERT_TRUE (waitUntil ([&] { return !stream.isThreadRunning(); }));
    EXPECT_TRUE (stream.hasLostDevice());
    EXPECT_EQ (calls.load(), 1) << "no bytes came: the one call is the hang-up";
    stream.setNotifyOnData (false);
    stream.removeChangeListener (&listener);

    // Closed by its owner, the port has not lost its device.
    PseudoTerminal other;
    SerialPort otherPort{other.slave, {115200, 8, 0, 0, 1}};
    SerialPortInputStream otherStream{otherPort};
    otherPort.close();
    ASSERT_TRUE (waitUntil ([&] { return !otherStream.isThreadRunning(); }));
    EXPECT_FALSE (otherStream.hasLostDevice());
}
