#include "cli/JsonOutput.h"

#include "cli/Console.h"
#include "log/Utf8.h"

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
    return Utf8::withReplacements (bytes, numBytes);
}

juce::String JsonOutput::hexOf (const juce::MemoryBlock& bytes)
{
    return juce::String::toHexString (bytes.getData(), (int) bytes.getSize(), 0).toLowerCase();
}
