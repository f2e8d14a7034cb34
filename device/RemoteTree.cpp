#include "device/RemoteTree.h"

#include "device/LocalPaths.h"
#include "device/RemotePath.h"
#include "device/TransferEngine.h"
#include "log/GlobalLog.h"
#include "protocol/FileSystemEntryInfo.h"
#include "protocol/ReceivedMessage.h"
#include "protocol/TidewireClient.h"

#include <algorithm>
#include <set>

namespace
{
// One unanswered request may be a slow moment; two in a row mean every later one
// would wait its whole time-out too.
constexpr int unansweredToStop = 2;

struct Named
{
    juce::String name;
    bool isFolder = false;
};
} // namespace

RemoteTree::RemoteTree (TidewireClient& deviceClient, Options walkOptions)
    : client (deviceClient), options (std::move (walkOptions))
{
}

RemoteTree::Listing RemoteTree::walk (const juce::String& remoteFolder)
{
    Listing listing;
    unansweredInARow = 0;
    stopped = false;
    walkFolder (remoteFolder, {}, 1, true, listing);
    return listing;
}

RemoteTree::Listing RemoteTree::list (const juce::String& remoteFolder)
{
    Listing listing;
    unansweredInARow = 0;
    stopped = false;
    walkFolder (remoteFolder, {}, 1, false, listing);
    return listing;
}

void RemoteTree::stop (Listing& listing, const juce::String& why)
{
    stopped = true;
    listing.complete = false;
    if (listing.problem.isEmpty())
        listing.problem = why;
}

bool RemoteTree::mustStop (Listing& listing)
{
    if (stopped)
        return true;

    if (options.cancel.isCancelled() || client.isAborted())
    {
        listing.cancelled = true;
        stop (listing, "cancelled");
    }
    else if (client.isLinkLost() || unansweredInARow >= unansweredToStop)
    {
        listing.deviceLost = true;
        stop (listing,
              client.isLinkLost() ? "the connection to the device is lost" : "the device has stopped answering");
    }

    return stopped;
}

void RemoteTree::noteAnswer()
{
    unansweredInARow =
        client.getLastExchangeOutcome() == TidewireClient::ExchangeOutcome::unanswered ? unansweredInARow + 1 : 0;
}

void RemoteTree::walkFolder (const juce::String& remoteFolder, const juce::String& relative, int depth, bool recursive,
                             Listing& listing)
{
    if (mustStop (listing))
        return;

    juce::StringArray files, folders;
    juce::Array<juce::MemoryBlock> fileBytes, folderBytes;
    const auto listed = client.getFolderContents (remoteFolder, &files, &folders, &fileBytes, &folderBytes) == 0;
    noteAnswer();
    if (!listed)
    {
        listing.complete = false;
        if (depth == 1)
            listing.topUnlisted = true;
        if (listing.problem.isEmpty())
            listing.problem = "can't list " + escapeControlCharacters (remoteFolder) + " on the device" +
                              TransferEngine::exchangeReason (client, options.cancel.isCancelled());
        if (options.cancel.isCancelled())
            listing.cancelled = true;
        return;
    }

    // A device may list a name twice, or as a file and a folder: the first one counts.
    std::vector<Named> names;
    std::set<juce::String> seen;
    auto take = [&] (const juce::StringArray& texts, const juce::Array<juce::MemoryBlock>& bytes, bool isFolder)
    {
        for (int i = 0; i < texts.size(); ++i)
        {
            const auto& name = texts[i];
            const auto& raw = bytes[i];
            const auto isUtf8 =
                ReceivedMessage::isValidUtf8 (static_cast<const juce::uint8*> (raw.getData()), (int) raw.getSize());
            if (!isUtf8 || !LocalPaths::isSafeName (name) || !seen.insert (name).second)
            {
                if (listing.unsafeNames.size() < options.maxEntries)
                    listing.unsafeNames.add (
                        escapeControlCharacters (relative.isEmpty() ? name : relative + "/" + name));
                continue;
            }
            names.push_back ({name, isFolder});
        }
    };
    take (folders, folderBytes, true);
    take (files, fileBytes, false);
    std::stable_sort (names.begin(), names.end(),
                      [] (const Named& a, const Named& b) { return a.name.compareNatural (b.name) < 0; });

    for (auto& named : names)
    {
        if (mustStop (listing))
            return;
        if ((int) listing.entries.size() >= options.maxEntries)
        {
            stop (listing, "more than " + juce::String (options.maxEntries) + " entries");
            return;
        }

        Entry entry;
        entry.path = relative.isEmpty() ? named.name : relative + "/" + named.name;
        entry.isFolder = named.isFolder;
        const auto remoteChild = RemotePath::childOf (remoteFolder, named.name);

        if (named.isFolder)
        {
            listing.entries.push_back (entry);
            if (!recursive)
                continue;
            if (depth >= FolderTransfer::maxDepth)
            {
                stop (listing, escapeControlCharacters (entry.path) + " is nested deeper than " +
                                   juce::String (FolderTransfer::maxDepth) + " levels");
                return;
            }
            walkFolder (remoteChild, entry.path, depth + 1, true, listing);
            continue;
        }

        if (options.details)
        {
            FileSystemEntryInfo info;
            const auto answered = client.getEntryInfo (remoteChild, false, info) == 0;
            noteAnswer();
            if (answered && info.exists == 0)
                continue; // gone since the listing
            if (answered)
            {
                entry.known = true;
                entry.size = info.size >= 0 ? info.size : -1;
                entry.modified = info.modified;
            }
        }
        listing.entries.push_back (entry);
    }
}
