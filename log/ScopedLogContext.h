#pragma once

#include "log/ILogger.h"

/** While it lives, the lines logged on the thread that made it go to its logger instead
    of the process-wide slot: a device's worker hands its client's lines (and those of
    everything the client calls on that thread) to its own sink, with its label, while
    the window and nubo keep the slot. Contexts nest; the innermost one wins. */
class ScopedLogContext final
{
public:
    /** The logger is not owned and outlives the context; nullptr sends the lines back to
        the slot for as long as this context lives. */
    explicit ScopedLogContext (ILogger* logger);

    /** Puts the thread's previous context back. */
    ~ScopedLogContext();

    /** The logger of this thread's innermost context, or nullptr for the slot. */
    static ILogger* current();

private:
    ILogger* const previous;

    JUCE_DECLARE_NON_COPYABLE (ScopedLogContext)
};
