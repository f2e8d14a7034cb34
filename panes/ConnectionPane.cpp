#include "panes/ConnectionPane.h"

#include "app/MainPane.h"
#include "app/MessageBoxes.h"
#include "app/Settings.h"
#include "device/DeviceLink.h"
#include "device/PortClaims.h"
#include "device/DeviceMaintenance.h"
#include "panes/TransferProgress.h"
#include "protocol/DeviceIdentity.h"
#include "serial/SerialPortDiscovery.h"
#include "serial/SerialPortWatcher.h"

namespace
{
constexpr int deviceOnlyFilter = 1; // discovery lists only ports with the device's hardware ID

void styleLabel (juce::Label& label)
{
    label.setFont (juce::Font (15.0f, juce::Font::plain));
    label.setJustificationType (juce::Justification::centredRight);
    label.setEditable (false, false, false);
    label.setColour (juce::TextEditor::textColourId, juce::Colours::black);
    label.setColour (juce::TextEditor::backgroundColourId, juce::Colour (0x00000000));
}

/** Looks at the ports again each time it opens: without hot-plug notices (a test device
    root) that is when the list must be right. */
class PortBox final : public juce::ComboBox
{
public:
    using juce::ComboBox::ComboBox;

    void showPopup() override
    {
        if (onOpen)
            onOpen();
        juce::ComboBox::showPopup();
    }

    std::function<void()> onOpen;
};

} // namespace

ConnectionPane::ConnectionPane (MainPane* ownerPane) : owner (ownerPane)
{
    serialPortLabel = std::make_unique<juce::Label> ("new label", "Serial Port");
    addAndMakeVisible (serialPortLabel.get());
    styleLabel (*serialPortLabel);

    auto box = std::make_unique<PortBox> ("Com Port Box");
    box->onOpen = [this] { followPortChanges(); };
    portBox = std::move (box);
    addAndMakeVisible (portBox.get());
    portBox->setEditableText (false);
    portBox->setJustificationType (juce::Justification::centredLeft);
    portBox->setTextWhenNothingSelected ({});
    portBox->setTextWhenNoChoicesAvailable ("(no choices)");
    portBox->addListener (this);

    connectButton = std::make_unique<juce::TextButton> ("Connect Button");
    addAndMakeVisible (connectButton.get());
    connectButton->setButtonText ("Connect");
    connectButton->addListener (this);

    updateButton = std::make_unique<juce::TextButton> ("Update Button");
    addAndMakeVisible (updateButton.get());
    updateButton->setButtonText ("Update");
    updateButton->addListener (this);

    updateFileEditor = std::make_unique<juce::TextEditor> ("remote folder");
    addAndMakeVisible (updateFileEditor.get());
    updateFileEditor->setMultiLine (false, true);
    updateFileEditor->setReturnKeyStartsNewLine (false);
    updateFileEditor->setReadOnly (false);
    updateFileEditor->setScrollbarsShown (true);
    updateFileEditor->setCaretVisible (true);
    updateFileEditor->setPopupMenuEnabled (true);
    updateFileEditor->setColour (juce::TextEditor::backgroundColourId, juce::Colours::white);
    updateFileEditor->setColour (juce::TextEditor::outlineColourId, juce::Colour (0x00000000));

    updateFileLabel = std::make_unique<juce::Label> ("new label2", "Update File");
    addAndMakeVisible (updateFileLabel.get());
    styleLabel (*updateFileLabel);

    browseButton = std::make_unique<juce::TextButton> ("Browse Button");
    addAndMakeVisible (browseButton.get());
    browseButton->setButtonText ("Browse");
    browseButton->addListener (this);

    updateButton->setEnabled (false);

    transferProgress = std::make_unique<TransferProgress> (owner->client);
    addChildComponent (transferProgress.get());

    setSize (600, 400);

    refreshPortList();

    juce::Component::SafePointer<ConnectionPane> safeThis (this);
    portWatcher = SerialPortWatcher::create (
        [safeThis]
        {
            juce::MessageManager::callAsync (
                [safeThis]
                {
                    if (safeThis != nullptr)
                        safeThis->followPortChanges();
                });
        });

    // The change notification arrives later and saves the same value again.
    updateFileEditor->setText (Settings::read (Settings::updateFileKey), true);
    updateFileEditor->addListener (this);
}

ConnectionPane::~ConnectionPane()
{
    portWatcher.reset();
    releasePort();

    serialPortLabel.reset();
    updateFileLabel.reset();
    portBox.reset();
    connectButton.reset();
    updateButton.reset();
    updateFileEditor.reset();
    browseButton.reset();
    transferProgress.reset();
}

//==============================================================================
void ConnectionPane::refreshPortList()
{
    fillPortBox (true);
}

void ConnectionPane::followPortChanges()
{
    // Quietly: ports that are not the device's would be logged at every change.
    fillPortBox (false);
}

void ConnectionPane::fillPortBox (bool logIgnored)
{
    // The open port, if any, is left alone: the reader notices when its device goes.
    const auto lastPort = Settings::read (Settings::lastPortKey);
    const auto chosen = portBox->getSelectedId() != 0 ? portBox->getText() : juce::String();

    const auto found = enumerateSerialPorts (deviceOnlyFilter, logIgnored);
    const auto names = found.getAllKeys();
    if (found == ports && portBox->getNumItems() == names.size() && names.size() > 0 && chosen.isNotEmpty())
        return;

    ports = found;
    portBox->clear (juce::dontSendNotification);

    int chosenId = 0, rememberedId = 0;
    for (int i = 0; i < names.size(); ++i)
    {
        portBox->addItem (names[i], i + 1);
        if (names[i] == chosen)
            chosenId = i + 1;
        if (names[i] == lastPort) // exact: a name that differs in case is another port
            rememberedId = i + 1;
    }

    if (chosenId != 0)
        portBox->setSelectedId (chosenId, juce::dontSendNotification);
    else if (rememberedId != 0)
        portBox->setSelectedId (rememberedId, juce::sendNotificationSync);
    else if (lastPort.isEmpty() && names.size() == 1)
        portBox->setSelectedId (1, juce::sendNotificationSync); // the one device of a fresh machine
}

bool ConnectionPane::connect()
{
    const MainPane::DeviceOperation operation (*owner);
    if (!operation.isRunning())
        return false;

    if (port != nullptr)
    {
        closePort();
        juce::Thread::sleep (1000); // let the device notice the line went away
        releasePort();
    }

    const auto portName = ports.getAllValues()[portBox->getSelectedItemIndex()];
    // The Production tab's station may hold this port for a unit it is processing.
    if (portName.isNotEmpty())
        if (const auto holder = PortClaims::claim (portName, claimHolder); holder.isNotEmpty())
        {
            owner->log ("Failed to open port");
            owner->log (portName + " is in use by " + holder);
            return false;
        }
    port = std::make_unique<DeviceLink> (owner->client);

    if (!port->open (portName))
    {
        owner->log ("Failed to open port");
        if (const auto reason = port->getOpenFailure(); reason.isNotEmpty())
            owner->log (reason);
        releasePort();
        return false;
    }

    owner->log ("Successfully opened port");
    owner->deviceConnected();

    DeviceIdentity identity;
    if (owner->client.whoAmI (identity) != 0)
    {
        owner->log ("Error requesting device info.");
        return false;
    }

    owner->log (juce::String::formatted ("Found device: familyID=0x%.3x, deviceID=0x%.3x.",
                                         (unsigned int) identity.familyId, (unsigned int) identity.deviceId));
    owner->log (juce::String::formatted ("Protocol version=0x%.4x, Firmware version=0x%.4x.",
                                         (unsigned int) identity.protocolVersion,
                                         (unsigned int) identity.firmwareVersion));
    owner->log (juce::String (identity.text1));
    owner->log (juce::String (identity.text2));

    identified = true;
    connectButton->setEnabled (false);
    updateButton->setEnabled (true);
    return true;
}

bool ConnectionPane::updateFirmware()
{
    const MainPane::DeviceOperation operation (*owner);
    if (!operation.isRunning())
        return false;

    using Result = DeviceMaintenance::UpdateResult;
    updateButton->setEnabled (false);

    switch (DeviceMaintenance::updateFirmware (owner->client, updateFileEditor->getText(), false,
                                               transferProgress->engineOptions())
                .result)
    {
    case Result::badUpdateFile:
        // Nothing reached the device: another file may be chosen and tried.
        MessageBoxes::show (MessageBoxes::Icon::warning, "Failed to send update file");
        updateButton->setEnabled (true);
        return false;

    case Result::sendFailed:
        // The port stays open and both buttons stay disabled: a half-sent image is
        // not retried from here; a new attempt starts with a fresh program.
        MessageBoxes::show (MessageBoxes::Icon::warning, "Failed to send update file");
        return false;

    case Result::alreadyInstalled:
        MessageBoxes::show (MessageBoxes::Icon::none, "Firmware already exists, skipping update");
        break;

    case Result::completed:
        MessageBoxes::show (MessageBoxes::Icon::none, "Firmware update completed");
        break;

    case Result::noMarkerAnswer:
        MessageBoxes::show (MessageBoxes::Icon::warning, "Device did not answer the firmware check");
        closeAfterUpdate();
        return false;

    case Result::triggerFailed:
        MessageBoxes::show (MessageBoxes::Icon::warning, "Failed to trigger update");
        closeAfterUpdate();
        return false;
    }

    closeAfterUpdate();
    return true;
}

void ConnectionPane::closeAfterUpdate()
{
    owner->log ("Closing Port.");
    owner->deviceDisconnected();
    releasePort();
    connectButton->setEnabled (true);
}

bool ConnectionPane::fetchMacFile (const juce::String& localPath)
{
    const MainPane::DeviceOperation operation (*owner);
    if (!operation.isRunning())
        return false;

    if (!DeviceMaintenance::fetchMacFile (owner->client, localPath, transferProgress->engineOptions()).succeeded())
    {
        MessageBoxes::show (MessageBoxes::Icon::warning, "Failed to read mac file");
        return false;
    }

    MessageBoxes::show (MessageBoxes::Icon::none, "Mac file stored to:  " + localPath);
    return true;
}

void ConnectionPane::closePort()
{
    identified = false;
    if (port != nullptr)
    {
        port->close();
        if (const auto path = port->getDevicePath(); path.isNotEmpty())
            PortClaims::release (path, claimHolder);
    }
}

void ConnectionPane::releasePort()
{
    closePort();
    port.reset();
}

void ConnectionPane::releasePortAfterLoss()
{
    releasePort();
    updateButtons();
}

void ConnectionPane::updateButtons()
{
    const auto open = hasOpenPort();
    connectButton->setEnabled (!open || !identified);
    updateButton->setEnabled (open && identified);
}

TransferProgress& ConnectionPane::getTransferProgress() const
{
    return *transferProgress;
}

bool ConnectionPane::hasOpenPort() const
{
    return port != nullptr && port->isOpen();
}

//==============================================================================
void ConnectionPane::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colours::white);
}

void ConnectionPane::resized()
{
    const auto w = getWidth();
    const auto c = proportionOfWidth (0.4859f);

    serialPortLabel->setBounds (w / 2 - 242, 56, 150, 24);
    portBox->setBounds (c - 75, 56, 150, 24);
    connectButton->setBounds (c - 75, 96, 150, 24);
    updateButton->setBounds (c - 75, 130, 150, 24);
    updateFileLabel->setBounds (c - 150, 160, 300, 24);
    updateFileEditor->setBounds (c - 150, 180, 300, 24);
    browseButton->setBounds (c + 150, 180, 50, 24);
    transferProgress->setBounds (c - 150, 220, 370, 24);
}

//==============================================================================
void ConnectionPane::comboBoxChanged (juce::ComboBox* box)
{
    if (box == portBox.get())
        Settings::writeAndSave (Settings::lastPortKey, portBox->getText());
}

void ConnectionPane::buttonClicked (juce::Button* button)
{
    if (button == connectButton.get())
        connect();
    else if (button == updateButton.get())
    {
        const TransferProgress::Showing showing (*transferProgress);
        updateFirmware();
    }
    else if (button == browseButton.get())
        browseForUpdateFile();
}

void ConnectionPane::textEditorTextChanged (juce::TextEditor& editor)
{
    if (&editor == updateFileEditor.get())
        saveUpdateFilePath();
}

void ConnectionPane::textEditorReturnKeyPressed (juce::TextEditor& editor)
{
    if (&editor == updateFileEditor.get())
        saveUpdateFilePath();
}

void ConnectionPane::textEditorFocusLost (juce::TextEditor& editor)
{
    if (&editor == updateFileEditor.get())
        saveUpdateFilePath();
}

//==============================================================================
void ConnectionPane::saveUpdateFilePath()
{
    Settings::writeAndSave (Settings::updateFileKey, updateFileEditor->getText());
}

void ConnectionPane::browseForUpdateFile()
{
    juce::FileChooser chooser ("Select update file...", juce::File(), {}, true);
    if (chooser.browseForFileToOpen())
        updateFileEditor->setText (chooser.getResult().getFullPathName(), true);
}
