#pragma once

#include "TestSupport.h"
#include "protocol/ReceivedMessage.h"

#include <gtest/gtest.h>

#include <memory>

/** The header for a body written by hand: u16 ID and u32 size, little-endian. */
inline juce::MemoryBlock framed (juce::uint16 messageId, const juce::String& bodyHex, int cutBytes = 0)
{
    auto body = hexBytes (bodyHex);
    body.setSize (body.getSize() - (size_t) cutBytes);

    juce::MemoryOutputStream out;
    out.writeShort ((short) messageId);
    out.writeInt ((int) body.getSize());
    out << body;
    return out.getMemoryBlock();
}

/** A complete record holding exactly these bytes. */
inline std::unique_ptr<ReceivedMessage> received (const juce::MemoryBlock& bytes)
{
    auto message = std::make_unique<ReceivedMessage>();
    EXPECT_EQ (message->append (bytes.getData(), (int) bytes.getSize()), (int) bytes.getSize());
    EXPECT_TRUE (message->isComplete());
    return message;
}

/** As the dispatcher hands it on: ID and body size read, the cursor on the body. */
inline std::unique_ptr<ReceivedMessage> cursorOnBody (std::unique_ptr<ReceivedMessage> message)
{
    message->readUInt16();
    message->readInt32();
    return message;
}

inline juce::String hexOf (const juce::MemoryBlock& block)
{
    return juce::String::toHexString (block.getData(), (int) block.getSize(), 0);
}
