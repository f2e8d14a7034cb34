#pragma once

#include <juce_core/juce_core.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class SerialPort;
class SerialPortHandle;

/** The bytes the device sends, collected by a reader thread ("SerialInThread") so that
    read() never waits. The thread ends when the port closes, when the device goes away
    or when the stream is destroyed; the stream then keeps what it had collected. */
class SerialPortInputStream final : public juce::InputStream, public juce::Thread
{
public:
    /** Starts reading at once. The port must be open; over a closed one the thread ends
        straight away. */
    explicit SerialPortInputStream (SerialPort& port);

    /** Stops the reader thread, however long the data callback in progress takes,
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
    /** While set, each arrival of bytes calls it at once, on the reader thread, with this
        stream's lock held (it may read the stream there). A plain function rather than a
        broadcast: the reader may run in a process without a message loop, and the
        callback needs none. Any thread may set, replace or clear it (an empty function
        clears it); doing so waits for a call in progress on the reader thread to return,
        so once it returns the old callback is not running and never will be, and what it
        uses may go. From inside the callback itself it returns at once, and the call in
        progress finishes safely. */
    void setDataCallback (std::function<void()> callback);

    /** True once the reader has seen the device go (end of file, EIO, a hang-up). The
        data callback hears of it like an arrival, if one is set then. */
    bool hasLostDevice() const;

    void run() override;

private:
    using DataCallback = std::shared_ptr<const std::function<void()>>;

    /** One read of what is there: the bytes read (0 for none), or one of these. */
    static constexpr int closedPort = -1, gonePort = -2;
    int readChunk (char* chunk);

    void deliver (const char* data, int numBytes);
    void reportDeviceLost();
    void callDataCallback();
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
    DataCallback dataCallback; // under the lock; shared, so a call outlives its replacement
    std::atomic<bool> deviceLost{false};

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SerialPortInputStream)
};
