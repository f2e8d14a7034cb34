#include "PseudoTerminal.h"
#include "RecordingSerialPortBackend.h"

#include "serial/SerialPort.h"
#include "serial/SerialPortOutputStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

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

TEST_F (SerialPortOutputStreamTest, FlushesFromSeveralThreadsNeitherReorderNorRepeatBytes)
{
    // Each thread writes and flushes numbered records of its own; whoever sends them,
    // the caller or the writer, every record must arrive once, whole, and in its
    // thread's order.
    constexpr int numThreads = 3, recordsPerThread = 400, recordSize = 64;
    SerialPortOutputStream stream (port);

    std::vector<std::thread> threads;
    for (int t = 0; t < numThreads; ++t)
        threads.emplace_back (
            [&stream, t]
            {
                for (int r = 0; r < recordsPerThread; ++r)
                {
                    char record[recordSize];
                    std::memset (record, 'a' + t, sizeof (record));
                    std::memcpy (record + 1, &r, sizeof (r));
                    stream.write (record, sizeof (record)); // one write: records never interleave
                    if (r % 3 != 2)
                        stream.flush();
                }
                stream.flush();
            });

    const auto received = terminal.receive ((size_t) (numThreads * recordsPerThread * recordSize));
    for (auto& thread : threads)
        thread.join();

    ASSERT_EQ (received.getSize(), (size_t) (numThreads * recordsPerThread * recordSize));
    int next[numThreads]{};
    for (size_t offset = 0; offset < received.getSize(); offset += recordSize)
    {
        const auto* record = static_cast<const char*> (received.getData()) + offset;
        const auto t = record[0] - 'a';
        ASSERT_TRUE (t >= 0 && t < numThreads);
        int r = 0;
        std::memcpy (&r, record + 1, sizeof (r));
        ASSERT_EQ (r, next[t]++);
        for (int i = 1 + (int) sizeof (r); i < recordSize; ++i)
            ASSERT_EQ (record[i], 'a' + t);
    }
}
