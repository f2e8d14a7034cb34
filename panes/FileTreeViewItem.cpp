#include "panes/FileTreeViewItem.h"

#include "NuboIcons.h"

FileTreeViewItem::FileTreeViewItem (FileSystemPane* owningPane, const juce::String& name,
                                    const FileSystemEntryInfo& entryInfo, const juce::String& fullPath)
    : FileSystemEntryTreeViewItem (owningPane, name, entryInfo, fullPath, NuboIcons::file_png,
                                   (size_t) NuboIcons::file_pngSize)
{
}

FileTreeViewItem::~FileTreeViewItem() = default;

void FileTreeViewItem::openEntry() {}
