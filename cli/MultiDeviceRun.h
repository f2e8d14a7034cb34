#pragma once

#include "cli/CommandResult.h"
#include "cli/PortChooser.h"

#include <functional>
#include <vector>

class DeviceSession;

/** Runs a command on every chosen device at the same time: one session (port and
    client) and one thread per device, each line the thread writes led by its port's
    name; then a summary table (or JSON document) of every device's result and time.

    With --json a run writes one document on standard output. A command's own
    document (ls, info, props, getmac on one device) is written only when it
    succeeded; a failure leaves standard output empty and says why on standard
    error. The summary (several devices; put and flash on one too) is always
    written, each device's failure in it. */
class MultiDeviceRun final
{
public:
    using Task = std::function<CommandResult (DeviceSession&, const RunContext&)>;

    /** The exit status: 0 when every device succeeded, else the worst failure's
        (130 after Ctrl-C, 1 for a refusal or failed transfer, 3 for a port that
        could not be opened). With one port the task runs here, without prefixes. */
    static int run (const std::vector<ChosenPort>& ports, const juce::String& command, RunContext context,
                    const Task& task);

    /** The worst of several exit statuses. */
    static int combine (int a, int b);

private:
    MultiDeviceRun() = delete;
};
