#include "panes/FileSystemEntryTreeViewItem.h"

FileSystemEntryTreeViewItem::FileSystemEntryTreeViewItem (FileSystemPane* owningPane, const juce::String& name,
                                                          const FileSystemEntryInfo& entryInfo,
                                                          const juce::String& fullPath, const void* iconData,
                                                          size_t iconSize)
    : LabelTreeViewItem (name, false), pane (owningPane), path (fullPath), info (entryInfo)
{
    if (iconData != nullptr && iconSize > 0)
    {
        // Checked first: the system libpng that JUCE is built against here does not
        // survive being handed bytes that are not a PNG at all.
        juce::MemoryInputStream bytes (iconData, iconSize, false);
        juce::PNGImageFormat png;
        if (png.canUnderstand (bytes) && bytes.setPosition (0))
            icon = png.decodeImage (bytes);
    }
}

FileSystemEntryTreeViewItem::~FileSystemEntryTreeViewItem() = default;

//==============================================================================
void FileSystemEntryTreeViewItem::paintItem (juce::Graphics& g, int width, int height)
{
    if (isSelected())
        g.fillAll (juce::Colour (187, 187, 255));

    g.setColour (juce::Colour (0xff000000));

    if (icon.isValid())
        g.drawImage (icon, 0, 0, height, height, 0, 0, icon.getWidth(), icon.getHeight());

    // The width is the row's, not what is left after the name's start: a long name
    // may run under the details, as it always has.
    g.drawText (label, height + height / 2, 0, width, height, juce::Justification::left, true);

    g.setColour (juce::Colour (0xff808080));
    g.drawText (getDetailsText(), 12 * height, 0, width, height, juce::Justification::left, true);
}

void FileSystemEntryTreeViewItem::itemDoubleClicked (const juce::MouseEvent&)
{
    openEntry();
}

//==============================================================================
juce::String FileSystemEntryTreeViewItem::getDetailsText() const
{
    return juce::String (info.size) + " bytes; modified " + info.modified.toString (true, true, false, true);
}
