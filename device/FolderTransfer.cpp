#include "device/FolderTransfer.h"

#include "device/LocalPaths.h"
#include "device/RemotePath.h"
#include "log/GlobalLog.h"
#include "protocol/FileSystemEntryInfo.h"
#include "protocol/TidewireClient.h"

#include <climits>

namespace
{
// Exchanges in a row that the device leaves unanswered before a folder transfer gives up
// on it: one may be a slow moment, two mean the rest would each wait a time-out too.
constexpr int unansweredStepsToStop = 2;

TransferEngine::Options forEachFile (TransferEngine::Options options)
{
    // A tree is fetched whole or its failed files again: nothing half-fetched is kept.
    options.resume = false;
    options.keepPartial = false;
    return options;
}
} // namespace

FolderTransfer::FolderTransfer (TidewireClient& deviceClient, TransferEngine::Options options, int maxTreeEntries)
    : client (deviceClient), engine (deviceClient, forEachFile (std::move (options))),
      maxEntries (juce::jmax (1, maxTreeEntries))
{
}

void FolderTransfer::failed (const juce::String& why, bool log)
{
    if (log)
        globalLog (why);
    ++tally.failed;
    if (tally.firstProblem.isEmpty())
        tally.firstProblem = why;
}

bool FolderTransfer::stops (int entriesLeft)
{
    if (!tally.stopped)
    {
        juce::String why;
        if (engine.isCancelled())
            tally.stopped = true; // the user's own choice: no line of its own
        else if (client.isLinkLost())
            why = "the connection to the device is lost";
        else if (tally.unansweredInARow >= unansweredStepsToStop)
            why = "the device has stopped answering";
        else if (tally.entries >= maxEntries)
            why = "more than " + juce::String (maxEntries) + " entries";

        if (why.isNotEmpty())
        {
            globalLog ("Folder transfer stopped: " + why + "; the entries left count as failed");
            tally.stopped = true;
            if (tally.firstProblem.isEmpty())
                tally.firstProblem = "stopped: " + why;
        }
    }

    if (tally.stopped)
    {
        tally.failed += entriesLeft;
        return true;
    }

    ++tally.entries;
    return false;
}

void FolderTransfer::noteStep()
{
    const auto serial = client.getLastExchangeSerial();
    if (serial == tally.lastSeenSerial)
        return; // nothing was asked of the device

    tally.lastSeenSerial = serial;
    tally.unansweredInARow =
        client.getLastExchangeOutcome() == TidewireClient::ExchangeOutcome::unanswered ? tally.unansweredInARow + 1 : 0;
}

juce::File FolderTransfer::localChild (const juce::File& folder, const juce::String& name,
                                       const juce::String& remotePath)
{
    const auto child = LocalPaths::childOf (folder, name);

    if (name.getNumBytesAsUTF8() > (size_t) NAME_MAX ||
        (child != juce::File() && !LocalPaths::fitsSystemLimits (child)))
    {
        failed ("Skipping path longer than the system allows: " + escapeControlCharacters (remotePath));
        return {};
    }

    if (child == juce::File())
        failed ("Skipping unsafe name " + escapeControlCharacters (name));
    return child;
}

OperationResult FolderTransfer::finish()
{
    if (engine.isCancelled())
        return OperationResult::failure (OperationResult::Outcome::cancelled,
                                         "cancelled after " + juce::String (tally.transferred) + " transferred");

    globalLog ("Folder transfer finished: " + juce::String (tally.transferred) + " transferred, " +
               juce::String (tally.failed) + " failed");

    if (tally.failed == 0)
        return OperationResult::done (juce::String (tally.transferred) + " transferred");

    return OperationResult::failure (OperationResult::Outcome::failed,
                                     juce::String (tally.failed) + " of " +
                                         juce::String (tally.failed + tally.transferred) +
                                         " entries failed, the first: " + tally.firstProblem);
}

//==============================================================================
OperationResult FolderTransfer::put (const juce::File& local, const juce::String& remoteFolder)
{
    tally = {};

    // Checked before the device is touched: there would be nothing to send.
    if (!local.isDirectory())
    {
        globalLog ("Couldn't read folder " + local.getFullPathName());
        return OperationResult::failure (OperationResult::Outcome::failed,
                                         "can't read " + local.getFullPathName() + ": not a folder");
    }

    tally.lastSeenSerial = client.getLastExchangeSerial();
    if (!putTree (local, remoteFolder, 1))
        return OperationResult::failure (
            engine.isCancelled() ? OperationResult::Outcome::cancelled : OperationResult::Outcome::failed,
            "can't get details of " + remoteFolder + " on the device" + engine.exchangeReason());
    return finish();
}

bool FolderTransfer::putTree (const juce::File& local, const juce::String& remoteFolder, int depth)
{
    FileSystemEntryInfo info;
    const auto known = client.getEntryInfo (remoteFolder, true, info) == 0;
    noteStep();
    if (!known)
    {
        globalLog ("Can't get info for remote folder.");
        return false;
    }

    if (info.exists == 0)
    {
        client.createFolder (remoteFolder);
        noteStep();
    }

    // What is there already, so that each file need not ask again.
    juce::StringArray remoteFiles, remoteFolders;
    const auto listed = client.getFolderContents (remoteFolder, &remoteFiles, &remoteFolders) == 0;
    noteStep();

    const auto children = local.findChildFiles (juce::File::findFilesAndDirectories, false, "*");

    for (int i = 0; i < children.size(); ++i)
    {
        const auto& child = children.getReference (i);
        if (stops (children.size() - i))
            return true;

        // Following a link to a folder could loop for ever (a link to a parent).
        if (child.isDirectory() && child.isSymbolicLink())
        {
            globalLog ("Skipping link to folder " + child.getFullPathName());
            continue;
        }

        const auto name = child.getFileName();
        const auto remoteChild = remoteFolder + "/" + name;

        // One child's failure does not stop the others.
        if (child.isDirectory())
        {
            if (depth >= maxDepth)
                failed ("Skipping folder nested deeper than " + juce::String (maxDepth) +
                        " levels: " + child.getFullPathName());
            else if (!putTree (child, remoteChild, depth + 1))
                failed ("can't get details of " + remoteChild + " on the device" + engine.exchangeReason(), false);
            continue;
        }

        using Entry = TransferEngine::RemoteEntry;
        const auto existing = !listed                         ? Entry::unknown
                              : remoteFiles.contains (name)   ? Entry::file
                              : remoteFolders.contains (name) ? Entry::folder
                                                              : Entry::none;

        const auto sent = engine.send (child, remoteChild, existing);
        if (sent.succeeded())
            ++tally.transferred;
        else
            failed (sent.reason, false);
        noteStep();
    }

    return true;
}

//==============================================================================
OperationResult FolderTransfer::get (const juce::String& remoteFolder, const juce::File& parent, juce::String name)
{
    tally = {};

    if (!parent.isDirectory())
        return OperationResult::failure (OperationResult::Outcome::failed,
                                         "can't write into " + parent.getFullPathName() + ": not a folder");

    juce::StringArray fileNames, folderNames;
    if (client.getFolderContents (remoteFolder, &fileNames, &folderNames) != 0)
        return OperationResult::failure (engine.isCancelled() ? OperationResult::Outcome::cancelled
                                                              : OperationResult::Outcome::failed,
                                         "can't list " + remoteFolder + " on the device" + engine.exchangeReason());

    if (name.isEmpty())
    {
        auto path = remoteFolder.trim();
        if (path.endsWith ("/"))
            path = path.upToLastOccurrenceOf ("/", false, false);
        name = path.fromLastOccurrenceOf ("/", false, false);
    }

    const auto folder = localChild (parent, name, remoteFolder);
    if (folder == juce::File())
        return OperationResult::failure (OperationResult::Outcome::failed, tally.firstProblem);

    tally.lastSeenSerial = client.getLastExchangeSerial();
    getTree (remoteFolder, fileNames, folderNames, folder, 1);
    return finish();
}

void FolderTransfer::getTree (const juce::String& remoteFolder, const juce::StringArray& fileNames,
                              const juce::StringArray& folderNames, const juce::File& folder, int depth)
{
    // Nothing is written outside the folder the user chose, not even through a link.
    if (folder.isSymbolicLink())
    {
        failed ("Skipping link " + folder.getFullPathName());
        return;
    }

    folder.createDirectory();
    if (!folder.isDirectory())
    {
        failed ("Couldn't create folder " + folder.getFullPathName());
        return;
    }

    const auto entriesHere = fileNames.size() + folderNames.size();

    for (int i = 0; i < fileNames.size(); ++i)
    {
        if (stops (entriesHere - i))
            return;

        const auto& file = fileNames[i];
        const auto remoteFile = remoteFolder + "/" + file;
        const auto local = localChild (folder, file, remoteFile);
        if (local == juce::File())
            continue;

        // The fetched tree is a copy: whatever has the name there is replaced, a link
        // included, and never written through.
        const auto fetched = engine.fetch (remoteFile, local, LocalFileTarget::Links::replace);
        if (fetched.succeeded())
            ++tally.transferred;
        else
            failed (fetched.reason, false);
        noteStep();
    }

    for (int i = 0; i < folderNames.size(); ++i)
    {
        if (stops (folderNames.size() - i))
            return;

        const auto& subFolder = folderNames[i];
        const auto remoteSub = remoteFolder + "/" + subFolder;
        const auto local = localChild (folder, subFolder, remoteSub);
        if (local == juce::File())
            continue;

        if (depth >= maxDepth)
        {
            failed ("Skipping folder nested deeper than " + juce::String (maxDepth) +
                    " levels: " + escapeControlCharacters (remoteSub));
            continue;
        }

        juce::StringArray subFiles, subFolders;
        const auto listed = client.getFolderContents (remoteSub, &subFiles, &subFolders) == 0;
        noteStep();
        if (!listed)
        {
            failed ("can't list " + escapeControlCharacters (remoteSub) + " on the device" + engine.exchangeReason(),
                    false);
            continue;
        }

        getTree (remoteSub, subFiles, subFolders, local, depth + 1);
    }
}

//==============================================================================
bool FolderTransfer::collectTree (const juce::String& folder, int depth, int& entries, juce::StringArray& doomed,
                                  juce::String& error)
{
    juce::StringArray files, folders;
    if (engine.isCancelled() || client.getFolderContents (folder, &files, &folders) != 0)
    {
        error = "can't list " + folder + engine.exchangeReason();
        return false;
    }

    auto take = [&] (const juce::String& name)
    {
        if (!RemotePath::isSafeName (name))
        {
            error = "the device lists an unsafe name " + escapeControlCharacters (name).quoted() + " in " + folder;
            return false;
        }
        if (++entries > maxEntries)
        {
            error = "more than " + juce::String (maxEntries) + " entries in " + folder;
            return false;
        }
        return true;
    };

    for (auto& name : folders)
    {
        if (!take (name))
            return false;
        const auto child = RemotePath::childOf (folder, name);
        if (depth >= maxDepth)
        {
            error = child + " is nested deeper than " + juce::String (maxDepth) + " levels";
            return false;
        }
        if (!collectTree (child, depth + 1, entries, doomed, error))
            return false;
    }

    for (auto& name : files)
    {
        if (!take (name))
            return false;
        doomed.add (RemotePath::childOf (folder, name));
    }

    doomed.add (folder);
    return true;
}

OperationResult FolderTransfer::remove (const juce::String& folder)
{
    auto outcome = [this] (const juce::String& why)
    {
        return OperationResult::failure (
            engine.isCancelled() ? OperationResult::Outcome::cancelled : OperationResult::Outcome::failed, why);
    };

    juce::StringArray doomed;
    int entries = 0;
    juce::String error;
    if (!collectTree (folder, 1, entries, doomed, error))
        return outcome (error + "; nothing was removed");

    for (auto& path : doomed)
        if (engine.isCancelled() || client.deleteEntry (path) != 0)
            return outcome ("can't remove " + path + engine.exchangeReason());

    return OperationResult::done();
}
