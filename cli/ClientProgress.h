#pragma once

#include "cli/CommandResult.h"
#include "protocol/TidewireClient.h"

/** While it lives, the client's own transfers (the firmware image, each file of a
    folder) report to the command's progress bar. */
class ClientProgress final
{
public:
    ClientProgress (TidewireClient& deviceClient, const RunContext& context) : client (deviceClient)
    {
        if (context.progress)
            client.setTransferProgressCallback (context.progress);
    }

    ~ClientProgress()
    {
        client.setTransferProgressCallback ({});
    }

private:
    TidewireClient& client; // the session's; outlives this

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ClientProgress)
};
