#include "protocol/MessageAssembler.h"

#include <limits>

MessageAssembler::MessageAssembler() : scratch (scratchSize) {}

MessageAssembler::~MessageAssembler() = default;

void MessageAssembler::drain (juce::InputStream& input, const Sink& sink)
{
    while (!input.isExhausted())
    {
        const auto n = input.read (scratch, scratchSize);

        // A stream that claims more but yields nothing must not spin this thread.
        if (n <= 0)
            break;

        append (scratch, (size_t) n, sink);
    }
}

void MessageAssembler::append (const void* data, size_t numBytes, const Sink& sink)
{
    if (data == nullptr)
        return;

    auto* bytes = static_cast<const juce::uint8*> (data);

    while (numBytes > 0)
    {
        if (assembling == nullptr)
            assembling = std::make_unique<ReceivedMessage>();

        const auto chunk = (int) juce::jmin (numBytes, (size_t) std::numeric_limits<int>::max());
        const auto used = assembling->append (bytes, chunk);
        bytes += used;
        numBytes -= (size_t) used;

        if (assembling->isComplete())
        {
            if (sink)
                sink (std::move (assembling));

            assembling.reset();
        }
    }
}

void MessageAssembler::reset()
{
    assembling.reset();
}
