#include "PseudoTerminal.h"
#include "RecordingSerialPortBackend.h"

#include "serial/SerialPort.h"
#include "serial/SerialPortOutputStream.h"

#include <gtest/gtest.h>

namespace
{
class SerialPortOutputStreamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (terminal.isValid());
        ASSERT_TRUE (port.open (RecordingSerialPortBackend::open (terminal.slavePath(), record)));
        ASSERT_TRUE (port.configure ({ 115200, 8, 0, 0, 1 }));
        payload.setSize (20000);
        juce::Random (11).fillBitsRandomly (payload.getData(), payload.getSize());
    }

    std::vector<int> writeSizes()
    {
        const std::lock_guard<std::mutex> sl (record->mutex);
        return record->writeSizes;
    }

    juce::MemoryBlock captured()
    {
        const std::lock_guard<std::mutex> sl (record->mutex);
        return record->captured;
    }

    void captureWrites (int maxBytesPerWrite, int writesToRefuse)
    {
        const std::lock_guard<std::mutex> sl (record->mutex);
        record->captureWrites = true;
        record->maxBytesPerWrite = maxBytesPerWrite;
        record->writesToRefuse = writesToRefuse;
    }

    PseudoTerminal terminal;
    std::shared_ptr<BackendRecord> record = std::make_shared<BackendRecord>();
    SerialPort port;
    juce::MemoryBlock payload;
};
} // namespace

TEST_F (SerialPortOutputStreamTest, LargeWriteLeavesInChunksOfAtMost8192)
{
    captureWrites (1 << 30, 0); // every write completes in full
    SerialPortOutputStream stream (port);
    EXPECT_TRUE (stream.write (payload.getData(), payload.getSize()));
    stream.flush();

    EXPECT_TRUE (waitUntil ([&] { return captured().getSize() >= payload.getSize(); }));
    EXPECT_EQ (writeSizes(), (std::vector<int> { 8192, 8192, 3616 }));
    EXPECT_EQ (captured(), payload);
    EXPECT_EQ (stream.getPosition(), -1);
    EXPECT_FALSE (stream.setPosition (0));
}

TEST_F (SerialPortOutputStreamTest, LargeWriteCrossesRealTerminalIntact)
{
    // A pseudo-terminal takes less than a chunk at a time: the rest must follow in order.
    SerialPortOutputStream stream (port);
    stream.write (payload.getData(), payload.getSize());
    stream.flush();

    EXPECT_EQ (terminal.receive (payload.getSize()), payload);
    for (auto n : writeSizes())
        EXPECT_LE (n, 8192);
}

TEST_F (SerialPortOutputStreamTest, BytesLeaveWithoutFlush)
{
    SerialPortOutputStream stream (port);
    stream.writeText ("no ", false, false, nullptr);
    stream.writeText ("flush", false, false, nullptr);
    EXPECT_EQ (terminal.receive (8).toString(), "no flush");
}

TEST_F (SerialPortOutputStreamTest, ShortAndRefusedWritesKeepTheRestInOrder)
{
    captureWrites (1000, 3);
    SerialPortOutputStream stream (port);
    stream.write (payload.getData(), payload.getSize());
    stream.flush();

    EXPECT_TRUE (waitUntil ([&] { return captured().getSize() >= payload.getSize(); }));
    EXPECT_EQ (captured(), payload);

    const std::lock_guard<std::mutex> sl (record->mutex);
    // Each refused write was followed by a wait for room, never by an immediate retry.
    EXPECT_EQ (record->waitsForWritable, 3);
    // Three refused, then twenty taking 1000 bytes each; every one offered a full chunk
    // of what was still pending.
    std::vector<int> expected { 8192, 8192, 8192 };
    for (int pending = (int) payload.getSize(); pending > 0; pending -= 1000)
        expected.push_back (juce::jmin (pending, 8192));
    EXPECT_EQ (record->writeSizes, expected);
}

TEST_F (SerialPortOutputStreamTest, WriteAfterCloseIsKeptButNeverSent)
{
    SerialPortOutputStream stream (port);
    ASSERT_TRUE (waitUntil ([&] { return stream.isThreadRunning(); }));
    port.close();
    EXPECT_TRUE (waitUntil ([&] { return ! stream.isThreadRunning(); }));

    EXPECT_TRUE (stream.write ("late", 4));
    stream.flush();
    EXPECT_EQ (terminal.receive (4, 300).getSize(), 0u);
    EXPECT_TRUE (writeSizes().empty());
}

TEST_F (SerialPortOutputStreamTest, WriterEndsWhenDeviceIsGone)
{
    SerialPortOutputStream stream (port);
    terminal.closeMaster();

    stream.write (payload.getData(), payload.getSize());
    stream.flush();
    EXPECT_TRUE (waitUntil ([&] { return ! stream.isThreadRunning(); }));
    EXPECT_LE (writeSizes().size(), 1u);
}

TEST_F (SerialPortOutputStreamTest, DestroyingStreamDiscardsQueuedBytes)
{
    {
        const std::lock_guard<std::mutex> sl (record->mutex);
        record->writesToRefuse = 1 << 30; // the driver never takes anything
    }
    {
        SerialPortOutputStream stream (port);
        stream.write (payload.getData(), payload.getSize());
        stream.flush();
        ASSERT_TRUE (waitUntil ([&] { return ! writeSizes().empty(); }));
    }
    {
        const std::lock_guard<std::mutex> sl (record->mutex);
        record->writesToRefuse = 0;
    }

    SerialPortOutputStream next (port);
    next.write ("new", 3);
    next.flush();
    EXPECT_EQ (terminal.receive (3).toString(), "new");
}
