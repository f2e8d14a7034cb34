#pragma once

#include <juce_core/juce_core.h>

#include <cstdint>
#include <memory>

class SerialPort;
class SerialPortHandle;

/** Bytes for the device, handed to the port by a writer thread ("SerialOutThread") so
    that write() never waits. The thread sends when flush() wakes it, or within 100 ms
    without; it ends when the port closes, when the device goes away or when the stream
    is destroyed. Bytes still queued then are never sent. */
class SerialPortOutputStream final : public juce::OutputStream, public juce::Thread
{
public:
    /** Starts the writer at once. Over a closed port the thread ends straight away. */
    explicit SerialPortOutputStream (SerialPort& port);

    /** Stops the writer thread before anything it uses is released; queued bytes are
        discarded. */
    ~SerialPortOutputStream() override;

    //==============================================================================
    /** Wakes the writer; does not wait for the bytes to leave. */
    void flush() override;

    /** A stream without positions: false and -1. */
    bool setPosition (juce::int64 newPosition) override;
    juce::int64 getPosition() override;

    /** Queues the bytes and returns true at once, even after the port has closed. */
    bool write (const void* data, size_t numBytes) override;

    //==============================================================================
    void run() override;

private:
    size_t copyPending (char* destination, size_t maxBytes);
    void removeSent (size_t numBytes);

    static constexpr int writeChunkSize = 8192;
    static constexpr int waitSliceMs = 100;

    std::shared_ptr<SerialPortHandle> handle;
    const std::uint64_t opening;

    juce::CriticalSection lock;
    juce::MemoryBlock buffer; // its first numBytesPending bytes are unsent, oldest first
    size_t numBytesPending = 0;
    juce::WaitableEvent wakeEvent;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SerialPortOutputStream)
};
