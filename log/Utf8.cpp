#include "log/Utf8.h"

#include <string>

bool Utf8::isValid (const juce::uint8* text, int numBytes)
{
    for (int i = 0; i < numBytes;)
    {
        const auto lead = text[i];
        if (lead < 0x80)
        {
            ++i;
            continue;
        }

        int extra = 0;
        juce::uint32 codePoint = 0, smallest = 0;

        if ((lead & 0xe0) == 0xc0)
        {
            extra = 1;
            codePoint = lead & 0x1fu;
            smallest = 0x80;
        }
        else if ((lead & 0xf0) == 0xe0)
        {
            extra = 2;
            codePoint = lead & 0x0fu;
            smallest = 0x800;
        }
        else if ((lead & 0xf8) == 0xf0)
        {
            extra = 3;
            codePoint = lead & 0x07u;
            smallest = 0x10000;
        }
        else
        {
            return false;
        }

        if (numBytes - i - 1 < extra)
            return false;

        for (int k = 1; k <= extra; ++k)
        {
            const auto continuation = text[i + k];
            if ((continuation & 0xc0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (continuation & 0x3fu);
        }

        if (codePoint < smallest || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
            return false;

        i += extra + 1;
    }

    return true;
}

juce::String Utf8::withReplacements (const void* bytes, size_t numBytes)
{
    static const char replacement[] = "\xef\xbf\xbd"; // U+FFFD
    const auto* text = static_cast<const juce::uint8*> (bytes);

    // The length of the sequence a lead byte starts, or 0 for a byte that starts none.
    auto sequenceLength = [] (juce::uint8 lead)
    {
        if (lead < 0x80)
            return 1;
        if ((lead & 0xe0) == 0xc0)
            return 2;
        if ((lead & 0xf0) == 0xe0)
            return 3;
        if ((lead & 0xf8) == 0xf0)
            return 4;
        return 0;
    };

    std::string utf8;
    utf8.reserve (numBytes);
    for (size_t i = 0; i < numBytes;)
    {
        const auto length = (size_t) sequenceLength (text[i]);
        if (length > 0 && length <= numBytes - i && isValid (text + i, (int) length))
        {
            utf8.append (reinterpret_cast<const char*> (text + i), length);
            i += length;
        }
        else
        {
            utf8 += replacement;
            ++i;
        }
    }
    return juce::String::fromUTF8 (utf8.data(), (int) utf8.size());
}
