// Results that cannot be written: standard output on a full disk or a closed pipe.

#include "NuboFixture.h"

namespace
{
class NuboOutputTest : public NuboFixture
{
protected:
    struct Outcome
    {
        int status = -1;
        juce::String err;
    };

    /** nubo with its standard output on the given file (through a shell, which opens it). */
    Outcome runInto (const juce::String& output, const juce::StringArray& arguments)
    {
        const auto errFile = work().getChildFile ("into.err");
        juce::StringArray command{"/bin/sh",
                                  "-c",
                                  "d=$1 r=$2 n=$3 o=$4; shift 4; "
                                  "cd \"$d\" && NUBO_DEVICE_ROOT=\"$r\" \"$n\" \"$@\" > \"$o\" 2> into.err; "
                                  "echo \"status $?\"",
                                  "sh",
                                  work().getFullPathName(),
                                  root().getFullPathName(),
                                  NuboProcess::executable().getFullPathName(),
                                  output};
        command.addArray (arguments);
        juce::ChildProcess shell;
        Outcome o;
        if (!shell.start (command))
            return o;
        const auto said = shell.readAllProcessOutput();
        shell.waitForProcessToFinish (120000);
        o.status = said.fromFirstOccurrenceOf ("status ", false, false).trim().getIntValue();
        o.err = errFile.loadFileAsString();
        return o;
    }
};
} // namespace

TEST_F (NuboOutputTest, ResultsThatCannotBeWrittenFailTheRun)
{
    ASSERT_TRUE (juce::File ("/dev/full").exists());
    startDevice (0);

    for (auto arguments :
         {juce::StringArray{"ports"}, juce::StringArray{"ports", "--json"}, juce::StringArray{"ls"},
          juce::StringArray{"ls", "-l", "--json"}, juce::StringArray{"info"}, juce::StringArray{"props", "--json"},
          juce::StringArray{"getmac"}, juce::StringArray{"getmac", "--json"}})
    {
        const auto full = runInto ("/dev/full", arguments);
        EXPECT_EQ (full.status, 1) << arguments.joinIntoString (" ") << "\n" << full.err;
        EXPECT_TRUE (full.err.contains ("can't write standard output: No space left on device"))
            << arguments.joinIntoString (" ") << "\n"
            << full.err;

        // The same run into a file succeeds: the failure is the output's alone.
        const auto fine = runInto (work().getChildFile ("results.txt").getFullPathName(), arguments);
        EXPECT_EQ (fine.status, 0) << arguments.joinIntoString (" ") << "\n" << fine.err;
        EXPECT_GT (work().getChildFile ("results.txt").getSize(), 0) << arguments.joinIntoString (" ");
    }
}
