#include "panes/LabelTreeViewItem.h"

LabelTreeViewItem::LabelTreeViewItem (const juce::String& labelText, bool canHaveChildren_)
    : label (labelText), canHaveChildren (canHaveChildren_)
{
}

LabelTreeViewItem::~LabelTreeViewItem() = default;

//==============================================================================
bool LabelTreeViewItem::mightContainSubItems()
{
    return canHaveChildren;
}

void LabelTreeViewItem::paintItem (juce::Graphics& g, int width, int height)
{
    g.setColour (juce::Colour (0xff000000));
    g.drawText (label, 0, 0, width, height, juce::Justification::left, true);
}
