#include "app/LogView.h"

LogView::LogView (const juce::String& componentName) : juce::TextEditor (componentName) {}

void LogView::addLines (const juce::String& text)
{
    if (text.isEmpty())
        return;

    // Someone may have typed into the log (it is editable): count again now and then.
    if (numLines > maxLines * 2 || numLines < 0)
        numLines = getText().retainCharacters ("\n").length();

    insertTextAtCaret (text);
    numLines += text.retainCharacters ("\n").length();

    if (numLines > maxLines)
    {
        const auto cut = endOfLines (numLines - maxLines);
        if (cut > 0)
        {
            const auto caret = getCaretPosition();
            setHighlightedRegion ({0, cut});
            insertTextAtCaret ({});
            setCaretPosition (juce::jmax (0, caret - cut));
            numLines = maxLines;
        }
    }

    // Each flush its own undo step: one step that grows for ever could never be let go.
    newTransaction();
}

int LogView::endOfLines (int count) const
{
    const auto total = getTotalNumChars();
    int position = 0, found = 0, chunk = 4096;

    while (position < total)
    {
        const auto end = juce::jmin (total, position + chunk);
        const auto piece = getTextInRange ({position, end});

        // Walked with a pointer: indexing a UTF-8 string starts again from its beginning,
        // which made this quadratic and froze the window under a flood of lines.
        int i = 0;
        for (auto p = piece.getCharPointer(); !p.isEmpty(); ++p, ++i)
            if (*p == '\n' && ++found == count)
                return position + i + 1;

        position = end;
        chunk *= 2;
    }

    return -1;
}
