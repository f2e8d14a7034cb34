#include "cli/TransferSupport.h"

#include "cli/CommandResult.h"
#include "cli/InterruptWatcher.h"
#include "device/LocalPaths.h"

#include <climits>
#include <cstdlib>

juce::File localFile (const juce::String& path)
{
    const auto file = LocalPaths::resolve (path.isEmpty() ? juce::String (".") : path);
    if (file.getFileName() != "." && file.getFileName() != "..")
        return file;

    char resolved[PATH_MAX];
    if (::realpath (file.getFullPathName().toRawUTF8(), resolved) == nullptr)
        return file;
    return juce::File (juce::String::fromUTF8 (resolved));
}

TransferEngine::Options transferOptions (const RunContext& context, const CancelToken& cancel, bool verify, bool resume,
                                         bool keepPartial)
{
    TransferEngine::Options options;
    options.progress = context.progress;
    options.cancel = cancel;
    options.verify = verify;
    options.resume = resume;
    options.keepPartial = keepPartial;
    return options;
}

juce::String deviceReason (const TidewireClient& client)
{
    return TransferEngine::exchangeReason (client, InterruptWatcher::isInterrupted());
}
