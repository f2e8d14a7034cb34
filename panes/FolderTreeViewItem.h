#pragma once

#include "panes/FileSystemEntryTreeViewItem.h"

/** A row for a remote folder; a double-click lists that folder in the same tree. */
class FolderTreeViewItem final : public FileSystemEntryTreeViewItem
{
public:
    FolderTreeViewItem (FileSystemPane* pane, const juce::String& name, const FileSystemEntryInfo& info,
                        const juce::String& path);
    ~FolderTreeViewItem() override;

    /** Asks the pane to show this folder. The listing that follows deletes every row,
        this one included, so the pane does it after the double-click has returned. */
    void openEntry() override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FolderTreeViewItem)
};
