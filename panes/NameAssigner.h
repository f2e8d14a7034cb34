#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The small panel the File System tab shows modally over its list to ask for a
    name or path, or for a yes/no answer. Its modal loop returns 0 for OK (or
    Return) and 1 for Cancel (or Escape). */
class NameAssigner final : public juce::Component, public juce::TextEditor::Listener, public juce::Button::Listener
{
public:
    NameAssigner();
    ~NameAssigner() override;

    //==============================================================================
    /** An editable text, suggested as given. With selectAllWhenFocused the first
        key typed replaces it; otherwise typing inserts at the caret. */
    void setUpForName (const juce::String& text, bool selectAllWhenFocused);

    /** A read-only question; only OK/Return and Cancel/Escape answer it. */
    void setUpForQuestion (const juce::String& text);

    juce::String getEnteredText() const;

    //==============================================================================
    void paint (juce::Graphics& g) override;
    void resized() override;
    /** A read-only box passes Return and Escape on to here. */
    bool keyPressed (const juce::KeyPress& key) override;

    void textEditorReturnKeyPressed (juce::TextEditor& editor) override;
    void textEditorEscapeKeyPressed (juce::TextEditor& editor) override;

    void buttonClicked (juce::Button* button) override;

    static constexpr int okResult = 0;
    static constexpr int cancelResult = 1;

private:
    void answer (int result);

    std::unique_ptr<juce::TextEditor> nameBox;
    std::unique_ptr<juce::TextButton> okButton;
    std::unique_ptr<juce::TextButton> cancelButton;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (NameAssigner)
};
