#include "protocol/TidewireClientResponse.h"

namespace
{
// Counts come from the device: the loop stops at the first field that does not
// fit, so a huge count costs no more than the message holds.
void readNames (ReceivedMessage& message, juce::StringArray& names, juce::Array<juce::MemoryBlock>& bytes)
{
    const auto count = message.readInt32();

    for (juce::int32 i = 0; i < count && !message.hasOverrun(); ++i)
    {
        juce::MemoryBlock nameBytes;
        names.add (message.readString (&nameBytes));
        bytes.add (std::move (nameBytes));
    }
}
} // namespace

//==============================================================================
TidewireClientResponse::TidewireClientResponse (std::unique_ptr<ReceivedMessage> messageToOwn)
    : message (std::move (messageToOwn)), messageId (message->getMessageId()), serialNumber (message->readInt32())
{
}

TidewireClientResponse::~TidewireClientResponse() = default;

int TidewireClientResponse::getSerialNumber() const
{
    return serialNumber;
}

juce::uint16 TidewireClientResponse::getMessageId() const
{
    return messageId;
}

ReceivedMessage& TidewireClientResponse::getMessage()
{
    return *message;
}

std::unique_ptr<ReceivedMessage> TidewireClientResponse::releaseMessage()
{
    return std::move (message);
}

bool TidewireClientResponse::isValid() const
{
    return !malformed && !message->hasOverrun();
}

void TidewireClientResponse::markMalformed()
{
    malformed = true;
}

//==============================================================================
WhoAmIResponse::WhoAmIResponse (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireClientResponse (std::move (messageToOwn))
{
    auto& m = getMessage();
    familyId = m.readUInt16();
    deviceId = m.readUInt16();
    protocolVersion = m.readUInt16();
    firmwareVersion = m.readUInt16();
    text1 = m.readString();
    text2 = m.readString();
}

SuccessResponse::SuccessResponse (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireClientResponse (std::move (messageToOwn))
{
}

FailureResponse::FailureResponse (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireClientResponse (std::move (messageToOwn)), text (getMessage().readString())
{
}

FileSystemEntryInfoResponse::FileSystemEntryInfoResponse (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireClientResponse (std::move (messageToOwn))
{
    auto& m = getMessage();
    flag0 = m.readBool();
    info.name = m.readString();
    info.exists = m.readBool() ? 1 : 0;
    info.size = m.readInt64();
    info.writable = m.readBool() ? 0 : 1; // the wire says read-only
    info.flag = m.readBool() ? 1 : 0;
    info.time1 = m.readTimestamp();
    info.modified = m.readTimestamp();
    info.time3 = m.readTimestamp();
}

FileOpenResponse::FileOpenResponse (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireClientResponse (std::move (messageToOwn))
{
    auto& m = getMessage();
    handle = m.readInt64();
    fileSize = m.readInt64();
}

FileReadResponse::FileReadResponse (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireClientResponse (std::move (messageToOwn))
{
    auto& m = getMessage();
    value = m.readInt64();
    count = m.readInt32();

    if (count < 0 || count > m.bytesLeft())
        markMalformed();
}

FolderContentsResponse::FolderContentsResponse (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireClientResponse (std::move (messageToOwn))
{
    readNames (getMessage(), fileNames, fileNameBytes);
    readNames (getMessage(), folderNames, folderNameBytes);
}

GetPropertiesResponse::GetPropertiesResponse (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireClientResponse (std::move (messageToOwn))
{
    auto& m = getMessage();

    const auto intCount = m.readUInt16();
    for (int i = 0; i < intCount && !m.hasOverrun(); ++i)
    {
        const auto propertyId = m.readUInt16();
        intProperties[propertyId] = m.readInt32();
    }

    const auto stringCount = m.readUInt16();
    for (int i = 0; i < stringCount && !m.hasOverrun(); ++i)
    {
        const auto propertyId = m.readUInt16();
        stringProperties[propertyId] = m.readString();
    }
}

ProcessLaunchResponse::ProcessLaunchResponse (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireClientResponse (std::move (messageToOwn)), value (getMessage().readInt64())
{
}

GetPropertyResponse::GetPropertyResponse (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireClientResponse (std::move (messageToOwn))
{
    readPropertyValue (getMessage());
}

//==============================================================================
void PropertyValue::readPropertyValue (ReceivedMessage& m)
{
    propertyId = m.readUInt16();
    stringValued = TidewireClientInputMessage::isStringProperty (propertyId);

    if (stringValued)
        stringValue = m.readString();
    else
        intValue = m.readInt32();
}
