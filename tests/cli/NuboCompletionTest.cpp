// The bash completion the package installs, run by bash as the shell runs it on a Tab:
// it must offer what the built nubo's own help lists, and the ports the simulator plays.

#include "NuboFixture.h"

namespace
{
const char* const commands[] = {"ports",  "info",  "ls",   "get",   "put",  "mkdir", "mv",  "rm",   "flash",
                                "getmac", "props", "sync", "check", "tree", "du",    "cat", "shell", "mount"};

class NuboCompletionTest : public NuboFixture
{
protected:
    /** What the completion offers for the words of a command line; the last word is the
        one being completed. */
    juce::StringArray complete (const juce::StringArray& words)
    {
        const juce::String script = "source \"$1\" || exit 1\n"
                                    "mapfile -t COMP_WORDS <<<\"$2\"\n"
                                    "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                                    "_nubo\n"
                                    "printf '%s\\n' \"${COMPREPLY[@]}\"\n";
        juce::StringArray arguments{"env",
                                    "PATH=" + NuboProcess::executable().getParentDirectory().getFullPathName() + ":" +
                                        juce::SystemStats::getEnvironmentVariable ("PATH", "/usr/bin:/bin"),
                                    "NUBO_DEVICE_ROOT=" + root().getFullPathName(), "bash", "-c", script, "bash",
                                    completionFile().getFullPathName(),
                                    // One line each: an empty word (the one at the cursor) would not be passed alone.
                                    words.joinIntoString ("\n")};

        juce::ChildProcess bash;
        if (!bash.start (arguments, juce::ChildProcess::wantStdOut))
        {
            ADD_FAILURE() << "bash did not start";
            return {};
        }
        const auto output = bash.readAllProcessOutput();
        EXPECT_TRUE (bash.waitForProcessToFinish (60000));
        EXPECT_EQ (bash.getExitCode(), 0u) << words.joinIntoString (" ");
        juce::StringArray offered;
        offered.addLines (output.trimEnd());
        offered.removeEmptyStrings();
        return offered;
    }

    /** The options that `nubo [COMMAND] --help` lists, each spelling on its own. */
    juce::StringArray helpOptions (const juce::String& command)
    {
        auto r = run (command.isEmpty() ? juce::StringArray ("--help") : juce::StringArray (command, "--help"));
        EXPECT_EQ (r.status, 0) << command;
        juce::StringArray lines, options;
        lines.addLines (
            r.out.fromFirstOccurrenceOf ("\nOptions:\n", false, false).upToFirstOccurrenceOf ("\n\n", false, false));
        for (auto& line : lines)
        {
            const auto names = line.trim().upToFirstOccurrenceOf (" ", false, false);
            if (names.startsWithChar ('-'))
                options.addTokens (names, ",", "");
        }
        options.removeString ("-h"); // the long form is offered
        EXPECT_TRUE (options.contains ("--help")) << command << ": " << r.out;
        return options;
    }

    static juce::File completionFile()
    {
        return juce::File (NUBO_SOURCE_DIR).getChildFile ("packaging/nubo-completion.bash");
    }
};
} // namespace

TEST_F (NuboCompletionTest, OffersEveryOptionThatTheHelpLists)
{
    const auto offered = complete ({"nubo", "-"});
    for (auto& option : helpOptions ({}))
        EXPECT_TRUE (offered.contains (option)) << option << " before a command";

    for (auto* command : commands)
    {
        const auto offeredAfter = complete ({"nubo", command, "-"});
        for (auto& option : helpOptions (command))
            EXPECT_TRUE (offeredAfter.contains (option)) << option << " after " << command;
        // The options of the whole program follow every command as well.
        for (auto* option : {"-v", "--verbose", "-q", "--quiet"})
            EXPECT_TRUE (offeredAfter.contains (option)) << option << " after " << command;
    }

    EXPECT_TRUE (complete ({"nubo", "-q", "info", "--j"}).contains ("--json"));
    EXPECT_FALSE (complete ({"nubo", "mkdir", "-"}).contains ("--json")) << "mkdir has no JSON output";
}

TEST_F (NuboCompletionTest, TakesAPortThatNamesACommandForNoCommand)
{
    for (auto& words : {juce::StringArray{"nubo", "-p", "ls", ""}, juce::StringArray{"nubo", "--port", "ls", ""},
                        juce::StringArray{"nubo", "-qp", "ls", ""}})
    {
        const auto offered = complete (words);
        for (auto* command : commands)
            EXPECT_TRUE (offered.contains (command)) << command << " after " << words.joinIntoString (" ");
    }

    const auto offered = complete ({"nubo", "-p", "ls", "-"});
    EXPECT_FALSE (offered.contains ("-l")) << "ls's own option, before any command";
    EXPECT_TRUE (offered.contains ("--version"));

    EXPECT_TRUE (complete ({"nubo", "-p", "ls", "ls", "-"}).contains ("-l")) << "the command after the port";
}

TEST_F (NuboCompletionTest, CompletesThePortsPresentAfterThePortOption)
{
    startDevice (0);
    startDevice (3);

    for (auto& words : {juce::StringArray{"nubo", "-p", ""}, juce::StringArray{"nubo", "info", "--port", ""},
                        juce::StringArray{"nubo", "-vp", ""}, juce::StringArray{"nubo", "get", "-qp", ""}})
    {
        const auto offered = complete (words);
        EXPECT_EQ (offered.joinIntoString (" "), "ttyACM0 ttyACM3") << words.joinIntoString (" ");
    }
    EXPECT_EQ (complete ({"nubo", "-p", "ttyACM3", "-p", "ttyACM0", "ls", "-p", "ttyACM3"}).joinIntoString (" "),
               "ttyACM3");
}

TEST_F (NuboCompletionTest, CompletesPathsOnTheDeviceWhereTheCommandTakesThem)
{
    ASSERT_TRUE (sampleDeviceFolder().copyDirectoryTo (deviceFolder (0)));
    writeFile (deviceFile (0, "/mnt/nandfs/usr/My Files/a b.txt"), juce::MemoryBlock ("x", 1));
    startDevice (0, {"--unsafe-names"});
    ASSERT_TRUE (work().getChildFile ("local.txt").create().wasOk());

    EXPECT_EQ (complete ({"nubo", "ls", "My"}).joinIntoString (" "), "My\\ Files/");
    EXPECT_EQ (complete ({"nubo", "-p", "ttyACM0", "get", "My\\ Files/"}).joinIntoString (" "), "My\\ Files/a\\ b.txt");
    EXPECT_EQ (complete ({"nubo", "put", "local.txt", "-p", "ttyACM0", "ap"}).joinIntoString (" "), "apps/");
    EXPECT_EQ (complete ({"nubo", "sync", "-n", "pull", "ap"}).joinIntoString (" "), "apps/");
    EXPECT_EQ (complete ({"nubo", "sync", "push", "--exclude", "*.o", "local.txt", "ap"}).joinIntoString (" "),
               "apps/");
    EXPECT_EQ (complete ({"nubo", "rm", "--max-entries", "3", "/mnt/nandfs/mac"}).joinIntoString (" "),
               "/mnt/nandfs/macAddress.txt");
    // The local side stays local.
    const auto local = work().getChildFile ("local.txt").getFullPathName();
    EXPECT_EQ (complete ({"nubo", "get", "Readme.txt", local.dropLastCharacters (6)}).joinIntoString (" "), local);
    EXPECT_EQ (complete ({"nubo", "put", local.dropLastCharacters (6)}).joinIntoString (" "), local);

    // What the device lists that no one could type as one of its names is never offered.
    const auto offered = complete ({"nubo", "ls", ""});
    EXPECT_TRUE (offered.contains ("Readme.txt")) << offered.joinIntoString (" ");
    for (auto& name : offered)
    {
        const auto unquoted = name.removeCharacters ("\\").trimCharactersAtEnd ("/");
        EXPECT_TRUE (unquoted != ".." && !unquoted.startsWithChar ('~') && !unquoted.containsChar ('/')) << name;
    }
}
