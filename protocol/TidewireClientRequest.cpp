#include "protocol/TidewireClientRequest.h"

#include "protocol/SerialNumbers.h"

namespace
{
// The element count travels as one byte.
constexpr int maxPathElements = 255;

juce::Array<juce::uint16> cappedPath (juce::Array<juce::uint16> path)
{
    if (path.size() > maxPathElements)
        path.removeRange (maxPathElements, path.size() - maxPathElements);
    return path;
}

int pathSize (const juce::Array<juce::uint16>& path)
{
    return 1 + 2 * path.size();
}

void writePath (juce::OutputStream& out, const juce::Array<juce::uint16>& path)
{
    out.writeByte ((char) path.size());
    for (auto element : path)
        out.writeShort ((short) element);
}
} // namespace

//==============================================================================
TidewireClientRequest::TidewireClientRequest (juce::uint16 messageIdToUse)
    : messageId (messageIdToUse), serialNumber (takeNextSerialNumber())
{
}

TidewireClientRequest::~TidewireClientRequest() = default;

juce::uint16 TidewireClientRequest::getMessageId() const
{
    return messageId;
}

int TidewireClientRequest::getSerialNumber() const
{
    return serialNumber;
}

void TidewireClientRequest::renumber()
{
    serialNumber = takeNextSerialNumber();
}

void TidewireClientRequest::write (juce::OutputStream& out)
{
    const auto bodySize = 4 + preparePayload();

    out.writeShort ((short) messageId);
    out.writeInt (bodySize);
    out.writeInt (serialNumber);
    writePayload (out);
}

int TidewireClientRequest::stringSize (const juce::String& text)
{
    return 4 + (int) text.getNumBytesAsUTF8();
}

void TidewireClientRequest::writeString (juce::OutputStream& out, const juce::String& text)
{
    const auto numBytes = text.getNumBytesAsUTF8();
    out.writeInt ((int) numBytes);
    out.write (text.toRawUTF8(), numBytes);
}

//==============================================================================
WhoAmIRequest::WhoAmIRequest() : TidewireClientRequest (id) {}

int WhoAmIRequest::preparePayload()
{
    return 0;
}

void WhoAmIRequest::writePayload (juce::OutputStream&) {}

//==============================================================================
FileSystemEntryInfoRequest::FileSystemEntryInfoRequest (juce::String pathToUse, bool isFolderToUse)
    : TidewireClientRequest (id), path (std::move (pathToUse)), isFolder (isFolderToUse)
{
}

int FileSystemEntryInfoRequest::preparePayload()
{
    return 1 + stringSize (path);
}

void FileSystemEntryInfoRequest::writePayload (juce::OutputStream& out)
{
    out.writeBool (isFolder);
    writeString (out, path);
}

//==============================================================================
FileSystemEntryCreateRequest::FileSystemEntryCreateRequest (juce::String pathToUse, bool isFolderToUse, bool flagToUse)
    : TidewireClientRequest (id), path (std::move (pathToUse)), isFolder (isFolderToUse), flag (flagToUse)
{
}

int FileSystemEntryCreateRequest::preparePayload()
{
    return 1 + stringSize (path) + 1;
}

void FileSystemEntryCreateRequest::writePayload (juce::OutputStream& out)
{
    out.writeBool (isFolder);
    writeString (out, path);
    out.writeBool (flag);
}

//==============================================================================
FileSystemEntryMoveRequest::FileSystemEntryMoveRequest (juce::String oldPathToUse, juce::String newPathToUse,
                                                        bool isFolderToUse, bool flagAToUse, bool flagBToUse)
    : TidewireClientRequest (id), oldPath (std::move (oldPathToUse)), newPath (std::move (newPathToUse)),
      isFolder (isFolderToUse), flagA (flagAToUse), flagB (flagBToUse)
{
}

int FileSystemEntryMoveRequest::preparePayload()
{
    return 1 + stringSize (oldPath) + stringSize (newPath) + 2;
}

void FileSystemEntryMoveRequest::writePayload (juce::OutputStream& out)
{
    out.writeBool (isFolder);
    writeString (out, oldPath);
    writeString (out, newPath);
    out.writeBool (flagA);
    out.writeBool (flagB);
}

//==============================================================================
FileSystemEntryDeleteRequest::FileSystemEntryDeleteRequest (juce::String pathToUse, bool flag1ToUse, bool flag2ToUse,
                                                            bool flag3ToUse)
    : TidewireClientRequest (id), path (std::move (pathToUse)), flag1 (flag1ToUse), flag2 (flag2ToUse),
      flag3 (flag3ToUse)
{
}

int FileSystemEntryDeleteRequest::preparePayload()
{
    return 1 + stringSize (path) + 2;
}

void FileSystemEntryDeleteRequest::writePayload (juce::OutputStream& out)
{
    out.writeBool (flag1);
    writeString (out, path);
    out.writeBool (flag2);
    out.writeBool (flag3);
}

//==============================================================================
FileOpenRequest::FileOpenRequest (juce::String pathToUse, bool forReadingToUse)
    : TidewireClientRequest (id), path (std::move (pathToUse)), forReading (forReadingToUse)
{
}

int FileOpenRequest::preparePayload()
{
    return stringSize (path) + 2;
}

void FileOpenRequest::writePayload (juce::OutputStream& out)
{
    writeString (out, path);
    out.writeByte (forReading ? 1 : 2); // access: 1 = read, 2 = write
    out.writeByte (forReading ? 1 : 0);
}

//==============================================================================
FileReadRequest::FileReadRequest (juce::int64 handleToUse, juce::uint32 countToUse)
    : TidewireClientRequest (id), handle (handleToUse), count (juce::jmin (countToUse, (juce::uint32) maxFileBlockSize))
{
}

int FileReadRequest::preparePayload()
{
    return 8 + 4;
}

void FileReadRequest::writePayload (juce::OutputStream& out)
{
    out.writeInt64 (handle);
    out.writeInt ((int) count);
}

//==============================================================================
FileWriteRequest::FileWriteRequest (juce::int64 handleToUse, juce::InputStream& sourceToUse)
    : TidewireClientRequest (id), handle (handleToUse), source (sourceToUse)
{
}

int FileWriteRequest::preparePayload()
{
    // An unknown length (-1) or a position past the end sends an empty block.
    const auto left = source.getTotalLength() - source.getPosition();
    blockSize = (int) juce::jlimit ((juce::int64) 0, (juce::int64) maxFileBlockSize, left);
    return 8 + 4 + blockSize;
}

void FileWriteRequest::writePayload (juce::OutputStream& out)
{
    out.writeInt64 (handle);
    out.writeInt (blockSize);

    const auto copied = (int) out.writeFromInputStream (source, blockSize);

    // The header has promised blockSize bytes: a source that delivers fewer than its
    // length said is padded, or every later message would be read out of step.
    if (copied < blockSize)
        out.writeRepeatedByte (0, (size_t) (blockSize - juce::jmax (0, copied)));
}

//==============================================================================
FileSeekRequest::FileSeekRequest (juce::int64 handleToUse, juce::int64 offsetToUse, juce::uint8 originToUse)
    : TidewireClientRequest (id), handle (handleToUse), offset (offsetToUse), origin (originToUse)
{
}

int FileSeekRequest::preparePayload()
{
    return 8 + 8 + 1;
}

void FileSeekRequest::writePayload (juce::OutputStream& out)
{
    out.writeInt64 (handle);
    out.writeInt64 (offset);
    out.writeByte ((char) origin);
}

//==============================================================================
FileCloseRequest::FileCloseRequest (juce::int64 handleToUse) : TidewireClientRequest (id), handle (handleToUse) {}

int FileCloseRequest::preparePayload()
{
    return 8;
}

void FileCloseRequest::writePayload (juce::OutputStream& out)
{
    out.writeInt64 (handle);
}

//==============================================================================
FolderContentsRequest::FolderContentsRequest (juce::String pathToUse)
    : TidewireClientRequest (id), path (std::move (pathToUse))
{
}

int FolderContentsRequest::preparePayload()
{
    return stringSize (path);
}

void FolderContentsRequest::writePayload (juce::OutputStream& out)
{
    writeString (out, path);
}

//==============================================================================
GetPropertiesRequest::GetPropertiesRequest (juce::Array<juce::uint16> pathToUse)
    : TidewireClientRequest (id), path (cappedPath (std::move (pathToUse)))
{
}

int GetPropertiesRequest::preparePayload()
{
    return pathSize (path);
}

void GetPropertiesRequest::writePayload (juce::OutputStream& out)
{
    writePath (out, path);
}

//==============================================================================
GetPropertyRequest::GetPropertyRequest (juce::Array<juce::uint16> pathToUse, juce::uint16 propertyIdToUse)
    : TidewireClientRequest (id), path (cappedPath (std::move (pathToUse))), propertyId (propertyIdToUse)
{
}

int GetPropertyRequest::preparePayload()
{
    return pathSize (path) + 2;
}

void GetPropertyRequest::writePayload (juce::OutputStream& out)
{
    writePath (out, path);
    out.writeShort ((short) propertyId);
}
