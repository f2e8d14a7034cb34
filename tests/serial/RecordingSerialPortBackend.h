#pragma once

#include "serial/SerialPortBackend.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

/** What a RecordingSerialPortBackend saw and how it should misbehave; shared with the
    test, since the port owns (and on close destroys) the backend itself. */
struct BackendRecord
{
    std::mutex mutex;
    std::vector<int> writeSizes; // requested sizes, one per write(2)
    std::vector<int> readSizes;  // bytes each read(2) returned
    int waitsForWritable = 0;

    // The driver's part to play: keep what is written here instead of passing it on (a
    // write then always completes in full); take at most this much per write; refuse
    // the first few writes as a full queue does.
    bool captureWrites = false;
    juce::MemoryBlock captured;
    int maxBytesPerWrite = 1 << 30;
    int writesToRefuse = 0;

    std::atomic<int> callsInProgress { 0 };
    std::atomic<bool> closedDuringCall { false };
    std::atomic<int> closes { 0 };
};

/** Passes every call to the real platform port and records it: the seam through which
    tests watch each read(2) and write(2) the stream threads make. */
class RecordingSerialPortBackend final : public SerialPortBackend
{
public:
    RecordingSerialPortBackend (std::unique_ptr<SerialPortBackend> realPort, std::shared_ptr<BackendRecord> sharedRecord)
        : inner (std::move (realPort)), record (std::move (sharedRecord))
    {
    }

    static std::unique_ptr<SerialPortBackend> open (const juce::String& portName, std::shared_ptr<BackendRecord> record)
    {
        auto real = SerialPortBackend::open (portName);
        if (real == nullptr)
            return nullptr;
        return std::make_unique<RecordingSerialPortBackend> (std::move (real), std::move (record));
    }

    juce::String getDevicePath() const override
    {
        return inner->getDevicePath();
    }

    bool configure (const SerialPortSettings& settings) override
    {
        const Call call (*record);
        return inner->configure (settings);
    }

    bool close() override
    {
        if (record->callsInProgress.load() != 0)
            record->closedDuringCall = true;
        ++record->closes;
        return inner->close();
    }

    void wake() override
    {
        inner->wake();
    }

    WaitResult waitUntilReadable (int timeoutMs) override
    {
        const Call call (*record);
        return inner->waitUntilReadable (timeoutMs);
    }

    WaitResult waitUntilWritable (int timeoutMs) override
    {
        const Call call (*record);
        {
            const std::lock_guard<std::mutex> sl (record->mutex);
            ++record->waitsForWritable;
        }
        return inner->waitUntilWritable (timeoutMs);
    }

    int read (void* destination, int maxBytes) override
    {
        const Call call (*record);
        const int n = inner->read (destination, maxBytes);
        const std::lock_guard<std::mutex> sl (record->mutex);
        if (n > 0)
            record->readSizes.push_back (n);
        return n;
    }

    int write (const void* source, int numBytes) override
    {
        const Call call (*record);
        int allowed = 0;
        {
            const std::lock_guard<std::mutex> sl (record->mutex);
            record->writeSizes.push_back (numBytes);
            if (record->writesToRefuse > 0)
            {
                --record->writesToRefuse;
                return 0;
            }
            allowed = juce::jmin (numBytes, record->maxBytesPerWrite);
            if (record->captureWrites)
            {
                record->captured.append (source, (size_t) allowed);
                return allowed;
            }
        }
        return inner->write (source, allowed);
    }

private:
    struct Call
    {
        explicit Call (BackendRecord& r) : record (r) { ++record.callsInProgress; }
        ~Call() { --record.callsInProgress; }
        BackendRecord& record;
    };

    std::unique_ptr<SerialPortBackend> inner;
    std::shared_ptr<BackendRecord> record;
};
