#pragma once

#include <juce_core/juce_core.h>
#include <juce_events/juce_events.h>

#include <atomic>
#include <cstdint>
#include <memory>

class SerialPort;
class SerialPortHandle;

/** The bytes the device sends, collected by a reader thread ("SerialInThread") so that
    read() never waits. The thread ends when the port closes, when the device goes away
    or when the stream is destroyed; the stream then keeps what it had collected. */
class SerialPortInputStream final : public juce::InputStream, public juce::ChangeBroadcaster, public juce::Thread
{
public:
    /** Starts reading at once. The port must be open; over a closed one the thread ends
        straight away. */
    explicit SerialPortInputStream (SerialPort& port);

    /** Stops the reader thread, however long the change callback in progress takes,
        before anything it uses is released. Unread bytes are discarded. */
    ~SerialPortInputStream() override;

    //==============================================================================
    /** The bytes collected and not yet read. */
    juce::int64 getTotalLength() override;
    bool isExhausted() override;

    /** Copies what is there, up to maxBytes, and returns at once: 0 when nothing is. */
    int read (void* destination, int maxBytes) override;

    /** Up to the next line feed (consumed) or the end of what is there, trimmed. */
    juce::String readNextLine() override;

    /** A stream without positions: -1. */
    juce::int64 getPosition() override;
    bool setPosition (juce::int64 newPosition) override;

    //==============================================================================
    /** While on, each arrival of bytes calls the change listeners at once, on the reader
        thread, with this stream's lock held (the listeners may read the stream there).
        Turning it off waits for a call in progress to return. */
    void setNotifyOnData (bool shouldNotify);

    /** True once the reader has seen the device go (end of file, EIO, a hang-up). The
        change listeners hear of it like an arrival, if notification is on then. */
    bool hasLostDevice() const;

    void run() override;

private:
    /** One read of what is there: the bytes read (0 for none), or one of these. */
    static constexpr int closedPort = -1, gonePort = -2;
    int readChunk (char* chunk);

    void deliver (const char* data, int numBytes);
    void reportDeviceLost();
    void makeRoomFor (size_t numBytes);

    static constexpr int readChunkSize = 8192;
    static constexpr int waitSliceMs = 100;
    static constexpr int readOnAfter = 1024;
    static constexpr int initialCapacity = 4 * readChunkSize;

    std::shared_ptr<SerialPortHandle> handle;
    const std::uint64_t opening;

    juce::CriticalSection lock;
    juce::HeapBlock<char> buffer; // unread bytes sit at [readOffset, readOffset + numBytesAvailable)
    size_t capacity = 0;
    size_t readOffset = 0;
    size_t numBytesAvailable = 0;
    bool notifyOnData = false;
    std::atomic<bool> deviceLost{false};

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SerialPortInputStream)
};
