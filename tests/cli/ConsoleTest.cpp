// Where nubo's results and messages go when its standard streams are full, closed,
// pipes or named by path, run as a real process against the simulator.

#include "NuboFixture.h"

namespace
{
class ConsoleTest : public NuboFixture
{
protected:
    void SetUp() override
    {
        NuboFixture::SetUp();
        startDevice (0);
    }

    Run runWith (const juce::StringArray& arguments, NuboProcess::Stream output,
                 NuboProcess::Stream errors = NuboProcess::Stream::file)
    {
        NuboProcess nubo (work(), root());
        nubo.setStandardOutput (output);
        nubo.setStandardError (errors);
        Run result;
        if (!nubo.start (arguments))
            return result;
        result.status = nubo.wait();
        result.out = nubo.standardOutput();
        result.err = nubo.standardError();
        return result;
    }

    juce::File macFile() const
    {
        return deviceFile (0, "/mnt/nandfs/macAddress.txt");
    }

    /** The names in the work folder other than nubo's own output files. */
    juce::StringArray strayFiles() const
    {
        juce::StringArray names;
        for (const auto& entry :
             juce::RangedDirectoryIterator (work(), false, "*", juce::File::findFilesAndDirectories))
            if (entry.getFile().getFileName() != "nubo.out" && entry.getFile().getFileName() != "nubo.err")
                names.add (entry.getFile().getFileName());
        return names;
    }
};

const juce::StringArray everySurface[] = {
    {"ls"},
    {"ls", "-l", "--json"},
    {"info"},
    {"info", "--json"},
    {"props"},
    {"props", "--json"},
    {"getmac"},
    {"get", "Readme.txt", "-"},
    {"get", "Readme.txt", "/dev/stdout"},
    {"--help"},
};
} // namespace

TEST_F (ConsoleTest, ResultsThatDoNotFitOnStandardOutputFailTheRun)
{
    for (auto& command : everySurface)
    {
        SCOPED_TRACE (command.joinIntoString (" "));
        const auto r = runWith (command, NuboProcess::Stream::full);
        EXPECT_EQ (r.status, 1) << r.err;
        EXPECT_TRUE (r.err.contains ("nubo: can't write standard output: No space left on device")) << r.err;
    }
}

TEST_F (ConsoleTest, ResultsForAClosedStandardOutputFailTheRun)
{
    for (auto& command : everySurface)
    {
        SCOPED_TRACE (command.joinIntoString (" "));
        const auto r = runWith (command, NuboProcess::Stream::closed);
        EXPECT_EQ (r.status, 1) << r.err;
        EXPECT_TRUE (r.err.contains ("nubo: can't write standard output: Bad file descriptor")) << r.err;
        EXPECT_TRUE (strayFiles().isEmpty()) << strayFiles().joinIntoString (", ");
    }

    // Nothing to write, nothing lost.
    const auto r = runWith ({"mkdir", "fresh"}, NuboProcess::Stream::closed);
    EXPECT_EQ (r.status, 0) << r.err;
}

TEST_F (ConsoleTest, AFetchIntoADeviceThatTakesNothingFails)
{
    // One block, whose one write fails.
    auto r = run ({"get", "Readme.txt", "/dev/full"});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_TRUE (r.err.startsWith ("nubo: can't write /dev/full: No space left on device")) << r.err;

    writeFile (deviceFile (0, "/mnt/nandfs/usr/big.bin"), randomBytes (50000, 31));
    r = run ({"get", "big.bin", "/dev/full"});
    EXPECT_EQ (r.status, 1) << r.err;
    EXPECT_TRUE (r.err.startsWith ("nubo: can't write /dev/full: No space left on device")) << r.err;

    // The device's files are closed all the same.
    EXPECT_EQ (deviceRequests (0, "FileCloseRequest").size(), 2);
    EXPECT_EQ (deviceRequests (0, "FileOpenRequest").size(), 2);
}

TEST_F (ConsoleTest, WithStandardErrorClosedMessagesNeverReachStandardOutput)
{
    auto r = runWith ({"-v", "get", "Readme.txt", "-"}, NuboProcess::Stream::file, NuboProcess::Stream::closed);
    EXPECT_EQ (r.status, 0);
    EXPECT_EQ (r.out, deviceFile (0, "/mnt/nandfs/usr/Readme.txt").loadFileAsString());

    r = runWith ({"get", "missing.txt", "-"}, NuboProcess::Stream::file, NuboProcess::Stream::closed);
    EXPECT_EQ (r.status, 1);
    EXPECT_TRUE (r.out.isEmpty()) << r.out;

    // Nor the copy being fetched.
    r = runWith ({"-v", "get", "Readme.txt", "copy.txt"}, NuboProcess::Stream::file, NuboProcess::Stream::closed);
    EXPECT_EQ (r.status, 0);
    EXPECT_TRUE (sameContents (work().getChildFile ("copy.txt"), deviceFile (0, "/mnt/nandfs/usr/Readme.txt")));
    EXPECT_TRUE (r.out.isEmpty()) << r.out;
}

TEST_F (ConsoleTest, GetmacToDashOrDevStdoutWritesStandardOutputItself)
{
    for (auto* path : {"-", "/dev/stdout"})
    {
        SCOPED_TRACE (path);
        const auto r = runWith ({"getmac", path}, NuboProcess::Stream::pipe);
        EXPECT_EQ (r.status, 0) << r.err;
        EXPECT_EQ (r.out, macFile().loadFileAsString());
        EXPECT_TRUE (r.err.isEmpty()) << r.err;
        EXPECT_TRUE (strayFiles().isEmpty()) << strayFiles().joinIntoString (", ");
    }

    // A file of that name elsewhere is still a file.
    const auto r = run ({"getmac", "./-"});
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_TRUE (sameContents (work().getChildFile ("-"), macFile()));
}

TEST_F (ConsoleTest, FramingDiagnosticsNeverReachStandardOutput)
{
    // Six bytes of 0xff before an answer make one header that is dropped whole.
    stopDevice (0);
    startDevice (0, {"--garbage", "1:6,2:6,3:6,4:6"});

    auto r = runWith ({"-v", "get", "Readme.txt", "-"}, NuboProcess::Stream::pipe);
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, deviceFile (0, "/mnt/nandfs/usr/Readme.txt").loadFileAsString());
    EXPECT_TRUE (r.err.contains ("Invalid message ID - 65535\n")) << r.err;
    EXPECT_TRUE (r.err.contains ("Invalid header - dumping message\n")) << r.err;

    stopDevice (0);
    startDevice (0, {"--garbage", "1:6,2:6,3:6,4:6"});
    r = runWith ({"getmac"}, NuboProcess::Stream::pipe);
    EXPECT_EQ (r.status, 0) << r.err;
    EXPECT_EQ (r.out, macFile().loadFileAsString());
}
