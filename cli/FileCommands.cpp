#include "cli/FileCommands.h"

#include "cli/CliLogger.h"
#include "cli/ClientProgress.h"
#include "cli/Console.h"
#include "cli/DeviceSession.h"
#include "cli/FileTransfer.h"
#include "cli/InterruptWatcher.h"
#include "cli/RemotePath.h"
#include "log/GlobalLog.h"
#include "protocol/LocalPaths.h"

namespace
{
// Deeper than any real tree; a device whose folder contains itself ends here.
constexpr int maxFolderDepth = 64;

int statusAfterFailure()
{
    return InterruptWatcher::isInterrupted() ? ExitStatus::interrupted : ExitStatus::failed;
}

bool isRemoteFolder (TidewireClient& client, const juce::String& path)
{
    return client.getFolderContents (path, nullptr, nullptr) == 0;
}

juce::String timeText (const juce::Time& time)
{
    return time.formatted ("%Y-%m-%d %H:%M:%S");
}

/** Deletes a folder's contents, deepest first, then the folder. */
bool removeTree (TidewireClient& client, const juce::String& folder, int depth, juce::String& error)
{
    if (depth > maxFolderDepth)
    {
        error = folder + " is nested too deep; stopped";
        return false;
    }

    juce::StringArray files, folders;
    if (client.getFolderContents (folder, &files, &folders) != 0)
    {
        error = "can't list " + folder + CliLogger::reason();
        return false;
    }

    for (auto& name : folders)
    {
        if (!RemotePath::isSafeName (name))
        {
            error = "the device lists an unsafe name " + escapeControlCharacters (name).quoted() + " in " + folder;
            return false;
        }
        if (!removeTree (client, RemotePath::childOf (folder, name), depth + 1, error))
            return false;
    }

    for (auto& name : files)
    {
        if (!RemotePath::isSafeName (name))
        {
            error = "the device lists an unsafe name " + escapeControlCharacters (name).quoted() + " in " + folder;
            return false;
        }
        if (InterruptWatcher::isInterrupted() || client.deleteEntry (RemotePath::childOf (folder, name)) != 0)
        {
            error = "can't remove " + RemotePath::childOf (folder, name) + CliLogger::reason();
            return false;
        }
    }

    if (InterruptWatcher::isInterrupted() || client.deleteEntry (folder) != 0)
    {
        error = "can't remove " + folder + CliLogger::reason();
        return false;
    }
    return true;
}
} // namespace

//==============================================================================
CommandResult FileCommands::list (DeviceSession& session, const RunContext& context, const juce::String& remoteFolder,
                                  bool details)
{
    auto& client = session.getClient();
    const auto folder = RemotePath::normalise (remoteFolder);

    CliLogger::beginOperation();
    juce::StringArray files, folders;
    if (client.getFolderContents (folder, &files, &folders) != 0)
        return CommandResult::failure (statusAfterFailure(), "can't list " + folder + CliLogger::reason());

    files.sortNatural();
    folders.sortNatural();

    juce::Array<juce::var> entries;
    auto show = [&] (const juce::String& name, bool isFolder)
    {
        auto* entry = new juce::DynamicObject();
        entry->setProperty ("name", name);
        entry->setProperty ("type", isFolder ? "folder" : "file");

        juce::String line = escapeControlCharacters (name) + (isFolder ? "/" : "");
        if (details)
        {
            FileSystemEntryInfo info;
            if (client.getEntryInfo (RemotePath::childOf (folder, name), isFolder, info) != 0)
                return false;
            entry->setProperty ("size", info.size);
            // Only for --json: the offset it names costs a look at the zone's file per entry.
            if (context.json)
                entry->setProperty ("modified", info.modified.toISO8601 (true));
            line = juce::String (info.size).paddedLeft (' ', 12) + "  " + timeText (info.modified) + "  " + line;
        }
        entries.add (juce::var (entry));
        if (!context.json)
            Console::out (line);
        return true;
    };

    for (auto& name : folders)
        if (!show (name, true))
            return CommandResult::failure (statusAfterFailure(),
                                           "can't read the details of " + name + CliLogger::reason());
    for (auto& name : files)
        if (!show (name, false))
            return CommandResult::failure (statusAfterFailure(),
                                           "can't read the details of " + name + CliLogger::reason());

    if (context.json)
    {
        auto* document = new juce::DynamicObject();
        document->setProperty ("folder", folder);
        document->setProperty ("entries", entries);
        const auto text = juce::JSON::toString (juce::var (document)) + "\n";
        Console::outRaw (text.toRawUTF8(), text.getNumBytesAsUTF8());
    }
    return CommandResult::ok (juce::String (entries.size()) + " entries");
}

//==============================================================================
CommandResult FileCommands::get (DeviceSession& session, const RunContext& context, const juce::String& remotePath,
                                 const juce::String& localPath, bool recursive, bool resume, bool verify)
{
    auto& client = session.getClient();
    const auto source = RemotePath::normalise (remotePath);
    const auto name = RemotePath::nameOf (source);
    auto target = FileTransfer::localFile (localPath);

    // The remote name becomes a local one only when the target is a folder.
    const auto unnamed = CommandResult::failure (ExitStatus::usage, "can't name a local copy of " + source.quoted() +
                                                                        "; give LOCAL a name");
    if (target.isDirectory() && !LocalPaths::isSafeName (name))
        return unnamed;

    if (recursive)
    {
        // An existing folder receives the remote folder under its own name; otherwise
        // the target names the copy.
        const auto parent = target.isDirectory() ? target : target.getParentDirectory();
        const auto copyName = target.isDirectory() ? name : target.getFileName();
        if (!parent.isDirectory())
            return CommandResult::failure (ExitStatus::failed, "no folder " + parent.getFullPathName());

        CliLogger::beginOperation();
        const ClientProgress progress (client, context);
        if (client.getFolder (source, parent.getFullPathName(), copyName) != 0)
            return CommandResult::failure (statusAfterFailure(),
                                           "fetching " + source + " failed" + CliLogger::reason());
        if (!context.quiet)
            Console::err ("fetched " + source + " to " + parent.getChildFile (copyName).getFullPathName());
        return CommandResult::ok ("fetched");
    }

    // "-" (or /dev/stdout) is standard output as it is, never a file renamed over it.
    if (localPath == "-" || localPath == "/dev/stdout")
    {
        FileTransfer transfer (client, context.progress);
        const auto outcome =
            transfer.fetchToDescriptor (source, Console::getResultDescriptor(), "standard output", verify);
        if (outcome != FileTransfer::Outcome::done)
            return CommandResult::failure (outcome == FileTransfer::Outcome::interrupted ? ExitStatus::interrupted
                                                                                         : ExitStatus::failed,
                                           transfer.getError());
        return CommandResult::ok ("fetched");
    }

    if (target.isDirectory())
        target = LocalPaths::childOf (target, name);
    if (!target.getParentDirectory().isDirectory())
        return CommandResult::failure (ExitStatus::failed,
                                       "no folder " + target.getParentDirectory().getFullPathName());

    FileTransfer transfer (client, context.progress);
    const auto outcome = transfer.fetch (source, target, resume, verify);
    if (outcome == FileTransfer::Outcome::interrupted)
        return CommandResult::failure (ExitStatus::interrupted, transfer.getError());
    if (outcome != FileTransfer::Outcome::done)
        return CommandResult::failure (ExitStatus::failed,
                                       transfer.getError() + (isRemoteFolder (client, source)
                                                                  ? juce::String ("; it is a folder (use -r)")
                                                                  : juce::String()));

    if (!context.quiet)
        Console::err ("fetched " + source + " to " + target.getFullPathName() + (verify ? " (verified)" : ""));
    return CommandResult::ok ("fetched");
}

//==============================================================================
CommandResult FileCommands::makeFolder (DeviceSession& session, const juce::String& remotePath)
{
    const auto path = RemotePath::normalise (remotePath);
    CliLogger::beginOperation();
    if (session.getClient().createFolder (path) != 0)
        return CommandResult::failure (statusAfterFailure(), "can't create " + path + CliLogger::reason());
    return CommandResult::ok ("created " + path);
}

CommandResult FileCommands::move (DeviceSession& session, const juce::String& oldPath, const juce::String& newPath)
{
    auto& client = session.getClient();
    const auto from = RemotePath::normalise (oldPath);
    auto to = RemotePath::normalise (newPath);

    const bool isFolder = isRemoteFolder (client, from);
    if (isRemoteFolder (client, to))
        to = RemotePath::childOf (to, RemotePath::nameOf (from));

    CliLogger::beginOperation();
    if (client.moveEntry (from, to, isFolder) != 0)
        return CommandResult::failure (statusAfterFailure(), "can't move " + from + " to " + to + CliLogger::reason());
    return CommandResult::ok ("moved " + from + " to " + to);
}

CommandResult FileCommands::remove (DeviceSession& session, const juce::String& remotePath, bool recursive)
{
    auto& client = session.getClient();
    const auto path = RemotePath::normalise (remotePath);
    if (path == "/")
        return CommandResult::failure (ExitStatus::usage, "refusing to remove /");

    if (recursive && isRemoteFolder (client, path))
    {
        CliLogger::beginOperation();
        juce::String error;
        if (!removeTree (client, path, 0, error))
            return CommandResult::failure (statusAfterFailure(), error);
        return CommandResult::ok ("removed " + path);
    }

    CliLogger::beginOperation();
    if (client.deleteEntry (path) != 0)
        return CommandResult::failure (statusAfterFailure(), "can't remove " + path + CliLogger::reason());
    return CommandResult::ok ("removed " + path);
}
