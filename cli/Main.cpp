// nubo: the Nubo USB File Utility without a window, for production lines and scripts.

#include "cli/CommandResult.h"
#include "cli/Console.h"
#include "cli/InterruptWatcher.h"
#include "cli/NuboCli.h"

#include <juce_events/juce_events.h>

#include <csignal>

int main (int argc, char** argv)
{
    Console::claimStandardDescriptors();

    // A reader that goes away (nubo get X - | head) is a failed write, handled like any
    // other, so that the device's file is still closed.
    std::signal (SIGPIPE, SIG_IGN);

    // Before any device is touched, so that Ctrl-C always finds the watcher in place.
    const InterruptWatcher interrupts;

    int status = 0;
    {
        // The message manager of juce_events only; nothing here needs a display.
        const juce::ScopedJuceInitialiser_GUI juce;
        NuboCli cli;
        status = cli.run (argc, argv);
    }

    // Results that did not reach standard output make a failed run, whatever else went well.
    const auto lostOutput = Console::finishOutput();
    if (lostOutput.isNotEmpty())
    {
        Console::error (lostOutput);
        if (status == 0)
            status = ExitStatus::failed;
    }

    return InterruptWatcher::isInterrupted() && status != 0 ? 130 : status;
}
