#pragma once

#include "protocol/FileSystemEntryInfo.h"
#include "protocol/ReceivedMessage.h"
#include "protocol/TidewireClientInputMessage.h"

#include <juce_core/juce_core.h>

#include <map>
#include <memory>

/** A response: it repeats the serial number of the request it answers and owns
    the message it was parsed from. Each concrete response is built from a message
    whose cursor stands on the body (the factory has read ID and body size).

    The concrete responses live in this file too: each is a handful of lines. */
class TidewireClientResponse : public TidewireClientInputMessage
{
public:
    virtual ~TidewireClientResponse();

    int getSerialNumber() const;
    juce::uint16 getMessageId() const;
    ReceivedMessage& getMessage();

    /** Gives the message back (its cursor where the reads left it); the response is
        then only good for destruction. */
    std::unique_ptr<ReceivedMessage> releaseMessage();

    /** False when a field ran past the end of the message or contradicts it; such a
        response is treated as unrecognised. */
    bool isValid() const;

protected:
    explicit TidewireClientResponse (std::unique_ptr<ReceivedMessage> message);

    void markMalformed();

private:
    std::unique_ptr<ReceivedMessage> message;
    juce::uint16 messageId;
    int serialNumber;
    bool malformed = false;

    JUCE_DECLARE_NON_COPYABLE (TidewireClientResponse)
};

//==============================================================================
class WhoAmIResponse final : public TidewireClientResponse
{
public:
    static constexpr juce::uint16 id = 0x0001;

    explicit WhoAmIResponse (std::unique_ptr<ReceivedMessage> message);

    juce::uint16 getFamilyId() const
    {
        return familyId;
    }
    juce::uint16 getDeviceId() const
    {
        return deviceId;
    }
    juce::uint16 getProtocolVersion() const
    {
        return protocolVersion;
    }
    juce::uint16 getFirmwareVersion() const
    {
        return firmwareVersion;
    }
    const juce::String& getText1() const
    {
        return text1;
    }
    const juce::String& getText2() const
    {
        return text2;
    }

private:
    juce::uint16 familyId, deviceId, protocolVersion, firmwareVersion;
    juce::String text1, text2;
};

class SuccessResponse final : public TidewireClientResponse
{
public:
    static constexpr juce::uint16 id = 0x0002;

    explicit SuccessResponse (std::unique_ptr<ReceivedMessage> message);
};

/** The device refused a request; the text says why. */
class FailureResponse final : public TidewireClientResponse
{
public:
    static constexpr juce::uint16 id = 0x0003;

    explicit FailureResponse (std::unique_ptr<ReceivedMessage> message);

    const juce::String& getText() const
    {
        return text;
    }

private:
    juce::String text;
};

class FileSystemEntryInfoResponse final : public TidewireClientResponse
{
public:
    static constexpr juce::uint16 id = 0x0005;

    explicit FileSystemEntryInfoResponse (std::unique_ptr<ReceivedMessage> message);

    bool getFlag0() const
    {
        return flag0;
    }
    const FileSystemEntryInfo& getInfo() const
    {
        return info;
    }

private:
    bool flag0;
    FileSystemEntryInfo info;
};

class FileOpenResponse final : public TidewireClientResponse
{
public:
    static constexpr juce::uint16 id = 0x000b;

    explicit FileOpenResponse (std::unique_ptr<ReceivedMessage> message);

    juce::int64 getHandle() const
    {
        return handle;
    }
    juce::int64 getFileSize() const
    {
        return fileSize;
    }

private:
    juce::int64 handle, fileSize;
};

/** One block of file data. The bytes stay in the message, whose cursor stands on
    them: take them with getMessage().readBytes (getCount()). */
class FileReadResponse final : public TidewireClientResponse
{
public:
    static constexpr juce::uint16 id = 0x000d;

    /** A count that is negative or larger than the bytes that follow it makes the
        response malformed. */
    explicit FileReadResponse (std::unique_ptr<ReceivedMessage> message);

    juce::int64 getValue() const
    {
        return value;
    }
    juce::int32 getCount() const
    {
        return count;
    }

private:
    juce::int64 value;
    juce::int32 count;
};

/** The names (not paths) in one folder, in the order the device sent them. */
class FolderContentsResponse final : public TidewireClientResponse
{
public:
    static constexpr juce::uint16 id = 0x0012;

    explicit FolderContentsResponse (std::unique_ptr<ReceivedMessage> message);

    const juce::StringArray& getFileNames() const
    {
        return fileNames;
    }
    const juce::StringArray& getFolderNames() const
    {
        return folderNames;
    }

    /** Each name's bytes as the device sent them, in the order of the names: a name
        that is not UTF-8 cannot be told from its text alone. */
    const juce::Array<juce::MemoryBlock>& getFileNameBytes() const
    {
        return fileNameBytes;
    }
    const juce::Array<juce::MemoryBlock>& getFolderNameBytes() const
    {
        return folderNameBytes;
    }

private:
    juce::StringArray fileNames, folderNames;
    juce::Array<juce::MemoryBlock> fileNameBytes, folderNameBytes;
};

/** Numeric and string properties in two maps; a repeated ID keeps its last value. */
class GetPropertiesResponse final : public TidewireClientResponse
{
public:
    static constexpr juce::uint16 id = 0x0014;

    explicit GetPropertiesResponse (std::unique_ptr<ReceivedMessage> message);

    const std::map<juce::uint16, juce::int32>& getIntProperties() const
    {
        return intProperties;
    }
    const std::map<juce::uint16, juce::String>& getStringProperties() const
    {
        return stringProperties;
    }

private:
    std::map<juce::uint16, juce::int32> intProperties;
    std::map<juce::uint16, juce::String> stringProperties;
};

class ProcessLaunchResponse final : public TidewireClientResponse
{
public:
    static constexpr juce::uint16 id = 0x0018;

    explicit ProcessLaunchResponse (std::unique_ptr<ReceivedMessage> message);

    juce::int64 getValue() const
    {
        return value;
    }

private:
    juce::int64 value;
};

/** One property; its ID decides whether the value is a string (see isStringProperty). */
class GetPropertyResponse final : public TidewireClientResponse,
                                  public PropertyValue
{
public:
    static constexpr juce::uint16 id = 0x001b;

    explicit GetPropertyResponse (std::unique_ptr<ReceivedMessage> message);
};
