#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>
#include <string>

/** Where nubo shell gets its commands: at a terminal, lines typed with editing, history
    and Tab completion (libedit); from a pipe or a file, one line after another with
    none of that and no prompt. Either way a signal that the InterruptWatcher hears
    (Ctrl-C) ends the wait for a line at once. */
class LineReader final
{
public:
    /** What a Tab may put in place of the word at the cursor. */
    struct Completion
    {
        int wordStart = 0;       ///< where the word starts in the text before the cursor, in characters
        juce::StringArray words; ///< whole words as they read once unquoted; a folder's ends in "/"
        juce::StringArray shown; ///< the same, as listed when several remain (escaped, names only)
    };
    using Completer = std::function<Completion (const juce::String& textBeforeCursor)>;

    /** With editing when standard input and output are terminals; the history is read
        from historyFile then (a file that cannot be read is a history that starts empty). */
    explicit LineReader (const juce::File& historyFile);

    ~LineReader();

    bool isInteractive() const
    {
        return editor != nullptr;
    }

    enum class Outcome
    {
        line,
        endOfInput, ///< Ctrl-D, or the end of the piped commands
        interrupted ///< a signal came while waiting
    };

    /** The next line, without its line ending. */
    Outcome read (const juce::String& prompt, juce::String& line);

    void setCompleter (Completer completer)
    {
        complete = std::move (completer);
    }

    /** Keeps the line in the history and its file (at a terminal only). */
    void remember (const juce::String& line);

private:
    struct Editor;

    Outcome readPiped (juce::String& line);
    bool waitForInput (int fd); // false when woken by a signal

    std::unique_ptr<Editor> editor; // null without a terminal
    Completer complete;
    int wakeRead = -1, wakeWrite = -1;
    std::string pending; // piped bytes read past the last line
    bool pipedEnded = false;
    juce::File history;
    bool historyWarned = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LineReader)
};
