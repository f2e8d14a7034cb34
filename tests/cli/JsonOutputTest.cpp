#include "cli/JsonOutput.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace
{
juce::var object (std::initializer_list<std::pair<const char*, juce::var>> members)
{
    auto* o = new juce::DynamicObject();
    for (auto& [name, value] : members)
        o->setProperty (name, value);
    return juce::var (o);
}

std::string utf8 (const juce::String& text)
{
    return text.toStdString();
}
} // namespace

TEST (JsonOutputTest, EscapesEveryControlCharacterSoThatAStrictParserTakesTheText)
{
    // Every C0 control, DEL and a C1 control, each in a text of its own.
    for (int c = 1; c < 0x20; ++c)
    {
        const auto text = juce::String ("a") + juce::String::charToString ((juce::juce_wchar) c) + "b";
        const auto written = JsonOutput::toText (object ({{"name", text}}));
        for (auto byte : written)
            EXPECT_FALSE ((unsigned char) byte < 0x20 && byte != '\n' && byte != ' ')
                << "character " << c << " written raw: " << written;
        nlohmann::json parsed;
        ASSERT_NO_THROW (parsed = nlohmann::json::parse (written)) << written;
        EXPECT_EQ (parsed["name"].get<std::string>(), utf8 (text)) << "character " << c;
    }
    EXPECT_EQ (JsonOutput::toText (juce::var ("\a\x1b\r\t\n")), "\"\\u0007\\u001b\\r\\t\\n\"");
}

TEST (JsonOutputTest, EndsLinesWithLineFeedsOnly)
{
    const auto written = JsonOutput::toText (
        object ({{"list", juce::Array<juce::var>{1, 2}}, {"inner", object ({{"x", true}})}, {"none", {}}}));
    EXPECT_EQ (written.find ('\r'), std::string::npos) << written;
    EXPECT_NE (written.find ('\n'), std::string::npos) << written;
    EXPECT_EQ (written,
               "{\n  \"list\": [\n    1,\n    2\n  ],\n  \"inner\": {\n    \"x\": true\n  },\n  \"none\": null\n}");
}

TEST (JsonOutputTest, KeepsValuesAndTheOrderOfKeys)
{
    const auto written =
        JsonOutput::toText (object ({{"z", (juce::int64) 1 << 40},
                                     {"a", -7},
                                     {"m", 0.125},
                                     {"text", juce::String (juce::CharPointer_UTF8 ("caf\xc3\xa9 \xe2\x82\xac"))},
                                     {"empty", juce::Array<juce::var>()}}));
    const auto parsed = nlohmann::ordered_json::parse (written);
    std::vector<std::string> keys;
    for (auto& [key, value] : parsed.items())
        keys.push_back (key);
    EXPECT_EQ (keys, (std::vector<std::string>{"z", "a", "m", "text", "empty"}));
    EXPECT_EQ (parsed["z"].get<std::int64_t>(), std::int64_t (1) << 40);
    EXPECT_EQ (parsed["a"].get<int>(), -7);
    EXPECT_EQ (parsed["m"].get<double>(), 0.125);
    EXPECT_EQ (parsed["text"].get<std::string>(), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_TRUE (parsed["empty"].is_array() && parsed["empty"].empty());
}

TEST (JsonOutputTest, WritesOnlyUtf8WhateverTheTextHolds)
{
    // A juce::String made from bytes that are not UTF-8 keeps them; the document must not.
    const char bad[] = "ab\xff\xfe"
                       "c";
    // (Made from the two ends: fromUTF8 asserts what it is given is UTF-8.)
    const juce::String holdsBadBytes (juce::CharPointer_UTF8 (bad), juce::CharPointer_UTF8 (bad + 5));
    const auto written = JsonOutput::toText (juce::var (holdsBadBytes));
    nlohmann::json parsed;
    ASSERT_NO_THROW (parsed = nlohmann::json::parse (written)) << written;
    const auto text = parsed.get<std::string>();
    EXPECT_EQ (text.substr (0, 2), "ab");
    EXPECT_EQ (text.back(), 'c');
    EXPECT_NE (text.find ("\xef\xbf\xbd"), std::string::npos) << text;
}

TEST (JsonOutputTest, ReplacesEachByteOutsideAValidSequence)
{
    struct Case
    {
        std::string bytes;
        std::string text;
    };
    const std::string fffd = "\xef\xbf\xbd";
    const Case cases[] = {
        {"plain", "plain"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"caf\xe9", "caf" + fffd},
        {"\xe2\x82\xac\xf0\x9f\x98\x80", "\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"\xc0\xaf", fffd + fffd},                       // overlong '/'
        {"\xed\xa0\x80", fffd + fffd + fffd},            // a surrogate
        {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd}, // above U+10FFFF
        {"a\xe2\x82", "a" + fffd + fffd},                // cut short at the end
        {"\x80x\xbf", fffd + "x" + fffd},                // stray continuation bytes
        {"\x1b\x07", "\x1b\x07"},                        // controls are text; escaping is the writer's
    };
    for (auto& c : cases)
        EXPECT_EQ (utf8 (JsonOutput::textWithReplacements (c.bytes.data(), c.bytes.size())), c.text)
            << JsonOutput::hexOf (juce::MemoryBlock (c.bytes.data(), c.bytes.size()));
}

TEST (JsonOutputTest, WritesBytesAsLowerCaseHex)
{
    const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
    EXPECT_EQ (JsonOutput::hexOf (juce::MemoryBlock (bytes, sizeof bytes)), "000fa0ff");
    EXPECT_EQ (JsonOutput::hexOf ({}), "");
}
