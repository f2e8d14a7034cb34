// Single-file transfers of nubo against a simulator that damages, cuts or changes
// what it holds: --verify, --continue and a pipe whose reader stops.

#include "NuboFixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
class FileTransferTest : public NuboFixture
{
protected:
    static constexpr const char* bigRemote = "/mnt/nandfs/usr/big.bin";

    juce::String usr (const juce::String& name) const
    {
        return "/mnt/nandfs/usr/" + name;
    }

    /** The device's requests that open the path, in the request log's words. */
    juce::StringArray opensOf (const juce::String& path) const
    {
        juce::StringArray found;
        for (auto& line : deviceRequests (0, "FileOpenRequest"))
            if (line.endsWith (" path=" + path))
                found.add (line);
        return found;
    }

    /** A big file on the device, and a pipe in the work folder opened by a reader that
        never takes a byte (-1 when that failed); the caller closes the reader. */
    int deviceFileAndStalledPipe (int seed, const juce::File& fifo)
    {
        writeFile (deviceFile (0, bigRemote), randomBytes (1000000, seed));
        startDevice (0);
        if (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0644) != 0)
            return -1;
        return ::open (fifo.getFullPathName().toRawUTF8(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
};
} // namespace

TEST_F (FileTransferTest, FlashWithVerifyTriggersNothingWhenTheImageArrivedDamaged)
{
    writeFile (work().getChildFile ("fw.img"), randomBytes (50000, 21));
    startDevice (0, {"--corrupt-write", "2"});

    const auto r = run ({"flash", "--verify", "fw.img"});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_TRUE (r.err.startsWith ("nubo: verify: /mnt/nandfs/Nuboimage on the device differs from ")) << r.err;
    EXPECT_TRUE (r.err.contains ("the update was not triggered")) << r.err;
    EXPECT_TRUE (r.out.isEmpty()) << r.out;
    EXPECT_TRUE (opensOf ("/mnt/nandfs/NuboimageDone").isEmpty());
    EXPECT_FALSE (deviceFile (0, "/mnt/nandfs/NuboimageDone").exists());

    // The image was read back before the trigger would have been created.
    EXPECT_EQ (opensOf ("/mnt/nandfs/Nuboimage"),
               juce::StringArray ({"FileOpenRequest access=2 readFlag=0 path=/mnt/nandfs/Nuboimage",
                                   "FileOpenRequest access=1 readFlag=1 path=/mnt/nandfs/Nuboimage"}));
}

TEST_F (FileTransferTest, FlashWithVerifyTriggersOnceTheImageIsReadBackEqual)
{
    writeFile (work().getChildFile ("fw.img"), randomBytes (50000, 22));
    startDevice (0);

    const auto r = run ({"flash", "--verify", "fw.img"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, "Firmware image sent and verified; update triggered\n");
    EXPECT_TRUE (deviceFile (0, "/mnt/nandfs/NuboimageDone").existsAsFile());
    EXPECT_TRUE (sameContents (work().getChildFile ("fw.img"), deviceFile (0, "/mnt/nandfs/Nuboimage")));
}

TEST_F (FileTransferTest, GetWithVerifyKeepsTheOlderLocalFileWhenTheCopyArrivedDamaged)
{
    const auto older = randomBytes (1000, 23);
    writeFile (deviceFile (0, bigRemote), randomBytes (100000, 24));
    writeFile (work().getChildFile ("copy.bin"), older);

    struct Case
    {
        const char* what;
        juce::StringArray device;
    };
    const Case cases[] = {{"the first block damaged", {"--corrupt-read", "1"}},
                          {"a later block damaged", {"--corrupt-read", "3"}}};

    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        startDevice (0, c.device);
        const auto r = run ({"get", "--verify", bigRemote, "copy.bin"});
        stopDevice (0);

        EXPECT_EQ (r.status, 1) << r.err;
        EXPECT_TRUE (r.err.startsWith ("nubo: verify: " + juce::String (bigRemote) + " on the device differs from "))
            << r.err;
        EXPECT_TRUE (r.err.contains (work().getChildFile ("copy.bin").getFullPathName() + " is as it was")) << r.err;

        juce::MemoryBlock now;
        ASSERT_TRUE (work().getChildFile ("copy.bin").loadFileAsData (now));
        EXPECT_EQ (now, older);

        // A damaged copy is not left behind to be continued later.
        EXPECT_FALSE (work().getChildFile ("copy.bin.nubo-partial").exists());
        EXPECT_FALSE (work().getChildFile ("copy.bin.nubo-partial.info").exists());
    }

    // Undamaged, the same command replaces the older file.
    startDevice (0);
    const auto r = run ({"get", "--verify", bigRemote, "copy.bin"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (sameContents (work().getChildFile ("copy.bin"), deviceFile (0, bigRemote)));
    EXPECT_TRUE (r.err.endsWith ("(verified)\n")) << r.err;
}

TEST_F (FileTransferTest, GetWithVerifyIntoStandardOutputFailsWhenTheBytesArrivedDamaged)
{
    writeFile (deviceFile (0, bigRemote), randomBytes (30000, 25));
    startDevice (0, {"--corrupt-read", "2"});

    auto r = run ({"get", "--verify", bigRemote, "-"});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_TRUE (r.err.startsWith ("nubo: verify: " + juce::String (bigRemote) +
                                   " on the device differs from what was written to standard output"))
        << r.err;

    r = run ({"get", "--verify", bigRemote, "-"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, deviceFile (0, bigRemote).loadFileAsString());
}

TEST_F (FileTransferTest, PutWithVerifyKeepsTheDevicesFileWhenTheCopyArrivedDamaged)
{
    const auto older = randomBytes (500, 26);
    writeFile (deviceFile (0, usr ("data.bin")), older);
    writeFile (work().getChildFile ("data.bin"), randomBytes (40000, 27));
    startDevice (0, {"--corrupt-write", "3"});

    auto r = run ({"put", "--verify", "data.bin", usr ("data.bin")});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_TRUE (r.err.startsWith ("nubo: verify: " + usr (".data.bin.nubo-part") + " on the device differs from "))
        << r.err;
    EXPECT_TRUE (r.err.contains (usr ("data.bin") + " is as it was")) << r.err;

    juce::MemoryBlock now;
    ASSERT_TRUE (deviceFile (0, usr ("data.bin")).loadFileAsData (now));
    EXPECT_EQ (now, older);
    EXPECT_FALSE (deviceFile (0, usr (".data.bin.nubo-part")).exists());

    r = run ({"put", "--verify", "data.bin", usr ("data.bin")});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (sameContents (work().getChildFile ("data.bin"), deviceFile (0, usr ("data.bin"))));
}

TEST_F (FileTransferTest, ContinuesAPartialOnlyOfTheSameFileAsItStillIs)
{
    const auto content = randomBytes (200000, 28);
    writeFile (deviceFile (0, bigRemote), content);
    const auto partial = work().getChildFile ("big.bin.nubo-partial");
    const auto target = work().getChildFile ("big.bin");

    auto leavePartial = [&]
    {
        partial.deleteFile();
        startDevice (0, {"--hangup-after-sent", "60000"});
        const auto r = run ({"get", bigRemote});
        stopDevice (0);
        EXPECT_EQ (r.status, 1) << r.err;
        EXPECT_TRUE (r.err.contains ("partial file kept as " + partial.getFullPathName())) << r.err;
        EXPECT_GT (partial.getSize(), 0);
        EXPECT_LT (partial.getSize(), 200000);
        startDevice (0);
    };

    auto refused = [&] (const juce::String& what) -> juce::String
    {
        SCOPED_TRACE (what);
        juce::MemoryBlock before;
        EXPECT_TRUE (partial.loadFileAsData (before));
        const auto r = run ({"get", "--continue", bigRemote});
        EXPECT_EQ (r.status, 1) << r.err;
        EXPECT_TRUE (r.err.contains (partial.getFullPathName() + " is kept (remove it and fetch again)")) << r.err;
        EXPECT_FALSE (target.exists());
        juce::MemoryBlock after;
        EXPECT_TRUE (partial.loadFileAsData (after));
        EXPECT_EQ (after, before);
        return r.err;
    };

    // Rewritten on the device to the same length: another version.
    leavePartial();
    auto rewritten = content;
    rewritten[0] = (char) (rewritten[0] ^ 1);
    rewritten[199999] = (char) (rewritten[199999] ^ 1);
    writeFile (deviceFile (0, bigRemote), rewritten);
    deviceFile (0, bigRemote).setLastModificationTime (juce::Time::getCurrentTime() - juce::RelativeTime::days (3));
    EXPECT_TRUE (refused ("rewritten").contains ("is the start of another version of " + juce::String (bigRemote)));
    stopDevice (0);

    // Shrunk below what the partial holds.
    writeFile (deviceFile (0, bigRemote), content);
    leavePartial();
    writeFile (deviceFile (0, bigRemote), juce::MemoryBlock (content.getData(), 1000));
    refused ("shrunk");
    stopDevice (0);

    // A partial with nothing to say where it came from.
    writeFile (deviceFile (0, bigRemote), content);
    leavePartial();
    ASSERT_TRUE (work().getChildFile ("big.bin.nubo-partial.info").deleteFile());
    EXPECT_TRUE (refused ("unrecorded").contains ("can't tell what " + partial.getFullPathName() + " is the start of"));
    stopDevice (0);

    // The same file, untouched: continued to a byte-exact copy.
    leavePartial();
    const auto r = run ({"get", "--continue", bigRemote});
    EXPECT_EQ (r.status, 0) << r.err;
    juce::MemoryBlock fetched;
    ASSERT_TRUE (target.loadFileAsData (fetched));
    EXPECT_EQ (fetched, content);
    EXPECT_FALSE (partial.exists());
    EXPECT_FALSE (work().getChildFile ("big.bin.nubo-partial.info").exists());
}

TEST_F (FileTransferTest, CtrlCEndsAFetchIntoAPipeWhoseReaderStoppedReading)
{
    const auto fifo = work().getChildFile ("out.fifo");
    const int reader = deviceFileAndStalledPipe (29, fifo);
    ASSERT_GE (reader, 0);

    NuboProcess nubo (work(), root());
    ASSERT_TRUE (nubo.start ({"get", bigRemote, fifo.getFullPathName()}));

    // Once the pipe is full the fetch stops asking for blocks.
    int reads = 0;
    for (int i = 0; i < 300; ++i)
    {
        juce::Thread::sleep (100);
        const auto now = deviceRequests (0, "FileReadRequest").size();
        if (now >= 8 && now == reads)
            break;
        reads = now;
    }
    ASSERT_GE (reads, 8);
    ASSERT_LT (reads, 100);

    nubo.interrupt();
    EXPECT_EQ (nubo.wait (20000), 130) << nubo.standardError();
    EXPECT_LT (nubo.seconds(), 60.0);
    EXPECT_TRUE (nubo.standardError().startsWith ("nubo: interrupted after ")) << nubo.standardError();
    ::close (reader);

    // The device's file was closed, and the pipe is still a pipe.
    juce::StringArray requests;
    requests.addLines (requestLog (0).loadFileAsString().trimEnd());
    EXPECT_TRUE (requests.strings.getLast().contains ("FileCloseRequest handle=")) << requests.strings.getLast();
    struct stat info;
    ASSERT_EQ (::lstat (fifo.getFullPathName().toRawUTF8(), &info), 0);
    EXPECT_TRUE (S_ISFIFO (info.st_mode));
}

TEST_F (FileTransferTest, AFetchIntoAPipeWhoseReaderStoppedReadingFailsInTheEnd)
{
    const auto fifo = work().getChildFile ("out.fifo");
    const int reader = deviceFileAndStalledPipe (30, fifo);
    ASSERT_GE (reader, 0);

    const auto r = run ({"get", bigRemote, fifo.getFullPathName()});
    ::close (reader);
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_TRUE (
        r.err.startsWith ("nubo: can't write " + fifo.getFullPathName() + ": nothing was taken for 30 seconds"))
        << r.err;
    EXPECT_EQ (deviceRequests (0, "FileCloseRequest").size(), 1);
}

TEST_F (FileTransferTest, CtrlCEndsAFetchIntoAStandardOutputPipeThatNobodyReads)
{
    writeFile (deviceFile (0, bigRemote), randomBytes (1000000, 31));
    startDevice (0);

    NuboProcess nubo (work(), root());
    nubo.setStandardOutput (NuboProcess::Stream::unreadPipe);
    ASSERT_TRUE (nubo.start ({"get", bigRemote, "-"}));

    int reads = 0;
    for (int i = 0; i < 300; ++i)
    {
        juce::Thread::sleep (100);
        const auto now = deviceRequests (0, "FileReadRequest").size();
        if (now >= 8 && now == reads)
            break;
        reads = now;
    }
    ASSERT_GE (reads, 8);
    ASSERT_LT (reads, 100);

    // A reader that pauses is no reason to give up: only the signal ends it.
    juce::Thread::sleep (1000);
    EXPECT_EQ (deviceRequests (0, "FileCloseRequest").size(), 0);

    nubo.interrupt();
    EXPECT_EQ (nubo.wait (20000), 130) << nubo.standardError();
    EXPECT_TRUE (nubo.standardError().startsWith ("nubo: interrupted after ")) << nubo.standardError();
    EXPECT_EQ (deviceRequests (0, "FileCloseRequest").size(), 1);
}

TEST_F (FileTransferTest, ANameWithNoRoomForThePartialsRecordIsFetchedButNotContinued)
{
    // Room for ".nubo-partial" under the longest name, not for ".nubo-partial.info" too.
    const auto name = juce::String::repeatedString ("n", 240);
    writeFile (deviceFile (0, bigRemote), randomBytes (200000, 32));

    startDevice (0);
    auto r = run ({"get", bigRemote, name});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (sameContents (work().getChildFile (name), deviceFile (0, bigRemote)));
    stopDevice (0);

    ASSERT_TRUE (work().getChildFile (name).deleteFile());
    startDevice (0, {"--hangup-after-sent", "60000"});
    r = run ({"get", bigRemote, name});
    stopDevice (0);
    EXPECT_EQ (r.status, 1) << r.err;
    ASSERT_TRUE (work().getChildFile (name + ".nubo-partial").existsAsFile());

    startDevice (0);
    r = run ({"get", "--continue", bigRemote, name});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_TRUE (r.err.contains ("is kept (remove it and fetch again)")) << r.err;
    EXPECT_FALSE (work().getChildFile (name).exists());
}
