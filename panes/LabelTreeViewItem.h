#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** A tree row that shows one text; the File System tab's hidden root is one. */
class LabelTreeViewItem : public juce::TreeViewItem
{
public:
    LabelTreeViewItem (const juce::String& labelText, bool canHaveChildren);
    ~LabelTreeViewItem() override;

    //==============================================================================
    bool mightContainSubItems() override;
    void paintItem (juce::Graphics& g, int width, int height) override;

    const juce::String& getLabel() const noexcept
    {
        return label;
    }

protected:
    juce::String label;

private:
    bool canHaveChildren;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LabelTreeViewItem)
};
