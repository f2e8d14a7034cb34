// The udev rule the package installs, read as udev reads it: the file name decides
// when it runs, each line is one rule of comma-separated KEY{attribute}OP"value"
// pairs, match keys select the device and assignment keys act on it.

#include <gtest/gtest.h>
#include <juce_core/juce_core.h>

#include <vector>

namespace
{
struct Pair
{
    juce::String key; // with its attribute, e.g. ATTRS{idVendor}
    juce::String op;
    juce::String value;

    bool isMatch() const
    {
        return op == "==" || op == "!=";
    }
};

using Rule = std::vector<Pair>;

/** Splits one rule line into its pairs; false when any part is not a KEY OP "value". */
bool parseRule (const juce::String& line, Rule& rule, juce::String& error)
{
    auto rest = line.trim();
    while (rest.isNotEmpty())
    {
        int keyEnd = 0;
        while (keyEnd < rest.length() &&
               (juce::CharacterFunctions::isLetterOrDigit (rest[keyEnd]) || rest[keyEnd] == '_'))
            ++keyEnd;
        if (keyEnd < rest.length() && rest[keyEnd] == '{')
        {
            const int close = rest.indexOfChar (keyEnd, '}');
            if (close < 0)
                return (error = "unclosed attribute in: " + rest), false;
            keyEnd = close + 1;
        }
        const auto key = rest.substring (0, keyEnd);
        if (key.isEmpty())
            return (error = "no key at: " + rest), false;

        rest = rest.substring (keyEnd).trimStart();
        juce::String op;
        for (auto* candidate : {"==", "!=", "+=", "-=", ":=", "="})
            if (rest.startsWith (candidate))
            {
                op = candidate;
                break;
            }
        if (op.isEmpty())
            return (error = "no operator after " + key), false;

        rest = rest.substring (op.length()).trimStart();
        if (!rest.startsWithChar ('"'))
            return (error = "unquoted value for " + key), false;
        const int endQuote = rest.indexOfChar (1, '"');
        if (endQuote < 0)
            return (error = "unclosed value for " + key), false;

        rule.push_back ({key, op, rest.substring (1, endQuote)});
        rest = rest.substring (endQuote + 1).trimStart();
        if (rest.startsWithChar (','))
            rest = rest.substring (1).trimStart();
        else if (rest.isNotEmpty())
            return (error = "no comma before: " + rest), false;
    }
    return !rule.empty();
}

/** Every rule of a rules file; comments, blank lines and continued lines as udev has them. */
std::vector<Rule> parseRulesFile (const juce::File& file)
{
    std::vector<Rule> rules;
    juce::StringArray lines;
    file.readLines (lines);

    juce::String pending;
    for (auto& raw : lines)
    {
        auto line = raw.trim();
        if (pending.isEmpty() && (line.isEmpty() || line.startsWithChar ('#')))
            continue;
        if (line.endsWithChar ('\\'))
        {
            pending += line.dropLastCharacters (1) + " ";
            continue;
        }
        Rule rule;
        juce::String error;
        EXPECT_TRUE (parseRule (pending + line, rule, error)) << error;
        rules.push_back (rule);
        pending.clear();
    }
    EXPECT_TRUE (pending.isEmpty()) << "the last rule ends in a continuation";
    return rules;
}

juce::String valueOf (const Rule& rule, const juce::String& key, const juce::String& op)
{
    for (auto& pair : rule)
        if (pair.key == key && pair.op == op)
            return pair.value;
    return {};
}

bool matchesTheDevice (const Rule& rule)
{
    return valueOf (rule, "ATTRS{idVendor}", "==") == "7a3c" && valueOf (rule, "ATTRS{idProduct}", "==") == "0511";
}

juce::File ruleFile()
{
    return juce::File (NUBO_SOURCE_DIR).getChildFile ("packaging/70-nubo-usb.rules");
}
} // namespace

TEST (UdevRuleTest, RunsBeforeTheSeatRulesApplyUaccess)
{
    const auto name = ruleFile().getFileName();
    ASSERT_TRUE (ruleFile().existsAsFile());
    EXPECT_TRUE (name.endsWith (".rules"));
    // udev runs all rules files in the byte order of their names.
    EXPECT_LT (name.compare ("73-seat-late.rules"), 0) << name;
    EXPECT_TRUE (juce::CharacterFunctions::isDigit (name[0]) && juce::CharacterFunctions::isDigit (name[1]) &&
                 name[2] == '-')
        << name;
}

TEST (UdevRuleTest, GivesTheDevicesTtyToTheLoggedInUserAndKeepsModemManagerAway)
{
    const auto rules = parseRulesFile (ruleFile());
    ASSERT_FALSE (rules.empty());

    int ttyRules = 0;
    for (auto& rule : rules)
    {
        if (!matchesTheDevice (rule) || valueOf (rule, "SUBSYSTEM", "==") != "tty")
            continue;
        ++ttyRules;
        EXPECT_EQ (valueOf (rule, "TAG", "+="), "uaccess");
        EXPECT_EQ (valueOf (rule, "ENV{ID_MM_DEVICE_IGNORE}", "="), "1");
    }
    EXPECT_EQ (ttyRules, 1);
}

TEST (UdevRuleTest, EveryRuleSelectsOnlyTheDeviceAndEveryKeyIsWellFormed)
{
    const juce::StringArray matchKeys{"SUBSYSTEM", "ATTRS{idVendor}", "ATTRS{idProduct}"};
    const juce::StringArray assignKeys{"TAG", "ENV{ID_MM_DEVICE_IGNORE}"};

    for (auto& rule : parseRulesFile (ruleFile()))
    {
        // sysfs writes the IDs in lower-case hex; "7A3C" would never match.
        EXPECT_TRUE (matchesTheDevice (rule));
        for (auto& pair : rule)
        {
            SCOPED_TRACE (pair.key + pair.op + pair.value);
            if (pair.isMatch())
                EXPECT_TRUE (matchKeys.contains (pair.key));
            else
                EXPECT_TRUE (assignKeys.contains (pair.key)) << "an assignment to a key this rule does not use";
        }
        EXPECT_EQ (valueOf (rule, "ENV{ID_MM_DEVICE_IGNORE}", "="), "1") << "ModemManager must skip every node";
    }
}

TEST (UdevRuleTest, ParserRejectsWhatUdevWouldReject)
{
    const char* broken[] = {
        R"(ATTRS{idVendor}=="7a3c" TAG+="uaccess")", // no comma
        R"(ATTRS{idVendor}==7a3c)",                  // unquoted
        R"(ATTRS{idVendor=="7a3c")",                 // unclosed attribute
        R"(TAG+="uaccess)",                          // unclosed value
        R"(=="tty")",                                // no key
    };
    for (auto* line : broken)
    {
        Rule rule;
        juce::String error;
        EXPECT_FALSE (parseRule (line, rule, error)) << line;
    }
}
