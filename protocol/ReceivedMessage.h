#pragma once

#include <juce_core/juce_core.h>

#include <memory>

/** One incoming Tidewire message: assembled from any split of the byte stream,
    then read field by field by the message classes.

    The header is 6 bytes: a u16 message ID and a u32 body size, little-endian.
    Every read is bounded by the end of the message; a field that does not fit
    yields a zero value, moves the cursor to the end and sets hasOverrun(). */
class ReceivedMessage final
{
public:
    static constexpr int headerSize = 6, maxBodySize = 8185, maxMessageSize = 8191;

    ReceivedMessage();
    ~ReceivedMessage();

    //==============================================================================
    /** Stores as many of the bytes as belong to this message and returns how many
        were used; never takes bytes of the next message. A bad header is reported
        on standard output and its six bytes are used up and dropped. */
    int append (const void* data, int numBytes);

    bool isComplete() const;

    /** True for the messages the device sends on its own (0x8000..0x8002, 0x8005,
        0x8006); 0x8003 and 0x8004 travel the way of responses. */
    bool isAsync() const;

    /** Starts over with an empty record. */
    void reset();

    /** Puts the cursor back on the first header byte, as a freshly completed message. */
    void rewind();

    /** From the header; 0 before the header is in. */
    juce::uint16 getMessageId() const;
    juce::uint32 getBodySize() const;

    //==============================================================================
    juce::uint8 readUInt8();
    bool readBool();
    juce::uint16 readUInt16();
    juce::int32 readInt32();
    juce::int64 readInt64();

    /** Points into the buffer at the cursor and advances by n; nullptr (and an
        overrun) when n is negative or more than the bytes left. */
    const juce::uint8* readBytes (int n);

    /** An i32 byte count and that many bytes. The text ends at the first zero byte
        and is read as UTF-8 when valid, else as ISO-8859-1; all bytes are consumed.
        The two readings can give the same text for different bytes (an accented
        letter in either form), so whoever must name the entry back exactly, or tell
        such names apart, takes the text's bytes as sent into textBytes too. */
    juce::String readString (juce::MemoryBlock* textBytes = nullptr);

    /** Year (i16), month (0 = January), day, hours, minutes, in local time; all
        zeros is the zero time. */
    juce::Time readTimestamp();

    /** Set once a read wanted more bytes than the message holds. */
    bool hasOverrun() const;
    int getReadPosition() const;
    int bytesLeft() const;

    /** The serial number that begins a request's or response's body; false when the
        body is too short to hold one. */
    bool peekSerialNumber (juce::int32& serial) const;

    /** Strict UTF-8: no stray continuation bytes, no overlong forms, no surrogates,
        nothing above U+10FFFF, no sequence cut short by the end. */
    static bool isValidUtf8 (const juce::uint8* text, int numBytes);

    /** Link for the queues that hold finished messages; not owned. */
    ReceivedMessage* next = nullptr;

private:
    const juce::uint8* take (int numBytes);

    juce::uint8 header[headerSize] = {};
    std::unique_ptr<juce::uint8[]> storage; // the whole message, sized once the header is in
    juce::uint8* bytes = header;            // where the bytes received so far are
    int readPosition = 0;
    int receivedCount = 0;
    bool complete = false;
    bool headerValid = false;
    bool overrun = false;
    juce::uint32 bodySize = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ReceivedMessage)
};
