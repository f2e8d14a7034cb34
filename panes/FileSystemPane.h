#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

class MainPane;
class LabelTreeViewItem;
class NameAssigner;
class TransferProgress;

/** The "File System" tab: one remote folder at a time as a list of rows, with
    the buttons that move files and folders between the device and the PC and
    manage the device's entries. All device work goes through the main pane's client. */
class FileSystemPane final : public juce::Component,
                             public juce::TextEditor::Listener,
                             public juce::Button::Listener,
                             public juce::FileDragAndDropTarget
{
public:
    /** How the pane asks the person at the screen: the file choosers and the name
        dialog's modal loop. A test puts its own in place to answer without a person. */
    class Asker
    {
    public:
        enum class Chooser
        {
            folder,     // an existing folder to fetch into
            fileToSave, // a local file to fetch into, with a warning before overwriting
            fileToOpen  // a local file to send
        };

        virtual ~Asker() = default;

        /** The chosen file or folder, or File() when the person cancelled. */
        virtual juce::File choose (Chooser kind, const juce::String& title, const juce::File& start);

        /** Runs the (already shown) dialog's modal loop: 0 for OK, 1 for Cancel. */
        virtual int runDialog (NameAssigner& dialog);
    };

    explicit FileSystemPane (MainPane* owner);
    ~FileSystemPane() override;

    /** Normalises the path box, lists that remote folder and rebuilds the rows.
        Ignored while another device operation runs. */
    void refreshRemoteFolder();

    /** Shows the given remote folder once the current event has been handled (the
        listing deletes the row that asks for it). */
    void openFolderLater (const juce::String& path);

    void setAsker (std::unique_ptr<Asker> newAsker);

    //==============================================================================
    void paint (juce::Graphics& g) override;
    void resized() override;
    /** The tab component brings its content to the front each time the tab is selected. */
    void broughtToFront() override;

    void textEditorReturnKeyPressed (juce::TextEditor& editor) override;
    void textEditorEscapeKeyPressed (juce::TextEditor& editor) override;
    void textEditorFocusLost (juce::TextEditor& editor) override;

    void buttonClicked (juce::Button* button) override;

    bool isInterestedInFileDrag (const juce::StringArray& files) override;
    /** Sends each dropped file or folder tree into the current remote folder. */
    void filesDropped (const juce::StringArray& files, int x, int y) override;

    //==============================================================================
    juce::TreeView& getTree() const noexcept
    {
        return *tree;
    }
    juce::TextEditor& getRemoteFolderBox() const noexcept
    {
        return *remoteFolderBox;
    }

    TransferProgress& getTransferProgress() const noexcept
    {
        return *transferProgress;
    }

    static constexpr const char* homeFolder = "/mnt/nandfs/usr";

private:
    /** refreshRemoteFolder's work, for callers that already hold the device operation. */
    void listRemoteFolder();
    /** Shows the dialog, runs its modal loop, hides it. */
    int askWithDialog();
    /** Makes the window ask again about the next drag over the child a drag was refused on. */
    void forgetRefusedDragLater (const juce::StringArray& files);

    MainPane* owner; // owns the tab component that owns this pane: outlives it

    std::unique_ptr<juce::GroupComponent> frame;
    std::unique_ptr<juce::TextEditor> remoteFolderBox;
    std::unique_ptr<juce::TextButton> deleteButton;
    std::unique_ptr<juce::TreeView> tree;
    std::unique_ptr<juce::ImageButton> homeButton;
    std::unique_ptr<juce::ImageButton> upButton;
    std::unique_ptr<juce::TextButton> getButton;
    std::unique_ptr<juce::TextButton> sendButton;
    std::unique_ptr<juce::TextButton> newFolderButton;
    std::unique_ptr<NameAssigner> nameAssigner;
    std::unique_ptr<juce::TextButton> renameButton;
    std::unique_ptr<TransferProgress> transferProgress;

    // The tree does not own its root: detached from it before it is deleted.
    std::unique_ptr<LabelTreeViewItem> rootItem;
    std::unique_ptr<Asker> asker;
    juce::uint32 lastBusyDropReportMs = 0; // when a drop was last refused for a running operation
    bool refusedDragToForget = false;      // the window is yet to forget a refused drag

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FileSystemPane)
};
