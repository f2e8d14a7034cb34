#include "cli/FileCommands.h"

#include "cli/Console.h"
#include "cli/DeviceSession.h"
#include "cli/InterruptWatcher.h"
#include "cli/JsonOutput.h"
#include "cli/TransferSupport.h"
#include "device/FolderTransfer.h"
#include "device/LocalPaths.h"
#include "device/RemotePath.h"
#include "log/GlobalLog.h"
#include "protocol/ReceivedMessage.h"

#include <algorithm>
#include <vector>

namespace
{
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

/** A path from the command line that names nothing: refused before the device is
    touched, as "" would otherwise mean the home folder. */
CommandResult blankPath (const juce::String& what)
{
    return CommandResult::failure (ExitStatus::usage, "empty " + what + " path; name a path on the device");
}

/** The path, with the spelling it was given in when that differs. */
juce::String asGiven (const juce::String& normalised, const juce::String& given)
{
    return given == normalised ? normalised
                               : normalised + " (given as " + escapeControlCharacters (given).quoted() + ")";
}

/** How ls -l shows a detail the device would not give. */
constexpr const char* unknownDetail = "?";
} // namespace

//==============================================================================
CommandResult FileCommands::list (DeviceSession& session, const RunContext& context, const juce::String& remoteFolder,
                                  bool details)
{
    if (RemotePath::isBlank (remoteFolder))
        return blankPath ("folder");

    auto& client = session.getClient();
    const auto folder = RemotePath::normalise (remoteFolder);

    juce::StringArray files, folders;
    juce::Array<juce::MemoryBlock> fileBytes, folderBytes;
    if (client.getFolderContents (folder, &files, &folders, &fileBytes, &folderBytes) != 0)
        return CommandResult::failure (statusAfterFailure(), "can't list " + folder + deviceReason (client));

    /** A name as shown, and its bytes as the device sent them. */
    struct Name
    {
        juce::String text;
        juce::MemoryBlock bytes;
    };
    auto sorted = [] (const juce::StringArray& texts, const juce::Array<juce::MemoryBlock>& bytes)
    {
        std::vector<Name> names;
        for (int i = 0; i < texts.size(); ++i)
            names.push_back ({texts[i], bytes[i]});
        std::stable_sort (names.begin(), names.end(),
                          [] (const Name& a, const Name& b) { return a.text.compareNatural (b.text) < 0; });
        return names;
    };

    // An entry the device will not describe is listed all the same, its details unknown;
    // only a device that stops answering (or a cancel) fails the listing, and then the
    // entries left are not asked about.
    juce::StringArray unanswered;
    juce::String firstSilence; // why the first of them went unanswered
    int silentInARow = 0;

    juce::Array<juce::var> entries;
    auto show = [&] (const Name& shown, bool isFolder)
    {
        const auto& name = shown.text;
        auto* entry = new juce::DynamicObject();

        // A name that is not UTF-8 reads differently on the device's side and in a
        // script's: the document carries its bytes, and a text any parser takes.
        const bool isUtf8 = ReceivedMessage::isValidUtf8 (static_cast<const juce::uint8*> (shown.bytes.getData()),
                                                          (int) shown.bytes.getSize());
        if (isUtf8)
        {
            entry->setProperty ("name", name);
        }
        else
        {
            entry->setProperty ("name",
                                JsonOutput::textWithReplacements (shown.bytes.getData(), shown.bytes.getSize()));
            entry->setProperty ("nameBytes", JsonOutput::hexOf (shown.bytes));
        }
        entry->setProperty ("type", isFolder ? "folder" : "file");

        juce::String line = escapeControlCharacters (name) + (isFolder ? "/" : "");
        if (details && !isUtf8)
        {
            // Requests carry names as UTF-8, so this one cannot be asked about: asking
            // would fail, or describe another entry whose name reads the same.
            entry->setProperty ("size", juce::var());
            if (context.json)
                entry->setProperty ("modified", juce::var());
            line =
                juce::String ("?").paddedLeft (' ', 12) + "  " + juce::String ("?").paddedRight (' ', 19) + "  " + line;
        }
        else if (details)
        {
            FileSystemEntryInfo info;
            bool described = false;
            // A name that is no single entry ("..", "a/b", "") would be answered for another one.
            if (RemotePath::namesOneEntry (name))
            {
                if (InterruptWatcher::isInterrupted() || client.isLinkLost() || silentInARow >= 2)
                {
                    unanswered.add (name);
                }
                else if (client.getEntryInfo (RemotePath::childOf (folder, name), isFolder, info) == 0)
                {
                    described = info.exists != 0;
                    silentInARow = 0;
                }
                else if (client.getLastExchangeOutcome() == TidewireClient::ExchangeOutcome::refused)
                {
                    silentInARow = 0;
                }
                else
                {
                    if (firstSilence.isEmpty())
                        firstSilence = deviceReason (client);
                    unanswered.add (name);
                    ++silentInARow;
                }
            }

            const auto sizeKnown = described && info.size >= 0;
            entry->setProperty ("size", sizeKnown ? juce::var (info.size) : juce::var());
            // Only for --json: the offset it names costs a look at the zone's file per entry.
            if (context.json)
                entry->setProperty ("modified", described ? juce::var (info.modified.toISO8601 (true)) : juce::var());
            line = (sizeKnown ? juce::String (info.size) : juce::String (unknownDetail)).paddedLeft (' ', 12) + "  " +
                   (described ? timeText (info.modified) : juce::String (unknownDetail).paddedRight (' ', 19)) + "  " +
                   line;
        }
        entries.add (juce::var (entry));
        if (!context.json)
            Console::out (line);
    };

    for (auto& name : sorted (folders, folderBytes))
        show (name, true);
    for (auto& name : sorted (files, fileBytes))
        show (name, false);

    if (context.json)
    {
        auto* document = new juce::DynamicObject();
        document->setProperty ("folder", folder);
        document->setProperty ("entries", entries);
        JsonOutput::print (juce::var (document));
    }

    if (!unanswered.isEmpty())
        return CommandResult::failure (statusAfterFailure(),
                                       "can't read the details of " + juce::String (unanswered.size()) + " of " +
                                           juce::String (entries.size()) + " entries in " + folder +
                                           (firstSilence.isNotEmpty() ? firstSilence : deviceReason (client)));
    return CommandResult::ok (juce::String (entries.size()) + " entries");
}

//==============================================================================
CommandResult FileCommands::get (DeviceSession& session, const RunContext& context, const juce::String& remotePath,
                                 const juce::String& localPath, bool recursive, bool resume, bool verify)
{
    if (RemotePath::isBlank (remotePath))
        return blankPath ("remote");

    auto& client = session.getClient();
    const auto source = RemotePath::normalise (remotePath);
    const auto name = RemotePath::nameOf (source);
    auto target = localFile (localPath);

    // "name/" is a folder to put the copy in, never the copy's own name.
    if (localPath.endsWithChar ('/') && !target.isDirectory())
        return CommandResult::failure (ExitStatus::failed, "no such folder " + target.getFullPathName());

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

        const InterruptWatcher::ScopedToken cancel;
        FolderTransfer tree (client, transferOptions (context, cancel.get(), verify), context.maxEntries);
        if (const auto fetched = tree.get (source, parent, copyName); !fetched.succeeded())
            return CommandResult::failure (
                fetched.outcome == OperationResult::Outcome::cancelled ? ExitStatus::interrupted : ExitStatus::failed,
                "fetching " + source + " failed (" + fetched.reason + ")");
        if (!context.quiet)
            Console::err ("fetched " + source + " to " + parent.getChildFile (copyName).getFullPathName());
        return CommandResult::ok ("fetched");
    }

    // "-" (or /dev/stdout) is standard output as it is, never a file renamed over it.
    if (localPath == "-" || localPath == "/dev/stdout")
    {
        const InterruptWatcher::ScopedToken cancel;
        TransferEngine transfer (client, transferOptions (context, cancel.get(), verify));
        const auto fetched = transfer.fetchToDescriptor (source, Console::getResultDescriptor(), "standard output");
        if (!fetched.succeeded())
            return CommandResult::failure (
                fetched.outcome == OperationResult::Outcome::cancelled ? ExitStatus::interrupted : ExitStatus::failed,
                fetched.reason);
        return CommandResult::ok ("fetched");
    }

    if (target.isDirectory())
        target = LocalPaths::childOf (target, name);
    if (!target.getParentDirectory().isDirectory())
        return CommandResult::failure (ExitStatus::failed,
                                       "no folder " + target.getParentDirectory().getFullPathName());

    const InterruptWatcher::ScopedToken cancel;
    // A fetch that fails keeps what it has for --continue.
    TransferEngine transfer (client, transferOptions (context, cancel.get(), verify, resume, true));
    const auto fetched = transfer.fetch (source, target);
    if (fetched.outcome == OperationResult::Outcome::cancelled)
        return CommandResult::failure (ExitStatus::interrupted, fetched.reason);
    if (!fetched.succeeded())
        return CommandResult::failure (ExitStatus::failed,
                                       fetched.reason + (isRemoteFolder (client, source)
                                                             ? juce::String ("; it is a folder (use -r)")
                                                             : juce::String()));

    if (!context.quiet)
        Console::err ("fetched " + source + " to " + target.getFullPathName() + (verify ? " (verified)" : ""));
    return CommandResult::ok ("fetched");
}

//==============================================================================
CommandResult FileCommands::makeFolder (DeviceSession& session, const juce::String& remotePath)
{
    if (RemotePath::isBlank (remotePath))
        return blankPath ("folder");

    const auto path = RemotePath::normalise (remotePath);
    if (session.getClient().createFolder (path) != 0)
        return CommandResult::failure (statusAfterFailure(),
                                       "can't create " + path + deviceReason (session.getClient()));
    return CommandResult::ok ("created " + path);
}

CommandResult FileCommands::move (DeviceSession& session, const juce::String& oldPath, const juce::String& newPath)
{
    if (RemotePath::isBlank (oldPath))
        return blankPath ("old");
    if (RemotePath::isBlank (newPath))
        return blankPath ("new");

    auto& client = session.getClient();
    const auto from = RemotePath::normalise (oldPath);
    auto to = RemotePath::normalise (newPath);

    // Moved away, the device's file system would be gone from where the device looks.
    if (RemotePath::holdsFileSystem (from))
        return CommandResult::failure (ExitStatus::usage,
                                       "refusing to move " + asGiven (from, oldPath) + ": it holds the device's files");

    const bool isFolder = isRemoteFolder (client, from);
    if (isRemoteFolder (client, to))
        to = RemotePath::childOf (to, RemotePath::nameOf (from));
    else if (RemotePath::namesFolder (newPath))
        return CommandResult::failure (statusAfterFailure(), "no such folder " + to + " on the device");

    if (client.moveEntry (from, to, isFolder) != 0)
        return CommandResult::failure (statusAfterFailure(),
                                       "can't move " + from + " to " + to + deviceReason (client));
    return CommandResult::ok ("moved " + from + " to " + to);
}

CommandResult FileCommands::remove (DeviceSession& session, const RunContext& context, const juce::String& remotePath,
                                    bool recursive)
{
    if (RemotePath::isBlank (remotePath))
        return blankPath ("remote");

    auto& client = session.getClient();
    const auto path = RemotePath::normalise (remotePath);

    // In any spelling ("/.", "/mnt/..", "/mnt/nandfs/"), with or without -r.
    if (RemotePath::holdsFileSystem (path))
        return CommandResult::failure (ExitStatus::usage, "refusing to remove " + asGiven (path, remotePath) +
                                                              ": it holds the device's files");

    if (recursive && isRemoteFolder (client, path))
    {
        const InterruptWatcher::ScopedToken cancel;
        FolderTransfer tree (client, transferOptions (context, cancel.get(), false), context.maxEntries);
        if (const auto removed = tree.remove (path); !removed.succeeded())
            return CommandResult::failure (
                removed.outcome == OperationResult::Outcome::cancelled ? ExitStatus::interrupted : ExitStatus::failed,
                removed.reason);
        return CommandResult::ok ("removed " + path);
    }

    if (client.deleteEntry (path) != 0)
        return CommandResult::failure (statusAfterFailure(), "can't remove " + path + deviceReason (client));
    return CommandResult::ok ("removed " + path);
}
