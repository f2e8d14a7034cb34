// The main window and its pane under Xvfb: tabs, layout, and the log that any
// thread may write to.

#include "AppTestSupport.h"

#include "log/GlobalLog.h"

#include <atomic>
#include <thread>

using namespace apptest;

namespace
{
class MainPaneTest : public ::testing::Test
{
protected:
    ScopedSettingsFolder settings;
    TempFolder scratch;
    // An empty device root: discovery finds nothing.
    ScopedEnvironment deviceRoot{"NUBO_DEVICE_ROOT", (scratch / "empty-root").getFullPathName()};
};
} // namespace

TEST_F (MainPaneTest, StartsOnTheConnectionTabWithTheFileSystemTabDisabled)
{
    Window w;

    EXPECT_EQ (w.frame().getName(), "USB File Utility");
    auto& tabs = w.main().getTabs();
    ASSERT_EQ (tabs.getNumTabs(), 2);
    EXPECT_EQ (tabs.getTabNames(), juce::StringArray ({"Connection", "File System"}));
    EXPECT_EQ (tabs.getCurrentTabIndex(), 0);
    EXPECT_TRUE (w.tabEnabled (0));
    EXPECT_FALSE (w.tabEnabled (1));
    EXPECT_EQ (tabs.getTabContentComponent (0), w.main().getConnectionPane());

    // Lines logged by discovery before the pane became the logger are not shown.
    EXPECT_EQ (w.logText(), "");
    EXPECT_EQ (w.main().getLogView().getName(), "Log");

    // Clicking the disabled tab does not switch to it.
    tabs.getTabbedButtonBar().getTabButton (1)->triggerClick();
    pump (100);
    EXPECT_EQ (tabs.getCurrentTabIndex(), 0);

    w.main().deviceConnected();
    EXPECT_TRUE (w.tabEnabled (1));
    tabs.setCurrentTabIndex (1);
    w.main().deviceDisconnected();
    EXPECT_EQ (tabs.getCurrentTabIndex(), 0);
    EXPECT_FALSE (w.tabEnabled (1));
}

TEST_F (MainPaneTest, LogKeepsItsHeightAndMarginsWhenTheWindowIsResized)
{
    Window w;
    for (auto size : {juce::Point<int> (500, 700), juce::Point<int> (900, 500), juce::Point<int> (320, 300)})
    {
        w.main().setSize (size.x, size.y);
        EXPECT_EQ (w.main().getLogView().getBounds(), juce::Rectangle<int> (16, size.y - 122, size.x - 32, 106));
        EXPECT_EQ (w.main().getTabs().getBounds(), juce::Rectangle<int> (8, 8, size.x - 16, size.y - 146));
    }
}

TEST_F (MainPaneTest, LineLoggedOnTheMessageThreadShowsAtOnceAtTheCaret)
{
    Window w;
    w.main().log ("first");
    w.main().log ("third");
    EXPECT_EQ (w.logText(), "first\nthird\n");

    // The person clicked between the two lines: new lines go there.
    w.main().getLogView().setCaretPosition (6);
    globalLog ("second");
    EXPECT_EQ (w.logText(), "first\nsecond\nthird\n");
}

TEST_F (MainPaneTest, ControlCharactersFromTheDeviceAreEscapedInTheLog)
{
    // A device name or text holding a line break or a terminal escape sequence
    // must stay on its own line and must not drive the terminal behind stderr.
    Window w;
    w.main().log ("name\nsecond\x1b[2J" + juce::String::charToString (0x85) + "end");
    EXPECT_EQ (w.logText(), "name\\x0Asecond\\x1B[2J\\x85end\n");
}

TEST_F (MainPaneTest, LinesFromOtherThreadsArriveWholeAndInOrderWithoutWaiting)
{
    Window w;
    constexpr int threadCount = 4;
    constexpr int linesPerThread = 300;

    // The message thread is not pumping while the threads log: a hand-over that
    // waited for it would never let them finish.
    std::vector<std::thread> threads;
    std::atomic<int> finished{0};
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back (
            [t, &finished]
            {
                for (int i = 0; i < linesPerThread; ++i)
                    globalLog ("thread " + juce::String (t) + " line " + juce::String (i) + " " +
                               juce::String::repeatedString ("x", i % 50));
                ++finished;
            });

    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) generousMs;
    while (finished < threadCount && juce::Time::getMillisecondCounter() < deadline)
        juce::Thread::sleep (5);
    ASSERT_EQ (finished.load(), threadCount) << "a logging thread waited for the message thread";
    for (auto& t : threads)
        t.join();

    ASSERT_TRUE (pumpUntil ([&] { return w.logLines().size() >= threadCount * linesPerThread; }));
    const auto lines = w.logLines();
    ASSERT_EQ (lines.size(), threadCount * linesPerThread);

    std::vector<int> next (threadCount, 0);
    for (auto& line : lines)
    {
        const auto tokens = juce::StringArray::fromTokens (line, " ", "");
        ASSERT_GE (tokens.size(), 4) << line;
        const auto t = tokens[1].getIntValue();
        const auto i = tokens[3].getIntValue();
        ASSERT_TRUE (t >= 0 && t < threadCount) << line;
        EXPECT_EQ (i, next[(size_t) t]) << "out of order: " << line;
        EXPECT_EQ (line, "thread " + juce::String (t) + " line " + juce::String (i) + " " +
                             juce::String::repeatedString ("x", i % 50));
        next[(size_t) t] = i + 1;
    }
}

TEST_F (MainPaneTest, ClosingWhileAnotherThreadLogsIsClean)
{
    std::atomic<bool> stop{false};
    std::thread logger;
    {
        Window w;
        logger = std::thread (
            [&stop]
            {
                for (int i = 0; !stop; ++i)
                {
                    globalLog ("busy " + juce::String (i));
                    juce::Thread::sleep (1);
                }
            });
        ASSERT_TRUE (pumpUntil ([&] { return w.logText().contains ("busy 50\n"); }));
    }
    // The pane left the logger slot: lines now go nowhere, and nothing touches it.
    EXPECT_EQ (globalLogger(), nullptr);
    pump (100);
    stop = true;
    logger.join();
}
