#pragma once

#include <juce_core/juce_core.h>

#include <memory>

/** The other end of a drag from the desktop: another X client, with a connection of
    its own to the display, that drags files onto a window by the XDND protocol as a
    file manager does (its window owns the drag's selection and hands the files over as
    text/uri-list when asked) and records what the window answers. libX11 is loaded at
    run time, as JUCE and the test programs' main do. */
class XdndSource final
{
public:
    /** What the window said during one drag. */
    struct Outcome
    {
        bool targetAware = false;        // the window announced XDND
        int statusMessages = 0;          // XdndStatus answers to enter and positions
        bool lastStatusAccepted = false; // the accept bit of the last XdndStatus
        int fileListRequests = 0;        // times the window asked for the dropped files
        bool finished = false;           // XdndFinished arrived after the drop
        long finishedFlags = -1;         // its second field (bit 0: the drop was accepted)
        juce::String finishedAction;     // its action, empty for none
    };

    /** Connects to $DISPLAY. */
    XdndSource();
    ~XdndSource();

    bool isOpen() const;

    /** Enters the window and moves to the point (root window coordinates), waiting at
        most timeoutMs for each answer; the button stays down. Blocks, as the calls below
        do: run them on a thread of their own while the message thread runs the window. */
    Outcome begin (juce::uint64 window, int rootX, int rootY, const juce::StringArray& files, int timeoutMs);

    /** Releases the button: drops where the drag is when the window's last answer took
        it, and waits for XdndFinished; leaves the window otherwise. */
    Outcome release (int timeoutMs);

    /** begin, then release. */
    Outcome dragAndDrop (juce::uint64 window, int rootX, int rootY, const juce::StringArray& files, int timeoutMs);

private:
    struct Connection;
    std::unique_ptr<Connection> connection;

    // The drag begun last.
    juce::uint64 target = 0;
    juce::String fileList;
    Outcome outcome;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (XdndSource)
};
