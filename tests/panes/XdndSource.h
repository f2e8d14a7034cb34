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

    /** Enters the window, moves to the point (root window coordinates), drops there and
        waits for the window's XdndFinished, each answer for at most timeoutMs. Blocks: run
        it on a thread of its own while the message thread runs the window. */
    Outcome dragAndDrop (juce::uint64 window, int rootX, int rootY, const juce::StringArray& files, int timeoutMs);

private:
    struct Connection;
    std::unique_ptr<Connection> connection;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (XdndSource)
};
