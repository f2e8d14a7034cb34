#pragma once

/** JUCE 7 puts WM_PROTOCOLS on every window it creates but only looks that atom up
    (once, when it opens the display), and a bare X server such as Xvfb without a
    window manager has never heard of it. A JUCE application shrugs the error off
    with its own X error handler; a test program has none, so its first window
    would end it with BadAtom.
    BareXServer.cpp interns the atoms before main, that is before JUCE opens the
    display, and keeps its connection open so the server neither forgets them nor
    resets. This function only says whether that worked. */
bool bareXServerPrepared();
