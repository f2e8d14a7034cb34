// The main window and its pane under Xvfb: tabs, layout, and the log that any
// thread may write to.

#include "AppTestSupport.h"

#include "log/GlobalLog.h"
#include "panes/FileSystemEntryTreeViewItem.h"
#include "panes/FileSystemPane.h"

#include <algorithm>
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
    ASSERT_EQ (tabs.getNumTabs(), 3);
    EXPECT_EQ (tabs.getTabNames(), juce::StringArray ({"Connection", "File System", "Production"}));
    EXPECT_EQ (tabs.getCurrentTabIndex(), 0);
    EXPECT_TRUE (w.tabEnabled (0));
    EXPECT_FALSE (w.tabEnabled (1));
    EXPECT_TRUE (w.tabEnabled (2)) << "the station opens its own ports";
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

//==============================================================================
namespace
{
/** Answers the File System tab's choosers with one file. */
struct FixedAsker final : FileSystemPane::Asker
{
    explicit FixedAsker (juce::File answer) : file (std::move (answer)) {}
    juce::File choose (Chooser, const juce::String&, const juce::File&) override
    {
        return file;
    }
    juce::File file;
};

/** A device that goes away in the middle of an operation, and comes back. */
class MainPaneLinkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        settings.write ({{Settings::lastPortKey, simulatedPortName}});
    }

    /** Starts the device with a hang-up option, opens the window and connects. */
    void connectTo (const juce::StringArray& options)
    {
        device = std::make_unique<SimulatedDevice> (options);
        ASSERT_TRUE (device->isReady());
        auto many = device->deviceFile ("/mnt/nandfs/usr/many");
        ASSERT_TRUE (many.createDirectory().wasOk());
        for (int i = 0; i < 60; ++i)
            many.getChildFile ("entry" + juce::String (i)).replaceWithText ("x");
        auto big = device->deviceFile ("/mnt/nandfs/usr/big.bin");
        juce::MemoryBlock bytes (400000);
        juce::Random (3).fillBitsRandomly (bytes.getData(), bytes.getSize());
        ASSERT_TRUE (big.replaceWithData (bytes.getData(), bytes.getSize()));

        w = std::make_unique<Window>();
        ASSERT_TRUE (w->connection().connect());
        fs().setAsker (std::make_unique<FixedAsker> (local / "fetched.bin"));
    }

    FileSystemPane& fs() const
    {
        return *w->main().getFileSystemPane();
    }

    void list (const juce::String& folder)
    {
        fs().getRemoteFolderBox().setText (folder);
        fs().refreshRemoteFolder();
    }

    void clickFs (const juce::String& text)
    {
        for (auto* c : fs().getChildren())
            if (auto* b = dynamic_cast<juce::Button*> (c); b != nullptr && b->getButtonText() == text)
                b->triggerClick();
    }

    void selectRow (const juce::String& name)
    {
        auto* root = fs().getTree().getRootItem();
        for (int i = 0; i < root->getNumSubItems(); ++i)
            if (auto* r = dynamic_cast<FileSystemEntryTreeViewItem*> (root->getSubItem (i)); r->getLabel() == name)
                r->setSelected (true, true);
    }

    int disconnectedLines() const
    {
        const auto lines = w->logLines();
        return (int) std::count (lines.begin(), lines.end(), juce::String ("Device disconnected"));
    }

    /** The window as before Connect: port released, Connect on, Update off, only tab 0. */
    void expectDisconnectedState() const
    {
        EXPECT_EQ (disconnectedLines(), 1) << w->logText();
        EXPECT_FALSE (w->connection().hasOpenPort());
        EXPECT_FALSE (w->main().client.isConnected());
        EXPECT_TRUE (w->connectButton().isEnabled());
        EXPECT_FALSE (w->updateButton().isEnabled());
        EXPECT_EQ (w->main().getTabs().getCurrentTabIndex(), 0);
        EXPECT_TRUE (w->tabEnabled (0));
        EXPECT_FALSE (w->tabEnabled (1));
    }

    /** Plugs the device in again, waits for the box to show it, connects and lists. */
    void replugConnectAndList()
    {
        ASSERT_TRUE (device->replug());
        ASSERT_TRUE (pumpUntil ([this] { return w->portBox().getText() == simulatedPortName; }));
        ASSERT_TRUE (w->connection().connect()) << w->logText();
        EXPECT_TRUE (w->tabEnabled (1));
        list ("/mnt/nandfs/usr/many");
        EXPECT_EQ (fs().getTree().getRootItem()->getNumSubItems(), 60);
    }

    static juce::uint32 now()
    {
        return juce::Time::getMillisecondCounter();
    }

    ScopedSettingsFolder settings;
    AnsweredMessageBoxes boxes;
    TempFolder local;
    std::unique_ptr<SimulatedDevice> device;
    std::unique_ptr<Window> w; // gone before the device
};
} // namespace

TEST_F (MainPaneLinkTest, UnplugDuringAListingStopsAtTheFirstFailure)
{
    // WhoAmI, the listing and about ten entries get through, then the device is gone.
    connectTo ({"--hangup-after-received", "600"});
    const auto start = now();
    list ("/mnt/nandfs/usr/many");
    EXPECT_LT (now() - start, 20000u) << "one time-out per entry would take a minute";
    ASSERT_TRUE (pumpUntil ([this] { return disconnectedLines() > 0; }));
    pump (300);
    expectDisconnectedState();
    EXPECT_FALSE (w->logText().contains ("Timeout on serial")) << w->logText();

    replugConnectAndList();
}

TEST_F (MainPaneLinkTest, UnplugDuringAGetRemovesThePartialFile)
{
    connectTo ({"--hangup-after-sent", "100000"});
    list ("/mnt/nandfs/usr");
    w->main().getTabs().setCurrentTabIndex (1);
    selectRow ("big.bin");
    clickFs ("Get");
    ASSERT_TRUE (pumpUntil ([this] { return disconnectedLines() > 0; }));
    pump (300);
    expectDisconnectedState();
    EXPECT_TRUE (w->logContains ("Failed on read")) << w->logText();
    EXPECT_EQ (local.get().getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 0) << "no part file";

    replugConnectAndList();
}

TEST_F (MainPaneLinkTest, UnplugDuringASendEndsIt)
{
    connectTo ({"--hangup-after-received", "60000"});
    const auto source = local / "send.bin";
    juce::MemoryBlock bytes (300000);
    ASSERT_TRUE (source.replaceWithData (bytes.getData(), bytes.getSize()));
    fs().setAsker (std::make_unique<FixedAsker> (source));
    list ("/mnt/nandfs/usr");
    w->main().getTabs().setCurrentTabIndex (1);
    clickFs ("Send");
    ASSERT_TRUE (pumpUntil ([this] { return disconnectedLines() > 0; }));
    pump (300);
    expectDisconnectedState();
    EXPECT_TRUE (w->logContains ("Failed on write")) << w->logText();

    replugConnectAndList();
}

TEST_F (MainPaneLinkTest, UnplugDuringAnUpdateEndsIt)
{
    connectTo ({"--hangup-after-received", "60000"});
    const auto image = local / "image.bin";
    juce::MemoryBlock bytes (300000);
    ASSERT_TRUE (image.replaceWithData (bytes.getData(), bytes.getSize()));
    w->updateFileEditor().setText (image.getFullPathName(), true);
    w->updateButton().triggerClick();
    ASSERT_TRUE (pumpUntil ([this] { return disconnectedLines() > 0; }));
    pump (300);
    expectDisconnectedState();
    ASSERT_EQ (boxes.shown.size(), 1u);
    EXPECT_EQ (boxes.shown[0].text, "Failed to send update file");

    replugConnectAndList();
}

TEST_F (MainPaneLinkTest, UnplugWhileIdleIsNoticedAtOnce)
{
    connectTo ({});
    device->unplug();
    ASSERT_TRUE (pumpUntil ([this] { return disconnectedLines() > 0; }));
    pump (300);
    expectDisconnectedState();

    replugConnectAndList();
}

TEST_F (MainPaneLinkTest, TheWindowStaysSmallUnderFloodsAndAGetStaysExact)
{
    // Notifications every 2 ms, every answer twice and twenty answers to nothing after it.
    connectTo ({"--async-every", "2", "--duplicate", "--unsolicited", "20"});
    juce::MemoryBlock bytes (8 * 1024 * 1024);
    juce::Random (5).fillBitsRandomly (bytes.getData(), bytes.getSize());
    ASSERT_TRUE (device->deviceFile ("/mnt/nandfs/usr/eight.bin").replaceWithData (bytes.getData(), bytes.getSize()));
    fs().setAsker (std::make_unique<FixedAsker> (local / "eight.bin"));

    const auto before = residentKilobytes ("VmRSS:");
    list ("/mnt/nandfs/usr");
    w->main().getTabs().setCurrentTabIndex (1);
    selectRow ("eight.bin");
    clickFs ("Get");
    ASSERT_TRUE (pumpUntil ([this] { return (local / "eight.bin").existsAsFile(); }));
    pump (3000); // the flood goes on
    const auto peak = residentKilobytes ("VmHWM:");

    constexpr juce::int64 boundKb = 64 * 1024;
    if (residentMemoryIsMeaningful())
    {
        EXPECT_LT (peak - before, boundKb) << "grew from " << before << " kB to a peak of " << peak << " kB";
    }
    juce::MemoryBlock fetched;
    ASSERT_TRUE ((local / "eight.bin").loadFileAsData (fetched));
    EXPECT_TRUE (fetched == bytes);
    EXPECT_LE (w->main().getLogView().getNumLines(), LogView::maxLines);
    EXPECT_EQ (disconnectedLines(), 0);
}
