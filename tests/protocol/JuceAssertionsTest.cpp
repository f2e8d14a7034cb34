// In the debug check's build (scripts/check.sh debug) a JUCE assertion must end the
// program and leave a report, or the check would pass over it; elsewhere it is skipped.

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <cstdlib>
#include <thread>

TEST (JuceAssertions, EndTheProgramAndLeaveAReportInTheDebugCheck)
{
#if !defined(NUBO_FATAL_ASSERTIONS) || !JUCE_DEBUG
    GTEST_SKIP() << "JUCE assertions are fatal only in the debug check's build";
#else
    juce::TemporaryFile folderName;
    const auto reports = folderName.getFile();
    ASSERT_TRUE (reports.createDirectory().wasOk());
    // A fork at this point (not a fresh run of the program, which would pick another
    // folder): the child writes its report where this test looks.
    GTEST_FLAG_SET (death_test_style, "fast");

    // An assertion inside a JUCE module: a change listener added on a thread that does
    // not hold the message manager's lock.
    EXPECT_DEATH (
        {
            ::setenv ("NUBO_ASSERTION_REPORTS", reports.getFullPathName().toRawUTF8(), 1);
            struct Listener final : public juce::ChangeListener
            {
                void changeListenerCallback (juce::ChangeBroadcaster*) override {}
            } listener;
            juce::ChangeBroadcaster broadcaster;
            std::thread elsewhere ([&] { broadcaster.addChangeListener (&listener); });
            elsewhere.join();
            std::_Exit (0);
        },
        "JUCE Assertion failure in juce_ChangeBroadcaster\\.cpp:[0-9]+");

    const auto written = reports.findChildFiles (juce::File::findFiles, false, "assertion.*");
    ASSERT_EQ (written.size(), 1);
    EXPECT_TRUE (written[0].loadFileAsString().startsWith ("JUCE Assertion failure in juce_ChangeBroadcaster.cpp:"));
    reports.deleteRecursively();
#endif
}
