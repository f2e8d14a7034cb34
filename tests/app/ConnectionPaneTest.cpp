// The Connection pane in a real window under Xvfb, against nubo-devsim on a
// pseudo-terminal found through a device root.

#include "AppTestSupport.h"
#include "device/DeviceMaintenance.h"
#include "serial/PortProbe.h"

using namespace apptest;

namespace
{
class ConnectionPaneTest : public ::testing::Test
{
protected:
    /** Settings that name the simulated port, as after an earlier run. */
    void rememberSimulatedPort (const juce::String& updateFile = {})
    {
        settings.write ({{Settings::lastPortKey, simulatedPortName}, {Settings::updateFileKey, updateFile}});
    }

    ScopedSettingsFolder settings;
    AnsweredMessageBoxes boxes;
};

const juce::String markerPath = DeviceMaintenance::firmwareMarkerPath;
const juce::String imagePath = "/mnt/nandfs/Nuboimage";
const juce::String triggerPath = "/mnt/nandfs/NuboimageDone";
} // namespace

//==============================================================================
TEST_F (ConnectionPaneTest, ChildrenHaveTheirNamesTextsAndPlaces)
{
    TempFolder empty;
    ScopedEnvironment root ("NUBO_DEVICE_ROOT", empty.get().getFullPathName());
    Window w;
    w.connection().setSize (484, 518); // the pane's size in the 500 x 700 window

    struct Expected
    {
        const char* name;
        const char* text;
        juce::Rectangle<int> bounds;
    };
    // w = 484, c = round (484 * 0.4859) = 235
    const Expected expected[] = {
        {"new label", "Serial Port", {0, 56, 150, 24}},    {"Com Port Box", "", {160, 56, 150, 24}},
        {"Connect Button", "Connect", {160, 96, 150, 24}}, {"Update Button", "Update", {160, 130, 150, 24}},
        {"remote folder", "", {85, 180, 300, 24}},         {"new label2", "Update File", {85, 160, 300, 24}},
        {"Browse Button", "Browse", {385, 180, 50, 24}},
    };

    const auto& children = w.connection().getChildren();
    ASSERT_EQ (children.size(), (int) std::size (expected) + 1);
    EXPECT_EQ (children.getLast()->getName(), "transfer progress");
    EXPECT_FALSE (children.getLast()->isVisible()) << "shown only while the firmware is sent";
    for (size_t i = 0; i < std::size (expected); ++i)
    {
        auto* c = children[(int) i];
        SCOPED_TRACE (expected[i].name);
        EXPECT_EQ (c->getName(), expected[i].name) << "children are added in this order";
        EXPECT_EQ (c->getBounds(), expected[i].bounds);
        EXPECT_TRUE (c->isVisible());
        juce::String text;
        if (auto* label = dynamic_cast<juce::Label*> (c))
            text = label->getText();
        else if (auto* button = dynamic_cast<juce::Button*> (c))
            text = button->getButtonText();
        else if (auto* box = dynamic_cast<juce::ComboBox*> (c))
            text = box->getText();
        else if (auto* editor = dynamic_cast<juce::TextEditor*> (c))
            text = editor->getText();
        EXPECT_EQ (text, expected[i].text);
    }

    EXPECT_TRUE (w.connectButton().isEnabled());
    EXPECT_FALSE (w.updateButton().isEnabled());
    EXPECT_EQ (w.portBox().getNumItems(), 0);
    EXPECT_EQ (w.portBox().getTextWhenNoChoicesAvailable(), "(no choices)");
}

TEST_F (ConnectionPaneTest, StartsWithEmptyValuesWhenThereIsNoSettingsFile)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    ASSERT_FALSE (settings.file().exists());

    Window w;
    EXPECT_EQ (w.portBox().getNumItems(), 1);
    EXPECT_EQ (w.portBox().getItemText (0), simulatedPortName);
    EXPECT_EQ (w.updateFileEditor().getText(), "");
    for (auto* key : {Settings::updateFileKey, Settings::remoteFolderKey, Settings::localFolderKey})
        EXPECT_EQ (Settings::read (key), "") << key;

    // Nothing remembered and one device present: that one is chosen (and remembered), so a
    // fresh machine with one device connects at once.
    EXPECT_EQ (w.portBox().getSelectedId(), 1);
    EXPECT_EQ (Settings::read (Settings::lastPortKey), simulatedPortName);
    w.connectButton().triggerClick();
    ASSERT_TRUE (pumpUntil ([&] { return w.logContains ("Found device: familyID=0x001, deviceID=0x02a."); }));
    EXPECT_TRUE (w.tabEnabled (1));
}

TEST_F (ConnectionPaneTest, RememberedPortIsSelectedOnlyWhenItMatchesExactly)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());

    settings.write ({{Settings::lastPortKey, simulatedPortName.toUpperCase()}});
    {
        Window w;
        EXPECT_EQ (w.portBox().getSelectedId(), 0);
        EXPECT_FALSE (w.connection().connect());
        EXPECT_TRUE (w.logContains ("Failed to open port"));
    }

    settings.write ({{Settings::lastPortKey, simulatedPortName}});
    Window w;
    EXPECT_EQ (w.portBox().getSelectedId(), 1);
    EXPECT_EQ (w.portBox().getText(), simulatedPortName);
}

TEST_F (ConnectionPaneTest, PortChoiceIsOnDiskAsSoonAsItIsMade)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    ASSERT_TRUE (device.addPort ("ttyACM1", 3));

    Window w;
    ASSERT_EQ (w.portBox().getNumItems(), 2);
    EXPECT_EQ (w.portBox().getItemId (0), 1);
    EXPECT_EQ (w.portBox().getItemId (1), 2);
    EXPECT_EQ (w.portBox().getItemText (1), "Nubo Device (ttyACM1)");

    // As the drop-down does it when the person picks the second port.
    w.portBox().setSelectedId (2);
    ASSERT_TRUE (pumpUntil ([&] { return settings.readFromDisk (Settings::lastPortKey).isNotEmpty(); }));
    // Nothing further needs to run for the choice to survive a killed process.
    EXPECT_EQ (settings.readFromDisk (Settings::lastPortKey), "Nubo Device (ttyACM1)");

    ASSERT_TRUE (w.connection().connect());
    EXPECT_TRUE (w.logContains ("Successfully opened port"));
}

TEST_F (ConnectionPaneTest, UpdateFilePathIsStoredWhenTypedAndConfirmed)
{
    TempFolder empty;
    ScopedEnvironment root ("NUBO_DEVICE_ROOT", empty.get().getFullPathName());
    settings.write ({{Settings::updateFileKey, "/old/image.bin"}});

    Window w;
    auto& editor = w.updateFileEditor();
    EXPECT_EQ (editor.getText(), "/old/image.bin");

    editor.setText ("/new/image", false);
    editor.moveCaretToEnd();
    editor.keyPressed (juce::KeyPress ('2', 0, '2'));
    editor.keyPressed (juce::KeyPress (juce::KeyPress::returnKey));
    EXPECT_EQ (editor.getText(), "/new/image2") << "Return does not start a new line";
    ASSERT_TRUE (pumpUntil ([&] { return settings.readFromDisk (Settings::updateFileKey) == "/new/image2"; }));

    // Escape keeps what is stored.
    editor.setText ("/typed/not/stored", false);
    editor.keyPressed (juce::KeyPress (juce::KeyPress::escapeKey));
    pump (200);
    EXPECT_EQ (settings.readFromDisk (Settings::updateFileKey), "/new/image2");
}

//==============================================================================
TEST_F (ConnectionPaneTest, ConnectIdentifiesTheDeviceAndEnablesTheTabs)
{
    SimulatedDevice device ({"--async-after", "1"});
    ASSERT_TRUE (device.isReady());
    rememberSimulatedPort();

    Window w;
    EXPECT_EQ (w.portBox().getText(), simulatedPortName);
    w.connectButton().triggerClick();
    ASSERT_TRUE (pumpUntil ([&] { return !w.connectButton().isEnabled(); }));

    const auto lines = w.logLines();
    const auto opened = lines.indexOf ("Successfully opened port");
    ASSERT_GE (opened, 0) << w.logText();
    const juce::StringArray identity{"Found device: familyID=0x001, deviceID=0x02a.",
                                     "Protocol version=0x0100, Firmware version=0x0203.", "Nubo Simulator",
                                     "Serial SIM-0001"};
    EXPECT_TRUE (appearInOrder (lines, identity)) << w.logText();
    EXPECT_FALSE (lines.contains ("Failed to open port"));

    EXPECT_TRUE (w.tabEnabled (1));
    EXPECT_TRUE (w.updateButton().isEnabled());
    EXPECT_TRUE (w.connection().hasOpenPort());

    // The device's asynchronous messages reach the log through the client's thread.
    ASSERT_TRUE (pumpUntil ([&] { return w.logContains ("hello"); })) << w.logText();
    EXPECT_TRUE (appearInOrder (w.logLines(), {"Event 3, arg 77.", "Prop 5: value 1234.", "Prop -32752:", "hello"}))
        << w.logText();
}

TEST_F (ConnectionPaneTest, MissingPortFailsToOpen)
{
    TempFolder empty;
    ScopedEnvironment root ("NUBO_DEVICE_ROOT", empty.get().getFullPathName());
    rememberSimulatedPort();

    Window w;
    EXPECT_EQ (w.portBox().getNumItems(), 0);
    EXPECT_FALSE (w.connection().connect());
    EXPECT_EQ (w.logLines(), juce::StringArray ({"Failed to open port"}));
    EXPECT_FALSE (w.tabEnabled (1));
    EXPECT_TRUE (w.connectButton().isEnabled());
}

TEST_F (ConnectionPaneTest, BusyPortIsExplainedAfterTheFailure)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    rememberSimulatedPort();
    const auto portPath = device.deviceRoot().getChildFile ("dev/ttyACM0").getFullPathName();
    PortHolder holder (portPath);
    ASSERT_TRUE (holder.isHolding());

    Window w;
    EXPECT_FALSE (w.connection().connect());
    const auto reason = portPath +
                        ": Device or resource busy. Another program holds the port: nubo-port-probe (process " +
                        juce::String (holder.getPid()) + "). Close it and connect again.";
    EXPECT_EQ (w.logLines(), juce::StringArray ("Failed to open port", reason));
    EXPECT_FALSE (w.tabEnabled (1));
}

TEST_F (ConnectionPaneTest, UnansweredWhoAmILeavesThePortOpenAndUpdateDisabled)
{
    SimulatedDevice device ({"--drop", "1"});
    ASSERT_TRUE (device.isReady());
    rememberSimulatedPort();

    Window w;
    EXPECT_FALSE (w.connection().connect());
    EXPECT_TRUE (appearInOrder (w.logLines(), {"Successfully opened port", "Error requesting device info."}))
        << w.logText();
    EXPECT_TRUE (w.tabEnabled (1)) << "the port is open, so the other tabs may be used";
    EXPECT_FALSE (w.updateButton().isEnabled());
    EXPECT_TRUE (w.connectButton().isEnabled());
    EXPECT_TRUE (w.connection().hasOpenPort());

    // Connecting again starts over on a fresh port; the second WhoAmI is answered.
    EXPECT_TRUE (w.connection().connect()) << w.logText();
    EXPECT_TRUE (w.updateButton().isEnabled());
}

//==============================================================================
TEST_F (ConnectionPaneTest, UpdateSendsTheImageAndTriggersItWhenNoFirmwareIsInstalled)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    ASSERT_FALSE (device.deviceFile (markerPath).exists());
    TempFolder local;
    const auto image = local / "update 100% final.bin";
    const auto bytes = writeRandomFile (image, 3 * 8169 + 77, 11);
    rememberSimulatedPort (image.getFullPathName());

    Window w;
    ASSERT_TRUE (w.connection().connect());
    w.updateButton().triggerClick();
    ASSERT_TRUE (pumpUntil ([&] { return !boxes.shown.empty() && w.connectButton().isEnabled(); })) << w.logText();

    juce::MemoryBlock onDevice;
    ASSERT_TRUE (device.deviceFile (imagePath).loadFileAsData (onDevice));
    EXPECT_EQ (onDevice, bytes);
    EXPECT_TRUE (device.deviceFile (triggerPath).existsAsFile());
    EXPECT_EQ (device.deviceFile (triggerPath).getSize(), 0);

    ASSERT_EQ (boxes.shown.size(), 1u);
    EXPECT_EQ (boxes.shown[0].text, "Firmware update completed");
    EXPECT_EQ (boxes.shown[0].icon, MessageBoxes::Icon::none);

    const auto lines = w.logLines();
    EXPECT_TRUE (appearInOrder (lines, {"Checking for existing firmware...", "failed to open remote file",
                                        "Existing firmware not found, updating...",
                                        "sending " + image.getFullPathName() + " as /mnt/nandfs/Nuboimage",
                                        "Block 0 Sent.", "done.", "Triggering update...", "done.", "Closing Port."}))
        << w.logText();

    // Back to the start: only the Connection tab, Connect enabled, Update not.
    EXPECT_EQ (w.main().getTabs().getCurrentTabIndex(), 0);
    EXPECT_FALSE (w.tabEnabled (1));
    EXPECT_FALSE (w.updateButton().isEnabled());
    EXPECT_FALSE (w.connection().hasOpenPort());

    // The device can be connected again afterwards.
    EXPECT_TRUE (w.connection().connect()) << w.logText();
}

TEST_F (ConnectionPaneTest, UpdateSkipsTheImageWhenTheFirmwareIsInstalled)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    ASSERT_TRUE (device.deviceFile (markerPath).getParentDirectory().createDirectory());
    ASSERT_TRUE (device.deviceFile (markerPath).replaceWithText ("installed"));
    TempFolder local;
    const auto image = local / "image.bin";
    writeRandomFile (image, 1000, 3);
    rememberSimulatedPort (image.getFullPathName());

    Window w;
    ASSERT_TRUE (w.connection().connect());

    // While the box is up the update still runs: a click on Connect is ignored.
    bool connectWasIgnored = false;
    boxes.onShow = [&]
    {
        const auto before = w.logLines().size();
        w.connectButton().setEnabled (true); // even if it could be pressed
        w.connectButton().triggerClick();
        pump (200);
        connectWasIgnored = w.logLines().size() == before;
        w.connectButton().setEnabled (false);
    };
    EXPECT_TRUE (w.connection().updateFirmware());

    EXPECT_TRUE (connectWasIgnored) << w.logText();
    ASSERT_EQ (boxes.shown.size(), 1u);
    EXPECT_EQ (boxes.shown[0].text, "Firmware already exists, skipping update");
    EXPECT_EQ (boxes.shown[0].icon, MessageBoxes::Icon::none);
    EXPECT_FALSE (device.deviceFile (imagePath).exists());
    EXPECT_FALSE (device.deviceFile (triggerPath).exists());
    EXPECT_TRUE (appearInOrder (w.logLines(), {"Checking for existing firmware...",
                                               "Firmware already exists, skipping update", "Closing Port."}))
        << w.logText();
    EXPECT_FALSE (w.logContains ("Existing firmware not found, updating..."));

    // The connection is closed all the same.
    EXPECT_FALSE (w.tabEnabled (1));
    EXPECT_TRUE (w.connectButton().isEnabled());
    EXPECT_FALSE (w.updateButton().isEnabled());
    EXPECT_FALSE (w.connection().hasOpenPort());
}

TEST_F (ConnectionPaneTest, UnreadableUpdateFileFailsAndLeavesThePortOpenWithUpdateOfferedAgain)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    TempFolder local;
    const auto missing = local / "no such %s %d file.bin";
    rememberSimulatedPort (missing.getFullPathName());

    Window w;
    ASSERT_TRUE (w.connection().connect());
    EXPECT_FALSE (w.connection().updateFirmware());

    ASSERT_EQ (boxes.shown.size(), 1u);
    EXPECT_EQ (boxes.shown[0].text, "Failed to send update file");
    EXPECT_EQ (boxes.shown[0].icon, MessageBoxes::Icon::warning);
    EXPECT_TRUE (w.logContains ("sending " + missing.getFullPathName() + " as /mnt/nandfs/Nuboimage"))
        << "the path is logged as it is, percent signs included:\n"
        << w.logText();
    EXPECT_FALSE (w.logContains ("Triggering update..."));
    EXPECT_FALSE (device.deviceFile (triggerPath).exists());

    // Still connected and identified: Update may be tried again (with another file)
    // without starting the program afresh.
    EXPECT_TRUE (w.connection().hasOpenPort());
    EXPECT_TRUE (w.tabEnabled (1));
    EXPECT_TRUE (w.updateButton().isEnabled());
    EXPECT_FALSE (w.connectButton().isEnabled());
}

TEST_F (ConnectionPaneTest, EmptyUpdateFileIsRefusedAndUpdateIsOfferedAgain)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    TempFolder local;
    const auto empty = local / "empty.bin";
    ASSERT_TRUE (empty.create());
    rememberSimulatedPort (empty.getFullPathName());

    Window w;
    ASSERT_TRUE (w.connection().connect());
    EXPECT_FALSE (w.connection().updateFirmware());

    ASSERT_EQ (boxes.shown.size(), 1u);
    EXPECT_EQ (boxes.shown[0].text, "Failed to send update file");
    EXPECT_EQ (boxes.shown[0].icon, MessageBoxes::Icon::warning);
    EXPECT_TRUE (w.logContains ("Update file is empty or not a regular file - " + empty.getFullPathName()));
    EXPECT_FALSE (w.logContains ("Checking for existing firmware..."));
    EXPECT_FALSE (device.deviceFile (imagePath).exists());

    // Nothing reached the device: another file can be tried at once.
    EXPECT_TRUE (w.connection().hasOpenPort());
    EXPECT_TRUE (w.updateButton().isEnabled());
}

TEST_F (ConnectionPaneTest, TriggerThatCannotBeCreatedIsAFailureAndThePortIsClosed)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    ASSERT_TRUE (device.deviceFile (triggerPath).createDirectory());
    TempFolder local;
    const auto image = local / "image.bin";
    writeRandomFile (image, 1000, 5);
    rememberSimulatedPort (image.getFullPathName());

    Window w;
    ASSERT_TRUE (w.connection().connect());
    EXPECT_FALSE (w.connection().updateFirmware());

    ASSERT_EQ (boxes.shown.size(), 1u);
    EXPECT_EQ (boxes.shown[0].text, "Failed to trigger update");
    EXPECT_EQ (boxes.shown[0].icon, MessageBoxes::Icon::warning);
    EXPECT_TRUE (appearInOrder (w.logLines(), {"Triggering update...", "Failed to trigger update", "Closing Port."}))
        << w.logText();
    EXPECT_FALSE (w.connection().hasOpenPort());
    EXPECT_TRUE (w.connectButton().isEnabled());
    EXPECT_FALSE (w.updateButton().isEnabled());
}

//==============================================================================
TEST_F (ConnectionPaneTest, MacFileIsCopiedToTheLocalPath)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    rememberSimulatedPort();
    TempFolder local;
    const auto target = (local / "serial 42").getChildFile ("mac address.txt");
    ASSERT_TRUE (target.getParentDirectory().createDirectory());
    ASSERT_TRUE (target.replaceWithText ("an older and much longer content that must be replaced"));

    Window w;
    ASSERT_TRUE (w.connection().connect());
    EXPECT_TRUE (w.connection().fetchMacFile (target.getFullPathName()));

    juce::MemoryBlock expected, fetched;
    ASSERT_TRUE (device.deviceFile ("/mnt/nandfs/macAddress.txt").loadFileAsData (expected));
    ASSERT_TRUE (target.loadFileAsData (fetched));
    EXPECT_EQ (fetched, expected);

    ASSERT_EQ (boxes.shown.size(), 1u);
    EXPECT_EQ (boxes.shown[0].text, "Mac file stored to:  " + target.getFullPathName());
    EXPECT_EQ (boxes.shown[0].icon, MessageBoxes::Icon::none);
    EXPECT_TRUE (w.logContains ("Reading Mac file..."));

    // The connection stays as it was.
    EXPECT_TRUE (w.connection().hasOpenPort());
    EXPECT_TRUE (w.updateButton().isEnabled());
}

TEST_F (ConnectionPaneTest, MacFileThatCannotBeStoredIsReported)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    rememberSimulatedPort();
    TempFolder local;
    const auto aFile = local / "plain file";
    ASSERT_TRUE (aFile.replaceWithText ("x"));
    const auto unwritable = aFile.getChildFile ("mac.txt"); // a folder that is a file

    Window w;
    ASSERT_TRUE (w.connection().connect());
    EXPECT_FALSE (w.connection().fetchMacFile (unwritable.getFullPathName()));
    EXPECT_TRUE (appearInOrder (w.logLines(), {"Reading Mac file...", "Failed to read mac file"})) << w.logText();
    ASSERT_EQ (boxes.shown.size(), 1u);
    EXPECT_EQ (boxes.shown[0].text, "Failed to read mac file");
    EXPECT_EQ (boxes.shown[0].icon, MessageBoxes::Icon::warning);

    // The same for a device without the file.
    ASSERT_TRUE (device.deviceFile ("/mnt/nandfs/macAddress.txt").deleteFile());
    EXPECT_FALSE (w.connection().fetchMacFile ((local / "mac.txt").getFullPathName()));
    EXPECT_EQ (boxes.shown.size(), 2u);
}

TEST_F (ConnectionPaneTest, ClosingTheWindowWhileConnectedReleasesEverything)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    rememberSimulatedPort();
    {
        Window w;
        ASSERT_TRUE (w.connection().connect());
    }
    // The port was closed and unlocked: another window can open it at once.
    Window again;
    EXPECT_TRUE (again.connection().connect()) << again.logText();
}

//==============================================================================
TEST_F (ConnectionPaneTest, PortBoxFollowsPortsThatComeAndGoAndKeepsTheChoice)
{
    rememberSimulatedPort();
    SimulatedDevice device; // ttyACM0, the remembered one
    ASSERT_TRUE (device.isReady());
    const juce::String second = "Nubo Device (ttyACM1)";

    Window w;
    ASSERT_EQ (w.portBox().getNumItems(), 1);
    EXPECT_EQ (w.portBox().getText(), simulatedPortName);

    // A port plugged in later shows when the box opens (and without it, within moments);
    // the choice stays.
    ASSERT_TRUE (device.addPort ("ttyACM1", 3));
    w.portBox().showPopup();
    EXPECT_EQ (w.portBox().getNumItems(), 2) << "looked again as the box opened";
    w.portBox().hidePopup();
    EXPECT_EQ (w.portBox().getText(), simulatedPortName);

    // The chosen port goes: nothing is chosen, but it stays remembered...
    device.unplug();
    ASSERT_TRUE (pumpUntil ([&] { return w.portBox().getNumItems() == 1; }));
    EXPECT_EQ (w.portBox().getItemText (0), second);
    EXPECT_EQ (w.portBox().getSelectedId(), 0);
    EXPECT_EQ (Settings::read (Settings::lastPortKey), simulatedPortName);

    // ...and is chosen again when it comes back.
    ASSERT_TRUE (device.replug());
    ASSERT_TRUE (pumpUntil ([&] { return w.portBox().getNumItems() == 2; }));
    EXPECT_EQ (w.portBox().getText(), simulatedPortName);

    // Another port going leaves the choice alone; Connect then works without a restart.
    device.removePort ("ttyACM1");
    ASSERT_TRUE (pumpUntil ([&] { return w.portBox().getNumItems() == 1; }));
    EXPECT_EQ (w.portBox().getText(), simulatedPortName);
    EXPECT_TRUE (w.connection().connect());
}

TEST_F (ConnectionPaneTest, WithTwoDevicesAndNothingRememberedNothingIsChosen)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    ASSERT_TRUE (device.addPort ("ttyACM1", 3));

    Window w;
    EXPECT_EQ (w.portBox().getNumItems(), 2);
    EXPECT_EQ (w.portBox().getSelectedId(), 0) << "which of two is the user's to say";
    w.connectButton().triggerClick();
    ASSERT_TRUE (pumpUntil ([&] { return w.logContains ("Failed to open port"); }));
    EXPECT_FALSE (w.tabEnabled (1));
}
