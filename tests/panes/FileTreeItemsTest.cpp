#include "NuboIcons.h"
#include "panes/FileTreeViewItem.h"
#include "panes/FolderTreeViewItem.h"

#include <gtest/gtest.h>

namespace
{
juce::Image paintRow (juce::TreeViewItem& item)
{
    juce::Image image (juce::Image::ARGB, 600, 20, true);
    juce::Graphics g (image);
    g.fillAll (juce::Colours::white);
    item.paintItem (g, 600, 20);
    return image;
}

/** What a 20-pixel row must show: the background, the icon scaled into the square at
    the left, the name in black from x 30 and the details in grey from x 240. */
juce::Image expectedRow (juce::Colour background, const juce::Image& icon, const juce::String& name,
                         const juce::String& details)
{
    juce::Image image (juce::Image::ARGB, 600, 20, true);
    juce::Graphics g (image);
    g.fillAll (background);
    g.setColour (juce::Colours::black);
    if (icon.isValid())
        g.drawImage (icon, 0, 0, 20, 20, 0, 0, icon.getWidth(), icon.getHeight());
    g.drawText (name, 30, 0, 600, 20, juce::Justification::left, true);
    g.setColour (juce::Colour (0xff808080));
    g.drawText (details, 240, 0, 600, 20, juce::Justification::left, true);
    return image;
}

int differingPixels (const juce::Image& a, const juce::Image& b)
{
    int count = 0;
    for (int y = 0; y < a.getHeight(); ++y)
        for (int x = 0; x < a.getWidth(); ++x)
            count += a.getPixelAt (x, y) != b.getPixelAt (x, y) ? 1 : 0;
    return count;
}

juce::String detailsFor (juce::int64 size, juce::Time modified)
{
    return juce::String (size) + " bytes; modified " + modified.toString (true, true, false, true);
}
} // namespace

TEST (FileTreeItems, PaintIconNameAndDetailsAndTheSelection)
{
    juce::TreeView tree;
    LabelTreeViewItem root ("Entries", true);
    tree.setRootItem (&root);
    FileSystemEntryInfo info;
    info.size = 5;
    info.modified = juce::Time (2024, 2, 14, 9, 26, 53);
    auto* file = new FileTreeViewItem (nullptr, "b", info, "/x/b");
    auto* folder = new FolderTreeViewItem (nullptr, "A", info, "/x/A");
    root.addSubItem (file);
    root.addSubItem (folder);
    folder->setSelected (true, true);
    EXPECT_FALSE (folder->mightContainSubItems()); // no open/close box, never expanded in place

    const auto folderIcon = juce::ImageFileFormat::loadFrom (NuboIcons::folder_png, NuboIcons::folder_pngSize);
    const auto fileIcon = juce::ImageFileFormat::loadFrom (NuboIcons::file_png, NuboIcons::file_pngSize);
    ASSERT_EQ (folderIcon.getBounds(), juce::Rectangle<int> (32, 32));
    ASSERT_EQ (fileIcon.getBounds(), juce::Rectangle<int> (32, 32));

    const auto selected = paintRow (*folder);
    EXPECT_EQ (selected.getPixelAt (25, 10), juce::Colour (187, 187, 255));
    EXPECT_EQ (
        differingPixels (selected, expectedRow ({187, 187, 255}, folderIcon, "A", detailsFor (5, info.modified))), 0);
    EXPECT_EQ (differingPixels (paintRow (*file),
                                expectedRow (juce::Colours::white, fileIcon, "b", detailsFor (5, info.modified))),
               0);
    tree.setRootItem (nullptr);
}

TEST (FileTreeItems, RowWithoutInformationOrIconPaintsOnlyItsTexts)
{
    struct BrokenIconItem final : FileSystemEntryTreeViewItem
    {
        BrokenIconItem() : FileSystemEntryTreeViewItem (nullptr, "b", {}, "/x/b", "not a png", 9) {}
        void openEntry() override {}
    } item;
    EXPECT_EQ (differingPixels (paintRow (item), expectedRow (juce::Colours::white, {}, "b", detailsFor (0, {}))), 0);
}
