#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

class MainPane;
class SerialPort;

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
    void saveUpdateFilePath();
    void browseForUpdateFile();

    MainPane* owner; // owns the tabs that own this pane; outlives it
    std::unique_ptr<SerialPort> port;
    juce::StringPairArray ports{true};

    std::unique_ptr<juce::Label> serialPortLabel;
    std::unique_ptr<juce::Label> updateFileLabel;
    std::unique_ptr<juce::ComboBox> portBox;
    std::unique_ptr<juce::TextButton> connectButton;
    std::unique_ptr<juce::TextButton> updateButton;
    std::unique_ptr<juce::TextEditor> updateFileEditor;
    std::unique_ptr<juce::TextButton> browseButton;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ConnectionPane)
};
