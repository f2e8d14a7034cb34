#pragma once

#include "serial/SerialPortBackend.h"

#include <atomic>
#include <mutex>
#include <vector>

/** What a RecordingSerialPortBackend saw; shared with the test, as the port owns the backend. */
struct BackendRecord
{
    std::mutex mutex;
    std::vector<int> writeSizes; // one per write(2)
    bool captureWrites = false;  // keep the bytes here instead: every write then completes in full
    juce::MemoryBlock captured;
    std::atomic<int> callsInProgress{0};
    std::atomic<bool> closedDuringCall{false};
};

/** A real platform port with a recorder in front: the seam through which tests watch the
    stream threads' calls. */
class RecordingSerialPortBackend final : public SerialPortBackend
{
public:
    static std::unique_ptr<SerialPortBackend> open (const juce::String& portName, std::shared_ptr<BackendRecord> record)
    {
        auto port = std::make_unique<RecordingSerialPortBackend>();
        port->inner = SerialPortBackend::open (portName);
        port->record = std::move (record);
        return port->inner != nullptr ? std::move (port) : nullptr;
    }

    juce::String getDevicePath() const override
    {
        return inner->getDevicePath();
    }
    void wake() override
    {
        inner->wake();
    }
    bool configure (const SerialPortSettings& s) override
    {
        return Call (*record), inner->configure (s);
    }
    WaitResult waitUntilReadable (int ms) override
    {
        return Call (*record), inner->waitUntilReadable (ms);
    }
    WaitResult waitUntilWritable (int ms) override
    {
        return Call (*record), inner->waitUntilWritable (ms);
    }
    int read (void* destination, int n) override
    {
        return Call (*record), inner->read (destination, n);
    }

    bool close() override
    {
        record->closedDuringCall = record->closedDuringCall || record->callsInProgress != 0;
        return inner->close();
    }

    int write (const void* source, int numBytes) override
    {
        const Call call (*record);
        const std::lock_guard<std::mutex> sl (record->mutex);
        record->writeSizes.push_back (numBytes);
        if (!record->captureWrites)
            return inner->write (source, numBytes);
        record->captured.append (source, (size_t) numBytes);
        return numBytes;
    }

private:
    struct Call
    {
        explicit Call (BackendRecord& r) : record (r)
        {
            ++record.callsInProgress;
        }
        ~Call()
        {
            --record.callsInProgress;
        }
        BackendRecord& record;
    };

    std::unique_ptr<SerialPortBackend> inner;
    std::shared_ptr<BackendRecord> record;
};
