#pragma once

#include "panes/LabelTreeViewItem.h"
#include "protocol/FileSystemEntryInfo.h"

class FileSystemPane;

/** A row for one entry of the listed remote folder: icon, name, size and
    modification time. Rows never open in place; a double-click opens the entry. */
class FileSystemEntryTreeViewItem : public LabelTreeViewItem
{
public:
    /** iconData/iconSize: embedded PNG bytes, decoded into the row's own image
        (no icon when they cannot be decoded). */
    FileSystemEntryTreeViewItem (FileSystemPane* pane, const juce::String& name, const FileSystemEntryInfo& info,
                                 const juce::String& path, const void* iconData, size_t iconSize);
    ~FileSystemEntryTreeViewItem() override;

    //==============================================================================
    void paintItem (juce::Graphics& g, int width, int height) override;
    void itemDoubleClicked (const juce::MouseEvent& e) override;

    /** What a double-click on the row does. */
    virtual void openEntry() = 0;

    //==============================================================================
    /** The entry's full remote path: the listed folder, "/", the name. */
    const juce::String& getPath() const noexcept
    {
        return path;
    }
    const FileSystemEntryInfo& getInfo() const noexcept
    {
        return info;
    }

protected:
    FileSystemPane* pane; // the pane that made this row; it owns the tree and outlives every row

private:
    /** The grey text after the name: size and modification time. */
    juce::String getDetailsText() const;

    juce::String path;
    FileSystemEntryInfo info;
    juce::Image icon;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FileSystemEntryTreeViewItem)
};
