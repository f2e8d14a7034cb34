#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The log at the bottom of the window: a text editor that keeps only its last lines, so
    that adding one costs the same however long the program has run. Standard error keeps
    every line. */
class LogView final : public juce::TextEditor
{
public:
    static constexpr int maxLines = 5000;

    explicit LogView (const juce::String& componentName);

    /** Inserts text made of whole lines at the caret (the end, unless someone clicked into
        the log), then drops the oldest lines beyond maxLines. */
    void addLines (const juce::String& text);

    int getNumLines() const noexcept
    {
        return numLines;
    }

private:
    /** The index just behind the count-th line feed from the top, or -1. */
    int endOfLines (int count) const;

    int numLines = 0; // line feeds in the text

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LogView)
};
