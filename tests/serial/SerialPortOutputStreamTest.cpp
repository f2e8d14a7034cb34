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
        ASSERT_TRUE (port.open (RecordingSerialPortBackend::open (terminal.slave, record)));
        juce::Random (11).fillBitsRandomly (payload.getData(), payload.getSize());
    }

    PseudoTerminal terminal;
    std::shared_ptr<BackendRecord> record = std::make_shared<BackendRecord>();
    SerialPort port;
    juce::MemoryBlock payload{20000};
};
} // namespace

TEST_F (SerialPortOutputStreamTest, LargeWriteLeavesInChunksOfAtMost8192)
{
    record->captureWrites = true;
    SerialPortOutputStream stream (port);
    EXPECT_TRUE (stream.write (payload.getData(), payload.getSize()));
    stream.flush();

    const std::vector<int> expected{8192, 8192, 3616};
    EXPECT_TRUE (waitUntil (
        [&]
        {
            const std::lock_guard<std::mutex> sl (record->mutex);
            return record->writeSizes == expected && record->captured == payload;
        }));
}

TEST_F (SerialPortOutputStreamTest, ShortWritesOnRealTerminalKeepTheRestInOrder)
{
    // A pseudo-terminal takes less than a chunk at a time, and nothing is flushed here.
    SerialPortOutputStream stream (port);
    stream.write (payload.getData(), 7000);
    stream.write (payload.begin() + 7000, payload.getSize() - 7000);
    EXPECT_EQ (terminal.receive (payload.getSize()), payload);
}

TEST_F (SerialPortOutputStreamTest, WriterEndsWhenDeviceIsGone)
{
    SerialPortOutputStream stream (port);
    terminal.closeMaster();
    stream.write (payload.getData(), payload.getSize());
    stream.flush();
    EXPECT_TRUE (waitUntil ([&] { return !stream.isThreadRunning(); }));
}
