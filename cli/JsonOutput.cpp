#include "cli/JsonOutput.h"

#include "cli/Console.h"
#include "protocol/ReceivedMessage.h"

#include <nlohmann/json.hpp>

namespace
{
// Insertion order: the keys come out in the order the command set them.
using Json = nlohmann::ordered_json;

Json toJson (const juce::var& value)
{
    if (value.isVoid() || value.isUndefined())
        return nullptr;
    if (value.isBool())
        return (bool) value;
    if (value.isInt())
        return (int) value;
    if (value.isInt64())
        return (juce::int64) value;
    if (value.isDouble())
        return (double) value; // NaN and infinities come out as null
    if (value.isString())
        return value.toString().toStdString();
    if (const auto* array = value.getArray())
    {
        auto list = Json::array();
        for (auto& item : *array)
            list.push_back (toJson (item));
        return list;
    }
    if (auto* object = value.getDynamicObject())
    {
        auto members = Json::object();
        for (auto& property : object->getProperties())
            members[property.name.toString().toStdString()] = toJson (property.value);
        return members;
    }
    if (const auto* block = value.getBinaryData())
        return JsonOutput::hexOf (*block).toStdString();
    return nullptr;
}

/** The length of the sequence a lead byte starts, or 0 for a byte that starts none. */
int sequenceLength (juce::uint8 lead)
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
}
} // namespace

std::string JsonOutput::toText (const juce::var& document)
{
    // Every control character escaped (RFC 8259 needs that below U+0020); bytes
    // that are not UTF-8 replaced rather than thrown about.
    return toJson (document).dump (2, ' ', false, Json::error_handler_t::replace);
}

void JsonOutput::print (const juce::var& document)
{
    const auto text = toText (document) + "\n";
    Console::outRaw (text.data(), text.size());
}

juce::String JsonOutput::textWithReplacements (const void* bytes, size_t numBytes)
{
    static const char replacement[] = "\xef\xbf\xbd"; // U+FFFD
    const auto* text = static_cast<const juce::uint8*> (bytes);

    std::string utf8;
    utf8.reserve (numBytes);
    for (size_t i = 0; i < numBytes;)
    {
        const auto length = (size_t) sequenceLength (text[i]);
        if (length > 0 && length <= numBytes - i && ReceivedMessage::isValidUtf8 (text + i, (int) length))
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

juce::String JsonOutput::hexOf (const juce::MemoryBlock& bytes)
{
    return juce::String::toHexString (bytes.getData(), (int) bytes.getSize(), 0).toLowerCase();
}
