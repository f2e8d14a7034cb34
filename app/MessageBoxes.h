#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

/** The one way the program shows an outcome to the user: a modal box with an
    empty title and JUCE's default button. Tests put their own handler in place
    to read and answer the boxes. Message thread only. */
class MessageBoxes final
{
public:
    enum class Icon
    {
        none,
        warning
    };

    using Handler = std::function<void (Icon, const juce::String& message)>;

    /** Shows the box and returns once the user has dismissed it. */
    static void show (Icon icon, const juce::String& message);

    /** Replaces how boxes are shown; an empty handler brings back the JUCE alert window. */
    static void setHandler (Handler handler);

private:
    MessageBoxes() = delete;
};
