// The byte-stream assembler fed any bytes in any chunks. Besides the sanitizers'
// findings it checks the property the reader thread relies on: how the stream is
// cut into reads never changes the messages that come out of it.

#include "protocol/MessageAssembler.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace
{
using Messages = std::vector<std::string>;

MessageAssembler::Sink collectInto (Messages& messages)
{
    return [&messages] (std::unique_ptr<ReceivedMessage> message)
    {
        if (message == nullptr || !message->isComplete())
            std::abort();

        const auto size = (int) message->getBodySize() + ReceivedMessage::headerSize;
        if (size > ReceivedMessage::maxMessageSize)
            std::abort();

        // Read the record as a parser would: header, then the body to its last byte.
        if (message->readUInt16() != message->getMessageId() || message->readInt32() != (int) message->getBodySize())
            std::abort();
        const auto* body = message->readBytes (message->bytesLeft());
        if (message->bytesLeft() != 0 || message->hasOverrun() || (body == nullptr && message->getBodySize() != 0))
            std::abort();

        std::string bytes;
        bytes += std::to_string (message->getMessageId()) + ":";
        if (body != nullptr)
            bytes.append (reinterpret_cast<const char*> (body), message->getBodySize());
        messages.push_back (std::move (bytes));
    };
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    // The first bytes choose the cuts, the rest is the stream.
    FuzzedDataProvider provider (data, size);
    const auto numCuts = provider.ConsumeIntegralInRange<size_t> (0, 16);
    std::vector<size_t> cuts;
    for (size_t i = 0; i < numCuts; ++i)
        cuts.push_back (provider.ConsumeIntegralInRange<size_t> (0, 9000));
    const auto stream = provider.ConsumeRemainingBytes<uint8_t>();

    Messages whole, chunked;

    {
        MessageAssembler assembler;
        const auto sink = collectInto (whole);
        assembler.append (stream.data(), stream.size(), sink);
    }

    {
        MessageAssembler assembler;
        const auto sink = collectInto (chunked);
        size_t offset = 0, cut = 0, emptyReads = 0;
        while (offset < stream.size())
        {
            // An empty read, as a stream may report one, must change nothing.
            auto n = std::min (cuts.empty() ? stream.size() : cuts[cut++ % cuts.size()], stream.size() - offset);
            if (n == 0 && ++emptyReads > cuts.size())
                n = stream.size() - offset;
            assembler.append (stream.data() + offset, n, sink);
            offset += n;
        }
    }

    // The reader thread's own path: everything a stream holds, drained.
    Messages drained;
    {
        MessageAssembler assembler;
        juce::MemoryInputStream input (stream.data(), stream.size(), false);
        assembler.drain (input, collectInto (drained));
    }

    if (whole != chunked || whole != drained)
        std::abort();

    return 0;
}
