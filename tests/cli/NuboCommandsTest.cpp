// Every command of nubo against the simulator, through the built executable.

#include "NuboFixture.h"

namespace
{
class NuboCommandsTest : public NuboFixture
{
protected:
    void SetUp() override
    {
        NuboFixture::SetUp();
        startDevice (0);
    }

    juce::String usr (const juce::String& name = {}) const
    {
        return "/mnt/nandfs/usr" + (name.isEmpty() ? juce::String() : "/" + name);
    }
};
} // namespace

TEST_F (NuboCommandsTest, ListsPortsWithTheirUsbDetails)
{
    auto r = run ({"ports"});
    EXPECT_EQ (r.status, 0);
    EXPECT_EQ (r.out, "Nubo Device (ttyACM0)\t" + devicePath (0) + "\t7a3c:0511:0100\tSIM-0\n");

    r = run ({"ports", "--json"});
    EXPECT_EQ (r.status, 0);
    const auto json = juce::JSON::parse (r.out);
    ASSERT_EQ (json.size(), 1);
    EXPECT_EQ (json[0]["name"].toString(), "Nubo Device (ttyACM0)");
    EXPECT_EQ (json[0]["path"].toString(), devicePath (0));
    EXPECT_EQ (json[0]["vendorId"].toString() + json[0]["productId"].toString() + json[0]["revision"].toString(),
               "7a3c05110100");
    EXPECT_EQ (json[0]["serial"].toString(), "SIM-0");
}

TEST_F (NuboCommandsTest, ShowsTheIdentityAndTheProperties)
{
    stopDevice (0);
    startDevice (0, {"--family", "0x12", "--firmware", "0xfffe", "--text1", "One", "--text2", "Two\x1b[2J"});

    auto r = run ({"info"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, "Family ID: 0x012\nDevice ID: 0x02a\nProtocol version: 0x0100\nFirmware version: 0xfffe\n"
                      "Text 1: One\nText 2: Two\\x1B[2J\n")
        << "a device's escape sequence must not reach the terminal";

    r = run ({"info", "--json"});
    EXPECT_EQ (r.status, 0);
    const auto identity = juce::JSON::parse (r.out);
    EXPECT_EQ ((int) identity["familyId"], 0x12);
    EXPECT_EQ ((int) identity["firmwareVersion"], 0xfffe);
    EXPECT_EQ (identity["text1"].toString(), "One");

    r = run ({"props", "1,2"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, "1,2  5  int  42\n1,2  6  int  -7\n1,2  32768  string  \"One\"\n"
                      "1,2  32784  string  \"sim\"\n");
    EXPECT_EQ (deviceRequests (0, "GetPropertiesRequest"), juce::StringArray ("GetPropertiesRequest path=1,2"));

    r = run ({"props", "--json", "7", "1/2"});
    EXPECT_EQ (r.status, 0);
    const auto props = juce::JSON::parse (r.out);
    ASSERT_EQ (props.size(), 2);
    EXPECT_EQ ((int) props[1]["path"][1], 2);
    EXPECT_EQ ((int) props[1]["properties"][1]["value"], -7);

    EXPECT_EQ (run ({"props", "1,x"}).status, 2);
}

TEST_F (NuboCommandsTest, ListsAFolderWithAndWithoutDetails)
{
    ASSERT_TRUE (deviceFile (0, usr ("Readme.txt")).setLastModificationTime (juce::Time (2024, 2, 3, 4, 5, 0)));

    auto r = run ({"ls"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, "apps/\ndocs/\nLogs/\n.profile\nReadme.txt\nsettings.ini\n");

    r = run ({"ls", "-l", "/mnt/nandfs/usr"});
    EXPECT_EQ (r.status, 0);
    juce::StringArray lines;
    lines.addLines (r.out.trimEnd());
    ASSERT_EQ (lines.size(), 6);
    EXPECT_EQ (lines[4], "         167  2024-03-03 04:05:00  Readme.txt");

    r = run ({"ls", "--json", "docs"});
    EXPECT_EQ (r.status, 0);
    const auto listing = juce::JSON::parse (r.out);
    EXPECT_EQ (listing["folder"].toString(), "/mnt/nandfs/usr/docs");
    ASSERT_EQ (listing["entries"].size(), 1);
    EXPECT_EQ (listing["entries"][0]["name"].toString(), "notes.txt");
    EXPECT_EQ (listing["entries"][0]["type"].toString(), "file");

    r = run ({"ls", "none"});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.err.startsWith ("nubo: can't list /mnt/nandfs/usr/none (")) << r.err;
    EXPECT_TRUE (r.out.isEmpty());
}

TEST_F (NuboCommandsTest, FetchesFilesAndFolders)
{
    const auto big = randomBytes (100000, 3);
    writeFile (deviceFile (0, usr ("big.bin")), big);

    auto r = run ({"get", "Readme.txt"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (sameContents (work().getChildFile ("Readme.txt"), deviceFile (0, usr ("Readme.txt"))));

    // An older file of that name is replaced; a named target is used as it stands.
    writeFile (work().getChildFile ("copy.bin"), randomBytes (10, 1));
    r = run ({"get", "--verify", usr ("big.bin"), "copy.bin"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (sameContents (work().getChildFile ("copy.bin"), deviceFile (0, usr ("big.bin"))));

    // An existing folder receives the file under its own name.
    ASSERT_TRUE (work().getChildFile ("in").createDirectory().wasOk());
    EXPECT_EQ (run ({"get", usr ("settings.ini"), "in"}).status, 0);
    EXPECT_TRUE (work().getChildFile ("in/settings.ini").existsAsFile());

    r = run ({"get", "-r", "docs"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (sameContents (work().getChildFile ("docs/notes.txt"), deviceFile (0, usr ("docs/notes.txt"))));

    r = run ({"get", "-r", "Logs", "saved-logs"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (work().getChildFile ("saved-logs/boot.log").existsAsFile());

    // "-" is standard output; a link the user names is written through.
    r = run ({"get", "Readme.txt", "-"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, deviceFile (0, usr ("Readme.txt")).loadFileAsString());
    ASSERT_TRUE (work().getChildFile ("real.txt").create().wasOk());
    ASSERT_TRUE (work().getChildFile ("real.txt").createSymbolicLink (work().getChildFile ("link.txt"), false));
    EXPECT_EQ (run ({"get", "Readme.txt", "link.txt"}).status, 0);
    EXPECT_TRUE (work().getChildFile ("link.txt").isSymbolicLink());
    EXPECT_TRUE (sameContents (work().getChildFile ("real.txt"), deviceFile (0, usr ("Readme.txt"))));

    r = run ({"get", "missing.txt"});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.err.startsWith ("nubo: can't open /mnt/nandfs/usr/missing.txt on the device")) << r.err;
    EXPECT_FALSE (work().getChildFile ("missing.txt").exists());
    EXPECT_FALSE (work().getChildFile ("missing.txt.nubo-partial").exists());
}

TEST_F (NuboCommandsTest, SendsFilesAndFolders)
{
    const auto data = randomBytes (3 * 8169 + 5, 4);
    writeFile (work().getChildFile ("up.bin"), data);

    auto r = run ({"put", "--verify", "up.bin"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (sameContents (work().getChildFile ("up.bin"), deviceFile (0, usr ("up.bin"))));
    EXPECT_EQ (deviceRequests (0, "FileWriteRequest").size(), 4);

    // The simulator sets room aside ahead of its writes; none is left behind the file.
    writeFile (deviceFile (0, usr ("reference.bin")), data);
    EXPECT_EQ (allocatedBytes (deviceFile (0, usr ("up.bin"))), allocatedBytes (deviceFile (0, usr ("reference.bin"))));

    EXPECT_EQ (run ({"put", "up.bin", usr ("renamed.bin")}).status, 0);
    EXPECT_TRUE (sameContents (work().getChildFile ("up.bin"), deviceFile (0, usr ("renamed.bin"))));
    EXPECT_EQ (run ({"put", "up.bin", "docs"}).status, 0);
    EXPECT_TRUE (deviceFile (0, usr ("docs/up.bin")).existsAsFile());

    writeFile (work().getChildFile ("tree/a.txt"), randomBytes (10, 5));
    writeFile (work().getChildFile ("tree/sub/b.txt"), randomBytes (20, 6));
    r = run ({"put", "-r", "tree"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (sameContents (work().getChildFile ("tree/sub/b.txt"), deviceFile (0, usr ("tree/sub/b.txt"))));

    // A local file that is missing or is a folder: nothing is opened on the device.
    const auto opensBefore = deviceRequests (0, "FileOpenRequest").size();
    r = run ({"put", "absent.bin"});
    EXPECT_EQ (r.status, 1);
    EXPECT_EQ (r.err, "nubo: can't read " + work().getChildFile ("absent.bin").getFullPathName() + ": no such file\n");
    EXPECT_EQ (run ({"put", "tree"}).status, 1);
    EXPECT_EQ (deviceRequests (0, "FileOpenRequest").size(), opensBefore);
    EXPECT_FALSE (deviceFile (0, usr ("absent.bin")).exists());
}

TEST_F (NuboCommandsTest, CreatesMovesAndRemovesEntries)
{
    EXPECT_EQ (run ({"mkdir", "new"}).status, 0);
    EXPECT_TRUE (deviceFile (0, usr ("new")).isDirectory());

    EXPECT_EQ (run ({"mv", "Readme.txt", usr ("new/Moved.txt")}).status, 0);
    EXPECT_TRUE (deviceFile (0, usr ("new/Moved.txt")).existsAsFile());
    EXPECT_FALSE (deviceFile (0, usr ("Readme.txt")).exists());
    EXPECT_EQ (run ({"mv", "settings.ini", "new"}).status, 0) << "into a folder, under its own name";
    EXPECT_TRUE (deviceFile (0, usr ("new/settings.ini")).existsAsFile());
    EXPECT_EQ (run ({"mv", "docs", "papers"}).status, 0);
    EXPECT_EQ (
        deviceRequests (0, "FileSystemEntryMoveRequest").strings.getLast(),
        "FileSystemEntryMoveRequest isFolder=1 flagA=0 flagB=1 old=/mnt/nandfs/usr/docs new=/mnt/nandfs/usr/papers");

    writeFile (deviceFile (0, usr ("new/deep/deeper/x.txt")), randomBytes (5, 7));
    auto r = run ({"rm", "-r", "new"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_FALSE (deviceFile (0, usr ("new")).exists());
    const auto deletes = deviceRequests (0, "FileSystemEntryDeleteRequest");
    ASSERT_GE (deletes.size(), 4);
    EXPECT_TRUE (deletes[0].endsWith ("/new/deep/deeper/x.txt")) << deletes[0];
    EXPECT_TRUE (deletes.strings.getLast().endsWith ("path=/mnt/nandfs/usr/new"));

    EXPECT_EQ (run ({"rm", ".profile"}).status, 0);
    EXPECT_FALSE (deviceFile (0, usr (".profile")).exists());
    r = run ({"rm", "absent"});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.err.startsWith ("nubo: can't remove /mnt/nandfs/usr/absent")) << r.err;
}

TEST_F (NuboCommandsTest, RemovingRecursivelyStopsAtNamesThatClimbOut)
{
    stopDevice (0);
    startDevice (0, {"--unsafe-names"});
    ASSERT_TRUE (deviceFile (0, usr ("victim")).createDirectory().wasOk());

    const auto r = run ({"rm", "-r", "victim"});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.err.contains ("unsafe name")) << r.err;
    EXPECT_TRUE (deviceFile (0, usr ("Readme.txt")).existsAsFile()) << "nothing outside the folder is touched";
    EXPECT_TRUE (deviceRequests (0, "FileSystemEntryDeleteRequest").isEmpty());

    // Fetching such a folder keeps what is safe, writes nothing outside and fails.
    ASSERT_TRUE (work().getChildFile ("in").createDirectory().wasOk());
    const auto fetched = run ({"get", "-r", "docs", "in"});
    EXPECT_EQ (fetched.status, 1);
    EXPECT_TRUE (fetched.err.startsWith ("nubo: fetching /mnt/nandfs/usr/docs failed (")) << fetched.err;
    EXPECT_TRUE (fetched.err.contains (" entries failed, the first: Skipping unsafe name ")) << fetched.err;
    EXPECT_TRUE (work().getChildFile ("in/docs/notes.txt").existsAsFile());
    EXPECT_EQ (work().getChildFile ("in").findChildFiles (juce::File::findFilesAndDirectories, true).size(), 2)
        << "in/docs and in/docs/notes.txt alone";
    EXPECT_FALSE (work().getChildFile ("evil").exists());
}

TEST_F (NuboCommandsTest, FlashesTheFirmwareUnlessItIsInstalled)
{
    const auto image = randomBytes (50000, 8);
    writeFile (work().getChildFile ("fw.img"), image);

    auto r = run ({"flash", "--verify", "fw.img"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, "Firmware image sent and verified; update triggered\n");
    EXPECT_TRUE (sameContents (work().getChildFile ("fw.img"), deviceFile (0, "/mnt/nandfs/Nuboimage")));
    EXPECT_TRUE (deviceFile (0, "/mnt/nandfs/NuboimageDone").existsAsFile());

    writeFile (deviceFile (0, "/mnt/nandfs/lib/libm.so.2"), randomBytes (10, 9));
    ASSERT_TRUE (deviceFile (0, "/mnt/nandfs/Nuboimage").deleteFile());
    r = run ({"flash", "fw.img"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, "Firmware already installed (/mnt/nandfs/lib/libm.so.2 present); nothing sent\n");
    EXPECT_FALSE (deviceFile (0, "/mnt/nandfs/Nuboimage").exists());

    EXPECT_EQ (run ({"flash", "--force", "fw.img"}).status, 0);
    EXPECT_TRUE (sameContents (work().getChildFile ("fw.img"), deviceFile (0, "/mnt/nandfs/Nuboimage")));

    r = run ({"flash", "missing.img"});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.err.startsWith ("nubo: can't read ")) << r.err;
}

TEST_F (NuboCommandsTest, FetchesTheMacFileToAPathOrStandardOutput)
{
    const auto mac = deviceFile (0, "/mnt/nandfs/macAddress.txt");

    auto r = run ({"getmac"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, mac.loadFileAsString());

    r = run ({"getmac", "my mac.txt"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (sameContents (work().getChildFile ("my mac.txt"), mac));
    EXPECT_TRUE (r.out.isEmpty());

    r = run ({"getmac", "no-such-folder/mac.txt"});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.err.startsWith ("nubo: can't fetch the MAC-address file (can't write " +
                                   work().getChildFile ("no-such-folder/mac.txt").getFullPathName() +
                                   ": No such file or directory)"))
        << r.err;
}

TEST_F (NuboCommandsTest, RejectsBadCommandLines)
{
    auto r = run ({"frob"});
    EXPECT_EQ (r.status, 2);
    EXPECT_TRUE (r.err.startsWith ("nubo: unknown command 'frob'\n")) << r.err;

    EXPECT_EQ (run ({"ls", "--frob"}).status, 2);
    EXPECT_EQ (run ({"get"}).status, 2);
    EXPECT_EQ (run ({"mv", "a"}).status, 2);
    EXPECT_EQ (run ({"get", "-r", "--verify", "docs"}).status, 2);

    r = run ({"--help"});
    EXPECT_EQ (r.status, 0);
    for (auto* command : {"ports", "info", "ls", "get", "put", "mkdir", "mv", "rm", "flash", "getmac", "props"})
        EXPECT_TRUE (r.out.contains ("\n  " + juce::String (command) + " ")) << command;
    EXPECT_TRUE (run ({"flash", "--help"}).out.contains ("--force"));
    EXPECT_EQ (run ({"--version"}).out, "nubo 1.0\n");
}

TEST_F (NuboCommandsTest, DrawsAProgressBarOnlyOnATerminalAndNotWhenQuiet)
{
    writeFile (work().getChildFile ("up.bin"), randomBytes (300000, 20));

    for (const bool quiet : {false, true})
    {
        NuboProcess nubo (work(), root());
        juce::StringArray arguments{"put", "up.bin"};
        if (quiet)
            arguments.insert (0, "-q");
        ASSERT_TRUE (nubo.start (arguments, true));
        EXPECT_EQ (nubo.wait(), 0) << nubo.standardError();

        const auto shown = nubo.standardError();
        if (quiet)
        {
            EXPECT_TRUE (shown.isEmpty()) << shown;
        }
        else
        {
            EXPECT_TRUE (shown.contains ("up.bin [")) << shown;
            EXPECT_TRUE (shown.contains ("293.0 KiB / 293.0 KiB  100%")) << shown;
            EXPECT_TRUE (shown.contains ("\r\x1b[Ksent up.bin to /mnt/nandfs/usr/up.bin"))
                << "the bar is cleared first";
        }
    }

    // The client's own transfers too: the firmware image.
    NuboProcess flash (work(), root());
    ASSERT_TRUE (flash.start ({"flash", "up.bin"}, true));
    EXPECT_EQ (flash.wait(), 0) << flash.standardError();
    EXPECT_TRUE (flash.standardError().contains ("up.bin [")) << flash.standardError();
    EXPECT_TRUE (flash.standardError().contains ("293.0 KiB / 293.0 KiB  100%")) << flash.standardError();

    // Standard error that is no terminal gets no bar (the other tests compare it whole).
    const auto r = run ({"put", "up.bin"});
    EXPECT_EQ (r.err, "sent up.bin to /mnt/nandfs/usr/up.bin\n");
}

//==============================================================================
namespace
{
/** Every path under a folder, relative to it, sorted: what a device folder holds. */
juce::StringArray treeOf (const juce::File& folder)
{
    juce::StringArray paths;
    for (auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, true, "*"))
        paths.add (f.getRelativePathFrom (folder));
    paths.sort (false);
    return paths;
}
} // namespace

TEST_F (NuboCommandsTest, AnEmptyOrBlankRemotePathIsAUsageErrorBeforeTheDeviceIsTouched)
{
    writeFile (work().getChildFile ("up.bin"), randomBytes (10, 30));
    const auto before = treeOf (deviceFolder (0));

    const juce::StringArray cases[] = {
        {"rm", "-r", ""},
        {"rm", ""},
        {"rm", "-r", "   "},
        {"mv", "", "x"},
        {"mv", "Readme.txt", ""},
        {"mv", " ", " "},
        {"ls", ""},
        {"ls", "-l", " "},
        {"get", ""},
        {"get", "-r", "", "in"},
        {"mkdir", ""},
        {"put", "up.bin", ""},
        {"put", "-r", ".", " "},
    };
    for (auto& arguments : cases)
    {
        const auto r = run (arguments);
        EXPECT_EQ (r.status, 2) << arguments.joinIntoString (" ") << "\n" << r.err;
        EXPECT_TRUE (r.err.startsWith ("nubo: empty ")) << r.err;
        EXPECT_TRUE (r.err.contains ("path; name a path on the device")) << r.err;
    }

    EXPECT_EQ (requestLog (0).loadFileAsString(), "") << "nothing was sent to the device";
    EXPECT_EQ (treeOf (deviceFolder (0)), before);
    EXPECT_FALSE (work().getChildFile ("usr").exists());

    // Leaving the optional path out still means the home folder.
    EXPECT_EQ (run ({"ls"}).out, "apps/\ndocs/\nLogs/\n.profile\nReadme.txt\nsettings.ini\n");
}

TEST_F (NuboCommandsTest, RemovingOrMovingTheFileSystemIsRefusedInEverySpelling)
{
    const auto before = treeOf (deviceFolder (0));

    struct Case
    {
        juce::StringArray arguments;
        juce::String refused;
    };
    const Case cases[] = {
        {{"rm", "-r", "/"}, "/"},
        {{"rm", "-r", "//"}, "/ (given as \"//\")"},
        {{"rm", "-r", "/."}, "/ (given as \"/.\")"},
        {{"rm", "-r", "/mnt/.."}, "/ (given as \"/mnt/..\")"},
        {{"rm", "-r", "/mnt/nandfs/usr/../../.."}, "/ (given as \"/mnt/nandfs/usr/../../..\")"},
        {{"rm", "-r", "/mnt"}, "/mnt"},
        {{"rm", "/mnt/nandfs/"}, "/mnt/nandfs (given as \"/mnt/nandfs/\")"},
        {{"rm", "-r", "/mnt//nandfs/."}, "/mnt/nandfs (given as \"/mnt//nandfs/.\")"},
        {{"rm", "-r", ".."}, "/mnt/nandfs (given as \"..\")"},
        {{"mv", "/mnt/nandfs", "x"}, "/mnt/nandfs"},
        {{"mv", "../..", "x"}, "/mnt (given as \"../..\")"},
    };
    for (auto& c : cases)
    {
        const auto r = run (c.arguments);
        EXPECT_EQ (r.status, 2) << c.arguments.joinIntoString (" ") << "\n" << r.err;
        EXPECT_EQ (r.err, "nubo: refusing to " + c.arguments[0].replace ("rm", "remove").replace ("mv", "move") + " " +
                              c.refused + ": it holds the device's files\n");
    }

    EXPECT_TRUE (deviceRequests (0, "FileSystemEntryDeleteRequest").isEmpty());
    EXPECT_TRUE (deviceRequests (0, "FileSystemEntryMoveRequest").isEmpty());
    EXPECT_EQ (treeOf (deviceFolder (0)), before) << "the device's folder is intact";
}

TEST_F (NuboCommandsTest, RemotePathsAreNormalisedBeforeEveryRequest)
{
    EXPECT_EQ (run ({"mkdir", "new"}).status, 0);
    EXPECT_EQ (run ({"mkdir", "new//./deeper/../sub/"}).status, 0);
    EXPECT_EQ (deviceRequests (0, "FileSystemEntryCreateRequest").strings.getLast(),
               "FileSystemEntryCreateRequest isFolder=1 flag=1 path=/mnt/nandfs/usr/new/sub");
    EXPECT_TRUE (deviceFile (0, usr ("new/sub")).isDirectory());

    auto r = run ({"ls", "/mnt/nandfs/usr/docs/.."});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, "apps/\ndocs/\nLogs/\nnew/\n.profile\nReadme.txt\nsettings.ini\n");
    EXPECT_EQ (deviceRequests (0, "FolderContentsRequest").strings.getLast(),
               "FolderContentsRequest path=/mnt/nandfs/usr");

    r = run ({"rm", "-r", "docs/./../new/"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_FALSE (deviceFile (0, usr ("new")).exists());
    EXPECT_EQ (deviceRequests (0, "FileSystemEntryDeleteRequest").strings.getLast(),
               "FileSystemEntryDeleteRequest flag1=1 flag2=1 flag3=0 path=/mnt/nandfs/usr/new");
}

TEST_F (NuboCommandsTest, ATargetEndingInASlashMustBeAnExistingFolder)
{
    writeFile (work().getChildFile ("up.bin"), randomBytes (10, 31));
    writeFile (work().getChildFile ("tree/a.txt"), randomBytes (10, 32));
    const auto before = treeOf (deviceFolder (0));

    auto r = run ({"get", "Readme.txt", "newdir/"});
    EXPECT_EQ (r.status, 1);
    EXPECT_EQ (r.err, "nubo: no such folder " + work().getChildFile ("newdir").getFullPathName() + "\n");
    r = run ({"get", "-r", "docs", "newdir/"});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.err.startsWith ("nubo: no such folder ")) << r.err;
    EXPECT_FALSE (work().getChildFile ("newdir").exists());

    r = run ({"put", "up.bin", "newdir/"});
    EXPECT_EQ (r.status, 1);
    EXPECT_EQ (r.err, "nubo: no such folder /mnt/nandfs/usr/newdir on the device\n");
    r = run ({"put", "-r", "tree", "newdir/"});
    EXPECT_EQ (r.status, 1);
    r = run ({"mv", "Readme.txt", "newdir/"});
    EXPECT_EQ (r.status, 1);
    EXPECT_EQ (r.err, "nubo: no such folder /mnt/nandfs/usr/newdir on the device\n");
    EXPECT_TRUE (deviceRequests (0, "FileOpenRequest").isEmpty());
    EXPECT_TRUE (deviceRequests (0, "FileSystemEntryMoveRequest").isEmpty());
    EXPECT_TRUE (deviceRequests (0, "FileSystemEntryCreateRequest").isEmpty());
    EXPECT_EQ (treeOf (deviceFolder (0)), before);

    // An existing folder, named so, receives the entry under its own name.
    ASSERT_TRUE (work().getChildFile ("in").createDirectory().wasOk());
    EXPECT_EQ (run ({"get", "Readme.txt", "in/"}).status, 0);
    EXPECT_TRUE (work().getChildFile ("in/Readme.txt").existsAsFile());
    EXPECT_EQ (run ({"put", "up.bin", "docs/"}).status, 0);
    EXPECT_TRUE (sameContents (work().getChildFile ("up.bin"), deviceFile (0, usr ("docs/up.bin"))));
    EXPECT_EQ (run ({"mv", "settings.ini", "docs/"}).status, 0);
    EXPECT_TRUE (deviceFile (0, usr ("docs/settings.ini")).existsAsFile());
}

TEST_F (NuboCommandsTest, AnEntryTheDeviceWillNotDescribeIsListedWithUnknownDetails)
{
    stopDevice (0);
    startDevice (0, {"--unsafe-names", "--tilde-names", "--info-size", "-5"});

    auto r = run ({"ls", "-l", "docs"});
    EXPECT_EQ (r.status, 0) << r.err;
    juce::StringArray lines;
    lines.addLines (r.out.trimEnd());
    const auto unknown = juce::String ("           ?  ?                    ");
    EXPECT_TRUE (lines.contains (unknown + "../")) << r.out;
    EXPECT_TRUE (lines.contains (unknown + "~/")) << "it does not exist on the device\n" << r.out;
    EXPECT_TRUE (lines.contains (unknown + "a/b")) << r.out;
    ASSERT_EQ (lines.size(), 15) << r.out;
    const auto notes = lines[lines.size() - 1];
    EXPECT_TRUE (notes.startsWith ("           ?  20")) << "a negative size is unknown, the time is not\n" << notes;
    EXPECT_TRUE (notes.endsWith ("  notes.txt")) << notes;
    EXPECT_FALSE (r.out.contains ("1970")) << r.out;
    EXPECT_FALSE (r.out.contains ("-5")) << r.out;

    r = run ({"ls", "-l", "--json", "docs"});
    EXPECT_EQ (r.status, 0) << r.err;
    const auto listing = juce::JSON::parse (r.out);
    ASSERT_EQ (listing["entries"].size(), 15) << r.out;
    for (int i = 0; i < listing["entries"].size(); ++i)
    {
        const auto& entry = listing["entries"][i];
        EXPECT_TRUE (entry.hasProperty ("size"));
        EXPECT_TRUE (entry["size"].isVoid()) << r.out;
        EXPECT_EQ (entry["modified"].isVoid(), entry["name"] != "notes.txt") << r.out;
    }
}

TEST_F (NuboCommandsTest, RemovingATreeWithTildeNamesRemovesNothing)
{
    stopDevice (0);
    startDevice (0, {"--tilde-names"});
    ASSERT_TRUE (deviceFile (0, usr ("victim")).createDirectory().wasOk());

    const auto r = run ({"rm", "-r", "victim"});
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.err.startsWith ("nubo: the device lists an unsafe name \"~\" in /mnt/nandfs/usr/victim")) << r.err;
    EXPECT_TRUE (deviceRequests (0, "FileSystemEntryDeleteRequest").isEmpty());
    EXPECT_TRUE (deviceFile (0, usr ("victim")).isDirectory());
}
