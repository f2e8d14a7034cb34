// Port choice, several devices at once, and devices that hang up or fall silent.

#include "NuboFixture.h"

#include <thread>

namespace
{
class NuboDevicesTest : public NuboFixture
{
};

const juce::String bigRemote = "/mnt/nandfs/usr/big.bin";
} // namespace

TEST_F (NuboDevicesTest, ChoosesThePortByEachFormOrSaysWhatItFound)
{
    auto r = run ({"info"});
    EXPECT_EQ (r.status, 3);
    EXPECT_TRUE (r.err.startsWith ("nubo: no Nubo device found\n")) << r.err;

    startDevice (0);
    EXPECT_EQ (run ({"info"}).status, 0) << "the one device present";

    startDevice (1);
    r = run ({"info"});
    EXPECT_EQ (r.status, 3);
    EXPECT_TRUE (r.err.startsWith ("nubo: several Nubo devices found; choose one with -p, or use --all\n")) << r.err;
    EXPECT_TRUE (r.err.contains ("Nubo Device (ttyACM0)\t" + devicePath (0)));
    EXPECT_TRUE (r.err.contains ("Nubo Device (ttyACM1)\t" + devicePath (1)));

    int listings = 0;
    for (auto& choice : {juce::String ("nubo device (ttyacm1)"), juce::String ("ttyACM1"), devicePath (1)})
    {
        r = run ({"-p", choice, "ls", "docs"});
        EXPECT_EQ (r.status, 0) << choice << r.err;
        EXPECT_EQ (r.out, "notes.txt\n");
        EXPECT_EQ (deviceRequests (1, "FolderContentsRequest").size(), ++listings) << choice;
    }
    EXPECT_TRUE (deviceRequests (0, "FolderContentsRequest").isEmpty());

    r = run ({"ls", "-p", "ttyACM7"});
    EXPECT_EQ (r.status, 3);
    EXPECT_TRUE (r.err.startsWith ("nubo: no Nubo device \"ttyACM7\"\nNubo devices found:\n")) << r.err;

    // Stopping one simulator leaves the other's entries in place.
    stopDevice (0);
    EXPECT_EQ (run ({"ports"}).out, "Nubo Device (ttyACM1)\t" + devicePath (1) + "\t7a3c:0511:0100\tSIM-1\n");
}

TEST_F (NuboDevicesTest, OpensAForeignDeviceOnlyByItsPathAndWarns)
{
    startDevice (0);
    startDevice (5, {"--vid", "1234", "--product", "Other Gadget"});

    auto r = run ({"ports"});
    EXPECT_FALSE (r.out.contains ("ttyACM5"));

    r = run ({"-p", devicePath (5), "info"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.err, "nubo: warning: " + devicePath (5) +
                          " is not a Nubo device (USB\\Vid_1234&Pid_0511&Rev_0100); opening it anyway\n");

    r = run ({"-p", "Other Gadget (ttyACM5)", "info"});
    EXPECT_EQ (r.status, 3);

    r = run ({"-p", root().getFullPathName() + "/dev/gone", "info"});
    EXPECT_EQ (r.status, 3);
    EXPECT_TRUE (r.err.contains ("nubo: can't open " + root().getFullPathName() +
                                 "/dev/gone: No such file or directory. The device is gone"))
        << r.err;
}

TEST_F (NuboDevicesTest, FlashesEveryDeviceAtOnceAndTellsWhichOneFailed)
{
    startDevice (0);
    startDevice (1, {"--hangup-after-received", "200000"});
    startDevice (2);
    writeFile (work().getChildFile ("fw.img"), randomBytes (1000000, 11));

    auto r = run ({"--all", "flash", "fw.img"});
    EXPECT_EQ (r.status, 1) << r.out << r.err;
    EXPECT_LT (r.seconds, 60.0);

    EXPECT_TRUE (sameContents (work().getChildFile ("fw.img"), deviceFile (0, "/mnt/nandfs/Nuboimage")));
    EXPECT_TRUE (sameContents (work().getChildFile ("fw.img"), deviceFile (2, "/mnt/nandfs/Nuboimage")));
    EXPECT_TRUE (deviceFile (2, "/mnt/nandfs/NuboimageDone").existsAsFile());
    EXPECT_FALSE (deviceFile (1, "/mnt/nandfs/NuboimageDone").exists());

    EXPECT_TRUE (r.out.contains ("[ttyACM0] Firmware image sent; update triggered\n")) << r.out;
    EXPECT_TRUE (r.out.contains ("[ttyACM2] Firmware image sent; update triggered\n")) << r.out;
    EXPECT_TRUE (r.out.contains ("\nPORT     RESULT  TIME      DETAIL\n")) << r.out;
    EXPECT_TRUE (r.out.contains ("\nttyACM0  ok      "));
    EXPECT_TRUE (r.out.contains ("\nttyACM1  FAILED  "));
    EXPECT_TRUE (r.out.contains ("\nttyACM2  ok      "));
    EXPECT_TRUE (r.out.endsWith ("2 of 3 devices succeeded\n"));

    juce::StringArray errors;
    errors.addLines (r.err.trimEnd());
    ASSERT_EQ (errors.size(), 1) << r.err;
    EXPECT_TRUE (errors[0].startsWith ("[ttyACM1] nubo: sending the image failed")) << errors[0];
    EXPECT_TRUE (errors[0].contains ("the device is gone: unplugged or hung up")) << errors[0];
    EXPECT_EQ (errors[0].indexOf ("the device is gone"), errors[0].lastIndexOf ("the device is gone")) << errors[0];

    // The same run in JSON: one document with each device's result.
    stopDevice (1);
    r = run ({"-p", "ttyACM0", "-p", "ttyACM2", "flash", "--json", "fw.img"});
    EXPECT_EQ (r.status, 0) << r.err;
    const auto summary = juce::JSON::parse (r.out);
    EXPECT_EQ (summary["command"].toString(), "flash");
    EXPECT_EQ ((int) summary["failed"], 0);
    ASSERT_EQ (summary["devices"].size(), 2);
    EXPECT_EQ (summary["devices"][1]["port"].toString(), "ttyACM2");
    EXPECT_EQ (summary["devices"][1]["result"]["result"].toString(), "completed");
}

TEST_F (NuboDevicesTest, RunsInfoAndGetmacOnSeveralDevices)
{
    // Messages the devices send on their own (after the first answer of the getmac run
    // below, with time to spare) are logged by each client's own thread.
    startDevice (0, {"--async-after", "2", "--delay", "150"});
    startDevice (1, {"--async-after", "2", "--delay", "150"});

    auto r = run ({"--all", "info"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (r.out.contains ("[ttyACM0] Text 1: Nubo Simulator\n"));
    EXPECT_TRUE (r.out.contains ("[ttyACM1] Firmware version: 0x0203\n"));

    // The protocol log of each device is led by its port too.
    r = run ({"--all", "-v", "getmac", "mac.txt"});
    EXPECT_EQ (r.status, 0) << r.err;
    juce::StringArray logLines;
    logLines.addLines (r.err.trimEnd());
    EXPECT_TRUE (logLines.contains ("[ttyACM1] Reading Mac file...")) << r.err;
    EXPECT_TRUE (logLines.contains ("[ttyACM0] Getting remote file /mnt/nandfs/macAddress.txt")) << r.err;
    EXPECT_TRUE (r.err.contains ("] Async message 32769 not handled\n")) << r.err;
    for (auto& line : logLines)
        EXPECT_TRUE (line.startsWith ("[ttyACM0] ") || line.startsWith ("[ttyACM1] ")) << line;

    EXPECT_TRUE (sameContents (work().getChildFile ("mac-ttyACM0.txt"), deviceFile (0, "/mnt/nandfs/macAddress.txt")));
    EXPECT_TRUE (sameContents (work().getChildFile ("mac-ttyACM1.txt"), deviceFile (1, "/mnt/nandfs/macAddress.txt")));
    EXPECT_FALSE (work().getChildFile ("mac.txt").exists());

    EXPECT_EQ (run ({"--all", "ls"}).status, 2) << "ls runs on one device";
}

TEST_F (NuboDevicesTest, FourDevicesAtOnceOneSilentEachLineLabelledAndOnlyResultsOnStandardOutput)
{
    for (int n = 0; n < 3; ++n)
        startDevice (n, {"--async-after", "1", "--delay", "50"});
    startDevice (3, {"--drop", "1,2,3,4,5,6,7,8"}); // never answers

    const auto r = run ({"--all", "-v", "info"});
    EXPECT_EQ (r.status, 1) << r.out << r.err;

    juce::StringArray out, err;
    out.addLines (r.out.trimEnd());
    err.addLines (r.err.trimEnd());
    int summaryFrom = out.indexOf ("");
    ASSERT_GE (summaryFrom, 0) << r.out;
    for (int i = 0; i < summaryFrom; ++i)
        EXPECT_TRUE (out[i].startsWith ("[ttyACM0] ") || out[i].startsWith ("[ttyACM1] ") ||
                     out[i].startsWith ("[ttyACM2] "))
            << out[i];
    for (int n = 0; n < 3; ++n)
        EXPECT_TRUE (out.contains ("[ttyACM" + juce::String (n) + "] Text 1: Nubo Simulator")) << r.out;
    EXPECT_EQ (out[summaryFrom + 1], "PORT     RESULT  TIME      DETAIL");
    EXPECT_TRUE (out[summaryFrom + 5].startsWith ("ttyACM3  FAILED  ")) << r.out;
    EXPECT_EQ (out[summaryFrom + 6], "3 of 4 devices succeeded");
    EXPECT_EQ (out.size(), summaryFrom + 7) << r.out;

    // Every log line, the devices' own messages included, says which device it is about.
    for (auto& line : err)
        EXPECT_TRUE (line.startsWith ("[ttyACM0] ") || line.startsWith ("[ttyACM1] ") ||
                     line.startsWith ("[ttyACM2] ") || line.startsWith ("[ttyACM3] "))
            << line;
    EXPECT_TRUE (r.err.contains ("] Async message 32769 not handled\n")) << r.err;
    EXPECT_TRUE (r.err.contains ("[ttyACM3] nubo: ")) << r.err;
}

TEST_F (NuboDevicesTest, ContinuesAFetchAfterAHangUp)
{
    writeFile (work().getChildFile ("expected.bin"), randomBytes (3000000, 12));
    writeFile (deviceFile (0, bigRemote), randomBytes (3000000, 12));
    startDevice (0, {"--hangup-after-sent", "1000000"});

    auto r = run ({"get", bigRemote});
    EXPECT_EQ (r.status, 1);
    EXPECT_FALSE (work().getChildFile ("big.bin").exists());
    const auto partial = work().getChildFile ("big.bin.nubo-partial");
    ASSERT_TRUE (partial.existsAsFile());
    const auto kept = partial.getSize();
    EXPECT_GT (kept, 0);
    EXPECT_LT (kept, 3000000);
    EXPECT_TRUE (r.err.contains ("partial file kept as " + partial.getFullPathName())) << r.err;

    stopDevice (0);
    requestLog (0).deleteFile();
    startDevice (0);
    r = run ({"get", "--continue", bigRemote});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (sameContents (work().getChildFile ("big.bin"), work().getChildFile ("expected.bin")));
    EXPECT_FALSE (partial.exists());
    EXPECT_EQ (deviceRequests (0, "FileSeekRequest"),
               juce::StringArray ("FileSeekRequest handle=4096 offset=" + juce::String (kept) + " origin=0"));
}

TEST_F (NuboDevicesTest, HangUpOrSilenceEndsATransferInBoundedTimeWithoutAPartialFile)
{
    struct Case
    {
        const char* what;
        juce::StringArray device, command;
    };
    const Case cases[] = {
        {"get, hang-up", {"--hangup-after-sent", "300000"}, {"get", bigRemote, "out.bin"}},
        {"get, silence", {"--drop", "12"}, {"get", bigRemote, "out.bin"}},
        {"put, hang-up", {"--hangup-after-received", "300000"}, {"put", "up.bin"}},
        {"put, silence", {"--drop", "12"}, {"put", "up.bin"}},
        {"flash, hang-up", {"--hangup-after-received", "300000"}, {"flash", "up.bin"}},
        {"flash, silence", {"--drop", "12"}, {"flash", "up.bin"}},
    };

    writeFile (work().getChildFile ("up.bin"), randomBytes (1000000, 13));
    writeFile (deviceFile (0, bigRemote), randomBytes (1000000, 14));
    writeFile (work().getChildFile ("out.bin"), randomBytes (10, 15));          // an older copy, to be kept
    writeFile (deviceFile (0, "/mnt/nandfs/usr/up.bin"), randomBytes (10, 15)); // and one on the device

    for (auto& c : cases)
    {
        startDevice (0, c.device);
        const auto r = run (c.command);
        stopDevice (0);

        EXPECT_EQ (r.status, 1) << c.what << r.err;
        EXPECT_LT (r.seconds, 20.0) << c.what;
        juce::StringArray lines;
        lines.addLines (r.err.trimEnd());
        EXPECT_EQ (lines.size(), 1) << c.what << r.err;
        EXPECT_TRUE (lines[0].startsWith ("nubo: ")) << c.what;
        if (juce::String (c.what).endsWith ("hang-up"))
        {
            EXPECT_TRUE (lines[0].contains ("the device is gone")) << c.what << lines[0];
        }
        else
        {
            EXPECT_TRUE (lines[0].contains ("(Timeout on serial # ")) << c.what << lines[0];
        }
        EXPECT_EQ (work().getChildFile ("out.bin").getSize(), 10) << c.what;
        EXPECT_EQ (deviceFile (0, "/mnt/nandfs/usr/up.bin").getSize(), 10) << c.what;
        if (juce::String (c.what).endsWith ("silence"))
        {
            EXPECT_FALSE (deviceFile (0, "/mnt/nandfs/usr/.up.bin.nubo-part").exists()) << c.what;
        }
        EXPECT_FALSE (deviceFile (0, "/mnt/nandfs/NuboimageDone").exists()) << c.what;

        // What the simulator took in before it hung up is in the part file, and no more
        // room than those bytes need (give or take one block of the file system).
        const auto part = deviceFile (0, "/mnt/nandfs/usr/.up.bin.nubo-part");
        if (juce::String (c.what) == "put, hang-up" && part.existsAsFile())
        {
            EXPECT_EQ (part.getSize() % 8169, 0) << c.what;
            const auto reference = deviceFile (0, "/mnt/nandfs/usr/reference.bin");
            writeFile (reference, randomBytes ((size_t) part.getSize(), 16));
            EXPECT_LE (allocatedBytes (part), allocatedBytes (reference) + 4096) << c.what;
            reference.deleteFile();
        }
    }
}

TEST_F (NuboDevicesTest, CtrlCDuringAFetchClosesTheRemoteFileAndKeepsNoFileUnderTheFinalName)
{
    writeFile (deviceFile (0, bigRemote), randomBytes (4000000, 16));
    startDevice (0, {"--rate", "300000"});

    NuboProcess nubo (work(), root());
    ASSERT_TRUE (nubo.start ({"get", bigRemote}));
    const auto partial = work().getChildFile ("big.bin.nubo-partial");
    for (int i = 0; i < 1000 && partial.getSize() < 100000; ++i)
        juce::Thread::sleep (10);
    ASSERT_GE (partial.getSize(), 100000);

    nubo.interrupt();
    EXPECT_EQ (nubo.wait(), 130) << nubo.standardError();
    EXPECT_LT (nubo.seconds(), 30.0);
    EXPECT_FALSE (work().getChildFile ("big.bin").exists());
    EXPECT_TRUE (nubo.standardError().startsWith ("nubo: interrupted after ")) << nubo.standardError();

    juce::StringArray requests;
    requests.addLines (requestLog (0).loadFileAsString().trimEnd());
    EXPECT_TRUE (requests.strings.getLast().endsWith ("FileCloseRequest handle=4096")) << requests.strings.getLast();
}

TEST_F (NuboDevicesTest, APortInUseIsReportedWithTheSystemsReason)
{
    writeFile (deviceFile (0, bigRemote), randomBytes (2000000, 17));
    startDevice (0, {"--rate", "200000"});

    NuboProcess holder (work(), root());
    ASSERT_TRUE (holder.start ({"get", bigRemote}));
    const auto partial = work().getChildFile ("big.bin.nubo-partial");
    for (int i = 0; i < 1000 && !partial.exists(); ++i)
        juce::Thread::sleep (10);

    const auto r = run ({"info"});
    EXPECT_EQ (r.status, 3);
    EXPECT_TRUE (r.err.startsWith ("nubo: can't open " + devicePath (0) + ": ")) << r.err;
    EXPECT_TRUE (r.err.contains ("Another program holds the port")) << r.err;

    holder.interrupt();
    EXPECT_EQ (holder.wait(), 130);
}

TEST_F (NuboDevicesTest, CtrlCDuringASendRemovesThePartFileAndKeepsTheOlderFile)
{
    writeFile (work().getChildFile ("up.bin"), randomBytes (4000000, 18));
    writeFile (deviceFile (0, "/mnt/nandfs/usr/up.bin"), randomBytes (10, 19));
    startDevice (0, {"--rate", "300000"});

    NuboProcess nubo (work(), root());
    ASSERT_TRUE (nubo.start ({"put", "up.bin"}));
    const auto part = deviceFile (0, "/mnt/nandfs/usr/.up.bin.nubo-part");
    for (int i = 0; i < 1000 && part.getSize() < 100000; ++i)
        juce::Thread::sleep (10);
    ASSERT_GE (part.getSize(), 100000);

    nubo.interrupt();
    EXPECT_EQ (nubo.wait(), 130) << nubo.standardError();
    EXPECT_LT (nubo.seconds(), 30.0);
    EXPECT_TRUE (nubo.standardError().startsWith ("nubo: interrupted after ")) << nubo.standardError();
    EXPECT_FALSE (part.exists());
    EXPECT_EQ (deviceFile (0, "/mnt/nandfs/usr/up.bin").getSize(), 10);

    juce::StringArray requests;
    requests.addLines (requestLog (0).loadFileAsString().trimEnd());
    ASSERT_GE (requests.size(), 2);
    EXPECT_TRUE (requests[requests.size() - 2].endsWith ("FileCloseRequest handle=4096"))
        << requests.joinIntoString ("\n");
    EXPECT_TRUE (requests[requests.size() - 1].contains ("FileSystemEntryDeleteRequest"));
}

TEST_F (NuboDevicesTest, CtrlCDuringAFlashClosesTheImageAndTriggersNothing)
{
    writeFile (work().getChildFile ("fw.img"), randomBytes (4000000, 21));
    startDevice (0, {"--rate", "300000"});

    NuboProcess nubo (work(), root());
    ASSERT_TRUE (nubo.start ({"flash", "fw.img"}));
    const auto image = deviceFile (0, "/mnt/nandfs/Nuboimage");
    for (int i = 0; i < 1000 && image.getSize() < 100000; ++i)
        juce::Thread::sleep (10);
    ASSERT_GE (image.getSize(), 100000);

    nubo.interrupt();
    EXPECT_EQ (nubo.wait(), 130) << nubo.standardError();
    EXPECT_LT (nubo.seconds(), 30.0);
    EXPECT_FALSE (deviceFile (0, "/mnt/nandfs/NuboimageDone").exists());

    juce::StringArray requests;
    requests.addLines (requestLog (0).loadFileAsString().trimEnd());
    EXPECT_TRUE (requests.strings.getLast().contains ("FileCloseRequest")) << requests.joinIntoString ("\n");
}

TEST_F (NuboDevicesTest, ASilentDeviceEndsAFolderTransferSoonAndFails)
{
    for (int i = 0; i < 40; ++i)
    {
        writeFile (deviceFile (0, "/mnt/nandfs/usr/many/f" + juce::String (i).paddedLeft ('0', 2)),
                   randomBytes (10, i));
        writeFile (work().getChildFile ("tree/f" + juce::String (i).paddedLeft ('0', 2)), randomBytes (10, i));
    }

    // The listing and two files are answered, then nothing more.
    startDevice (0, {"--silent-after", "7"});
    auto r = run ({"-v", "get", "-r", "many"});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_LT (r.seconds, 20.0) << "not one time-out per file";
    EXPECT_TRUE (r.err.contains ("Folder transfer stopped: the device has stopped answering")) << r.err;
    EXPECT_TRUE (r.err.contains ("Folder transfer finished: 2 transferred, 38 failed")) << r.err;
    EXPECT_TRUE (r.err.contains ("nubo: fetching /mnt/nandfs/usr/many failed")) << r.err;
    EXPECT_EQ (work().getChildFile ("many").getNumberOfChildFiles (juce::File::findFiles), 2);

    // Its home folder is listed, then the tree's facts, creation, listing and one file.
    stopDevice (0);
    startDevice (0, {"--silent-after", "8"});
    r = run ({"-v", "put", "-r", "tree"});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_LT (r.seconds, 20.0) << "not one time-out per file";
    EXPECT_TRUE (r.err.contains ("Folder transfer stopped: the device has stopped answering")) << r.err;
    EXPECT_TRUE (r.err.contains ("Folder transfer finished: 1 transferred, 39 failed")) << r.err;
    EXPECT_EQ (deviceFile (0, "/mnt/nandfs/usr/tree").getNumberOfChildFiles (juce::File::findFiles), 1);
}

TEST_F (NuboDevicesTest, TreesStopAtTheMostEntriesAndTheDepthGiven)
{
    // Every folder lists a/ and b/, each leading back to itself.
    startDevice (0, {"--multiply-folders"});

    auto r = run ({"get", "-r", "--max-entries", "50", "docs"});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_TRUE (r.err.contains ("more than 50 entries")) << r.err;
    const auto folders = work().getChildFile ("docs").findChildFiles (juce::File::findDirectories, true, "*").size();
    EXPECT_LE (folders, 50);
    EXPECT_GE (folders, 10);

    r = run ({"rm", "-r", "--max-entries", "20", "docs"});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_TRUE (r.err.startsWith ("nubo: more than 20 entries in /mnt/nandfs/usr/docs/a/a/")) << r.err;
    EXPECT_TRUE (r.err.endsWith ("; nothing was removed\n")) << r.err;
    EXPECT_TRUE (deviceRequests (0, "FileSystemEntryDeleteRequest").isEmpty());
    EXPECT_TRUE (deviceFile (0, "/mnt/nandfs/usr/docs/notes.txt").existsAsFile());

    EXPECT_EQ (run ({"get", "-r", "--max-entries", "0", "docs"}).status, 2);
    EXPECT_EQ (run ({"rm", "-r", "--max-entries", "x", "docs"}).status, 2);

    // A folder that holds itself: the CLI's own walker stops 32 levels down, as transfers do.
    stopDevice (0);
    startDevice (0, {"--self-folder", "self"});
    const auto listingsBefore = deviceRequests (0, "FolderContentsRequest").size();
    r = run ({"rm", "-r", "docs"});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_EQ (r.err, "nubo: /mnt/nandfs/usr/docs" + juce::String::repeatedString ("/self", 32) +
                          " is nested deeper than 32 levels; nothing was removed\n");
    EXPECT_EQ (deviceRequests (0, "FolderContentsRequest").size() - listingsBefore, 1 + 32);
    EXPECT_TRUE (deviceRequests (0, "FileSystemEntryDeleteRequest").isEmpty());

    // put -r counts the local tree the same way.
    stopDevice (0);
    startDevice (0);
    for (int i = 0; i < 5; ++i)
        writeFile (work().getChildFile ("tree/f" + juce::String (i)), randomBytes (10, i));
    r = run ({"-v", "put", "-r", "--max-entries", "3", "tree"});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_TRUE (r.err.contains ("Folder transfer stopped: more than 3 entries")) << r.err;
    EXPECT_EQ (deviceFile (0, "/mnt/nandfs/usr/tree").getNumberOfChildFiles (juce::File::findFiles), 3);
}

TEST_F (NuboDevicesTest, OneDeviceNamedTwiceIsOpenedOnce)
{
    startDevice (0);
    const auto r = run ({"-p", "ttyACM0", "-p", root().getFullPathName() + "/dev/./ttyACM0", "info"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_FALSE (r.err.contains ("process")) << r.err;
    EXPECT_EQ (deviceRequests (0, "WhoAmIRequest").size(), 1);
}

TEST_F (NuboDevicesTest, ADeviceThatFallsSilentDuringALongListingStillGetsEveryEntryListed)
{
    // The listing and the details of apps/ and docs/ are answered, then nothing more.
    startDevice (0, {"--silent-after", "3"});

    const auto r = run ({"ls", "-l"});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_LT (r.seconds, 20.0) << "two time-outs, not one per entry";
    juce::StringArray lines;
    lines.addLines (r.out.trimEnd());
    ASSERT_EQ (lines.size(), 6) << r.out;
    EXPECT_TRUE (lines[0].endsWith ("  apps/")) << lines[0];
    EXPECT_FALSE (lines[1].contains ("?")) << lines[1];
    for (int i = 2; i < 6; ++i)
        EXPECT_TRUE (lines[i].startsWith ("           ?  ?                    ")) << lines[i];
    EXPECT_TRUE (lines[5].endsWith ("  settings.ini")) << lines[5];
    EXPECT_TRUE (r.err.startsWith ("nubo: can't read the details of 4 of 6 entries in /mnt/nandfs/usr (")) << r.err;
}
