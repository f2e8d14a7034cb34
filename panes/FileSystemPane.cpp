#include "panes/FileSystemPane.h"

#include "NuboIcons.h"
#include "app/MainPane.h"
#include "app/Settings.h"
#include "device/FolderTransfer.h"
#include "device/LocalPaths.h"
#include "device/TransferEngine.h"
#include "panes/FileTreeViewItem.h"
#include "panes/FolderTreeViewItem.h"
#include "panes/NameAssigner.h"
#include "panes/TransferProgress.h"

namespace
{
juce::String afterLastSlash (const juce::String& path)
{
    return path.fromLastOccurrenceOf ("/", false, false);
}

/** JUCE's TreeView takes every file dragged over it and offers the drop to the row
    under the mouse, and rows take none: a drop on the list would be lost. The list
    declines file drags, so they go on to the pane as from any other child. */
class EntryTreeView final : public juce::TreeView
{
public:
    using juce::TreeView::TreeView;

    bool isInterestedInFileDrag (const juce::StringArray&) override
    {
        return false;
    }
};

void setUpImageButton (juce::ImageButton& button, const void* pngData, int pngSize)
{
    const auto image = juce::ImageCache::getFromMemory (pngData, pngSize);
    const juce::Colour hover (0.0f, 0.0f, 1.0f, 0.5f);
    button.setImages (false, false, true, image, 1.0f, juce::Colour (0x00000000), image, 1.0f, hover, image, 0.5f,
                      hover, 0.0f);
}
} // namespace

//==============================================================================
juce::File FileSystemPane::Asker::choose (Chooser kind, const juce::String& title, const juce::File& start)
{
    juce::FileChooser chooser (title, start, "*.*", true);
    bool confirmed = false;
    switch (kind)
    {
    case Chooser::folder:
        confirmed = chooser.browseForDirectory();
        break;
    case Chooser::fileToSave:
        confirmed = chooser.browseForFileToSave (true);
        break;
    case Chooser::fileToOpen:
        confirmed = chooser.browseForFileToOpen (nullptr);
        break;
    }
    return confirmed ? chooser.getResult() : juce::File();
}

int FileSystemPane::Asker::runDialog (NameAssigner& dialog)
{
    return dialog.runModalLoop();
}

//==============================================================================
FileSystemPane::FileSystemPane (MainPane* ownerPane) : owner (ownerPane), asker (std::make_unique<Asker>())
{
    setName ("File System");

    frame = std::make_unique<juce::GroupComponent> ("new group", juce::String());
    addAndMakeVisible (frame.get());
    frame->setColour (juce::GroupComponent::outlineColourId, juce::Colour (0xffa3a3a3));

    remoteFolderBox = std::make_unique<juce::TextEditor> ("remote folder");
    addAndMakeVisible (remoteFolderBox.get());
    remoteFolderBox->setMultiLine (false);
    remoteFolderBox->setReturnKeyStartsNewLine (false);
    remoteFolderBox->setReadOnly (false);
    remoteFolderBox->setScrollbarsShown (true);
    remoteFolderBox->setCaretVisible (true);
    remoteFolderBox->setPopupMenuEnabled (true);
    remoteFolderBox->setColour (juce::TextEditor::backgroundColourId, juce::Colour (0xffffffff));
    remoteFolderBox->setColour (juce::TextEditor::outlineColourId, juce::Colour (0x00000000));
    remoteFolderBox->setText ("/mnt/nandfs/usr/");

    deleteButton = std::make_unique<juce::TextButton> ("new button");
    addAndMakeVisible (deleteButton.get());
    deleteButton->setButtonText ("Delete");
    deleteButton->setConnectedEdges (juce::Button::ConnectedOnRight);
    deleteButton->addListener (this);
    deleteButton->setColour (juce::TextButton::buttonColourId, juce::Colour (0xffff4343));
    deleteButton->setColour (juce::TextButton::buttonOnColourId, juce::Colour (0xfffdbd36));

    tree = std::make_unique<EntryTreeView> ("new treeview");
    addAndMakeVisible (tree.get());
    tree->setRootItemVisible (false);

    homeButton = std::make_unique<juce::ImageButton> ("Home");
    addAndMakeVisible (homeButton.get());
    homeButton->setName ("home button");

    upButton = std::make_unique<juce::ImageButton> ("Up");
    addAndMakeVisible (upButton.get());
    upButton->setName ("up button");

    auto makeTextButton = [this] (const juce::String& componentName, const juce::String& text)
    {
        auto button = std::make_unique<juce::TextButton> (componentName);
        addAndMakeVisible (button.get());
        button->setButtonText (text);
        button->setConnectedEdges (juce::Button::ConnectedOnRight);
        button->addListener (this);
        return button;
    };
    getButton = makeTextButton ("get button", "Get");
    sendButton = makeTextButton ("new button", "Send");
    newFolderButton = makeTextButton ("new folder button", "New Folder");

    nameAssigner = std::make_unique<NameAssigner>();
    addAndMakeVisible (nameAssigner.get());

    renameButton = makeTextButton ("rename button", "Rename");

    transferProgress = std::make_unique<TransferProgress> (owner->client);
    addChildComponent (transferProgress.get());

    setSize (600, 400);

    rootItem = std::make_unique<LabelTreeViewItem> ("Entries", true);
    tree->setRootItem (rootItem.get());

    remoteFolderBox->addListener (this);

    refreshRemoteFolder();

    homeButton->addListener (this);
    setUpImageButton (*homeButton, NuboIcons::home_png, NuboIcons::home_pngSize);
    upButton->addListener (this);
    setUpImageButton (*upButton, NuboIcons::up_png, NuboIcons::up_pngSize);

    // Listed the first time the tab comes to the front.
    remoteFolderBox->setText (Settings::read (Settings::remoteFolderKey), true);

    nameAssigner->setVisible (false);
}

FileSystemPane::~FileSystemPane()
{
    tree->setRootItem (nullptr);
    rootItem.reset();

    frame.reset();
    remoteFolderBox.reset();
    deleteButton.reset();
    tree.reset();
    homeButton.reset();
    upButton.reset();
    getButton.reset();
    sendButton.reset();
    newFolderButton.reset();
    nameAssigner.reset();
    renameButton.reset();
    transferProgress.reset();
}

//==============================================================================
void FileSystemPane::refreshRemoteFolder()
{
    MainPane::DeviceOperation operation (*owner);
    if (!operation.isRunning())
        return;

    listRemoteFolder();
}

void FileSystemPane::openFolderLater (const juce::String& path)
{
    // A double-click that arrives while an operation runs (through the log's
    // message dispatch) is ignored, not queued behind it.
    if (owner->isDeviceOperationRunning())
        return;

    juce::Component::SafePointer<FileSystemPane> safeThis (this);
    juce::MessageManager::callAsync (
        [safeThis, path]
        {
            if (safeThis == nullptr)
                return;

            MainPane::DeviceOperation operation (*safeThis->owner);
            if (!operation.isRunning())
                return;

            safeThis->remoteFolderBox->setText (path, true);
            safeThis->listRemoteFolder();
        });
}

void FileSystemPane::setAsker (std::unique_ptr<Asker> newAsker)
{
    asker = newAsker != nullptr ? std::move (newAsker) : std::make_unique<Asker>();
}

void FileSystemPane::listRemoteFolder()
{
    auto folder = remoteFolderBox->getText().trim().replace ("//", "/");
    if (folder.endsWith ("/"))
        folder = folder.upToLastOccurrenceOf ("/", false, false);
    if (folder.isEmpty())
        folder = "/";
    remoteFolderBox->setText (folder, true);

    juce::StringArray fileNames, folderNames;
    const auto result = owner->client.getFolderContents (folder, &fileNames, &folderNames);

    rootItem->clearSubItems();
    if (result != 0)
        return;

    Settings::writeAndSave (Settings::remoteFolderKey, folder);

    juce::StringArray names (fileNames);
    names.addArray (folderNames);
    names.sort (false); // by character code: upper case first, files and folders mixed

    for (const auto& name : names)
    {
        // A device that went away answers nothing more: no use asking for every entry.
        if (owner->client.isLinkLost())
            break;

        const auto path = folder + "/" + name;
        FileSystemEntryInfo info;
        info.clear();

        if (folderNames.contains (name, false))
        {
            owner->client.getEntryInfo (path, true, info);
            rootItem->addSubItem (new FolderTreeViewItem (this, name, info, path), -1);
        }
        else
        {
            owner->client.getEntryInfo (path, false, info);
            rootItem->addSubItem (new FileTreeViewItem (this, name, info, path), -1);
        }
    }
}

int FileSystemPane::askWithDialog()
{
    nameAssigner->setVisible (true);
    nameAssigner->toFront (false);
    const auto result = asker->runDialog (*nameAssigner);
    nameAssigner->setVisible (false);
    return result;
}

//==============================================================================
void FileSystemPane::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour (0xffffffff));
    g.setColour (juce::Colour (0xffa3a3a3));
    g.fillRoundedRectangle (16.0f, 6.0f, (float) (getWidth() - 58), 28.0f, 12.0f);
}

void FileSystemPane::resized()
{
    const auto w = getWidth();
    const auto h = getHeight();
    frame->setBounds (93, 12, w - 109, h - 21);
    remoteFolderBox->setBounds (96, 8, w - 154, 24);
    homeButton->setBounds (32, 8, 24, 24);
    upButton->setBounds (64, 8, 24, 24);
    getButton->setBounds (16, 48, 80, 24);
    sendButton->setBounds (16, 80, 80, 24);
    newFolderButton->setBounds (16, 112, 80, 24);
    renameButton->setBounds (16, 144, 80, 24);
    deleteButton->setBounds (16, h - 47, 80, 24);
    tree->setBounds (96, 34, w - 116, h - 47);
    nameAssigner->setBounds ((w - 116) / 2 - (w - 241) / 2 + 96, 32, w - 241, 80);
    transferProgress->setBounds (104, h - 45, w - 132, 24); // over the foot of the list while it shows
}

void FileSystemPane::broughtToFront()
{
    refreshRemoteFolder();
}

//==============================================================================
void FileSystemPane::textEditorReturnKeyPressed (juce::TextEditor&)
{
    refreshRemoteFolder();
}

void FileSystemPane::textEditorEscapeKeyPressed (juce::TextEditor&)
{
    refreshRemoteFolder();
}

void FileSystemPane::textEditorFocusLost (juce::TextEditor&)
{
    refreshRemoteFolder();
}

//==============================================================================
void FileSystemPane::buttonClicked (juce::Button* button)
{
    MainPane::DeviceOperation operation (*owner);
    if (!operation.isRunning())
        return;

    const auto localFolder = Settings::read (Settings::localFolderKey);
    // Only a plain absolute path: JUCE would expand a leading "~" itself.
    const auto localStart = localFolder.startsWithChar ('/') ? juce::File (localFolder) : juce::File();

    // What the buttons need of the selected row, copied: the dialogs below run
    // modal loops, and nothing may hold on to a row across them.
    bool haveEntry = false, isFolder = false, isFile = false;
    juce::String entryPath;
    if (tree->getNumSelectedItems() > 0)
    {
        auto* selected = tree->getSelectedItem (0);
        if (auto* entry = dynamic_cast<FileSystemEntryTreeViewItem*> (selected))
        {
            haveEntry = true;
            entryPath = entry->getPath();
            owner->log ("Folder: " + entryPath); // the log escapes control characters
        }
        isFolder = dynamic_cast<FolderTreeViewItem*> (selected) != nullptr;
        isFile = dynamic_cast<FileTreeViewItem*> (selected) != nullptr;
    }

    if (button == deleteButton.get() && haveEntry)
    {
        nameAssigner->setUpForQuestion ("Delete " + afterLastSlash (entryPath) + "?");
        if (askWithDialog() == NameAssigner::okResult)
        {
            owner->client.deleteEntry (entryPath);
            listRemoteFolder();
        }
    }
    else if (button == getButton.get() && isFolder)
    {
        const auto chosen = asker->choose (Asker::Chooser::folder, "Choose Destination Folder", localStart);
        if (chosen != juce::File())
        {
            Settings::write (Settings::localFolderKey, chosen.getFullPathName());
            const TransferProgress::Showing showing (*transferProgress);
            FolderTransfer (owner->client, transferProgress->engineOptions()).get (entryPath, chosen);
        }
    }
    else if (button == getButton.get() && isFile)
    {
        const auto name = afterLastSlash (entryPath);
        // The name comes from the device: only a safe one is suggested, and never
        // anywhere but inside the starting folder.
        const auto folder = localStart != juce::File() ? localStart : juce::File::getCurrentWorkingDirectory();
        const auto child = LocalPaths::childOf (folder, name);
        const auto suggested = child != juce::File() ? child : folder;
        const auto chosen = asker->choose (Asker::Chooser::fileToSave, "Choose Destination File", suggested);
        if (chosen != juce::File())
        {
            Settings::write (Settings::localFolderKey, chosen.getParentDirectory().getFullPathName());
            const TransferProgress::Showing showing (*transferProgress);
            TransferEngine (owner->client, transferProgress->engineOptions()).fetch (entryPath, chosen);
        }
    }
    else if (button == sendButton.get())
    {
        const auto chosen = asker->choose (Asker::Chooser::fileToOpen, "Choose File to Send", localStart);
        if (chosen != juce::File())
        {
            Settings::write (Settings::localFolderKey, chosen.getParentDirectory().getFullPathName());
            const TransferProgress::Showing showing (*transferProgress);
            TransferEngine (owner->client, transferProgress->engineOptions())
                .send (chosen, remoteFolderBox->getText() + "/" + chosen.getFileName());
        }
        listRemoteFolder();
    }
    else if (button == newFolderButton.get())
    {
        nameAssigner->setUpForName ("NewFolder", true);
        if (askWithDialog() == NameAssigner::okResult)
        {
            const auto name = nameAssigner->getEnteredText();
            if (name.isNotEmpty())
            {
                owner->client.createFolder (remoteFolderBox->getText() + "/" + name);
                listRemoteFolder();
            }
        }
    }
    else if (button == renameButton.get() && haveEntry)
    {
        nameAssigner->setUpForName (entryPath, false);
        if (askWithDialog() == NameAssigner::okResult)
        {
            const auto newPath = nameAssigner->getEnteredText();
            if (newPath.isNotEmpty() && newPath != entryPath)
                owner->client.moveEntry (entryPath, newPath, isFolder);
            listRemoteFolder();
        }
    }

    if (button == homeButton.get())
    {
        remoteFolderBox->setText (homeFolder, true);
        listRemoteFolder();
    }
    else if (button == upButton.get())
    {
        remoteFolderBox->setText (remoteFolderBox->getText().upToLastOccurrenceOf ("/", false, false), true);
        listRemoteFolder();
    }
}

//==============================================================================
bool FileSystemPane::isInterestedInFileDrag (const juce::StringArray& files)
{
    // While an operation runs the desktop is told the drop is not wanted. JUCE asks
    // when the pointer enters another child, so one drag may ask a few times: the
    // line is written at most every two seconds.
    if (!owner->isDeviceOperationRunning())
        return true;

    forgetRefusedDragLater (files);

    const auto now = juce::Time::getMillisecondCounter();
    if (lastBusyDropReportMs == 0 || now - lastBusyDropReportMs >= 2000)
    {
        lastBusyDropReportMs = juce::jmax (1u, now);
        // Logged later: logging here lets messages through while JUCE is in the
        // middle of its drag handling, which is not built to be re-entered.
        juce::Component::SafePointer<FileSystemPane> safeThis (this);
        juce::MessageManager::callAsync (
            [safeThis]
            {
                if (safeThis != nullptr)
                    safeThis->owner->log ("Busy: drop ignored");
            });
    }
    return false;
}

void FileSystemPane::forgetRefusedDragLater (const juce::StringArray& files)
{
    // The window remembers which child was under the pointer together with the
    // target found for it, and asks again only when the pointer reaches another
    // child. A drop without a target leaves that memory as it is, so a later drag
    // over the same child would find no target without asking: the desktop hands
    // it over and it is lost without a word. The window forgets it as when a drag
    // leaves it, once the current drag message has been handled (JUCE's drag
    // handling is not built to be re-entered); the next message of the same drag,
    // or the next drag, asks again.
    if (refusedDragToForget)
        return;

    refusedDragToForget = true;
    juce::Component::SafePointer<FileSystemPane> safeThis (this);
    juce::MessageManager::callAsync (
        [safeThis, files]
        {
            if (safeThis == nullptr)
                return;

            safeThis->refusedDragToForget = false;
            if (auto* peer = safeThis->getPeer())
            {
                // A file drag, so that a target the window may have found since is
                // told of the exit as a file target.
                juce::ComponentPeer::DragInfo info;
                info.files = files.isEmpty() ? juce::StringArray ("") : files;
                peer->handleDragExit (info);
            }
        });
}

void FileSystemPane::filesDropped (const juce::StringArray& files, int, int)
{
    MainPane::DeviceOperation operation (*owner);
    if (!operation.isRunning())
    {
        // Accepted while idle, but an operation began before the drop was delivered.
        owner->log ("Busy: drop ignored");
        return;
    }

    for (const auto& path : files)
    {
        const auto remotePath = remoteFolderBox->getText() + "/" +
                                path.fromLastOccurrenceOf (juce::File::getSeparatorString(), false, false);
        const auto local = LocalPaths::resolve (path);
        if (local.isDirectory())
            FolderTransfer (owner->client, transferProgress->engineOptions()).put (local, remotePath);
        else
            TransferEngine (owner->client, transferProgress->engineOptions()).send (local, remotePath);
        listRemoteFolder();
    }
}
