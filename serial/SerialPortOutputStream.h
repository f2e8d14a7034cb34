#pragma once

#include <juce_core/juce_core.h>

#include <cstdint>
#include <memory>

class SerialPort;
class SerialPortHandle;

/** Bytes for the device, handed to the port by a writer thread ("SerialOutThread") so
    that write() never waits. The thread sends when flush() wakes it, or within 100 ms
    without; it ends when the port closes, when the device goes away or when the stream
    is destroyed. Bytes still queued then are never sent.

    While the writer has nothing in hand, flush() offers the first chunk to the driver
    itself, without waiting: a request then leaves without a hand-over to the writer,
    and whatever the driver does not take is left to the writer as before. */
class SerialPortOutputStream final : public juce::OutputStream, public juce::Thread
{
public:
    /** Starts the writer at once. Over a closed port the thread ends straight away. */
    explicit SerialPortOutputStream (SerialPort& port);

    /** Stops the writer thread before anything it uses is released; queued bytes are
        discarded. */
    ~SerialPortOutputStream() override;

    //==============================================================================
    /** Sends what the driver takes at once, wakes the writer for the rest; never waits
        for the bytes to leave. */
    void flush() override;

    /** A stream without positions: false and -1. */
    bool setPosition (juce::int64 newPosition) override;
    juce::int64 getPosition() override;

    /** Queues the bytes and returns true at once, even after the port has closed. */
    bool write (const void* data, size_t numBytes) override;

    //==============================================================================
    void run() override;

private:
    size_t takePending (char* destination, size_t maxBytes);
    void removeSent (size_t numBytes);
    void makeRoomFor (size_t numBytes);
    bool sendFromCaller();

    static constexpr int writeChunkSize = 8192;
    static constexpr int waitSliceMs = 100;
    static constexpr size_t initialCapacity = 4 * writeChunkSize;

    std::shared_ptr<SerialPortHandle> handle;
    const std::uint64_t opening;

    juce::CriticalSection lock;
    juce::HeapBlock<char> buffer; // unsent bytes sit at [sendOffset, sendOffset + numBytesPending), oldest first
    size_t capacity = 0;
    size_t sendOffset = 0;
    size_t numBytesPending = 0;
    bool writerSending = false; // the writer holds a copy of the front bytes until removeSent
    bool writerEnded = false;
    juce::WaitableEvent wakeEvent;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SerialPortOutputStream)
};
