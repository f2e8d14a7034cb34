// Names from the device and paths from the user become local paths literally: no
// home folder, no climbing, no separators.

#include "device/LocalPaths.h"
#include "log/GlobalLog.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>

namespace
{
const juce::File folder ("/work/folder");

struct NameCase
{
    const char* name;
    bool safe;
};

void PrintTo (const NameCase& c, std::ostream* os)
{
    *os << escapeControlCharacters (juce::String (juce::CharPointer_UTF8 (c.name)).quoted()).toStdString();
}
} // namespace

class LocalPathsNames : public ::testing::TestWithParam<NameCase>
{
};

TEST_P (LocalPathsNames, ChildOfGivesADirectChildOrNothing)
{
    const juce::String name = juce::CharPointer_UTF8 (GetParam().name);
    const auto child = LocalPaths::childOf (folder, name);

    EXPECT_EQ (LocalPaths::isSafeName (name), GetParam().safe);
    if (GetParam().safe)
        EXPECT_EQ (child.getFullPathName(), "/work/folder/" + name);
    else
        EXPECT_EQ (child, juce::File());
}

INSTANTIATE_TEST_SUITE_P (Table, LocalPathsNames,
                          ::testing::Values (NameCase{"a.txt", true}, NameCase{".hidden", true}, NameCase{"..x", true},
                                             NameCase{"a~", true}, NameCase{"caf\xc3\xa9", true}, NameCase{"", false},
                                             NameCase{".", false}, NameCase{"..", false}, NameCase{"~", false},
                                             NameCase{"~user", false}, NameCase{"~nobody", false},
                                             NameCase{"~/x", false}, NameCase{"a/b", false}, NameCase{"/abs", false},
                                             NameCase{"a\\b", false}, NameCase{"bad\x01name", false},
                                             NameCase{"tab\tname", false}));

TEST (LocalPaths, NamesUpToNameMaxBytes)
{
    EXPECT_TRUE (LocalPaths::isSafeName (juce::String::repeatedString ("n", NAME_MAX)));
    EXPECT_FALSE (LocalPaths::isSafeName (juce::String::repeatedString ("n", NAME_MAX + 1)));
    EXPECT_EQ (LocalPaths::childOf (juce::File ("/"), "x").getFullPathName(), "/x");
    EXPECT_EQ (LocalPaths::childOf (juce::File(), "x"), juce::File());
}

TEST (LocalPaths, ResolveNeverExpandsATilde)
{
    const auto cwd = juce::File::getCurrentWorkingDirectory().getFullPathName();

    EXPECT_EQ (LocalPaths::resolve ("/abs/~x").getFullPathName(), "/abs/~x");
    EXPECT_EQ (LocalPaths::resolve ("~").getFullPathName(), cwd + "/~");
    EXPECT_EQ (LocalPaths::resolve ("~/.ssh/keys").getFullPathName(), cwd + "/~/.ssh/keys");
    EXPECT_EQ (LocalPaths::resolve ("~root").getFullPathName(), cwd + "/~root");
    EXPECT_EQ (LocalPaths::resolve ("sub/mac.txt").getFullPathName(), cwd + "/sub/mac.txt");
    EXPECT_EQ (LocalPaths::resolve (""), juce::File());
}

TEST (LocalPaths, SystemLimits)
{
    EXPECT_TRUE (LocalPaths::fitsSystemLimits (juce::File ("/a/b")));
    EXPECT_FALSE (LocalPaths::fitsSystemLimits (juce::File ("/a/" + juce::String::repeatedString ("n", NAME_MAX + 1))));

    juce::String deep;
    while (deep.length() < PATH_MAX)
        deep << "/" << juce::String::repeatedString ("d", 200);
    EXPECT_FALSE (LocalPaths::fitsSystemLimits (juce::File (deep)));
}
