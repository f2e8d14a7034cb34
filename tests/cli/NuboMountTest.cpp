// nubo mount against the simulator, through the kernel's FUSE (/dev/fuse, as root):
// ordinary tools on the mount, a send the device refuses, a cable pulled mid-read.

#include "NuboFixture.h"

#include <csignal>
#include <fstream>
#include <unistd.h>

namespace
{
bool isMountPoint (const juce::File& folder)
{
    std::ifstream mounts ("/proc/self/mounts");
    std::string device, where;
    std::string rest;
    while (mounts >> device >> where && std::getline (mounts, rest))
        if (where == folder.getFullPathName().toStdString())
            return true;
    return false;
}

/** Waits until the condition holds; false when it did not within the time. */
template <typename Condition> bool waitFor (Condition condition, int timeoutMs)
{
    const auto start = juce::Time::getMillisecondCounter();
    while (!condition())
    {
        if (juce::Time::getMillisecondCounter() - start > (juce::uint32) timeoutMs)
            return false;
        juce::Thread::sleep (20);
    }
    return true;
}

juce::String quoted (const juce::File& file)
{
    return "'" + file.getFullPathName() + "'";
}
} // namespace

class NuboMountTest : public NuboFixture
{
protected:
    struct Shell
    {
        int status = -1;
        juce::String output; ///< standard output and error
    };

    void SetUp() override
    {
        if (::geteuid() != 0 || !juce::File ("/dev/fuse").exists())
            GTEST_SKIP() << "needs root and /dev/fuse";
        NuboFixture::SetUp();
        ASSERT_TRUE (mountPoint().createDirectory().wasOk());
    }

    void TearDown() override
    {
        if (nubo != nullptr)
        {
            if (isMountPoint (mountPoint()))
                if (run ("fusermount3 -u " + quoted (mountPoint())).status != 0)
                    run ("umount -l " + quoted (mountPoint()));
            nubo->sendSignal (SIGTERM);
            nubo->wait (120000);
            nubo.reset();
        }
    }

    juce::File mountPoint() const
    {
        return scratch / "mnt";
    }
    juce::File mounted (const juce::String& path) const
    {
        return mountPoint().getChildFile (path);
    }
    juce::File onDevice (const juce::String& path) const
    {
        return deviceFile (0, "/mnt/nandfs/usr/" + path);
    }

    /** Starts nubo mount of the home folder on device 0 and waits for the mount. */
    void mount (const juce::StringArray& extra = {}, const juce::String& remote = "/mnt/nandfs/usr")
    {
        nubo = std::make_unique<NuboProcess> (work(), root());
        juce::StringArray arguments{"mount", remote, mountPoint().getFullPathName(), "--cache-dir",
                                    (scratch / "cache").getFullPathName()};
        arguments.addArray (extra);
        ASSERT_TRUE (nubo->start (arguments));
        // A nubo that ended (a refusal, a crash) has nothing more to wait for.
        ASSERT_TRUE (waitFor ([this] { return isMountPoint (mountPoint()) || !nubo->isRunning(); }, 20000));
        ASSERT_TRUE (isMountPoint (mountPoint())) << nubo->standardError();
    }

    /** Unmounts with fusermount3 and expects nubo to end with 0. */
    void unmount()
    {
        ASSERT_EQ (run ("fusermount3 -u " + quoted (mountPoint())).status, 0);
        EXPECT_EQ (nubo->wait (120000), 0) << nubo->standardError();
        EXPECT_FALSE (isMountPoint (mountPoint()));
        nubo.reset();
    }

    /** A shell command, killed after the time-out; its output merged. */
    Shell run (const juce::String& command, int timeoutMs = 20000)
    {
        const auto output = scratch / ("shell" + juce::String (++shells) + ".out");
        juce::ChildProcess child;
        Shell result;
        const auto script = "cd " + quoted (scratch.get()) + " && ( " + command + " ) >" + quoted (output) + " 2>&1";
        const juce::StringArray arguments{"timeout", "-s", "KILL", juce::String (timeoutMs / 1000), "sh", "-c", script};
        if (!child.start (arguments, 0))
            return result;
        if (!child.waitForProcessToFinish (timeoutMs + 5000))
            child.kill();
        result.status = (int) child.getExitCode();
        result.output = output.loadFileAsString();
        return result;
    }

    void signalDevice (int signalNumber)
    {
        ASSERT_EQ (::kill (simulators[0]->processId(), signalNumber), 0);
    }

    std::unique_ptr<NuboProcess> nubo;
    int shells = 0;
};

TEST_F (NuboMountTest, OrdinaryToolsWorkOnTheMountAndUnsafeNamesStayHidden)
{
    startDevice (0, {"--unsafe-names"});
    writeFile (onDevice ("docs/data.bin"), randomBytes (200000, 1));
    ASSERT_NO_FATAL_FAILURE (mount());

    // Listings with sizes, and the same tree as the device's folder (the unsafe names
    // are in every listing the device gives, never in the mount).
    const auto listing = run ("ls -l " + quoted (mounted ("docs")));
    EXPECT_EQ (listing.status, 0) << listing.output;
    EXPECT_TRUE (listing.output.contains (" 200000 ")) << listing.output;
    auto diff = run ("diff -r " + quoted (mountPoint()) + " " + quoted (onDevice ("")));
    EXPECT_EQ (diff.status, 0) << diff.output;
    EXPECT_TRUE (nubo->standardError().contains ("hidden")) << nubo->standardError();

    // Out and in, byte for byte; then the usual changes.
    EXPECT_EQ (run ("cp " + quoted (mounted ("docs/data.bin")) + " out.bin").status, 0);
    EXPECT_TRUE (sameContents (scratch / "out.bin", onDevice ("docs/data.bin")));
    const auto tail = run ("tail -c 70001 " + quoted (mounted ("docs/data.bin")) + " > t1 && tail -c 70001 " +
                           quoted (onDevice ("docs/data.bin")) + " > t2 && cmp t1 t2");
    EXPECT_EQ (tail.status, 0) << tail.output;
    writeFile (scratch / "in.bin", randomBytes (300001, 2));
    const auto in = run ("cp in.bin " + quoted (mounted ("in.bin")));
    EXPECT_EQ (in.status, 0) << in.output;
    EXPECT_TRUE (sameContents (scratch / "in.bin", onDevice ("in.bin")));

    const auto changes = run ("mkdir " + quoted (mounted ("made")) + " && mv " + quoted (mounted ("in.bin")) + " " +
                              quoted (mounted ("made/moved.bin")) + " && rm " + quoted (mounted ("docs/data.bin")) +
                              " && echo more >> " + quoted (mounted ("settings.ini")));
    EXPECT_EQ (changes.status, 0) << changes.output;
    EXPECT_TRUE (sameContents (scratch / "in.bin", onDevice ("made/moved.bin")));
    EXPECT_FALSE (onDevice ("in.bin").exists());
    EXPECT_FALSE (onDevice ("docs/data.bin").exists());
    EXPECT_TRUE (onDevice ("settings.ini").loadFileAsString().endsWith ("\nmore\n"));
    EXPECT_NE (run ("rmdir " + quoted (mounted ("made"))).status, 0); // not empty
    diff = run ("diff -r " + quoted (mountPoint()) + " " + quoted (onDevice ("")));
    EXPECT_EQ (diff.status, 0) << diff.output;

    ASSERT_NO_FATAL_FAILURE (unmount());
}

TEST_F (NuboMountTest, AFailedSendLeavesTheDeviceFileAndFailsTheWriter)
{
    // A mount point that is not an empty folder is refused before any device is touched.
    ASSERT_TRUE (mounted ("in-the-way").create().wasOk());
    const auto refused = NuboFixture::run ({"mount", "/mnt/nandfs/usr", mountPoint().getFullPathName()});
    EXPECT_EQ (refused.status, 2);
    EXPECT_TRUE (refused.err.contains ("not empty")) << refused.err;
    ASSERT_TRUE (mounted ("in-the-way").deleteFile());

    startDevice (0, {"--refuse-create", "/mnt/nandfs/usr/.settings.ini.nubo-part"});
    const auto before = onDevice ("settings.ini").loadFileAsString();
    ASSERT_NO_FATAL_FAILURE (mount());

    writeFile (scratch / "new.ini", randomBytes (20000, 3));
    const auto written = run ("cp new.ini " + quoted (mounted ("settings.ini")));
    EXPECT_NE (written.status, 0) << written.output;
    EXPECT_TRUE (written.output.contains ("Input/output error")) << written.output;
    EXPECT_EQ (onDevice ("settings.ini").loadFileAsString(), before);
    EXPECT_FALSE (onDevice (".settings.ini.nubo-part").exists());
    EXPECT_TRUE (nubo->standardError().contains ("can't write /mnt/nandfs/usr/settings.ini")) << nubo->standardError();
    ASSERT_NO_FATAL_FAILURE (unmount());

    // Read-only: every change refused, reads as before.
    ASSERT_NO_FATAL_FAILURE (mount ({"--read-only"}));
    const auto change = run ("touch " + quoted (mounted ("x")) + "; echo y >> " + quoted (mounted ("settings.ini")) +
                             "; mkdir " + quoted (mounted ("d")));
    int refusals = 0;
    for (auto& line : juce::StringArray::fromLines (change.output))
        refusals += line.contains ("Read-only file system") ? 1 : 0;
    EXPECT_EQ (refusals, 3) << change.output;
    EXPECT_EQ (run ("cat " + quoted (mounted ("settings.ini"))).output, before);
    EXPECT_FALSE (onDevice ("x").exists());
    EXPECT_FALSE (onDevice ("d").exists());
    ASSERT_NO_FATAL_FAILURE (unmount());

    // A folder that holds itself is followed as deep as a folder transfer goes, no further.
    stopDevice (0);
    startDevice (0, {"--self-folder", "again"});
    ASSERT_NO_FATAL_FAILURE (mount ({}, "/mnt/nandfs/usr/docs"));
    const auto walked = run ("find " + quoted (mountPoint()) + " -type d >folders; wc -l <folders");
    // The mount's folder and 31 below it are read; the one below those shows, but won't list.
    EXPECT_EQ (walked.output.trim().getTrailingIntValue(), 33) << walked.output;
    EXPECT_TRUE (walked.output.contains ("Too many levels")) << walked.output;
    ASSERT_NO_FATAL_FAILURE (unmount());
}

TEST_F (NuboMountTest, UnpluggedDeviceGivesEioAndIsUsedAgainOnceBack)
{
    startDevice (0, {"--rate", "400000"});
    writeFile (onDevice ("big.bin"), randomBytes (1000000, 4));
    writeFile (onDevice ("other.bin"), randomBytes (150000, 5));
    ASSERT_NO_FATAL_FAILURE (mount());

    // Pulled a quarter of the way through a read: the reader gets EIO within the
    // exchange's time-out, and the mount stays.
    juce::ChildProcess reader;
    ASSERT_TRUE (reader.start (juce::StringArray{"sh", "-c",
                                                 "cat " + quoted (mounted ("big.bin")) + " > " +
                                                     quoted (scratch / "partial.bin") + " 2> " +
                                                     quoted (scratch / "reader.err")},
                               0));
    juce::Thread::sleep (600);
    signalDevice (SIGUSR1);
    ASSERT_TRUE (reader.waitForProcessToFinish (10000));
    EXPECT_NE (reader.getExitCode(), 0u);
    EXPECT_TRUE ((scratch / "reader.err").loadFileAsString().contains ("Input/output error"));
    EXPECT_TRUE (isMountPoint (mountPoint()));
    EXPECT_NE (run ("ls " + quoted (mounted (""))).status, 0);

    // Plugged back in: the same device path is opened again, and two readers at once
    // get their bytes right.
    signalDevice (SIGUSR2);
    ASSERT_TRUE (simulators[0]->waitForReady (10000));
    EXPECT_TRUE (waitFor ([this] { return run ("ls " + quoted (mounted (""))).status == 0; }, 10000));
    const auto big = quoted (mounted ("big.bin")) + " " + quoted (onDevice ("big.bin"));
    const auto both =
        run ("cmp " + big + " & a=$!; cmp " + quoted (mounted ("other.bin")) + " " + quoted (onDevice ("other.bin")) +
                 " & b=$!; cmp " + big + "; c=$?; wait $a && wait $b && [ $c = 0 ]",
             60000);
    EXPECT_EQ (both.status, 0) << both.output;
    EXPECT_TRUE (nubo->standardError().contains ("the device is back")) << nubo->standardError();
    ASSERT_NO_FATAL_FAILURE (unmount());
}
