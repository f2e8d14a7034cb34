#pragma once

#include "protocol/TidewireClientOutputMessage.h"

#include <juce_core/juce_core.h>

/** A request: a message that begins its body with a serial number, which the
    device's response repeats. The number is taken from the process-wide counter
    when the request is constructed.

    The concrete requests live in this file too: each is a handful of lines. */
class TidewireClientRequest : public TidewireClientOutputMessage
{
public:
    /** The largest file block one read response or write request carries: it fills
        the largest body (8185) after serial number, handle and count. */
    static constexpr int maxFileBlockSize = 8169;

    ~TidewireClientRequest() override;

    juce::uint16 getMessageId() const;
    int getSerialNumber() const;

    /** Takes the next number from the counter, for sending this request again. */
    void renumber();

    /** Message ID, body size, serial number, then the payload. */
    void write (juce::OutputStream& out) override;

protected:
    explicit TidewireClientRequest (juce::uint16 messageId);

    /** Fixes what the payload will hold and returns its byte count (the body
        without the serial number). Called by write before anything is written. */
    virtual int preparePayload() = 0;

    /** Writes exactly the bytes that preparePayload counted. */
    virtual void writePayload (juce::OutputStream& out) = 0;

    /** Outgoing strings: u32 UTF-8 byte count, then the bytes, no terminator. */
    static int stringSize (const juce::String& text);
    static void writeString (juce::OutputStream& out, const juce::String& text);

private:
    juce::uint16 messageId;
    int serialNumber;

    JUCE_DECLARE_NON_COPYABLE (TidewireClientRequest)
};

//==============================================================================
/** Asks the device who it is. */
class WhoAmIRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x0000;

    WhoAmIRequest();

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;
};

/** Asks for the facts about one entry, listed as a folder or as a file. */
class FileSystemEntryInfoRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x0004;

    FileSystemEntryInfoRequest (juce::String path, bool isFolder);

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;

private:
    juce::String path;
    bool isFolder;
};

class FileSystemEntryCreateRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x0007;

    FileSystemEntryCreateRequest (juce::String path, bool isFolder, bool flag);

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;

private:
    juce::String path;
    bool isFolder, flag;
};

/** Renames or moves an entry. */
class FileSystemEntryMoveRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x0008;

    FileSystemEntryMoveRequest (juce::String oldPath, juce::String newPath, bool isFolder, bool flagA, bool flagB);

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;

private:
    juce::String oldPath, newPath;
    bool isFolder, flagA, flagB;
};

class FileSystemEntryDeleteRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x0009;

    FileSystemEntryDeleteRequest (juce::String path, bool flag1, bool flag2, bool flag3);

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;

private:
    juce::String path;
    bool flag1, flag2, flag3;
};

/** Opens a remote file for reading or for writing; the response carries the handle. */
class FileOpenRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x000a;

    FileOpenRequest (juce::String path, bool forReading);

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;

private:
    juce::String path;
    bool forReading;
};

/** Asks for the next block of an open file; counts above maxFileBlockSize are capped. */
class FileReadRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x000c;

    FileReadRequest (juce::int64 handle, juce::uint32 count);

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;

private:
    juce::int64 handle;
    juce::uint32 count;
};

/** Sends the next block of the source stream (at most maxFileBlockSize bytes, as many
    as are left when the request is written) and advances the source past it. */
class FileWriteRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x000e;

    /** The source is not owned; it must live until the request has been written. */
    FileWriteRequest (juce::int64 handle, juce::InputStream& source);

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;

private:
    juce::int64 handle;
    juce::InputStream& source;
    int blockSize = 0;
};

/** Moves the file position; origin 0 counts from the start of the file. */
class FileSeekRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x000f;

    FileSeekRequest (juce::int64 handle, juce::int64 offset, juce::uint8 origin);

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;

private:
    juce::int64 handle, offset;
    juce::uint8 origin;
};

class FileCloseRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x0010;

    explicit FileCloseRequest (juce::int64 handle);

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;

private:
    juce::int64 handle;
};

/** Asks for the names of the files and folders in one folder. */
class FolderContentsRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x0011;

    explicit FolderContentsRequest (juce::String path);

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;

private:
    juce::String path;
};

/** Asks for every property under a property path. The count on the wire is one
    byte, so a path is cut to its first 255 elements. */
class GetPropertiesRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x0013;

    explicit GetPropertiesRequest (juce::Array<juce::uint16> path);

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;

private:
    juce::Array<juce::uint16> path;
};

/** Asks for one property under a property path (cut to 255 elements, as above). */
class GetPropertyRequest final : public TidewireClientRequest
{
public:
    static constexpr juce::uint16 id = 0x001a;

    GetPropertyRequest (juce::Array<juce::uint16> path, juce::uint16 propertyId);

protected:
    int preparePayload() override;
    void writePayload (juce::OutputStream& out) override;

private:
    juce::Array<juce::uint16> path;
    juce::uint16 propertyId;
};
