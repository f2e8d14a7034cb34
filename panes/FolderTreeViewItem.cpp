#include "panes/FolderTreeViewItem.h"

#include "NuboIcons.h"
#include "panes/FileSystemPane.h"

FolderTreeViewItem::FolderTreeViewItem (FileSystemPane* owningPane, const juce::String& name,
                                        const FileSystemEntryInfo& entryInfo, const juce::String& fullPath)
    : FileSystemEntryTreeViewItem (owningPane, name, entryInfo, fullPath, NuboIcons::folder_png,
                                   (size_t) NuboIcons::folder_pngSize)
{
}

FolderTreeViewItem::~FolderTreeViewItem() = default;

void FolderTreeViewItem::openEntry()
{
    if (pane != nullptr)
        pane->openFolderLater (getPath());
}
