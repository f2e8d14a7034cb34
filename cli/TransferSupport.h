#pragma once

#include "device/TransferEngine.h"

#include <juce_core/juce_core.h>

struct RunContext;

/** A local path from the command line: relative to the current folder, a leading "~" a
    name like any other, and "." or ".." spelled out as the folder they name. */
juce::File localFile (const juce::String& path);

/** The engine's options for one of nubo's transfers: the run's progress bar and the
    given cancel token (one that a signal trips). A fetch that fails keeps its partial
    file only where a later --continue can find it (keepPartial). */
TransferEngine::Options transferOptions (const RunContext& context, const CancelToken& cancel, bool verify,
                                         bool resume = false, bool keepPartial = false);

/** Why the client's last exchange failed, as " (why)", or empty. */
juce::String deviceReason (const TidewireClient& client);
