#pragma once

#include "protocol/ReceivedMessage.h"

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>

/** Cuts the incoming byte stream into ReceivedMessage records. A record may be
    spread over any number of reads; one read may finish several. Used on the
    port's reader thread only. */
class MessageAssembler final
{
public:
    /** Receives each complete record; the record is the sink's from then on. */
    using Sink = std::function<void (std::unique_ptr<ReceivedMessage>)>;

    MessageAssembler();
    ~MessageAssembler();

    /** Reads everything the stream holds, until it reports exhaustion, and hands
        each complete record to the sink. */
    void drain (juce::InputStream& input, const Sink& sink);

    void append (const void* data, size_t numBytes, const Sink& sink);

    /** Discards a half-assembled record. */
    void reset();

private:
    static constexpr int scratchSize = 8192;

    std::unique_ptr<ReceivedMessage> assembling;
    juce::HeapBlock<char> scratch; // what drain takes from the stream, on its way into a record

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MessageAssembler)
};
