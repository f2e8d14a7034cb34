#include "panes/FileSystemPane.h"
#include "TestSupport.h"
#include "XdndSource.h"
#include "app/MainPane.h"
#include "app/Settings.h"
#include "panes/FileTreeViewItem.h"
#include "panes/FolderTreeViewItem.h"
#include "panes/NameAssigner.h"
#include "panes/TransferProgress.h"
#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>

namespace
{
/** Answers the file choosers and the name dialog as the test says, and remembers each question:
    the chooser's title, or the dialog's text (with "(read-only)" when it cannot be edited). */
struct ScriptedAsker final : FileSystemPane::Asker
{
    juce::File choose (Chooser, const juce::String& title, const juce::File& start) override
    {
        questions.add (title);
        lastStart = start;
        if (whileChoosing)
            whileChoosing();
        return chooserAnswer;
    }

    int runDialog (NameAssigner& dialog) override
    {
        auto* box = dynamic_cast<juce::TextEditor*> (dialog.getChildComponent (0));
        questions.add (box->getText() + (box->isReadOnly() ? " (read-only)" : ""));
        EXPECT_TRUE (dialog.isVisible());
        if (whileShown)
            whileShown();
        if (dialogText.has_value())
            box->setText (*dialogText);
        return dialogResult;
    }

    juce::StringArray questions;
    juce::File lastStart, chooserAnswer; // File() cancels
    std::optional<juce::String> dialogText;
    int dialogResult = NameAssigner::cancelResult;
    std::function<void()> whileShown;
    std::function<void()> whileChoosing; // the operation that asks is already running
};

juce::MouseEvent doubleClickAt (juce::Component* c, juce::Point<float> p)
{
    const auto now = juce::Time::getCurrentTime();
    return {juce::Desktop::getInstance().getMainMouseSource(), p, {}, 0, 0, 0, 0, 0, c, c, now, p, now, 2, false};
}

/** The pane inside a real MainPane, connected to nubo-devsim over a pseudo-terminal. */
class FileSystemPaneTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        juce::LookAndFeel::setDefaultLookAndFeel (&lookAndFeel); // the application's
        setenv ("XDG_CONFIG_HOME", config.get().getFullPathName().toRawUTF8(), 1);
        Settings::configure();

        ASSERT_TRUE (sampleDeviceFolder().copyDirectoryTo (device.get()));
        // Names that sort by character code, a sub-tree, a file of several blocks.
        usr ("t/A/sub").createDirectory();
        usr ("t/A/inner.txt").replaceWithText ("inner");
        juce::MemoryBlock bytes (20000);
        juce::Random (7).fillBitsRandomly (bytes.getData(), bytes.getSize());
        usr ("t/A/sub/deep.bin").replaceWithData (bytes.getData(), bytes.getSize());
        usr ("t/b").replaceWithText ("hello");
        usr ("t/a").replaceWithText ("lower a");

        juce::StringArray simulatorArguments{"--fs", device.get().getFullPathName(), "--log",
                                             requestLog.getFullPathName()};
        simulatorArguments.addArray (simulatorOptions);
        ASSERT_TRUE (sim.start (simulatorArguments));
        port = std::make_unique<SerialPort> (sim.portPath(), SerialPortSettings{115200, 8, 0, 0, 1});
        ASSERT_TRUE (port->isOpen());
        main = std::make_unique<MainPane>();
        main->setSize (600, 700);
        main->client.connect (port.get());
        main->deviceConnected();
        pane = main->getFileSystemPane();
        pane->setAsker (std::unique_ptr<FileSystemPane::Asker> (asker = new ScriptedAsker()));
    }

    void TearDown() override
    {
        if (main != nullptr)
            main->client.disconnect();
        main.reset();
        port.reset();
        sim.stop();
        // As the application does at shutdown: the files go now, not after JUCE's own
        // statics (which would count them as leaked) nor into a folder already removed.
        Settings::close();
        juce::LookAndFeel::setDefaultLookAndFeel (nullptr);
    }

    juce::File usr (const juce::String& relative) const
    {
        return device / ("mnt/nandfs/usr/" + relative);
    }
    juce::String box() const
    {
        return pane->getRemoteFolderBox().getText();
    }

    void list (const juce::String& text)
    {
        pane->getRemoteFolderBox().setText (text);
        pane->refreshRemoteFolder();
    }

    FileSystemEntryTreeViewItem* row (const juce::String& name) const
    {
        auto* root = pane->getTree().getRootItem();
        for (int i = 0; i < root->getNumSubItems(); ++i)
            if (auto* r = dynamic_cast<FileSystemEntryTreeViewItem*> (root->getSubItem (i)); r->getLabel() == name)
                return r;
        return nullptr;
    }

    juce::String rows() const
    {
        juce::StringArray names;
        auto* root = pane->getTree().getRootItem();
        for (int i = 0; i < root->getNumSubItems(); ++i)
            names.add (dynamic_cast<FileSystemEntryTreeViewItem*> (root->getSubItem (i))->getLabel());
        return names.joinIntoString (",");
    }

    void select (const juce::String& name)
    {
        ASSERT_NE (row (name), nullptr) << name;
        row (name)->setSelected (true, true);
    }

    /** Clicks the button of that text or component name as the message loop delivers a click. */
    void click (const juce::String& textOrName)
    {
        for (auto* c : pane->getChildren())
            if (auto* b = dynamic_cast<juce::Button*> (c);
                b != nullptr && (b->getButtonText() == textOrName || b->getName() == textOrName))
                b->triggerClick();
        pump();
    }

    /** Runs the message loop until everything posted so far has been handled. */
    void pump()
    {
        auto done = std::make_shared<bool> (false);
        juce::MessageManager::callAsync ([done] { *done = true; });
        for (int i = 0; i < 600 && !*done; ++i)
            juce::MessageManager::getInstance()->runDispatchLoopUntil (50);
        ASSERT_TRUE (*done);
    }

    /** The requests the simulator received since the last call, one a line, without serial numbers. */
    juce::String requests()
    {
        juce::StringArray lines, fresh;
        lines.addLines (requestLog.loadFileAsString());
        lines.removeEmptyStrings();
        for (int i = requestsSeen; i < lines.size(); ++i)
            fresh.add (lines[i].fromFirstOccurrenceOf (" ", false, false));
        requestsSeen = lines.size();
        return fresh.joinIntoString ("\n");
    }

    juce::LookAndFeel_V2 lookAndFeel;
    juce::StringArray simulatorOptions; // fault options of the simulator, set before SetUp
    TempFolder config, device, local, scratch;
    juce::File requestLog = scratch / "requests.log";
    DeviceSimulator sim;
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<MainPane> main;
    FileSystemPane* pane = nullptr;
    ScriptedAsker* asker = nullptr; // owned by the pane
    int requestsSeen = 0;
};
} // namespace

TEST_F (FileSystemPaneTest, RefreshNormalisesThePathAndListsInCharacterOrder)
{
    list ("  /mnt//nandfs/usr/  ");
    EXPECT_EQ (box(), "/mnt/nandfs/usr");
    EXPECT_EQ (Settings::read ("RemoteFolder"), "/mnt/nandfs/usr");
    EXPECT_NE (row ("Readme.txt"), nullptr);

    for (auto root : {"", "/"})
    {
        list (root);
        EXPECT_EQ (box(), "/");
        EXPECT_EQ (rows(), "mnt");
        EXPECT_EQ (row ("mnt")->getPath(), "//mnt");
    }

    requests();
    list ("/mnt/nandfs/usr/t");
    EXPECT_EQ (rows(), "A,a,b");
    EXPECT_NE (dynamic_cast<FolderTreeViewItem*> (row ("A")), nullptr);
    EXPECT_NE (dynamic_cast<FileTreeViewItem*> (row ("a")), nullptr);
    EXPECT_EQ (row ("b")->getInfo().size, 5);
    EXPECT_EQ (requests(), "FolderContentsRequest path=/mnt/nandfs/usr/t\n"
                           "FileSystemEntryInfoRequest isFolder=1 path=/mnt/nandfs/usr/t/A\n"
                           "FileSystemEntryInfoRequest isFolder=0 path=/mnt/nandfs/usr/t/a\n"
                           "FileSystemEntryInfoRequest isFolder=0 path=/mnt/nandfs/usr/t/b");

    list ("/mnt/nandfs/nothing-here");
    EXPECT_EQ (rows(), "");
    EXPECT_EQ (Settings::read ("RemoteFolder"), "/mnt/nandfs/usr/t");
}

TEST_F (FileSystemPaneTest, HomeUpAndDoubleClicksNavigate)
{
    list ("/");
    click ("home button");
    EXPECT_EQ (box(), "/mnt/nandfs/usr");
    EXPECT_NE (row ("t"), nullptr);

    list ("/mnt");
    for (int i = 0; i < 2; ++i) // one level up, then nowhere further than "/"
    {
        click ("up button");
        EXPECT_EQ (box(), "/");
        EXPECT_EQ (rows(), "mnt");
    }

    // Double-clicks travel through the tree's own mouse handling.
    list ("/mnt/nandfs/usr/t");
    pump(); // rows laid out
    auto* content = pane->getTree().getViewport()->getViewedComponent();
    auto doubleClick = [&] (const juce::String& name)
    {
        content->mouseDoubleClick (doubleClickAt (content, row (name)->getItemPosition (false).getCentre().toFloat()));
        pump();
    };
    requests();
    doubleClick ("b");
    EXPECT_EQ (box(), "/mnt/nandfs/usr/t");
    EXPECT_EQ (requests(), "");
    doubleClick ("A");
    EXPECT_EQ (box(), "/mnt/nandfs/usr/t/A");
    EXPECT_EQ (rows(), "inner.txt,sub");

    // While another device operation runs, clicks and double-clicks are ignored, not queued.
    requests();
    {
        MainPane::DeviceOperation busy (*main);
        row ("sub")->itemDoubleClicked (doubleClickAt (pane, {}));
        click ("home button");
    }
    pump();
    EXPECT_EQ (box(), "/mnt/nandfs/usr/t/A");
    EXPECT_EQ (requests(), "");
}

// The file chooser's suggestion is built from the device's name: a "~" name must not
// turn into another user's home folder, nor a stored folder with "~" into the operator's.
TEST_F (FileSystemPaneTest, GetNeverSuggestsAPlaceOutsideTheStartingFolder)
{
    usr ("t/~nobody").replaceWithText ("x");
    list ("/mnt/nandfs/usr/t");
    asker->chooserAnswer = juce::File();

    select ("~nobody");
    click ("Get");
    EXPECT_EQ (asker->lastStart, juce::File::getCurrentWorkingDirectory());

    Settings::write (Settings::localFolderKey, local.get().getFullPathName());
    select ("~nobody");
    click ("Get");
    EXPECT_EQ (asker->lastStart, local.get());

    Settings::write (Settings::localFolderKey, "~/somewhere");
    select ("b");
    click ("Get");
    EXPECT_EQ (asker->lastStart, juce::File::getCurrentWorkingDirectory().getChildFile ("b"));
}

TEST_F (FileSystemPaneTest, GetFetchesFilesAndFolderTreesIntoTheChosenPlace)
{
    list ("/mnt/nandfs/usr/t");
    select ("b");
    asker->chooserAnswer = local / "copy-of-b";
    click ("Get");
    EXPECT_EQ ((local / "copy-of-b").loadFileAsString(), "hello");
    EXPECT_EQ (Settings::read ("LocalFolder"), local.get().getFullPathName());

    select ("A");
    asker->chooserAnswer = local.get();
    click ("Get");
    EXPECT_EQ (asker->lastStart, local.get());
    EXPECT_EQ ((local / "A/inner.txt").loadFileAsString(), "inner");
    EXPECT_TRUE ((local / "A/sub/deep.bin").hasIdenticalContentTo (usr ("t/A/sub/deep.bin")));

    asker->chooserAnswer = juce::File();
    requests();
    click ("Get");
    EXPECT_EQ (requests(), "");
    EXPECT_EQ (asker->questions.joinIntoString ("|"),
               "Choose Destination File|Choose Destination Folder|Choose Destination Folder");
}

TEST_F (FileSystemPaneTest, SendAndDropPutLocalFilesUnderTheCurrentFolder)
{
    (local / "sent.txt").replaceWithText ("sent");
    list ("/mnt/nandfs/usr/t");
    asker->chooserAnswer = local / "sent.txt";
    click ("Send");
    EXPECT_EQ (usr ("t/sent.txt").loadFileAsString(), "sent");
    EXPECT_NE (row ("sent.txt"), nullptr);
    EXPECT_EQ (Settings::read ("LocalFolder"), local.get().getFullPathName());

    asker->chooserAnswer = juce::File();
    requests();
    click ("Send");
    EXPECT_TRUE (requests().startsWith ("FolderContentsRequest path=/mnt/nandfs/usr/t\n")); // refreshed all the same
    EXPECT_EQ (asker->questions.joinIntoString ("|"), "Choose File to Send|Choose File to Send");

    (local / "tree/deeper").createDirectory();
    (local / "tree/deeper/x.txt").replaceWithText ("x");
    (local / "loose.txt").replaceWithText ("loose");
    pane->filesDropped ({(local / "tree").getFullPathName(), (local / "loose.txt").getFullPathName()}, 10, 10);
    EXPECT_EQ (usr ("t/tree/deeper/x.txt").loadFileAsString(), "x");
    EXPECT_EQ (usr ("t/loose.txt").loadFileAsString(), "loose");
    EXPECT_TRUE (row ("tree") != nullptr && row ("loose.txt") != nullptr);
}

TEST_F (FileSystemPaneTest, DropsOverAnyChildReachTheFolderShown)
{
    juce::DocumentWindow window ("USB File Utility", juce::Colours::lightgrey, juce::DocumentWindow::allButtons);
    window.setContentNonOwned (main.get(), false);
    window.centreWithSize (500, 700);
    window.setVisible (true);
    main->getTabs().setCurrentTabIndex (1);
    list ("/mnt/nandfs/usr/t");
    pump();

    // Dropped as the desktop delivers it: at a place in the window, found by its peer.
    auto dropOver = [&] (juce::Component& child, const juce::String& fileName)
    {
        (local / fileName).replaceWithText (fileName);
        juce::ComponentPeer::DragInfo info;
        info.files.add ((local / fileName).getFullPathName());
        info.position = window.getLocalPoint (&child, child.getLocalBounds().getCentre());
        ASSERT_NE (window.getPeer(), nullptr);
        EXPECT_TRUE (window.getPeer()->handleDragDrop (info)) << fileName;
        pump();
    };
    dropOver (pane->getTree(), "on-the-list.txt");
    dropOver (pane->getRemoteFolderBox(), "on-the-path.txt");

    EXPECT_EQ (usr ("t/on-the-list.txt").loadFileAsString(), "on-the-list.txt");
    EXPECT_EQ (usr ("t/on-the-path.txt").loadFileAsString(), "on-the-path.txt");
    EXPECT_TRUE (row ("on-the-list.txt") != nullptr && row ("on-the-path.txt") != nullptr);

    window.clearContentComponent();
}

TEST_F (FileSystemPaneTest, DropDuringAnOperationIsRefusedAndSaidSo)
{
    juce::DocumentWindow window ("USB File Utility", juce::Colours::lightgrey, juce::DocumentWindow::allButtons);
    window.setContentNonOwned (main.get(), false);
    window.centreWithSize (500, 700);
    window.setVisible (true);
    main->getTabs().setCurrentTabIndex (1);
    list ("/mnt/nandfs/usr/t");
    pump();
    (local / "late.txt").replaceWithText ("late");
    requests();

    {
        const MainPane::DeviceOperation transfer (*main); // as if a transfer were running
        ASSERT_TRUE (transfer.isRunning());

        juce::ComponentPeer::DragInfo info;
        info.files.add ((local / "late.txt").getFullPathName());
        info.position = window.getLocalPoint (&pane->getTree(), pane->getTree().getLocalBounds().getCentre());
        ASSERT_NE (window.getPeer(), nullptr);
        EXPECT_FALSE (window.getPeer()->handleDragDrop (info)) << "the desktop must not be told it was taken";

        // One that was accepted just before the operation began.
        pane->filesDropped (info.files, 10, 10);
        pump();
    }

    EXPECT_EQ (requests(), "");
    EXPECT_FALSE (usr ("t/late.txt").exists());
    juce::StringArray lines;
    lines.addLines (main->getLogView().getText());
    lines.removeString ("Busy: drop ignored");
    EXPECT_EQ (juce::StringArray::fromLines (main->getLogView().getText()).size() - lines.size(), 2)
        << "one line for each refused drop:\n"
        << main->getLogView().getText();

    window.clearContentComponent();
}

static std::ostream& operator<< (std::ostream& out, const XdndSource::Outcome& o)
{
    return out << "aware " << o.targetAware << ", " << o.statusMessages << " status (last accepted "
               << o.lastStatusAccepted << "), " << o.fileListRequests << " file list requests, finished " << o.finished
               << " (flags " << o.finishedFlags << ", action \"" << o.finishedAction << "\")";
}

/** The window on a device slow enough that a person can drag files from the desktop
    while a transfer runs. The drags come from another X client, as from a file manager,
    and go through the window's own XDND handling; they all go to one place over the
    list, so the window finds the same child under the pointer each time. */
class DesktopDropTest : public FileSystemPaneTest
{
protected:
    DesktopDropTest()
    {
        simulatorOptions = {"--delay", "40"};
    }

    void SetUp() override
    {
        FileSystemPaneTest::SetUp();
        ASSERT_TRUE (desktop.isOpen());

        window = std::make_unique<juce::DocumentWindow> ("USB File Utility", juce::Colours::lightgrey,
                                                         juce::DocumentWindow::allButtons);
        window->setContentNonOwned (main.get(), false);
        window->centreWithSize (500, 700);
        window->setVisible (true);
        main->getTabs().setCurrentTabIndex (1);
        list ("/mnt/nandfs/usr/t");
        pump();
        ASSERT_NE (window->getPeer(), nullptr);
        target = (juce::uint64) (juce::pointer_sized_uint) window->getPeer()->getNativeHandle();
        point = pane->getTree().getScreenBounds().getCentre();

        juce::MemoryBlock bytes (4 * 1024 * 1024); // hundreds of blocks: seconds on this device
        juce::Random (11).fillBitsRandomly (bytes.getData(), bytes.getSize());
        ASSERT_TRUE ((local / "big.bin").replaceWithData (bytes.getData(), bytes.getSize()));
    }

    void TearDown() override
    {
        if (window != nullptr)
            window->clearContentComponent();
        window.reset();
        FileSystemPaneTest::TearDown();
    }

    /** A local file of that name holding its own name, as a list for a drag. */
    juce::StringArray fileToDrag (const juce::String& name)
    {
        (local / name).replaceWithText (name);
        return {(local / name).getFullPathName()};
    }

    /** Sends the big file with Send; the desktop does its part on a thread of its own
        while the transfer runs (its exchanges let the window's messages through), and
        then the person cancels the transfer. */
    void whileSending (std::function<void()> desktopPart)
    {
        std::thread desktopThread;
        asker->chooserAnswer = local / "big.bin";
        asker->whileChoosing = [&]
        {
            desktopThread = std::thread (
                [&]
                {
                    desktopPart();
                    juce::MessageManager::callAsync ([this]
                                                     { pane->getTransferProgress().getCancelButton().triggerClick(); });
                });
        };
        click ("Send");
        asker->whileChoosing = nullptr;
        ASSERT_TRUE (desktopThread.joinable());
        desktopThread.join();
        pump();
        EXPECT_FALSE (usr ("t/big.bin").hasIdenticalContentTo (local / "big.bin"))
            << "the desktop was done before the transfer";
    }

    /** The desktop does its part on a thread of its own while the window runs as usual;
        then the window handles what the part left it (a drop is delivered after the
        window has told the desktop it is finished with it). */
    void whileIdle (std::function<void()> desktopPart)
    {
        std::atomic<bool> done{false};
        std::thread desktopThread (
            [&]
            {
                desktopPart();
                done = true;
            });
        for (int i = 0; i < 6000 && !done; ++i)
            juce::MessageManager::getInstance()->runDispatchLoopUntil (10);
        desktopThread.join();
        pump();
        pump();
    }

    int busyLines() const
    {
        juce::StringArray lines;
        lines.addLines (main->getLogView().getText());
        const auto all = lines.size();
        lines.removeString ("Busy: drop ignored");
        return all - lines.size();
    }

    static constexpr int answerMs = 30000;

    XdndSource desktop;
    std::unique_ptr<juce::DocumentWindow> window;
    juce::uint64 target = 0;
    juce::Point<int> point;
};

TEST_F (DesktopDropTest, DropAfterOneRefusedDuringATransferIsTaken)
{
    XdndSource::Outcome refused;
    whileSending ([&]
                  { refused = desktop.dragAndDrop (target, point.x, point.y, fileToDrag ("refused.txt"), answerMs); });

    EXPECT_TRUE (refused.targetAware);
    EXPECT_GT (refused.fileListRequests, 0) << refused;
    EXPECT_TRUE (refused.finished) << "the desktop hears that the refused drop is over: " << refused;
    EXPECT_EQ (refused.finishedFlags & 1, 0) << "and that it was not taken";
    EXPECT_EQ (refused.finishedAction, "");
    EXPECT_FALSE (usr ("t/refused.txt").exists());
    EXPECT_GE (busyLines(), 1) << main->getLogView().getText();
    const auto busyAfterRefusal = busyLines();

    // The transfer is over: the same drop again is taken, and its file arrives.
    XdndSource::Outcome taken;
    whileIdle ([&] { taken = desktop.dragAndDrop (target, point.x, point.y, fileToDrag ("taken.txt"), answerMs); });

    EXPECT_TRUE (taken.finished) << taken;
    EXPECT_EQ (usr ("t/taken.txt").loadFileAsString(), juce::String ("taken.txt")) << main->getLogView().getText();
    EXPECT_NE (row ("taken.txt"), nullptr);
    EXPECT_EQ (busyLines(), busyAfterRefusal);
}

// The person drags while the transfer runs and lets go only once it is over.
TEST_F (DesktopDropTest, DragRefusedDuringATransferIsTakenWhenReleasedAfterIt)
{
    XdndSource::Outcome held;
    whileSending ([&] { held = desktop.begin (target, point.x, point.y, fileToDrag ("held.txt"), answerMs); });
    EXPECT_GT (held.fileListRequests, 0) << held;
    EXPECT_GE (busyLines(), 1) << main->getLogView().getText();
    EXPECT_FALSE (usr ("t/held.txt").exists());

    whileIdle ([&] { held = desktop.release (answerMs); });

    EXPECT_TRUE (held.finished) << held;
    EXPECT_EQ (usr ("t/held.txt").loadFileAsString(), juce::String ("held.txt")) << main->getLogView().getText();
    EXPECT_NE (row ("held.txt"), nullptr);
}

TEST_F (FileSystemPaneTest, NewFolderRenameAndDeleteAskFirst)
{
    list ("/mnt/nandfs/usr/t");
    requests();
    for (auto b : {"Get", "Delete", "Rename"}) // nothing selected: nothing to do
        click (b);
    EXPECT_EQ (requests(), "");

    asker->dialogResult = NameAssigner::okResult;
    asker->dialogText = "Made";
    click ("New Folder");
    EXPECT_TRUE (usr ("t/Made").isDirectory());
    EXPECT_NE (row ("Made"), nullptr);
    asker->dialogText = "";
    requests();
    click ("New Folder");
    EXPECT_EQ (requests(), "");

    select ("a"); // the whole path is edited, so renaming also moves
    asker->dialogText = "/mnt/nandfs/usr/t/Made/a2";
    click ("Rename");
    EXPECT_EQ (usr ("t/Made/a2").loadFileAsString(), "lower a");
    EXPECT_EQ (row ("a"), nullptr);

    select ("b");
    asker->dialogText.reset(); // unchanged
    requests();
    click ("Rename");
    const auto afterUnchanged = requests();
    EXPECT_TRUE (afterUnchanged.startsWith ("FolderContentsRequest path=/mnt/nandfs/usr/t\n"));
    EXPECT_FALSE (afterUnchanged.contains ("Move"));
    select ("b");
    asker->dialogResult = NameAssigner::cancelResult;
    asker->dialogText = "/mnt/nandfs/usr/t/c";
    click ("Rename");
    EXPECT_EQ (requests(), "");

    select ("b");
    click ("Delete");
    EXPECT_TRUE (usr ("t/b").existsAsFile());
    asker->dialogResult = NameAssigner::okResult;
    select ("b");
    click ("Delete");
    EXPECT_FALSE (usr ("t/b").exists());
    EXPECT_EQ (row ("b"), nullptr);

    EXPECT_EQ (asker->questions.joinIntoString ("|"),
               "NewFolder|NewFolder|/mnt/nandfs/usr/t/a|/mnt/nandfs/usr/t/b|"
               "/mnt/nandfs/usr/t/b|Delete b? (read-only)|Delete b? (read-only)");
}

TEST_F (FileSystemPaneTest, LogsTheSelectedPathWithControlCharactersEscaped)
{
    usr ("t/bell\x07name").replaceWithText ("x");
    list ("/mnt/nandfs/usr/t");
    select ("bell" + juce::String::charToString (7) + "name");
    click ("Get"); // the chooser is cancelled
    EXPECT_TRUE (main->getLogView().getText().contains ("Folder: /mnt/nandfs/usr/t/bell\\x07name\n"));
}

TEST_F (FileSystemPaneTest, ScreenshotsOfTheTab)
{
    usr ("t").deleteRecursively(); // the sample device as it comes
    juce::DocumentWindow window ("USB File Utility", juce::Colours::lightgrey, juce::DocumentWindow::allButtons);
    window.setContentNonOwned (main.get(), false);
    window.centreWithSize (500, 700);
    window.setVisible (true);

    requests();
    main->getTabs().setCurrentTabIndex (1); // selecting the tab lists the folder
    EXPECT_EQ (requests().upToFirstOccurrenceOf ("\n", false, false), "FolderContentsRequest path=/");
    click ("home button");
    select ("Readme.txt");
    pump();

    const auto folder = juce::File (NUBO_BIN_DIR).getSiblingFile ("screenshots");
    auto save = [&] (const juce::String& name)
    {
        folder.createDirectory();
        juce::FileOutputStream out (folder.getChildFile (name));
        EXPECT_TRUE (out.openedOk() && out.setPosition (0) && out.truncate().wasOk());
        EXPECT_TRUE (
            juce::PNGImageFormat().writeImageToStream (window.createComponentSnapshot (window.getLocalBounds()), out));
    };
    save ("file-system-tab.png");
    asker->whileShown = [&] { save ("file-system-delete-question.png"); };
    click ("Delete");

    window.clearContentComponent();
}
