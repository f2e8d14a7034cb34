#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

class MainPane;
class DeviceLink;
class SerialPortWatcher;
class TransferProgress;

/** Tab 0: choose the device's serial port, connect and identify the device, update
    its firmware, fetch its MAC-address file. Owns the program's one open port. */
class ConnectionPane final : public juce::Component,
                             public juce::ComboBox::Listener,
                             public juce::Button::Listener,
                             public juce::TextEditor::Listener
{
public:
    explicit ConnectionPane (MainPane* owner);
    ~ConnectionPane() override;

    //==============================================================================
    /** Opens the port chosen in the box, attaches it to the client and asks the device
        who it is. True only when the port opened and the device answered. */
    bool connect();

    /** Sends the update file as the firmware image and triggers the update, unless the
        firmware is installed already; then closes the connection. False when the update
        file is unsuitable, the device did not answer the firmware check, or the image
        could not be sent or triggered. */
    bool updateFirmware();

    /** Copies the device's MAC-address file to localPath; true when it was stored. */
    bool fetchMacFile (const juce::String& localPath);

    /** Fills the port box with the device's ports and selects the remembered one. */
    void refreshPortList();

    /** Lists the ports again when they changed: the chosen port stays chosen while it is
        present, the remembered one is chosen when it appears, and with nothing remembered
        a single device port is chosen. Called when ports come or go and when the box opens. */
    void followPortChanges();

    /** After the device went away: the port released, as before Connect. */
    void releasePortAfterLoss();

    /** Connect while no port is open or the device is not identified; Update while it is. */
    void updateButtons();

    TransferProgress& getTransferProgress() const;

    /** Detaches the port from the client and closes it; the object stays here. */
    void closePort();

    bool hasOpenPort() const;

    //==============================================================================
    void paint (juce::Graphics& g) override;
    void resized() override;

    void comboBoxChanged (juce::ComboBox* box) override;

    void buttonClicked (juce::Button* button) override;
    void buttonStateChanged (juce::Button*) override {}

    void textEditorTextChanged (juce::TextEditor& editor) override;
    void textEditorReturnKeyPressed (juce::TextEditor& editor) override;
    void textEditorEscapeKeyPressed (juce::TextEditor&) override {}
    void textEditorFocusLost (juce::TextEditor& editor) override;

private:
    void releasePort();
    /** The end of every update that reached the device: port closed, Connect offered. */
    void closeAfterUpdate();
    void fillPortBox (bool logIgnored);
    void saveUpdateFilePath();
    void browseForUpdateFile();

    static constexpr const char* claimHolder = "the Connection tab";

    MainPane* owner; // owns the tabs that own this pane; outlives it
    std::unique_ptr<DeviceLink> port; // attaches the main pane's client, which outlives it
    bool identified = false; // the device on the open port answered WhoAmI
    juce::StringPairArray ports{true};

    std::unique_ptr<juce::Label> serialPortLabel;
    std::unique_ptr<juce::Label> updateFileLabel;
    std::unique_ptr<juce::ComboBox> portBox;
    std::unique_ptr<juce::TextButton> connectButton;
    std::unique_ptr<juce::TextButton> updateButton;
    std::unique_ptr<juce::TextEditor> updateFileEditor;
    std::unique_ptr<juce::TextButton> browseButton;
    std::unique_ptr<TransferProgress> transferProgress;
    std::unique_ptr<SerialPortWatcher> portWatcher; // its thread calls back: gone first

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ConnectionPane)
};
