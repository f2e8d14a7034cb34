#pragma once

#include <juce_core/juce_core.h>

#include <string>

/** The JSON documents nubo writes with --json: strict RFC 8259 text that any parser
    takes (every control character escaped, LF line ends, nothing but UTF-8), built
    from the juce::var a command hands over. juce::JSON is not used for them: it
    writes escapes such as \a that no strict parser accepts, and CRLF line ends. */
class JsonOutput final
{
public:
    /** The document as indented text, without a final line end. Text that is not
        valid UTF-8 comes out with U+FFFD in place of each bad byte. */
    static std::string toText (const juce::var& document);

    /** The document and one LF on standard output, in one write. */
    static void print (const juce::var& document);

    /** The bytes read as UTF-8, each byte that does not belong to a valid sequence
        replaced by U+FFFD: what a script sees for a name whose bytes it gets apart. */
    static juce::String textWithReplacements (const void* bytes, size_t numBytes);

    /** Lower-case hex, two digits a byte. */
    static juce::String hexOf (const juce::MemoryBlock& bytes);

private:
    JsonOutput() = delete;
};
