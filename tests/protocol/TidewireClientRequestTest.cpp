#include "protocol/TidewireClientRequest.h"
#include "MessageBytes.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
juce::String written (TidewireClientRequest& request)
{
    juce::MemoryOutputStream out;
    request.write (out);
    return hexOf (out.getMemoryBlock());
}

/** The expected bytes, with SSSSSSSS standing for the request's own serial number
    (the counter is shared by every test in the program). */
juce::String expected (const juce::String& hex, const TidewireClientRequest& request)
{
    juce::uint8 serial[4];
    const auto number = (juce::uint32) request.getSerialNumber();
    for (int i = 0; i < 4; ++i)
        serial[i] = (juce::uint8) (number >> (8 * i));
    return hex.replace ("SSSSSSSS", juce::String::toHexString (serial, 4, 0)).removeCharacters (" ").toLowerCase();
}

/** Reports a length that its data does not hold, or a position past its end. */
class LyingStream final : public juce::InputStream
{
public:
    LyingStream (juce::int64 lengthToClaim, juce::int64 positionToClaim, int bytesToGive)
        : length (lengthToClaim), position (positionToClaim), left (bytesToGive)
    {
    }

    juce::int64 getTotalLength() override
    {
        return length;
    }
    bool isExhausted() override
    {
        return left == 0;
    }
    int read (void* dest, int n) override
    {
        const auto given = juce::jmin (n, left);
        std::memset (dest, 0x5a, (size_t) given);
        left -= given;
        position += given;
        return given;
    }
    juce::int64 getPosition() override
    {
        return position;
    }
    bool setPosition (juce::int64) override
    {
        return false;
    }

private:
    juce::int64 length, position;
    int left;
};

juce::MemoryBlock countingBytes (int size)
{
    juce::MemoryBlock block ((size_t) size);
    for (int i = 0; i < size; ++i)
        block[i] = (char) (i * 7);
    return block;
}
} // namespace

TEST (TidewireClientRequest, WritesEachRequestAsTheTablesSay)
{
    const auto accented = juce::String (juce::CharPointer_UTF8 ("/\xc3\xa9"));
    const struct
    {
        const char* name;
        std::function<std::unique_ptr<TidewireClientRequest>()> make;
        const char* bytes;
    } cases[] = {
        {"who am i", [] { return std::make_unique<WhoAmIRequest>(); }, "0000 04000000 SSSSSSSS"},
        {"entry info", [] { return std::make_unique<FileSystemEntryInfoRequest> ("/mnt", true); },
         "0400 0D000000 SSSSSSSS 01 04000000 2F6D6E74"},
        {"create", [] { return std::make_unique<FileSystemEntryCreateRequest> ("/a/b", true, true); },
         "0700 0E000000 SSSSSSSS 01 04000000 2F612F62 01"},
        {"move", [] { return std::make_unique<FileSystemEntryMoveRequest> ("/a", "/bc", true, false, true); },
         "0800 14000000 SSSSSSSS 01 02000000 2F61 03000000 2F6263 00 01"},
        {"delete", [] { return std::make_unique<FileSystemEntryDeleteRequest> ("/x", true, true, false); },
         "0900 0D000000 SSSSSSSS 01 02000000 2F78 01 00"},
        {"open for reading", [] { return std::make_unique<FileOpenRequest> ("/f", true); },
         "0A00 0C000000 SSSSSSSS 02000000 2F66 01 01"},
        {"open for writing", [] { return std::make_unique<FileOpenRequest> ("/f", false); },
         "0A00 0C000000 SSSSSSSS 02000000 2F66 02 00"},
        {"read 100", [] { return std::make_unique<FileReadRequest> (0x0102030405060708, 100); },
         "0C00 10000000 SSSSSSSS 0807060504030201 64000000"},
        {"read 10000 asks for 8169", [] { return std::make_unique<FileReadRequest> (1, 10000); },
         "0C00 10000000 SSSSSSSS 0100000000000000 E91F0000"},
        {"seek", [] { return std::make_unique<FileSeekRequest> (5, -2, 0); },
         "0F00 15000000 SSSSSSSS 0500000000000000 FEFFFFFFFFFFFFFF 00"},
        {"close", [] { return std::make_unique<FileCloseRequest> (-1); }, "1000 0C000000 SSSSSSSS FFFFFFFFFFFFFFFF"},
        {"folder contents", [] { return std::make_unique<FolderContentsRequest> ("/mnt/nandfs/usr"); },
         "1100 17000000 SSSSSSSS 0F000000 2F6D6E742F6E616E6466732F757372"},
        {"accented path counts UTF-8 bytes", [&] { return std::make_unique<FolderContentsRequest> (accented); },
         "1100 0B000000 SSSSSSSS 03000000 2FC3A9"},
        {"properties, empty path", [] { return std::make_unique<GetPropertiesRequest> (juce::Array<juce::uint16>()); },
         "1300 05000000 SSSSSSSS 00"},
        {"properties",
         [] {
             return std::make_unique<GetPropertiesRequest> (juce::Array<juce::uint16>{1, 0x0203});
         },
         "1300 09000000 SSSSSSSS 02 0100 0302"},
        {"property", [] { return std::make_unique<GetPropertyRequest> (juce::Array<juce::uint16>{7}, 0x8001); },
         "1A00 09000000 SSSSSSSS 01 0700 0180"},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        auto request = c.make();
        EXPECT_EQ (written (*request), expected (c.bytes, *request));
    }
}

TEST (TidewireClientRequest, FileWriteSendsWhatIsLeftUpToTheLargestBlock)
{
    const struct
    {
        int sourceSize, position;
        const char* header;
        int dataBytes;
    } cases[] = {
        {20100, 100, "0E00 F91F0000 SSSSSSSS 0900000000000000 E91F0000", 8169},
        {150, 50, "0E00 74000000 SSSSSSSS 0900000000000000 64000000", 100},
        {64, 64, "0E00 10000000 SSSSSSSS 0900000000000000 00000000", 0},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.sourceSize);
        const auto data = countingBytes (c.sourceSize);
        juce::MemoryInputStream source (data, false);
        source.setPosition (c.position);

        FileWriteRequest request (9, source);
        const auto bytes = written (request);

        const auto header = expected (c.header, request);
        EXPECT_EQ (bytes.substring (0, header.length()), header);
        EXPECT_EQ (bytes.substring (header.length()),
                   juce::String::toHexString (data.begin() + c.position, c.dataBytes, 0));
        EXPECT_EQ (source.getPosition(), c.position + c.dataBytes);
    }
}

TEST (TidewireClientRequest, FileWriteSendsNoDataFromAPositionPastTheEnd)
{
    LyingStream source (10, 20, 5);
    FileWriteRequest request (9, source);
    EXPECT_EQ (written (request), expected ("0E00 10000000 SSSSSSSS 0900000000000000 00000000", request));
}

TEST (TidewireClientRequest, FileWritePadsASourceThatFallsShortOfItsLength)
{
    LyingStream source (6, 0, 4);
    FileWriteRequest request (9, source);
    EXPECT_EQ (written (request), expected ("0E00 16000000 SSSSSSSS 0900000000000000 06000000 5A5A5A5A 0000", request));
}

TEST (TidewireClientRequest, PropertyPathIsCutTo255Elements)
{
    juce::Array<juce::uint16> path;
    juce::String elements;
    for (int i = 0; i < 300; ++i)
    {
        path.add ((juce::uint16) (i + 0x0100));
        if (i < 255)
            elements << juce::String::toHexString (i).paddedLeft ('0', 2) << "01";
    }

    GetPropertiesRequest request (path);
    EXPECT_EQ (written (request), expected ("1300 03020000 SSSSSSSS FF" + elements, request));
}

TEST (TidewireClientRequest, RenumberTakesTheNextSerialNumber)
{
    WhoAmIRequest request;
    WhoAmIRequest later;
    request.renumber();
    EXPECT_EQ (request.getSerialNumber(), later.getSerialNumber() + 1);
    EXPECT_EQ (written (request), expected ("0000 04000000 SSSSSSSS", request));
}
