// The progress bar and Cancel button of the File System tab, during real transfers
// with nubo-devsim.

#include "panes/TransferProgress.h"
#include "TestSupport.h"
#include "app/MainPane.h"
#include "app/Settings.h"
#include "panes/FileSystemEntryTreeViewItem.h"
#include "panes/FileSystemPane.h"
#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace
{
struct FixedAsker final : FileSystemPane::Asker
{
    juce::File choose (Chooser, const juce::String&, const juce::File&) override
    {
        return answer;
    }
    juce::File answer;
};

class TransferProgressTest : public ::testing::Test
{
protected:
    void start (const juce::StringArray& options)
    {
        juce::LookAndFeel::setDefaultLookAndFeel (&lookAndFeel);
        setenv ("XDG_CONFIG_HOME", config.get().getFullPathName().toRawUTF8(), 1);
        Settings::configure();

        ASSERT_TRUE (sampleDeviceFolder().copyDirectoryTo (device.get()));
        juce::MemoryBlock bytes (size);
        juce::Random (11).fillBitsRandomly (bytes.getData(), bytes.getSize());
        ASSERT_TRUE ((device / "mnt/nandfs/usr/big.bin").replaceWithData (bytes.getData(), bytes.getSize()));

        juce::StringArray arguments{"--fs", device.get().getFullPathName(), "--log", requestLog.getFullPathName()};
        arguments.addArray (options);
        ASSERT_TRUE (sim.start (arguments));
        port = std::make_unique<SerialPort> (sim.portPath(), SerialPortSettings{115200, 8, 0, 0, 1});
        ASSERT_TRUE (port->isOpen());
        main = std::make_unique<MainPane>();
        main->setSize (600, 700);
        main->client.connect (port.get());
        main->deviceConnected();
        pane = main->getFileSystemPane();
        pane->setAsker (std::unique_ptr<FileSystemPane::Asker> (asker = new FixedAsker()));
        asker->answer = local / "big.bin";

        pane->getRemoteFolderBox().setText ("/mnt/nandfs/usr");
        pane->refreshRemoteFolder();
        auto* root = pane->getTree().getRootItem();
        for (int i = 0; i < root->getNumSubItems(); ++i)
            if (auto* r = dynamic_cast<FileSystemEntryTreeViewItem*> (root->getSubItem (i)); r->getLabel() == "big.bin")
                r->setSelected (true, true);
    }

    void TearDown() override
    {
        if (main != nullptr)
            main->client.disconnect();
        main.reset();
        port.reset();
        sim.stop();
        Settings::close();
        juce::LookAndFeel::setDefaultLookAndFeel (nullptr);
    }

    void clickGet()
    {
        for (auto* c : pane->getChildren())
            if (auto* b = dynamic_cast<juce::Button*> (c); b != nullptr && b->getButtonText() == "Get")
                pane->buttonClicked (b); // runs the whole transfer, as a click does
    }

    static constexpr size_t size = 300000;
    juce::LookAndFeel_V2 lookAndFeel;
    TempFolder config, device, local, scratch;
    juce::File requestLog = scratch / "requests.log";
    DeviceSimulator sim;
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<MainPane> main;
    FileSystemPane* pane = nullptr;
    FixedAsker* asker = nullptr;
};
} // namespace

TEST_F (TransferProgressTest, ReachesAllBytesAndHidesWhenTheGetEnds)
{
    start ({"--rate", "300000"}); // about a second: long enough to look at the bar
    auto& progress = pane->getTransferProgress();
    EXPECT_FALSE (progress.isVisible());

    // What the bar showed while it was up.
    juce::Array<double> seen;
    bool shownDuring = false;
    main->client.setBetweenExchangesCallback (
        [&]
        {
            shownDuring = shownDuring || progress.isVisible();
            seen.add (progress.getProgress());
        });

    clickGet();
    EXPECT_TRUE (shownDuring);
    EXPECT_FALSE (progress.isVisible());
    EXPECT_EQ (progress.getProgress(), 1.0);
    EXPECT_EQ (progress.getText(), juce::String ((int) size) + " of " + juce::String ((int) size) + " bytes (100%)");
    for (int i = 1; i < seen.size(); ++i)
        EXPECT_LE (seen[i - 1], seen[i]) << "never goes back";
    EXPECT_EQ ((size_t) (local / "big.bin").getSize(), size);
}

TEST_F (TransferProgressTest, CancelStopsTheGetLeavesNoFileAndClosesTheDevicesFile)
{
    start ({"--rate", "30000"}); // ten seconds for the whole file
    auto& progress = pane->getTransferProgress();
    main->client.setBetweenExchangesCallback (
        [&]
        {
            // Clicked once a few blocks are in, as a person would.
            if (progress.getProgress() > 0.05 && progress.getCancelButton().isEnabled())
                progress.getCancelButton().triggerClick();
            juce::MessageManager::getInstance()->runDispatchLoopUntil (0);
        });

    clickGet();
    EXPECT_LT (progress.getProgress(), 1.0);
    EXPECT_EQ (local.get().getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 0)
        << "neither the file nor a part file is left";

    juce::StringArray requests;
    requests.addLines (requestLog.loadFileAsString());
    requests.removeEmptyStrings();
    EXPECT_TRUE (requests[requests.size() - 1].contains ("FileCloseRequest")) << requests.joinIntoString ("\n");

    // The cancel was for that transfer only.
    EXPECT_FALSE (main->client.isAborted());
    juce::StringArray files, folders;
    EXPECT_EQ (main->client.getFolderContents ("/mnt/nandfs/usr", &files, &folders), 0);
}
