#include "protocol/MessageAssembler.h"
#include "MessageBytes.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{
/** Keeps what the assembler hands on, split the way the client routes it. */
struct Collected
{
    std::vector<juce::MemoryBlock> responses, async;

    MessageAssembler::Sink sink()
    {
        return [this] (std::unique_ptr<ReceivedMessage> message)
        {
            const auto size = message->bytesLeft();
            juce::MemoryBlock bytes (message->readBytes (size), (size_t) size);
            (message->isAsync() ? async : responses).push_back (bytes);
        };
    }

    size_t total() const
    {
        return responses.size() + async.size();
    }
};

// A response, an event, and a response to 0x8003 whose last four bytes come later.
const auto first = hexBytes ("0200 04000000 2A000000");
const auto second = hexBytes ("0280 0C000000 07000000 0900000000000000");
const auto third = hexBytes ("0380 06000000 2B000000 BEEF");

juce::MemoryBlock joined (std::initializer_list<juce::MemoryBlock> parts)
{
    juce::MemoryBlock all;
    for (auto& p : parts)
        all.append (p.getData(), p.getSize());
    return all;
}

/** An input stream that claims to have more but never yields it. */
class StuckStream final : public juce::InputStream
{
public:
    juce::int64 getTotalLength() override
    {
        return -1;
    }
    bool isExhausted() override
    {
        return false;
    }
    int read (void*, int) override
    {
        return 0;
    }
    juce::int64 getPosition() override
    {
        return 0;
    }
    bool setPosition (juce::int64) override
    {
        return false;
    }
};
} // namespace

TEST (MessageAssembler, CutsAStreamAtEverySplitPoint)
{
    const auto stream = joined ({first, second, third});
    const auto halfOfThird = (int) (first.getSize() + second.getSize()) + 8;
    const auto* bytes = static_cast<const char*> (stream.getData());

    for (int split = 0; split <= halfOfThird; ++split)
    {
        SCOPED_TRACE (split);
        MessageAssembler assembler;
        Collected collected;

        assembler.append (bytes, (size_t) split, collected.sink());
        const auto whole = (split >= (int) first.getSize()) + (split >= (int) (first.getSize() + second.getSize()));
        EXPECT_EQ (collected.total(), (size_t) whole);

        assembler.append (bytes + split, (size_t) (halfOfThird - split), collected.sink());
        EXPECT_EQ (collected.total(), 2u);

        assembler.append (bytes + halfOfThird, stream.getSize() - (size_t) halfOfThird, collected.sink());
        ASSERT_EQ (collected.responses.size(), 2u);
        ASSERT_EQ (collected.async.size(), 1u);
        EXPECT_EQ (collected.responses[0], first);
        EXPECT_EQ (collected.async[0], second);
        EXPECT_EQ (collected.responses[1], third); // 0x8003 goes the way of responses
    }
}

TEST (MessageAssembler, DrainRoutesAsynchronousIdsApart)
{
    juce::MemoryBlock stream;
    for (juce::uint16 id : {0x0002, 0x8000, 0x8001, 0x8002, 0x8003, 0x8004, 0x8005, 0x8006})
        stream.append (framed (id, "").getData(), 6);

    juce::MemoryInputStream input (stream, false);
    MessageAssembler assembler;
    Collected collected;
    assembler.drain (input, collected.sink());

    const auto idsOf = [] (const std::vector<juce::MemoryBlock>& messages)
    {
        std::vector<int> ids;
        for (auto& m : messages)
            ids.push_back (juce::ByteOrder::littleEndianShort (m.getData()));
        return ids;
    };
    EXPECT_EQ (idsOf (collected.responses), (std::vector<int>{0x0002, 0x8003, 0x8004}));
    EXPECT_EQ (idsOf (collected.async), (std::vector<int>{0x8000, 0x8001, 0x8002, 0x8005, 0x8006}));
}

TEST (MessageAssembler, DrainKeepsAHalfMessageForTheNextCall)
{
    MessageAssembler assembler;
    Collected collected;

    juce::MemoryInputStream start (first.getData(), 5, false);
    assembler.drain (start, collected.sink());
    EXPECT_EQ (collected.total(), 0u);

    juce::MemoryInputStream rest (static_cast<const char*> (first.getData()) + 5, first.getSize() - 5, false);
    assembler.drain (rest, collected.sink());
    ASSERT_EQ (collected.total(), 1u);
    EXPECT_EQ (collected.responses[0], first);
}

TEST (MessageAssembler, DrainReturnsFromAStreamThatYieldsNothing)
{
    MessageAssembler assembler;
    Collected collected;
    StuckStream input;
    assembler.drain (input, collected.sink());
    EXPECT_EQ (collected.total(), 0u);
}

TEST (MessageAssembler, ResetDiscardsAHalfMessage)
{
    MessageAssembler assembler;
    Collected collected;
    assembler.append (second.getData(), 9, collected.sink());
    assembler.reset();
    assembler.append (first.getData(), first.getSize(), collected.sink());

    ASSERT_EQ (collected.total(), 1u);
    EXPECT_EQ (collected.responses[0], first);
}

TEST (MessageAssembler, RecoversAfterABadHeader)
{
    const auto stream = joined ({hexBytes ("0780 00000000"), first});
    MessageAssembler assembler;
    Collected collected;

    const CapturingLogger log;
    testing::internal::CaptureStdout();
    assembler.append (stream.getData(), stream.getSize(), collected.sink());
    EXPECT_EQ (testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ (log.lines(), juce::StringArray ({"Invalid message ID - 32775", "Invalid header - dumping message"}));

    ASSERT_EQ (collected.total(), 1u);
    EXPECT_EQ (collected.responses[0], first);
}
