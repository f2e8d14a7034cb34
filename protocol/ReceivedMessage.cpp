#include "protocol/ReceivedMessage.h"

#include "log/GlobalLog.h"
#include "log/Utf8.h"
#include "protocol/LocalTimeZone.h"

#include <cstring>

ReceivedMessage::ReceivedMessage() = default;

ReceivedMessage::~ReceivedMessage() = default;

//==============================================================================
int ReceivedMessage::append (const void* data, int numBytes)
{
    if (complete || data == nullptr || numBytes <= 0)
        return 0;

    auto* source = static_cast<const juce::uint8*> (data);
    int used = 0;

    if (!headerValid)
    {
        const auto headerBytes = juce::jmin (headerSize - receivedCount, numBytes);
        std::memcpy (bytes + receivedCount, source, (size_t) headerBytes);
        receivedCount += headerBytes;
        used = headerBytes;
        source += headerBytes;
        numBytes -= headerBytes;

        if (receivedCount < headerSize)
            return used;

        headerValid = true;

        // The lines go to the log slot, never to standard output, which carries
        // nothing but the command line tool's results.
        const auto id = getMessageId();
        if (id >= 0x8007)
        {
            globalLog ("Invalid message ID - " + juce::String ((int) id));
            headerValid = false;
        }

        bodySize = juce::ByteOrder::littleEndianInt (bytes + 2);
        if (bodySize > (juce::uint32) maxBodySize)
        {
            globalLog ("invalid size read - " + juce::String ((int) bodySize));
            headerValid = false;
        }

        if (!headerValid)
        {
            globalLog ("Invalid header - dumping message");
            reset();
            return used;
        }

        // Room for this message's own bytes only: a flood of small messages must not
        // cost the largest size each.
        storage = std::make_unique<juce::uint8[]> ((size_t) bodySize + headerSize);
        std::memcpy (storage.get(), header, headerSize);
        bytes = storage.get();
    }

    const auto bodyBytes = juce::jmin (numBytes, (int) bodySize + headerSize - receivedCount);
    if (bodyBytes > 0)
    {
        std::memcpy (bytes + receivedCount, source, (size_t) bodyBytes);
        receivedCount += bodyBytes;
        used += bodyBytes;
    }

    if (receivedCount == (int) bodySize + headerSize)
        complete = true;

    return used;
}

bool ReceivedMessage::isComplete() const
{
    return complete;
}

bool ReceivedMessage::isAsync() const
{
    if (!headerValid)
        return false;

    switch (getMessageId())
    {
    case 0x8000:
    case 0x8001:
    case 0x8002:
    case 0x8005:
    case 0x8006:
        return true;
    default:
        return false;
    }
}

void ReceivedMessage::reset()
{
    readPosition = 0;
    receivedCount = 0;
    complete = false;
    headerValid = false;
    overrun = false;
    bodySize = 0;
    bytes = header;
    storage.reset();
}

void ReceivedMessage::rewind()
{
    readPosition = 0;
    overrun = false;
}

juce::uint16 ReceivedMessage::getMessageId() const
{
    return receivedCount >= 2 ? juce::ByteOrder::littleEndianShort (bytes) : (juce::uint16) 0;
}

juce::uint32 ReceivedMessage::getBodySize() const
{
    return bodySize;
}

//==============================================================================
const juce::uint8* ReceivedMessage::take (int numBytes)
{
    if (numBytes < 0 || numBytes > bytesLeft())
    {
        overrun = true;
        readPosition = receivedCount;
        return nullptr;
    }

    const auto* field = bytes + readPosition;
    readPosition += numBytes;
    return field;
}

juce::uint8 ReceivedMessage::readUInt8()
{
    const auto* field = take (1);
    return field != nullptr ? field[0] : (juce::uint8) 0;
}

bool ReceivedMessage::readBool()
{
    return readUInt8() != 0;
}

juce::uint16 ReceivedMessage::readUInt16()
{
    const auto* field = take (2);
    return field != nullptr ? juce::ByteOrder::littleEndianShort (field) : (juce::uint16) 0;
}

juce::int32 ReceivedMessage::readInt32()
{
    const auto* field = take (4);
    return field != nullptr ? (juce::int32) juce::ByteOrder::littleEndianInt (field) : 0;
}

juce::int64 ReceivedMessage::readInt64()
{
    const auto* field = take (8);
    return field != nullptr ? (juce::int64) juce::ByteOrder::littleEndianInt64 (field) : 0;
}

const juce::uint8* ReceivedMessage::readBytes (int n)
{
    return take (n);
}

juce::String ReceivedMessage::readString (juce::MemoryBlock* textBytes)
{
    if (textBytes != nullptr)
        textBytes->reset();

    const auto numBytes = readInt32();
    if (numBytes <= 0)
        return {};

    const auto* bytes = take (numBytes);
    if (bytes == nullptr)
        return {};

    const auto* end = static_cast<const juce::uint8*> (std::memchr (bytes, 0, (size_t) numBytes));
    const auto length = end != nullptr ? (int) (end - bytes) : numBytes;

    if (textBytes != nullptr)
        textBytes->replaceAll (bytes, (size_t) length);

    if (isValidUtf8 (bytes, length))
        return juce::String::fromUTF8 (reinterpret_cast<const char*> (bytes), length);

    // Not UTF-8: the older devices send ISO-8859-1, one character per byte.
    juce::String text;
    text.preallocateBytes ((size_t) length * 2);
    for (int i = 0; i < length; ++i)
        text += (juce::juce_wchar) bytes[i];
    return text;
}

juce::Time ReceivedMessage::readTimestamp()
{
    const auto* field = take (6);
    if (field == nullptr)
        return {};

    const auto year = (juce::int16) juce::ByteOrder::littleEndianShort (field);
    const auto month = (juce::int8) field[2];
    const auto day = (juce::int8) field[3];
    const auto hours = (juce::int8) field[4];
    const auto minutes = (juce::int8) field[5];

    if (year == 0 && month == 0 && day == 0 && hours == 0 && minutes == 0)
        return {};

    return LocalTimeZone::toTime (year, month, day, hours, minutes);
}

bool ReceivedMessage::hasOverrun() const
{
    return overrun;
}

int ReceivedMessage::getReadPosition() const
{
    return readPosition;
}

int ReceivedMessage::bytesLeft() const
{
    return receivedCount - readPosition;
}

//==============================================================================
// Strict: no overlong forms, no surrogates, nothing above U+10FFFF, so that a
// Latin-1 text is not mistaken for UTF-8 more often than it must be.
bool ReceivedMessage::isValidUtf8 (const juce::uint8* text, int numBytes)
{
    return Utf8::isValid (text, numBytes);
}

bool ReceivedMessage::peekSerialNumber (juce::int32& serial) const
{
    if (!headerValid || bodySize < 4 || receivedCount < headerSize + 4)
        return false;

    serial = (juce::int32) juce::ByteOrder::littleEndianInt (bytes + headerSize);
    return true;
}
