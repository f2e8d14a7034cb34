#include "PseudoTerminal.h"
#include "RecordingSerialPortBackend.h"

#include "serial/SerialPort.h"
#include "serial/SerialPortInputStream.h"

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <atomic>
#include <sys/resource.h>

namespace
{
double processCpuSeconds()
{
    rusage usage {};
    getrusage (RUSAGE_SELF, &usage);
    auto seconds = [] (const timeval& t) { return (double) t.tv_sec + (double) t.tv_usec / 1.0e6; };
    return seconds (usage.ru_utime) + seconds (usage.ru_stime);
}

/** Drains the stream from its change callback, as the protocol client does. */
class DrainingListener final : public juce::ChangeListener
{
public:
    explicit DrainingListener (SerialPortInputStream& s) : stream (s) {}

    void changeListenerCallback (juce::ChangeBroadcaster* source) override
    {
        if (auto* thread = juce::Thread::getCurrentThread())
            onReaderThread = onReaderThread && thread->getThreadName() == "SerialInThread";
        else
            onReaderThread = false;
        sourceWasStream = sourceWasStream && source == &stream;

        const juce::ScopedLock sl (lock);
        while (! stream.isExhausted())
            stream.readIntoMemoryBlock (received);
        ++calls;
    }

    size_t bytesReceived()
    {
        const juce::ScopedLock sl (lock);
        return received.getSize();
    }

    juce::MemoryBlock receivedBytes()
    {
        const juce::ScopedLock sl (lock);
        return received;
    }

    SerialPortInputStream& stream;
    juce::CriticalSection lock;
    juce::MemoryBlock received;
    std::atomic<int> calls { 0 };
    std::atomic<bool> onReaderThread { true };
    std::atomic<bool> sourceWasStream { true };
};

class SerialPortInputStreamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (terminal.isValid());
        ASSERT_TRUE (port.open (RecordingSerialPortBackend::open (terminal.slavePath(), record)));
        ASSERT_TRUE (port.configure ({ 115200, 8, 0, 0, 1 }));
    }

    bool waitForBuffered (SerialPortInputStream& stream, juce::int64 numBytes)
    {
        return waitUntil ([&] { return stream.getTotalLength() == numBytes; });
    }

    PseudoTerminal terminal;
    std::shared_ptr<BackendRecord> record = std::make_shared<BackendRecord>();
    SerialPort port;
};
} // namespace

TEST_F (SerialPortInputStreamTest, ReadTakesOnlyWhatIsBufferedAndNeverWaits)
{
    SerialPortInputStream stream (port);
    char bytes[16] {};

    EXPECT_TRUE (stream.isExhausted());
    EXPECT_EQ (stream.read (bytes, sizeof (bytes)), 0);
    EXPECT_EQ (stream.getPosition(), -1);
    EXPECT_FALSE (stream.setPosition (0));

    ASSERT_TRUE (terminal.send ("hello"));
    ASSERT_TRUE (waitForBuffered (stream, 5));
    EXPECT_FALSE (stream.isExhausted());

    EXPECT_EQ (stream.read (bytes, 2), 2);
    EXPECT_EQ (stream.getTotalLength(), 3);
    EXPECT_EQ (stream.read (bytes + 2, sizeof (bytes) - 2), 3);
    EXPECT_STREQ (bytes, "hello");
    EXPECT_TRUE (stream.isExhausted());
    EXPECT_EQ (stream.read (bytes, sizeof (bytes)), 0);
    EXPECT_EQ (stream.read (bytes, -1), 0);

    // Bytes that come in while some are unread queue behind them.
    ASSERT_TRUE (terminal.send ("abc"));
    ASSERT_TRUE (waitForBuffered (stream, 3));
    EXPECT_EQ (stream.read (bytes, 1), 1);
    ASSERT_TRUE (terminal.send ("def"));
    ASSERT_TRUE (waitForBuffered (stream, 5));
    EXPECT_EQ (stream.read (bytes, sizeof (bytes)), 5);
    EXPECT_EQ (juce::String (bytes, 5), "bcdef");
}

TEST_F (SerialPortInputStreamTest, ReadNextLineStopsAfterLineFeed)
{
    SerialPortInputStream stream (port);
    ASSERT_TRUE (terminal.send ("ab\r\ncd"));
    ASSERT_TRUE (waitForBuffered (stream, 6));

    EXPECT_EQ (stream.readNextLine(), "ab");
    EXPECT_EQ (stream.getTotalLength(), 2);
    EXPECT_EQ (stream.readNextLine(), "cd");
    EXPECT_TRUE (stream.isExhausted());
    EXPECT_EQ (stream.readNextLine(), "");

    // Each byte is one character, whatever its value.
    const char latin[] = { ' ', 'x', (char) 0xe9, '\n' };
    ASSERT_TRUE (terminal.send (latin, sizeof (latin)));
    ASSERT_TRUE (waitForBuffered (stream, 4));
    EXPECT_EQ (stream.readNextLine(), juce::String::charToString ('x') + juce::String::charToString (0xe9));
}

TEST_F (SerialPortInputStreamTest, DeliveriesCallListenersOnReaderThreadOnlyWhenAsked)
{
    SerialPortInputStream stream (port);
    DrainingListener listener (stream);
    stream.addChangeListener (&listener);

    ASSERT_TRUE (terminal.send ("quiet"));
    ASSERT_TRUE (waitForBuffered (stream, 5));
    EXPECT_EQ (listener.calls.load(), 0);

    stream.setNotifyOnData (true);
    juce::MemoryBlock payload (20000);
    juce::Random (7).fillBitsRandomly (payload.getData(), payload.getSize());
    ASSERT_TRUE (terminal.send (payload.getData(), payload.getSize()));
    ASSERT_TRUE (waitUntil ([&] { return listener.bytesReceived() == 5 + payload.getSize(); }));

    auto received = listener.receivedBytes();
    EXPECT_EQ (juce::String (static_cast<const char*> (received.getData()), 5), "quiet");
    EXPECT_EQ (memcmp (received.begin() + 5, payload.getData(), payload.getSize()), 0);
    EXPECT_TRUE (listener.onReaderThread.load());
    EXPECT_TRUE (listener.sourceWasStream.load());

    const std::lock_guard<std::mutex> sl (record->mutex);
    int total = 0;
    for (auto n : record->readSizes)
    {
        EXPECT_LE (n, 8192);
        total += n;
    }
    EXPECT_EQ (total, 5 + (int) payload.getSize());

    stream.removeChangeListener (&listener);
}

TEST_F (SerialPortInputStreamTest, TurningNotificationOffWaitsForCallbackInProgress)
{
    struct BlockingListener final : public juce::ChangeListener
    {
        void changeListenerCallback (juce::ChangeBroadcaster*) override
        {
            entered.signal();
            release.wait (10000);
        }
        juce::WaitableEvent entered, release;
    } listener;

    SerialPortInputStream stream (port);
    stream.addChangeListener (&listener);
    stream.setNotifyOnData (true);
    ASSERT_TRUE (terminal.send ("x"));
    ASSERT_TRUE (listener.entered.wait (10000));

    std::atomic<bool> returned { false };
    juce::Thread::launch ([&] {
        stream.setNotifyOnData (false);
        returned = true;
    });
    juce::Thread::sleep (200);
    EXPECT_FALSE (returned.load());

    listener.release.signal();
    EXPECT_TRUE (waitUntil ([&] { return returned.load(); }));
    stream.removeChangeListener (&listener);
}

TEST_F (SerialPortInputStreamTest, FarEndClosingEndsReaderWithoutSpinning)
{
    SerialPortInputStream stream (port);
    ASSERT_TRUE (terminal.send ("x"));
    ASSERT_TRUE (waitForBuffered (stream, 1));

    const auto cpuBefore = processCpuSeconds();
    terminal.closeMaster();
    EXPECT_TRUE (waitUntil ([&] { return ! stream.isThreadRunning(); }));

    // A reader that retried a dead port at once would burn a core for this whole time.
    juce::Thread::sleep (2000);
    EXPECT_LT (processCpuSeconds() - cpuBefore, 0.5);

    // What had arrived stays readable; the port itself is still open until closed.
    EXPECT_EQ (stream.getTotalLength(), 1);
    EXPECT_TRUE (port.isOpen());
    EXPECT_TRUE (port.close());
}

TEST_F (SerialPortInputStreamTest, DestroyingStreamLeavesPortToTheNextOne)
{
    auto first = std::make_unique<SerialPortInputStream> (port);
    ASSERT_TRUE (waitUntil ([&] { return first->isThreadRunning(); }));
    first.reset();

    SerialPortInputStream second (port);
    ASSERT_TRUE (terminal.send ("next"));
    EXPECT_TRUE (waitForBuffered (second, 4));
}

TEST_F (SerialPortInputStreamTest, StreamOverClosedPortEndsAtOnce)
{
    port.close();
    SerialPortInputStream stream (port);
    EXPECT_TRUE (waitUntil ([&] { return ! stream.isThreadRunning(); }));
    EXPECT_TRUE (stream.isExhausted());
}
