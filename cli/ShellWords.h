#pragma once

#include <juce_core/juce_core.h>

/** The words of a line typed into nubo shell, read as a shell reads them: white space
    between words, '...' taken as it is, "..." with \" and \\ as escapes, a backslash
    elsewhere taking the next character as it is, and a word that starts with # making
    the rest of the line a comment. Nothing is expanded: "~", "*" and "$" are characters
    like any other, on the device and here. */
class ShellWords final
{
public:
    /** What a line (or the part before the cursor) comes to. */
    struct Split
    {
        juce::StringArray words;

        /** The last word runs to the end of the text (no white space after it), perhaps
            inside quotes: the word a Tab completes. */
        bool lastWordOpen = false;

        /** Where the last word starts, in characters, when it is open. */
        int lastWordStart = 0;

        /** A quote left open, or a backslash at the very end: the line is not whole. */
        bool unfinished = false;
    };

    static Split split (const juce::String& line);

    /** The word as it must be typed to stand for itself: every character the reading
        above treats specially escaped with a backslash. */
    static juce::String quote (const juce::String& word);

private:
    ShellWords() = delete;
};
