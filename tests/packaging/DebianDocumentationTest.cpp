// The copyright file and the changelog the package installs, read as Debian's tools
// read them: the copyright file in the machine-readable format (paragraphs of
// "Field: value" lines, continued by lines that start with a space), the changelog
// as entries of a heading, change lines and a trailer with the maintainer and date.

#include <gtest/gtest.h>
#include <juce_core/juce_core.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

namespace
{
using Paragraph = std::map<std::string, std::string>; // field name -> value, continuation lines after a '\n'

juce::File packagingFile (const char* name)
{
    return juce::File (NUBO_SOURCE_DIR).getChildFile ("packaging").getChildFile (name);
}

/** The file's paragraphs; a line that is neither a field nor a continuation is an error. */
std::vector<Paragraph> readParagraphs (const juce::File& file, std::string& error)
{
    std::vector<Paragraph> paragraphs;
    juce::StringArray lines;
    lines.addLines (file.loadFileAsString());
    Paragraph current;
    std::string lastField;
    int number = 0;
    for (auto& text : lines)
    {
        ++number;
        const auto line = text.toStdString();
        if (line.find ('\t') != std::string::npos || (!line.empty() && line.back() == ' '))
            error += "line " + std::to_string (number) + ": a tab or trailing space\n";
        if (juce::String (line).trim().isEmpty())
        {
            if (!current.empty())
                paragraphs.push_back (current);
            current.clear();
            lastField.clear();
            continue;
        }
        if (line[0] == ' ')
        {
            if (lastField.empty())
                error += "line " + std::to_string (number) + ": a continuation without a field\n";
            else
                current[lastField] += "\n" + line.substr (1);
            continue;
        }
        static const std::regex field ("^([A-Za-z][A-Za-z0-9-]*):[ ]?(.*)$");
        std::smatch match;
        if (!std::regex_match (line, match, field))
        {
            error += "line " + std::to_string (number) + ": not a field: " + line + "\n";
            continue;
        }
        lastField = match[1];
        if (current.count (lastField) != 0)
            error += "line " + std::to_string (number) + ": " + lastField + " twice in one paragraph\n";
        current[lastField] = match[2];
    }
    if (!current.empty())
        paragraphs.push_back (current);
    return paragraphs;
}

std::string firstLine (const std::string& value)
{
    return value.substr (0, value.find ('\n'));
}

/** The version in the project's CMakeLists.txt, which CPack gives the package. */
std::string projectVersion()
{
    const auto text = juce::File (NUBO_SOURCE_DIR).getChildFile ("CMakeLists.txt").loadFileAsString().toStdString();
    std::smatch match;
    static const std::regex project (R"(project\s*\(\s*\S+\s+VERSION\s+([0-9.]+))");
    return std::regex_search (text, match, project) ? match[1].str() : std::string();
}
} // namespace

TEST (DebianDocumentationTest, CopyrightFileIsMachineReadableAndNamesEveryLicenceItUses)
{
    const auto file = packagingFile ("debian/copyright");
    ASSERT_TRUE (file.existsAsFile());
    std::string error;
    const auto paragraphs = readParagraphs (file, error);
    EXPECT_EQ (error, "");
    ASSERT_GE (paragraphs.size(), 2u);

    // The header: the format it follows and the work's name.
    const auto& header = paragraphs.front();
    ASSERT_EQ (header.count ("Format"), 1u);
    EXPECT_EQ (header.at ("Format"), "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/");
    EXPECT_EQ (header.count ("Upstream-Name"), 1u);
    EXPECT_EQ (header.count ("Files"), 0u);

    std::map<std::string, int> licenceTexts; // short name -> paragraphs that give its text
    std::vector<std::string> used;
    bool everyFile = false;
    for (size_t i = 1; i < paragraphs.size(); ++i)
    {
        const auto& p = paragraphs[i];
        ASSERT_EQ (p.count ("License"), 1u) << "paragraph " << i << " has no License field";
        const auto& licence = p.at ("License");
        const auto name = firstLine (licence);
        EXPECT_FALSE (name.empty()) << "paragraph " << i;
        EXPECT_EQ (name.find (' '), std::string::npos) << "a short name has no spaces: " << name;
        const bool hasText = licence.find ('\n') != std::string::npos;
        if (hasText)
            ++licenceTexts[name];

        if (p.count ("Files") != 0)
        {
            EXPECT_EQ (p.count ("Copyright"), 1u) << "paragraph " << i << " says whose the files are";
            everyFile = everyFile || p.at ("Files") == "*";
            if (!hasText)
                used.push_back (name);
        }
        else
        {
            EXPECT_TRUE (hasText) << "a stand-alone License paragraph gives the text: " << name;
            EXPECT_EQ (p.size(), 1u) << "a stand-alone License paragraph holds nothing else: " << name;
        }
    }
    EXPECT_TRUE (everyFile) << "a Files: * paragraph covers whatever no other one names";
    for (auto& name : used)
        EXPECT_EQ (licenceTexts.count (name), 1u) << name << " is used and needs its text";
    for (auto& [name, count] : licenceTexts)
        EXPECT_EQ (count, 1) << name << " is given more than once";
}

TEST (DebianDocumentationTest, ChangelogIsInDebianFormatAndItsLatestEntryIsThePackagesVersion)
{
    const auto file = packagingFile ("debian/changelog");
    ASSERT_TRUE (file.existsAsFile());
    juce::StringArray lines;
    lines.addLines (file.loadFileAsString());
    while (lines.size() > 0 && lines[lines.size() - 1].isEmpty())
        lines.remove (lines.size() - 1);
    ASSERT_GT (lines.size(), 0);

    static const std::regex heading (
        R"(^nubo-usb-utility \(([0-9][A-Za-z0-9.+~]*)\) [a-z-]+; urgency=(low|medium|high|emergency|critical)$)");
    static const std::regex change (R"(^  [*] \S.*$|^    \S.*$)");
    static const std::regex trailer (
        R"(^ -- [^<]+ <[^@<> ]+@[^@<> ]+\.[^@<> ]+>  (Mon|Tue|Wed|Thu|Fri|Sat|Sun), ([0-9]{2}) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([0-9]{4}) ([0-9]{2}):([0-9]{2}):([0-9]{2}) [+-][0-9]{4}$)");
    const char* const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

    enum class Expect
    {
        heading,
        blankAfterHeading,
        change,
        blankBeforeNext
    } expect = Expect::heading;
    std::vector<std::string> versions;
    int changes = 0;
    for (int i = 0; i < lines.size(); ++i)
    {
        const auto line = lines[i].toStdString();
        std::smatch match;
        SCOPED_TRACE ("line " + std::to_string (i + 1) + ": " + line);
        switch (expect)
        {
        case Expect::heading:
            ASSERT_TRUE (std::regex_match (line, match, heading));
            versions.push_back (match[1]);
            expect = Expect::blankAfterHeading;
            break;
        case Expect::blankAfterHeading:
            ASSERT_EQ (line, "");
            expect = Expect::change;
            changes = 0;
            break;
        case Expect::change:
            if (line.empty())
                break;
            if (std::regex_match (line, match, trailer))
            {
                EXPECT_GT (changes, 0) << "an entry says what changed";
                // The weekday must be that of the date.
                int month = 0;
                while (month < 12 && match[3] != months[month])
                    ++month;
                const juce::Time date (std::stoi (match[4]), month, std::stoi (match[2]), 12, 0, 0, 0, false);
                EXPECT_EQ (match[1].str(), weekdays[date.getDayOfWeek()]);
                expect = Expect::blankBeforeNext;
                break;
            }
            ASSERT_TRUE (std::regex_match (line, change));
            EXPECT_LE (line.size(), 80u) << "change lines stay within 80 columns";
            ++changes;
            break;
        case Expect::blankBeforeNext:
            ASSERT_EQ (line, "");
            expect = Expect::heading;
            break;
        }
    }
    EXPECT_EQ (expect, Expect::blankBeforeNext) << "the last entry ends with its trailer";

    ASSERT_FALSE (versions.empty());
    EXPECT_EQ (versions.front(), projectVersion()) << "the latest entry is the version CPack packs";
    for (size_t i = 1; i < versions.size(); ++i)
        EXPECT_NE (versions[i], versions[i - 1]) << "each entry is a version of its own";
}

TEST (DebianDocumentationTest, WindowProgramsManualPageFormatsWithoutWarnings)
{
    // The page written by hand, through the formatter man uses, with every warning on.
    const auto file = packagingFile ("nubo-usb-utility.1");
    ASSERT_TRUE (file.existsAsFile());
    juce::ChildProcess groff;
    ASSERT_TRUE (groff.start (juce::StringArray{"groff", "-man", "-Tutf8", "-ww", "-z", file.getFullPathName()},
                              juce::ChildProcess::wantStdErr));
    const auto warnings = groff.readAllProcessOutput();
    ASSERT_TRUE (groff.waitForProcessToFinish (60000));
    EXPECT_EQ (groff.getExitCode(), 0u);
    EXPECT_EQ (warnings, "");

    juce::StringArray lines;
    lines.addLines (file.loadFileAsString());
    juce::StringArray sections;
    bool title = false;
    for (auto& line : lines)
    {
        title = title || line.startsWith (".TH NUBO-USB-UTILITY 1 ");
        if (line.startsWith (".SH "))
            sections.add (line.fromFirstOccurrenceOf (" ", false, false));
    }
    EXPECT_TRUE (title);
    for (auto* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "FILES", "SEE ALSO"})
        EXPECT_TRUE (sections.contains (section)) << section;
    // The NAME line is what whatis and apropos show: "program \- summary".
    const auto name = lines[lines.indexOf (".SH NAME") + 1];
    EXPECT_TRUE (name.startsWith ("nubo-usb-utility \\- ")) << name;
}
