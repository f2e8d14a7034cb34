#include "panes/NameAssigner.h"

NameAssigner::NameAssigner()
{
    nameBox = std::make_unique<juce::TextEditor> ("name box");
    addAndMakeVisible (nameBox.get());
    nameBox->setMultiLine (false);
    nameBox->setReturnKeyStartsNewLine (false);
    nameBox->setReadOnly (true);
    nameBox->setScrollbarsShown (true);
    nameBox->setCaretVisible (true);
    nameBox->setPopupMenuEnabled (true);
    nameBox->setText ({}, true);

    // Component names are part of the interface: the OK button's has always been "_cancelButton".
    okButton = std::make_unique<juce::TextButton> ("_cancelButton");
    addAndMakeVisible (okButton.get());
    okButton->setButtonText ("OK");
    okButton->addListener (this);

    cancelButton = std::make_unique<juce::TextButton> ("cancel button");
    addAndMakeVisible (cancelButton.get());
    cancelButton->setButtonText ("Cancel");
    cancelButton->addListener (this);
    cancelButton->setColour (juce::TextButton::buttonColourId, juce::Colour (0xfff8f8f8));
    cancelButton->setColour (juce::TextButton::buttonOnColourId, juce::Colour (0xffdfdfdf));

    setSize (300, 72);

    nameBox->addListener (this);
}

NameAssigner::~NameAssigner()
{
    nameBox.reset();
    okButton.reset();
    cancelButton.reset();
}

//==============================================================================
void NameAssigner::setUpForName (const juce::String& text, bool selectAllWhenFocused)
{
    nameBox->setText (text, true);
    nameBox->setReadOnly (false);
    nameBox->setCaretVisible (true);
    nameBox->setColour (juce::TextEditor::shadowColourId, juce::Colour (0.0f, 0.0f, 0.0f, 0.7f));
    nameBox->setSelectAllWhenFocused (selectAllWhenFocused);
}

void NameAssigner::setUpForQuestion (const juce::String& text)
{
    nameBox->setText (text, true);
    nameBox->setReadOnly (true);
    nameBox->setCaretVisible (false);
    nameBox->setColour (juce::TextEditor::shadowColourId, juce::Colour (0.0f, 0.0f, 0.0f, 0.0f));
    nameBox->setSelectAllWhenFocused (false);
}

juce::String NameAssigner::getEnteredText() const
{
    return nameBox->getText();
}

//==============================================================================
void NameAssigner::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour (0xffffffff));
    g.setColour (juce::Colour (0xffa3a3a3));
    g.drawRect (0, 0, getWidth(), getHeight(), 2);
}

void NameAssigner::resized()
{
    const auto w = getWidth();
    const auto h = getHeight();
    nameBox->setBounds (8, h / 2 - 28, w - 16, 24);
    okButton->setBounds (w - 92, h / 2 + 4, 80, 24);
    cancelButton->setBounds (w - 180, h / 2 + 4, 80, 24);
}

bool NameAssigner::keyPressed (const juce::KeyPress& key)
{
    if (key == juce::KeyPress::returnKey)
    {
        answer (okResult);
        return true;
    }
    if (key == juce::KeyPress::escapeKey)
    {
        answer (cancelResult);
        return true;
    }
    return false;
}

void NameAssigner::textEditorReturnKeyPressed (juce::TextEditor&)
{
    answer (okResult);
}

void NameAssigner::textEditorEscapeKeyPressed (juce::TextEditor&)
{
    answer (cancelResult);
}

void NameAssigner::buttonClicked (juce::Button* button)
{
    if (button == okButton.get())
        answer (okResult);
    else if (button == cancelButton.get())
        answer (cancelResult);
}

//==============================================================================
void NameAssigner::answer (int result)
{
    // The box reports Return and Escape asynchronously; one that arrives after the
    // loop has ended must not end a later one.
    if (isCurrentlyModal (false))
        exitModalState (result);
}
