#include "MessageBytes.h"

#include <gtest/gtest.h>

namespace
{
int appendHex (ReceivedMessage& message, const juce::String& hex)
{
    const auto bytes = hexBytes (hex);
    return message.append (bytes.getData(), (int) bytes.getSize());
}
} // namespace

TEST (ReceivedMessage, AssemblesHeaderSplitTwoThreeOneThenBody)
{
    ReceivedMessage message;
    EXPECT_EQ (appendHex (message, "0500"), 2);
    EXPECT_EQ (appendHex (message, "050000"), 3);
    EXPECT_EQ (appendHex (message, "00"), 1);
    EXPECT_FALSE (message.isComplete());
    EXPECT_EQ (message.getMessageId(), 5);
    EXPECT_EQ (message.getBodySize(), 5u);

    // Only the body's five bytes are taken; the rest belongs to the next message.
    EXPECT_EQ (appendHex (message, "2A00000001 0200"), 5);
    EXPECT_TRUE (message.isComplete());
    EXPECT_EQ (appendHex (message, "0200"), 0);
}

TEST (ReceivedMessage, EmptyBodyCompletesWithTheSixthByte)
{
    ReceivedMessage message;
    EXPECT_EQ (appendHex (message, "0280 00000000 0200"), 6);
    EXPECT_TRUE (message.isComplete());
    EXPECT_TRUE (message.isAsync());
    EXPECT_EQ (message.bytesLeft(), 6);
}

TEST (ReceivedMessage, AcceptsTheLargestBody)
{
    auto bytes = hexBytes ("0D00 F91F0000");
    bytes.setSize (6 + 8185 + 3, true);

    ReceivedMessage message;
    EXPECT_EQ (message.append (bytes.getData(), (int) bytes.getSize()), 8191);
    EXPECT_TRUE (message.isComplete());
}

TEST (ReceivedMessage, DropsBadHeadersWithTheirLinesInTheLogNotOnStandardOutput)
{
    const struct
    {
        const char* header;
        const char* output;
    } cases[] = {
        {"0780 00000000", "Invalid message ID - 32775\nInvalid header - dumping message"},
        {"0100 FA1F0000", "invalid size read - 8186\nInvalid header - dumping message"},
        {"0100 FFFFFFFF", "invalid size read - -1\nInvalid header - dumping message"},
        {"FFFF 00200000", "Invalid message ID - 65535\ninvalid size read - 8192\nInvalid header - dumping message"},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.header);
        ReceivedMessage message;

        // The six header bytes are used up; the record starts over right after them.
        const CapturingLogger log;
        testing::internal::CaptureStdout();
        EXPECT_EQ (appendHex (message, juce::String (c.header) + "0200 04000000 2A000000"), 6);
        EXPECT_EQ (testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ (log.lines().joinIntoString ("\n"), c.output);

        EXPECT_FALSE (message.isComplete());
        EXPECT_EQ (appendHex (message, "0200 04000000 2A000000"), 10);
        EXPECT_TRUE (message.isComplete());
        EXPECT_EQ (message.getMessageId(), 2);
    }
}

TEST (ReceivedMessage, ClassifiesAsynchronousIds)
{
    const struct
    {
        juce::uint16 id;
        bool async;
    } cases[] = {{0x0001, false}, {0x7fff, false}, {0x8000, true}, {0x8001, true}, {0x8002, true},
                 {0x8003, false}, {0x8004, false}, {0x8005, true}, {0x8006, true}};

    for (const auto& c : cases)
        EXPECT_EQ (received (framed (c.id, ""))->isAsync(), c.async) << c.id;
}

TEST (ReceivedMessage, ReadsLittleEndianPrimitives)
{
    auto message = received (hexBytes ("0200 17000000 AB 02 00 3412 FEFFFFFF 0807060504030201 E707030F0D2D"));
    EXPECT_EQ (message->readUInt16(), 2);
    EXPECT_EQ (message->readInt32(), 0x17);
    EXPECT_EQ (message->readUInt8(), 0xab);
    EXPECT_TRUE (message->readBool());
    EXPECT_FALSE (message->readBool());
    EXPECT_EQ (message->readUInt16(), 0x1234);
    EXPECT_EQ (message->readInt32(), -2);
    EXPECT_EQ (message->readInt64(), 0x0102030405060708);

    const auto time = message->readTimestamp();
    EXPECT_EQ (time.getYear(), 2023);
    EXPECT_EQ (time.getMonth(), 3); // April: months count from 0
    EXPECT_EQ (time.getDayOfMonth(), 15);
    EXPECT_EQ (time.getHours(), 13);
    EXPECT_EQ (time.getMinutes(), 45);
    EXPECT_EQ (time.getSeconds(), 0);

    EXPECT_EQ (message->bytesLeft(), 0);
    EXPECT_FALSE (message->hasOverrun());
}

TEST (ReceivedMessage, ReadsIncomingStrings)
{
    const struct
    {
        const char* body;
        const char* utf8Text;
        int consumed;
    } cases[] = {
        {"00000000 41", "", 4},                             // length 0
        {"FFFFFFFF 41", "", 4},                             // negative length
        {"00000080 41", "", 4},                             // most negative length
        {"05000000 4142004344", "AB", 9},                   // stops at the zero, consumes all
        {"04000000 2FC3A974", "/\xc3\xa9t", 8},             // UTF-8
        {"03000000 E97465", "\xc3\xa9te", 7},               // Latin-1
        {"02000000 41C3", "A\xc3\x83", 6},                  // cut UTF-8 sequence: Latin-1
        {"02000000 C080", "\xc3\x80\xc2\x80", 6},           // overlong form: Latin-1
        {"03000000 EDA080", "\xc3\xad\xc2\xa0\xc2\x80", 7}, // surrogate: Latin-1
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.body);
        auto message = cursorOnBody (received (framed (2, c.body)));
        EXPECT_EQ (message->readString(), juce::String (juce::CharPointer_UTF8 (c.utf8Text)));
        EXPECT_EQ (message->getReadPosition(), 6 + c.consumed);
        EXPECT_FALSE (message->hasOverrun());
    }
}

TEST (ReceivedMessage, GivesAStringsBytesAsSentBesideItsText)
{
    // An accented letter in ISO-8859-1 and in UTF-8 reads the same; the bytes differ.
    const struct
    {
        const char* body;
        const char* bytes;
    } cases[] = {
        {"03000000 E97465", "E97465"},
        {"04000000 C3A97465", "C3A97465"},
        {"05000000 4142004344", "4142"}, // up to the zero, as the text
        {"00000000", ""},
        {"FFFFFFFF", ""},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.body);
        auto message = cursorOnBody (received (framed (2, c.body)));
        juce::MemoryBlock bytes ("stale", 5);
        message->readString (&bytes);
        EXPECT_EQ (bytes, hexBytes (c.bytes));
    }

    auto latin1 = cursorOnBody (received (framed (2, "03000000 E97465")));
    auto utf8 = cursorOnBody (received (framed (2, "04000000 C3A97465")));
    juce::MemoryBlock latin1Bytes, utf8Bytes;
    EXPECT_EQ (latin1->readString (&latin1Bytes), utf8->readString (&utf8Bytes));
    EXPECT_NE (latin1Bytes, utf8Bytes);
}

TEST (ReceivedMessage, FieldsThatOverrunTheBodyReadAsEmpty)
{
    const struct
    {
        const char* body;
        std::function<bool (ReceivedMessage&)> readsEmpty;
    } cases[] = {
        {"0A000000 41424344", [] (auto& m) { return m.readString().isEmpty(); }},
        {"FFFFFF7F 41424344", [] (auto& m) { return m.readString().isEmpty(); }},
        {"010203", [] (auto& m) { return m.readInt32() == 0; }},
        {"01020304050607", [] (auto& m) { return m.readInt64() == 0; }},
        {"01", [] (auto& m) { return m.readUInt16() == 0; }},
        {"E70703", [] (auto& m) { return m.readTimestamp() == juce::Time(); }},
        {"41424344", [] (auto& m) { return m.readBytes (5) == nullptr; }},
        {"41424344", [] (auto& m) { return m.readBytes (-1) == nullptr; }},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.body);

        // Stale bytes of an earlier, longer message lie beyond the body; a read
        // that ignored the body size would find them.
        auto message = received (framed (2, "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"));
        message->reset();
        const auto bytes = framed (2, c.body);
        message->append (bytes.getData(), (int) bytes.getSize());
        message = cursorOnBody (std::move (message));

        EXPECT_TRUE (c.readsEmpty (*message));
        EXPECT_TRUE (message->hasOverrun());
        EXPECT_EQ (message->getReadPosition(), (int) bytes.getSize());
        EXPECT_EQ (message->bytesLeft(), 0);
        EXPECT_EQ (message->readUInt8(), 0);
    }
}
