#pragma once

#include "panes/FileSystemEntryTreeViewItem.h"

/** A row for a remote file. */
class FileTreeViewItem final : public FileSystemEntryTreeViewItem
{
public:
    FileTreeViewItem (FileSystemPane* pane, const juce::String& name, const FileSystemEntryInfo& info,
                      const juce::String& path);
    ~FileTreeViewItem() override;

    /** Files are fetched with Get, not opened: nothing happens. */
    void openEntry() override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FileTreeViewItem)
};
