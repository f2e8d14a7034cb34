// Remote paths as the command line gives them: one spelling for every folder, and the
// names from the device held to the same rule as local ones.

#include "device/RemotePath.h"

#include <gtest/gtest.h>

#include <ostream>

namespace
{
struct PathCase
{
    const char* given;
    const char* normalised;
};

void PrintTo (const PathCase& c, std::ostream* os)
{
    *os << '"' << c.given << '"';
}
} // namespace

class RemotePathNormalise : public ::testing::TestWithParam<PathCase>
{
};

TEST_P (RemotePathNormalise, GivesOneSpellingPerPath)
{
    EXPECT_EQ (RemotePath::normalise (GetParam().given), juce::String (GetParam().normalised));
}

INSTANTIATE_TEST_SUITE_P (
    Table, RemotePathNormalise,
    ::testing::Values (PathCase{"/", "/"}, PathCase{"//", "/"}, PathCase{"/.", "/"}, PathCase{"/..", "/"},
                       PathCase{"/../..", "/"}, PathCase{"/mnt/..", "/"}, PathCase{"/mnt/nandfs/", "/mnt/nandfs"},
                       PathCase{"/mnt//nandfs///", "/mnt/nandfs"}, PathCase{"/mnt/./nandfs/.", "/mnt/nandfs"},
                       PathCase{"/mnt/nandfs/usr/..", "/mnt/nandfs"}, PathCase{"docs", "/mnt/nandfs/usr/docs"},
                       PathCase{"docs/", "/mnt/nandfs/usr/docs"},
                       PathCase{"./docs/./a.txt", "/mnt/nandfs/usr/docs/a.txt"},
                       PathCase{"docs/../Logs", "/mnt/nandfs/usr/Logs"}, PathCase{"..", "/mnt/nandfs"},
                       PathCase{"../../../..", "/"}, PathCase{"../../../../mnt", "/mnt"},
                       PathCase{"...", "/mnt/nandfs/usr/..."}, PathCase{"a b/ c", "/mnt/nandfs/usr/a b/ c"},
                       PathCase{"~", "/mnt/nandfs/usr/~"}));

TEST (RemotePath, BlankMeansNothingAndATrailingSlashMeansAFolder)
{
    for (auto* blank : {"", " ", "   ", "\t", " \n "})
        EXPECT_TRUE (RemotePath::isBlank (blank)) << '"' << blank << '"';
    for (auto* given : {"/", ".", " x", "docs"})
        EXPECT_FALSE (RemotePath::isBlank (given)) << given;

    EXPECT_TRUE (RemotePath::namesFolder ("new/"));
    EXPECT_TRUE (RemotePath::namesFolder ("/"));
    EXPECT_FALSE (RemotePath::namesFolder ("new"));
    EXPECT_FALSE (RemotePath::namesFolder ("new/."));
}

TEST (RemotePath, TheFileSystemAndWhatHoldsItAreKnownInEverySpelling)
{
    for (auto* given : {"/", "//", "/.", "/mnt/..", "/mnt", "/mnt/", "/mnt/nandfs", "/mnt/nandfs/", "/mnt/nandfs/.",
                        "/mnt/nandfs/usr/..", "..", "../..", "/mnt/nandfs/usr/docs/../../"})
        EXPECT_TRUE (RemotePath::holdsFileSystem (RemotePath::normalise (given))) << given;

    for (auto* given : {"/mnt/nandfs/usr", "/mnt/nandfs/lib", "/mn", "/mnt/nand", "/mnt/nandfsx", "docs", "/tmp"})
        EXPECT_FALSE (RemotePath::holdsFileSystem (RemotePath::normalise (given))) << given;
}

TEST (RemotePath, NamesFromTheDeviceFollowTheLocalRule)
{
    for (auto* unsafe : {"", ".", "..", "~", "~user", "~/x", "a/b", "/abs", "a\\b", "bad\x01name", "tab\tname"})
        EXPECT_FALSE (RemotePath::isSafeName (unsafe)) << unsafe;
    for (auto* safe : {"a.txt", ".hidden", "..x", "a~", "x~y"})
        EXPECT_TRUE (RemotePath::isSafeName (safe)) << safe;
    EXPECT_FALSE (RemotePath::isSafeName (juce::String::repeatedString ("n", 256)));
}

TEST (RemotePath, NameOfAndChildOf)
{
    EXPECT_EQ (RemotePath::nameOf ("docs/notes.txt/"), "notes.txt");
    EXPECT_EQ (RemotePath::nameOf ("/mnt/.."), "");
    EXPECT_EQ (RemotePath::childOf ("/", "mnt"), "/mnt");
    EXPECT_EQ (RemotePath::childOf ("/mnt", "nandfs"), "/mnt/nandfs");
}
