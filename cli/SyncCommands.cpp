#include "cli/SyncCommands.h"

#include "cli/Console.h"
#include "cli/DeviceSession.h"
#include "cli/InterruptWatcher.h"
#include "cli/JsonOutput.h"
#include "cli/TransferSupport.h"
#include "device/RemotePath.h"
#include "device/RemoteTree.h"
#include "device/TransferEngine.h"
#include "files/SyncManifest.h"
#include "log/GlobalLog.h"

#include <map>
#include <unistd.h>
#include <optional>
#include <memory>

namespace
{
using Item = FolderSync::Item;

int statusAfterFailure()
{
    return InterruptWatcher::isInterrupted() ? ExitStatus::interrupted : ExitStatus::failed;
}

juce::var orNull (const juce::String& text)
{
    return text.isEmpty() ? juce::var() : juce::var (text);
}

juce::String stateName (Item::State state)
{
    switch (state)
    {
    case Item::State::planned:
        return "planned";
    case Item::State::done:
        return "done";
    case Item::State::failed:
        return "failed";
    case Item::State::notDone:
        break;
    }
    return "not done";
}

juce::String differenceName (FolderSync::Difference difference)
{
    switch (difference)
    {
    case FolderSync::Difference::same:
        return "match";
    case FolderSync::Difference::onlyLocal:
        return "only local";
    case FolderSync::Difference::onlyRemote:
        return "only on the device";
    case FolderSync::Difference::differs:
        return "differs";
    case FolderSync::Difference::conflict:
        break;
    }
    return "conflict";
}

/** One line per name skipped, the first few: a device may list them in every folder. */
void tellUnsafe (const juce::StringArray& names)
{
    constexpr int shown = 20;
    for (int i = 0; i < juce::jmin (shown, names.size()); ++i)
        Console::error ("skipped unsafe name " + names[i].quoted());
    if (names.size() > shown)
        Console::error ("skipped " + juce::String (names.size() - shown) + " more unsafe names");
}

juce::String bytesText (juce::int64 bytes)
{
    return juce::String (bytes) + " byte" + (bytes == 1 ? "" : "s");
}

/** The manifest for this device and remote folder, or none (said why) when the device
    has no USB serial and no file was named. */
std::unique_ptr<SyncManifest> openManifest (const DeviceSession& session, const SyncCommands::Options& options,
                                            const juce::String& remoteFolder, const juce::File& localFolder)
{
    juce::File file;
    if (options.manifestPath.isNotEmpty())
        file = localFile (options.manifestPath);
    else if (session.getPort().usbSerial.isNotEmpty())
        file = SyncManifest::defaultFile (session.getPort().usbSerial, remoteFolder);
    else
    {
        Console::error ("note: " + escapeControlCharacters (session.getPort().label) +
                        " has no USB serial number, so no sync manifest: every file is compared by size and time "
                        "(name one with --manifest FILE)");
        return {};
    }

    auto manifest = std::make_unique<SyncManifest> (file, remoteFolder, localFolder.getFullPathName());
    if (const auto warning = manifest->load(); warning.isNotEmpty())
        Console::error ("warning: " + warning);
    return manifest;
}

FolderSync::Options syncOptions (const SyncCommands::Options& given, const RunContext& context,
                                 const CancelToken& cancel)
{
    FolderSync::Options options;
    options.direction = given.direction;
    options.localFolder = localFile (given.localPath);
    options.remoteFolder = RemotePath::normalise (given.remotePath);
    options.deleteExtra = given.deleteExtra;
    options.maxDelete = given.maxDelete;
    options.checksum = given.checksum;
    options.modifyWindowSeconds = given.modifyWindowSeconds;
    for (auto& [glob, include] : given.filters)
        options.filter.add (glob, include);
    options.maxEntries = context.maxEntries;
    options.transfer = transferOptions (context, cancel, false);
    return options;
}

juce::var summaryOf (const FolderSync::Summary& s)
{
    auto* object = new juce::DynamicObject();
    object->setProperty ("sent", s.sent);
    object->setProperty ("fetched", s.fetched);
    object->setProperty ("deleted", s.deleted);
    object->setProperty ("skipped", s.skipped);
    object->setProperty ("failed", s.failed);
    object->setProperty ("unsafe", s.unsafe);
    object->setProperty ("bytesSent", s.bytesSent);
    object->setProperty ("bytesFetched", s.bytesFetched);
    object->setProperty ("bytesDeleted", s.bytesDeleted);
    return juce::var (object);
}

juce::var namesOf (const juce::StringArray& names)
{
    juce::Array<juce::var> list;
    for (auto& name : names)
        list.add (name);
    return list;
}

/** How a plan's line reads: "send a/b.txt (new)", with the outcome once carried out. */
juce::String lineFor (const Item& item, bool carriedOut)
{
    auto verb = FolderSync::actionName (item.action);
    if (carriedOut && item.state == Item::State::done)
        verb = item.action == FolderSync::Action::send     ? "sent"
               : item.action == FolderSync::Action::fetch  ? "fetched"
               : item.action == FolderSync::Action::remove ? "deleted"
                                                           : verb;
    auto line = verb + " " + escapeControlCharacters (item.path) + " (" + escapeControlCharacters (item.reason) + ")";
    if (carriedOut && item.state == Item::State::failed)
        line = "FAILED " + line + ": " + escapeControlCharacters (item.error);
    else if (carriedOut && item.state == Item::State::notDone && item.action != FolderSync::Action::skip)
        line = "not done: " + line;
    return line;
}
} // namespace

//==============================================================================
namespace
{
/** What a sync or check cannot start with: a blank path (an unset shell variable would
    otherwise be the current folder or the home folder), and a push that may delete
    where the device's whole file system is. */
std::optional<CommandResult> refusedPaths (const SyncCommands::Options& given, bool mayDelete)
{
    if (RemotePath::isBlank (given.localPath))
        return CommandResult::failure (ExitStatus::usage, "empty LOCAL path; name a local folder");
    if (RemotePath::isBlank (given.remotePath))
        return CommandResult::failure (ExitStatus::usage, "empty REMOTE path; name a path on the device");
    if (const auto remote = RemotePath::normalise (given.remotePath); mayDelete && RemotePath::holdsFileSystem (remote))
        return CommandResult::failure (ExitStatus::usage, "refusing to delete in " + remote +
                                                              ": it holds the device's files; sync a folder below it");
    return std::nullopt;
}
} // namespace

CommandResult SyncCommands::sync (DeviceSession& session, const RunContext& context, const Options& given)
{
    if (const auto refused = refusedPaths (given, given.deleteExtra && given.direction == FolderSync::Direction::push))
        return *refused;
    const InterruptWatcher::ScopedToken cancel;
    auto options = syncOptions (given, context, cancel.get());
    const auto push = options.direction == FolderSync::Direction::push;

    auto manifest = given.dryRun && given.manifestPath.isEmpty() && session.getPort().usbSerial.isEmpty()
                        ? nullptr
                        : openManifest (session, given, options.remoteFolder, options.localFolder);
    options.manifest = manifest.get();

    // Each file's line as soon as it is done, so that a long sync shows where it is.
    if (!context.json)
        options.itemFinished = [&context] (const Item& item)
        {
            if (item.state == Item::State::failed)
                Console::error (lineFor (item, true));
            else if (item.state == Item::State::done && !context.quiet)
                Console::out (lineFor (item, true));
        };

    FolderSync sync (session.getClient(), options);
    auto plan = sync.plan();

    // The failure of a plan that cannot be made is the whole run's.
    if (plan.failed)
    {
        if (context.json)
        {
            auto* document = new juce::DynamicObject();
            document->setProperty ("command", "sync");
            document->setProperty ("ok", false);
            document->setProperty ("problem", plan.problem);
            JsonOutput::print (juce::var (document));
        }
        return CommandResult::failure (plan.cancelled ? ExitStatus::interrupted : statusAfterFailure(),
                                       "can't sync: " + plan.problem);
    }

    const auto summary = given.dryRun ? FolderSync::summarise (plan) : sync.execute (plan);

    tellUnsafe (plan.unsafeNames);

    juce::Array<juce::var> files;
    for (auto& item : plan.items)
    {
        if (context.json)
        {
            auto* entry = new juce::DynamicObject();
            entry->setProperty ("path", item.path);
            entry->setProperty ("action", FolderSync::actionName (item.action));
            entry->setProperty ("reason", item.reason);
            entry->setProperty ("bytes", item.bytes);
            entry->setProperty ("state", stateName (item.state));
            if (item.error.isNotEmpty())
                entry->setProperty ("error", item.error);
            files.add (juce::var (entry));
            continue;
        }
        // A dry run shows every file; a run has told what it did as it went, all but
        // the conflicts it found before it began.
        if (given.dryRun)
            Console::out (lineFor (item, false));
        else if (item.difference == FolderSync::Difference::conflict)
            Console::error (lineFor (item, true));
    }

    int planned = 0;
    for (auto& item : plan.items)
        planned += item.action == FolderSync::Action::remove ? 1 : 0;
    if (planned > 0 && plan.deletionsHeld.isNotEmpty())
        Console::error ("not deleting " + juce::String (planned) + " file" + (planned == 1 ? "" : "s") + ": " +
                        escapeControlCharacters (plan.deletionsHeld));
    if (!plan.remoteComplete)
        Console::error ("the device's tree is incomplete: " + escapeControlCharacters (plan.problem));

    const auto summaryLine = juce::String (given.dryRun ? "would have " : "") + "sent " + juce::String (summary.sent) +
                             ", fetched " + juce::String (summary.fetched) + ", deleted " +
                             juce::String (summary.deleted) + ", skipped " + juce::String (summary.skipped) +
                             ", failed " + juce::String (summary.failed) + ", unsafe " + juce::String (summary.unsafe) +
                             "; " + bytesText (push ? summary.bytesSent : summary.bytesFetched) +
                             (push ? " sent" : " fetched");

    if (summary.manifestError.isNotEmpty())
        Console::error (summary.manifestError + "; the next sync compares the files afresh");

    const auto failed = summary.manifestError.isNotEmpty() || summary.failed > 0 || summary.unsafe > 0 ||
                        !plan.remoteComplete || (planned > 0 && plan.deletionsHeld.isNotEmpty());

    if (context.json)
    {
        auto* document = new juce::DynamicObject();
        document->setProperty ("command", "sync");
        document->setProperty ("direction", push ? "push" : "pull");
        document->setProperty ("local", options.localFolder.getFullPathName());
        document->setProperty ("remote", options.remoteFolder);
        document->setProperty ("dryRun", given.dryRun);
        document->setProperty ("manifest",
                               manifest != nullptr ? juce::var (manifest->getFile().getFullPathName()) : juce::var());
        document->setProperty ("files", files);
        document->setProperty ("unsafeNames", namesOf (plan.unsafeNames));
        document->setProperty ("deletionsHeld", planned > 0 ? orNull (plan.deletionsHeld) : juce::var());
        document->setProperty ("problem", orNull (plan.problem));
        document->setProperty ("summary", summaryOf (summary));
        document->setProperty ("cancelled", summary.cancelled);
        document->setProperty ("ok", !failed && !summary.cancelled);
        JsonOutput::print (juce::var (document));
    }
    else
    {
        Console::out (summaryLine);
    }

    if (summary.cancelled || InterruptWatcher::isInterrupted())
        return CommandResult::failure (ExitStatus::interrupted, "cancelled; " + summaryLine);
    if (failed)
        return CommandResult::failure (ExitStatus::failed, summary.firstProblem.isNotEmpty()    ? summary.firstProblem
                                                           : summary.manifestError.isNotEmpty() ? summary.manifestError
                                                           : plan.deletionsHeld.isNotEmpty() && planned > 0
                                                               ? "deleted nothing: " + plan.deletionsHeld
                                                           : plan.problem.isNotEmpty() ? plan.problem
                                                                                       : juce::String (summary.unsafe) +
                                                                                             " unsafe names skipped");
    return CommandResult::ok (summaryLine);
}

//==============================================================================
CommandResult SyncCommands::check (DeviceSession& session, const RunContext& context, const Options& given)
{
    if (const auto refused = refusedPaths (given, false))
        return *refused;
    const InterruptWatcher::ScopedToken cancel;
    auto options = syncOptions (given, context, cancel.get());
    options.direction = FolderSync::Direction::push;
    options.deleteExtra = false;

    // Read only: what it says about unchanged files saves reading them.
    auto manifest = given.manifestPath.isEmpty() && session.getPort().usbSerial.isEmpty()
                        ? nullptr
                        : openManifest (session, given, options.remoteFolder, options.localFolder);
    options.manifest = manifest.get();

    FolderSync sync (session.getClient(), options);
    const auto plan = sync.plan();
    if (plan.failed)
        return CommandResult::failure (plan.cancelled ? ExitStatus::interrupted : statusAfterFailure(),
                                       "can't check: " + plan.problem);

    std::map<FolderSync::Difference, int> counts;
    juce::Array<juce::var> files;
    for (auto& item : plan.items)
    {
        ++counts[item.difference];
        if (context.json)
        {
            auto* entry = new juce::DynamicObject();
            entry->setProperty ("path", item.path);
            entry->setProperty ("result", differenceName (item.difference));
            if (item.difference != FolderSync::Difference::same)
                entry->setProperty ("reason", item.reason);
            files.add (juce::var (entry));
        }
        else if (item.difference != FolderSync::Difference::same)
        {
            Console::out (differenceName (item.difference) + " " + escapeControlCharacters (item.path) +
                          (item.difference == FolderSync::Difference::differs
                               ? " (" + escapeControlCharacters (item.reason) + ")"
                               : juce::String()));
        }
    }
    tellUnsafe (plan.unsafeNames);

    const auto matching = counts[FolderSync::Difference::same];
    const auto all = (int) plan.items.size();
    const auto line =
        juce::String (all) + " files: " + juce::String (matching) + " match, " +
        juce::String (counts[FolderSync::Difference::differs] + counts[FolderSync::Difference::conflict]) +
        " differ, " + juce::String (counts[FolderSync::Difference::onlyLocal]) + " only local, " +
        juce::String (counts[FolderSync::Difference::onlyRemote]) + " only on the device" +
        (plan.unsafeNames.isEmpty() ? juce::String() : ", " + juce::String (plan.unsafeNames.size()) + " unsafe names");
    const auto allMatch = matching == all && plan.unsafeNames.isEmpty() && plan.remoteComplete;

    if (context.json)
    {
        auto* document = new juce::DynamicObject();
        document->setProperty ("command", "check");
        document->setProperty ("local", options.localFolder.getFullPathName());
        document->setProperty ("remote", options.remoteFolder);
        document->setProperty ("files", files);
        document->setProperty ("unsafeNames", namesOf (plan.unsafeNames));
        document->setProperty ("complete", plan.remoteComplete);
        document->setProperty ("problem", orNull (plan.problem));
        document->setProperty ("match", allMatch);
        JsonOutput::print (juce::var (document));
    }
    else
    {
        Console::out (line);
    }

    if (InterruptWatcher::isInterrupted())
        return CommandResult::failure (ExitStatus::interrupted, "cancelled");
    if (!plan.remoteComplete)
        return CommandResult::failure (ExitStatus::failed, "the device's tree is incomplete: " + plan.problem);
    if (!allMatch)
        return CommandResult::failure (ExitStatus::failed, "the trees differ: " + line);
    return CommandResult::ok (line);
}

//==============================================================================
namespace
{
/** The walk of a remote tree for tree and du; the failure when it saw nothing. */
RemoteTree::Listing walkRemote (DeviceSession& session, const RunContext& context, const juce::String& folder,
                                bool details, const CancelToken& cancel)
{
    RemoteTree::Options options;
    options.maxEntries = context.maxEntries;
    options.cancel = cancel;
    options.details = details;
    return RemoteTree (session.getClient(), options).walk (folder);
}

CommandResult afterWalk (const RemoteTree::Listing& listing, const juce::String& what)
{
    tellUnsafe (listing.unsafeNames);
    if (listing.cancelled || InterruptWatcher::isInterrupted())
        return CommandResult::failure (ExitStatus::interrupted, "cancelled");
    if (!listing.complete)
        return CommandResult::failure (ExitStatus::failed, "incomplete: " + listing.problem);
    if (!listing.unsafeNames.isEmpty())
        return CommandResult::failure (ExitStatus::failed,
                                       juce::String (listing.unsafeNames.size()) + " unsafe names skipped");
    return CommandResult::ok (what);
}
} // namespace

CommandResult SyncCommands::tree (DeviceSession& session, const RunContext& context, const juce::String& remotePath)
{
    const InterruptWatcher::ScopedToken cancel;
    const auto folder = RemotePath::normalise (remotePath);
    const auto listing = walkRemote (session, context, folder, false, cancel.get());
    if (listing.topUnlisted)
        return CommandResult::failure (statusAfterFailure(), listing.problem);

    if (context.json)
    {
        // Nested as the tree is: each folder's entries inside it.
        std::map<juce::String, juce::Array<juce::var>> contents;
        for (auto it = listing.entries.rbegin(); it != listing.entries.rend(); ++it)
        {
            auto* entry = new juce::DynamicObject();
            entry->setProperty ("name", it->name());
            entry->setProperty ("type", it->isFolder ? "folder" : "file");
            if (it->isFolder)
            {
                juce::Array<juce::var> children (contents[it->path]);
                std::reverse (children.begin(), children.end());
                entry->setProperty ("entries", children);
                contents.erase (it->path);
            }
            const auto parent =
                it->path.containsChar ('/') ? it->path.upToLastOccurrenceOf ("/", false, false) : juce::String();
            contents[parent].add (juce::var (entry));
        }
        juce::Array<juce::var> top (contents[{}]);
        std::reverse (top.begin(), top.end());
        auto* document = new juce::DynamicObject();
        document->setProperty ("folder", folder);
        document->setProperty ("entries", top);
        document->setProperty ("unsafeNames", namesOf (listing.unsafeNames));
        document->setProperty ("complete", listing.complete);
        document->setProperty ("problem", orNull (listing.problem));
        JsonOutput::print (juce::var (document));
    }
    else
    {
        Console::out (escapeControlCharacters (folder) + "/");
        for (auto& entry : listing.entries)
        {
            const auto depth = entry.path.retainCharacters ("/").length() + 1;
            Console::out (juce::String::repeatedString ("  ", depth) + escapeControlCharacters (entry.name()) +
                          (entry.isFolder ? "/" : ""));
        }
    }
    return afterWalk (listing, juce::String ((int) listing.entries.size()) + " entries");
}

CommandResult SyncCommands::du (DeviceSession& session, const RunContext& context, const juce::String& remotePath)
{
    const InterruptWatcher::ScopedToken cancel;
    const auto folder = RemotePath::normalise (remotePath);
    const auto listing = walkRemote (session, context, folder, true, cancel.get());
    if (listing.topUnlisted)
        return CommandResult::failure (statusAfterFailure(), listing.problem);

    struct Totals
    {
        juce::int64 bytes = 0;
        int files = 0, unknown = 0;
    };
    std::map<juce::String, Totals> totals; // every folder, "" the top
    juce::StringArray folders{juce::String()};
    for (auto& entry : listing.entries)
    {
        if (entry.isFolder)
        {
            folders.add (entry.path);
            totals[entry.path];
            continue;
        }
        // The file counts in every folder above it.
        auto parent = entry.path;
        do
        {
            parent = parent.containsChar ('/') ? parent.upToLastOccurrenceOf ("/", false, false) : juce::String();
            auto& t = totals[parent];
            ++t.files;
            if (entry.size >= 0)
                t.bytes += entry.size;
            else
                ++t.unknown;
        } while (parent.isNotEmpty());
    }

    const auto& all = totals[{}];
    if (context.json)
    {
        juce::Array<juce::var> list;
        for (auto& path : folders)
        {
            const auto& t = totals[path];
            auto* entry = new juce::DynamicObject();
            entry->setProperty ("path", path);
            entry->setProperty ("bytes", t.bytes);
            entry->setProperty ("files", t.files);
            entry->setProperty ("unknownSizes", t.unknown);
            list.add (juce::var (entry));
        }
        auto* document = new juce::DynamicObject();
        document->setProperty ("folder", folder);
        document->setProperty ("bytes", all.bytes);
        document->setProperty ("files", all.files);
        document->setProperty ("unknownSizes", all.unknown);
        document->setProperty ("folders", list);
        document->setProperty ("unsafeNames", namesOf (listing.unsafeNames));
        document->setProperty ("complete", listing.complete);
        document->setProperty ("problem", orNull (listing.problem));
        JsonOutput::print (juce::var (document));
    }
    else
    {
        // Deepest first, as du writes them, the total last.
        for (int i = folders.size(); --i > 0;)
        {
            const auto& t = totals[folders[i]];
            Console::out (juce::String (t.bytes).paddedLeft (' ', 12) + "  " + escapeControlCharacters (folders[i]) +
                          "/" + (t.unknown > 0 ? " (" + juce::String (t.unknown) + " sizes unknown)" : ""));
        }
        Console::out (juce::String (all.bytes).paddedLeft (' ', 12) + "  total (" + juce::String (all.files) +
                      " files" + (all.unknown > 0 ? ", " + juce::String (all.unknown) + " sizes unknown" : "") + ")");
    }
    return afterWalk (listing, bytesText (all.bytes));
}

CommandResult SyncCommands::cat (DeviceSession& session, const RunContext& context, const juce::StringArray& paths)
{
    const InterruptWatcher::ScopedToken cancel;
    TransferEngine engine (session.getClient(), transferOptions (context, cancel.get(), false));

    // Into a pipe or a file as they are; to a terminal as lines with their control
    // characters escaped, so that a file of the device cannot drive the terminal.
    const bool toTerminal = ::isatty (Console::getResultDescriptor()) != 0;
    const juce::TemporaryFile temporary ("nubo-cat");
    if (toTerminal && !temporary.getFile().createDirectory())
        return CommandResult::failure (ExitStatus::failed, "can't create a temporary folder");
    const auto copy = temporary.getFile().getChildFile ("copy");
    auto fetch = [&] (const juce::String& path)
    {
        if (!toTerminal)
            return engine.fetchToDescriptor (path, Console::getResultDescriptor(), "standard output");
        auto fetched = engine.fetch (path, copy, LocalFileTarget::Links::replace);
        if (fetched.succeeded())
        {
            juce::FileInputStream in (copy);
            while (in.openedOk() && !in.isExhausted())
                Console::out (escapeControlCharacters (in.readNextLine()));
        }
        copy.deleteFile();
        return fetched;
    };

    int failed = 0;
    juce::String first;
    for (auto& given : paths)
    {
        const auto path = RemotePath::normalise (given);
        const auto fetched = fetch (path);
        if (fetched.outcome == OperationResult::Outcome::cancelled)
            return CommandResult::failure (ExitStatus::interrupted, fetched.reason);
        if (!fetched.succeeded())
        {
            ++failed;
            Console::error (escapeControlCharacters (fetched.reason));
            if (first.isEmpty())
                first = fetched.reason;
            if (session.getClient().isLinkLost())
                break;
        }
    }
    if (failed > 0)
        return CommandResult::failure (ExitStatus::failed, juce::String (failed) + " of " +
                                                               juce::String (paths.size()) +
                                                               " files failed, the first: " + first);
    temporary.getFile().deleteRecursively();
    return CommandResult::ok ("fetched");
}
