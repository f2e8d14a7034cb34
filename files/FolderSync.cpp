#include "files/FolderSync.h"

#include "device/LocalPaths.h"
#include "device/RemotePath.h"
#include "log/GlobalLog.h"
#include "protocol/FileSystemEntryInfo.h"
#include "protocol/TidewireClient.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// The device gives times to the minute: a time it gives may be up to this much earlier.
constexpr juce::int64 deviceResolutionMs = 60 * 1000;

constexpr int unansweredToStop = 2;

// The manifest is written now and then during a long sync, so that a crash loses little.
constexpr juce::uint32 saveEveryMs = 5000;

TransferEngine::Options forEachFile (TransferEngine::Options options)
{
    // Every file is sent or fetched whole; a failed one is tried again next time.
    options.resume = false;
    options.keepPartial = false;
    options.verify = false;
    return options;
}

juce::int64 millisecondsOf (const struct timespec& t)
{
    return (juce::int64) t.tv_sec * 1000 + (juce::int64) (t.tv_nsec / 1000000);
}

bool statOf (const juce::File& file, struct stat& st, bool followLinks)
{
    const auto* path = file.getFullPathName().toRawUTF8();
    return (followLinks ? ::stat (path, &st) : ::lstat (path, &st)) == 0;
}

/** What a transfer leaves beside a file while it runs, or after it failed: the device's
    part file of a send, the computer's partial file of a fetch. Never part of a tree. */
bool isTransferLeftover (const juce::String& name, bool onDevice)
{
    if (onDevice)
        return name.startsWithChar ('.') && name.endsWith (".nubo-part");
    return name.endsWith (".nubo-partial") || name.endsWith (".nubo-partial.info") ||
           (name.startsWith (".nubo-") && name.endsWith (".part"));
}

juce::String localDigest (const juce::File& file)
{
    juce::FileInputStream in (file);
    if (!in.openedOk())
        return {};
    return juce::SHA256 (in).toHexString();
}
} // namespace

//==============================================================================
void FolderSync::Filter::add (const juce::String& glob, bool include)
{
    if (glob.isNotEmpty())
        rules.push_back ({glob, include});
}

void FolderSync::Filter::addIgnoreFile (const juce::File& file)
{
    if (!file.existsAsFile())
        return;
    juce::StringArray lines;
    lines.addLines (file.loadFileAsString());
    for (auto line : lines)
    {
        line = line.trimEnd();
        if (line.isEmpty() || line.startsWithChar ('#'))
            continue;
        if (line.startsWithChar ('!'))
            add (line.substring (1), true);
        else
            add (line, false);
    }
}

bool FolderSync::Filter::excludes (const juce::String& relativePath) const
{
    // Each folder on the way down is judged first: an excluded folder takes its contents.
    const auto parts = juce::StringArray::fromTokens (relativePath, "/", {});
    juce::String sofar;
    for (int level = 0; level < parts.size(); ++level)
    {
        sofar = level == 0 ? parts[0] : sofar + "/" + parts[level];
        const auto name = parts[level].toStdString();
        const auto path = sofar.toStdString();
        for (auto& rule : rules)
        {
            const auto glob = rule.glob.trimCharactersAtStart ("/").toStdString();
            const auto matches = rule.glob.containsChar ('/')
                                     ? ::fnmatch (glob.c_str(), path.c_str(), FNM_PATHNAME) == 0
                                     : ::fnmatch (glob.c_str(), name.c_str(), 0) == 0;
            if (!matches)
                continue;
            if (!rule.include)
                return true;
            break;
        }
    }
    return false;
}

//==============================================================================
FolderSync::FolderSync (TidewireClient& deviceClient, Options syncOptions)
    : client (deviceClient), options (std::move (syncOptions)), engine (deviceClient, forEachFile (options.transfer))
{
}

juce::String FolderSync::actionName (Action action)
{
    switch (action)
    {
    case Action::send:
        return "send";
    case Action::fetch:
        return "fetch";
    case Action::remove:
        return "delete";
    case Action::skip:
        break;
    }
    return "skip";
}

juce::File FolderSync::localFileFor (const juce::String& path) const
{
    auto file = options.localFolder;
    for (auto& part : juce::StringArray::fromTokens (path, "/", {}))
        file = LocalPaths::childOf (file, part);
    return file;
}

juce::String FolderSync::remotePathFor (const juce::String& path) const
{
    return options.remoteFolder + "/" + path;
}

//==============================================================================
FolderSync::LocalListing FolderSync::walkLocal()
{
    LocalListing listing;
    walkLocalFolder (options.localFolder, {}, 1, listing);
    return listing;
}

void FolderSync::walkLocalFolder (const juce::File& folder, const juce::String& relative, int depth,
                                  LocalListing& listing)
{
    // A folder that can't be read must not pass for an empty one: its files would look
    // deleted, and a --delete would take them from the other side.
    if (depth > 1 || folder.isDirectory())
    {
        auto* handle = ::opendir (folder.getFullPathName().toRawUTF8());
        if (handle == nullptr)
        {
            listing.problem =
                "can't read the folder " + folder.getFullPathName() + " (" + juce::String (std::strerror (errno)) + ")";
            return;
        }
        ::closedir (handle);
    }

    auto children = folder.findChildFiles (juce::File::findFilesAndDirectories, false, "*");
    children.sort();

    for (auto& child : children)
    {
        if (listing.problem.isNotEmpty())
            return;
        if ((int) listing.entries.size() >= options.maxEntries)
        {
            listing.problem = "more than " + juce::String (options.maxEntries) + " local entries";
            return;
        }

        const auto name = child.getFileName();
        const auto path = relative.isEmpty() ? name : relative + "/" + name;
        if (!RemotePath::isSafeName (name))
        {
            listing.unsafeNames.add (escapeControlCharacters (path));
            continue;
        }
        if ((relative.isEmpty() && name == ignoreFileName) || isTransferLeftover (name, false))
            continue;
        if (options.filter.excludes (path))
            continue;

        struct stat own, target;
        if (!statOf (child, own, false))
            continue; // gone since the listing
        LocalEntry entry;
        entry.path = path;
        entry.isLink = S_ISLNK (own.st_mode);
        const auto reachable = statOf (child, target, true);
        const auto& st = entry.isLink ? target : own;

        if (S_ISDIR (st.st_mode) && reachable)
        {
            // A link to a folder is never followed: it may lead back up the tree.
            if (entry.isLink)
                continue;
            entry.isFolder = true;
            listing.entries.push_back (entry);
            if (depth >= FolderTransfer::maxDepth)
            {
                listing.problem = escapeControlCharacters (path) + " is nested deeper than " +
                                  juce::String (FolderTransfer::maxDepth) + " levels";
                return;
            }
            walkLocalFolder (child, path, depth + 1, listing);
            continue;
        }

        // Pipes, devices and sockets have no contents to sync; a dangling link neither.
        if (!reachable || !S_ISREG (st.st_mode))
            continue;
        entry.size = (juce::int64) st.st_size;
        entry.modified = millisecondsOf (st.st_mtim);
        listing.entries.push_back (entry);
    }
}

//==============================================================================
juce::String FolderSync::compare (Item& item, const SyncManifest::Record* record)
{
    const auto push = options.direction == Direction::push;

    if (!item.remoteKnown)
        return "the device gave no details";

    if (options.checksum)
    {
        if (item.localSize != item.remoteSize)
            return "size differs";
        const auto file = localFileFor (item.path);
        const auto here = localDigest (file);
        juce::MemoryBlock digest;
        const auto read = engine.remoteDigest (remotePathFor (item.path), digest);
        if (!read.succeeded())
            return "can't read the device's copy: " + read.reason;
        if (here.isEmpty())
            return "can't read the local copy";
        if (juce::String::toHexString (digest.getData(), (int) digest.getSize(), 0) != here)
            return "contents differ";
        item.sha256 = here;
        return {};
    }

    if (record != nullptr)
    {
        const auto localSame = record->localSize == item.localSize && record->localModified == item.localModified;
        const auto remoteSame = record->remoteSize == item.remoteSize && record->remoteModified == item.remoteModified;
        if (localSame && remoteSame)
            return {};
        if (push)
            return localSame ? "changed on the device" : "changed";
        return remoteSame ? "changed locally" : "changed";
    }

    if (item.localSize != item.remoteSize)
        return "size differs";

    // The device's time is its clock's, read to the minute: compared as it is (a file
    // fetched earlier took it), and with the clock's offset taken off when one is known.
    const auto window = (juce::int64) options.modifyWindowSeconds * 1000 + deviceResolutionMs;
    auto apart = std::abs (item.localModified - item.remoteModified);
    if (options.manifest != nullptr && options.manifest->clockOffsetSeconds)
        apart = juce::jmin (apart, std::abs (item.localModified -
                                             (item.remoteModified - *options.manifest->clockOffsetSeconds * 1000)));
    return apart <= window ? juce::String() : "time differs";
}

FolderSync::Plan FolderSync::plan()
{
    Plan plan;
    const auto push = options.direction == Direction::push;
    unansweredInARow = 0;

    // A pull may make the local folder, in a folder that is there.
    if (!options.localFolder.isDirectory() &&
        (push || options.localFolder.existsAsFile() || options.localFolder.isSymbolicLink() ||
         !options.localFolder.getParentDirectory().isDirectory()))
    {
        plan.failed = true;
        plan.problem = "no local folder " + options.localFolder.getFullPathName();
        return plan;
    }

    RemoteTree::Options walkOptions;
    walkOptions.maxEntries = options.maxEntries;
    walkOptions.cancel = options.transfer.cancel;
    RemoteTree tree (client, walkOptions);
    auto remote = tree.walk (options.remoteFolder);

    if (remote.cancelled || engine.isCancelled())
    {
        plan.cancelled = plan.failed = true;
        plan.problem = "cancelled";
        return plan;
    }

    // A device gone or silent would fail every file of the plan, each after a time-out.
    if (remote.deviceLost)
    {
        plan.failed = true;
        plan.problem = remote.problem;
        return plan;
    }

    if (remote.topUnlisted)
    {
        // A push may make the folder; anything else must see it.
        FileSystemEntryInfo info;
        const auto asked = client.getEntryInfo (options.remoteFolder, true, info) == 0;
        if (push && asked && info.exists == 0)
        {
            plan.remoteMissing = true;
            remote = {};
        }
        else
        {
            plan.failed = true;
            plan.problem = remote.problem;
            return plan;
        }
    }

    plan.remoteComplete = remote.complete;
    if (!remote.complete)
        plan.problem = remote.problem;
    plan.unsafeNames = remote.unsafeNames;

    // Only the local folder's own ignore file: the device's is never taken.
    options.filter.addIgnoreFile (options.localFolder.getChildFile (ignoreFileName));

    auto local = walkLocal();
    plan.unsafeNames.addArray (local.unsafeNames);
    if (local.problem.isNotEmpty())
    {
        plan.failed = true;
        plan.problem = local.problem;
        return plan;
    }

    std::map<juce::String, const RemoteTree::Entry*> remoteByPath;
    for (auto& entry : remote.entries)
        if (entry.path != ignoreFileName && !isTransferLeftover (entry.name(), true) &&
            !options.filter.excludes (entry.path))
            remoteByPath[entry.path] = &entry;
    std::map<juce::String, const LocalEntry*> localByPath;
    for (auto& entry : local.entries)
        localByPath[entry.path] = &entry;

    // Every path of either side, in order: a folder before what it holds.
    std::map<juce::String, int> order;
    juce::StringArray paths;
    auto note = [&] (const juce::String& path)
    {
        if (order.emplace (path, paths.size()).second)
            paths.add (path);
    };
    for (auto& entry : local.entries)
        note (entry.path);
    for (auto& entry : remote.entries)
        if (remoteByPath.count (entry.path) != 0)
            note (entry.path);
    paths.sort (false);

    for (auto& path : paths)
    {
        const auto* here = localByPath.count (path) != 0 ? localByPath[path] : nullptr;
        const auto* there = remoteByPath.count (path) != 0 ? remoteByPath[path] : nullptr;

        if ((here != nullptr && here->isFolder) || (there != nullptr && there->isFolder))
        {
            const auto bothFolders = here != nullptr && there != nullptr && here->isFolder && there->isFolder;
            if (here != nullptr && there != nullptr && !bothFolders)
            {
                Item item;
                item.path = path;
                item.difference = Difference::conflict;
                item.reason =
                    here->isFolder ? "a folder here, a file on the device" : "a file here, a folder on the device";
                item.state = Item::State::failed;
                item.error = "not replaced: " + item.reason;
                plan.items.push_back (item);
            }
            else if (!bothFolders && (push ? there == nullptr : here == nullptr))
            {
                plan.foldersToCreate.add (path);
            }
            continue;
        }

        Item item;
        item.path = path;
        if (here != nullptr)
        {
            item.localSize = here->size;
            item.localModified = here->modified;
        }
        if (there != nullptr)
        {
            item.remoteKnown = there->known;
            item.remoteSize = there->size;
            item.remoteModified = there->modified.toMilliseconds();
        }

        const auto* record = options.manifest != nullptr ? options.manifest->find (path) : nullptr;
        if (here != nullptr && there != nullptr)
        {
            const auto serial = client.getLastExchangeSerial();
            const auto why = compare (item, record);
            if (engine.isCancelled())
            {
                plan.cancelled = plan.failed = true;
                plan.problem = "cancelled";
                return plan;
            }
            // A checksum reads the device's file: a device that stopped answering would
            // make every other file wait its time-out too.
            if (client.getLastExchangeSerial() != serial)
                noteAnswer();
            if (client.isLinkLost() || unansweredInARow >= unansweredToStop)
            {
                plan.failed = true;
                plan.problem =
                    client.isLinkLost() ? "the connection to the device is lost" : "the device has stopped answering";
                return plan;
            }
            item.difference = why.isEmpty() ? Difference::same : Difference::differs;
            item.reason = why.isEmpty() ? juce::String ("unchanged") : why;
            item.action = why.isEmpty() ? Action::skip : (push ? Action::send : Action::fetch);
            item.bytes = push ? item.localSize : juce::jmax ((juce::int64) 0, item.remoteSize);
        }
        else if (here != nullptr)
        {
            item.difference = Difference::onlyLocal;
            item.bytes = item.localSize;
            if (push)
            {
                item.action = Action::send;
                item.reason = "new";
            }
            else
            {
                item.action = options.deleteExtra ? Action::remove : Action::skip;
                item.reason = "not on the device";
                // Only a file of its own, not a link's target, is deleted.
                if (item.action == Action::remove && here->isLink)
                {
                    item.action = Action::skip;
                    item.reason = "a link, never deleted";
                }
            }
        }
        else
        {
            item.difference = Difference::onlyRemote;
            item.bytes = juce::jmax ((juce::int64) 0, item.remoteSize);
            if (push)
            {
                item.action = options.deleteExtra ? Action::remove : Action::skip;
                item.reason = "not in the local folder";
            }
            else
            {
                item.action = Action::fetch;
                item.reason = "new";
            }
        }
        plan.items.push_back (item);
    }

    // Deletions are all or nothing.
    int deletions = 0;
    for (auto& item : plan.items)
        deletions += item.action == Action::remove ? 1 : 0;
    if (deletions > 0)
    {
        if (!plan.remoteComplete)
            plan.deletionsHeld = "the device's tree could not be read whole (" + plan.problem + ")";
        else if (!plan.unsafeNames.isEmpty() && !push)
            plan.deletionsHeld = "the device lists names that can't be synced";
        else if (options.maxDelete >= 0 && deletions > options.maxDelete)
            plan.deletionsHeld = juce::String (deletions) + " planned, more than the " +
                                 juce::String (options.maxDelete) + " allowed (--max-delete)";
    }
    return plan;
}

//==============================================================================
void FolderSync::noteAnswer()
{
    unansweredInARow =
        client.getLastExchangeOutcome() == TidewireClient::ExchangeOutcome::unanswered ? unansweredInARow + 1 : 0;
}

bool FolderSync::deviceStopped (juce::String& why)
{
    if (engine.isCancelled())
        return true;
    if (client.isLinkLost())
        why = "the connection to the device is lost";
    else if (unansweredInARow >= unansweredToStop)
        why = "the device has stopped answering";
    return why.isNotEmpty();
}

juce::File FolderSync::makeLocalParent (const juce::String& path, juce::String& error)
{
    auto folder = options.localFolder;
    auto parts = juce::StringArray::fromTokens (path, "/", {});
    parts.remove (parts.size() - 1);
    for (auto& part : parts)
    {
        folder = LocalPaths::childOf (folder, part);
        struct stat st;
        if (folder == juce::File())
        {
            error = "unsafe name";
            return {};
        }
        // Nothing is written outside the local folder, not even through a link.
        if (statOf (folder, st, false))
        {
            if (!S_ISDIR (st.st_mode))
            {
                error = folder.getFullPathName() + " is not a folder";
                return {};
            }
            continue;
        }
        if (::mkdir (folder.getFullPathName().toRawUTF8(), 0777) != 0 && errno != EEXIST)
        {
            error = "can't create " + folder.getFullPathName() + " (" + juce::String (std::strerror (errno)) + ")";
            return {};
        }
    }
    return folder;
}

void FolderSync::record (const Item& item)
{
    if (options.manifest == nullptr)
        return;
    SyncManifest::Record r;
    r.localSize = item.localSize;
    r.localModified = item.localModified;
    r.remoteSize = item.remoteSize;
    r.remoteModified = item.remoteModified;
    r.sha256 = item.sha256;
    if (const auto* old = options.manifest->find (item.path);
        r.sha256.isEmpty() && old != nullptr && old->localSize == r.localSize &&
        old->localModified == r.localModified && old->remoteSize == r.remoteSize &&
        old->remoteModified == r.remoteModified)
        r.sha256 = old->sha256;
    options.manifest->set (item.path, r);
}

void FolderSync::saveManifest (bool force)
{
    if (options.manifest == nullptr)
        return;
    const auto now = juce::Time::getMillisecondCounter();
    if (!force && now - lastSave < saveEveryMs)
        return;
    lastSave = now;
    juce::String error;
    if (!options.manifest->save (error))
    {
        globalLog (error);
        manifestError = error;
    }
    else
    {
        manifestError = {};
    }
}

FolderSync::Summary FolderSync::execute (Plan& plan)
{
    const auto push = options.direction == Direction::push;
    lastSave = juce::Time::getMillisecondCounter();
    unansweredInARow = 0;
    juce::String stopReason;
    auto lastSerial = client.getLastExchangeSerial();
    auto noteStep = [&]
    {
        const auto serial = client.getLastExchangeSerial();
        if (serial == lastSerial)
            return;
        lastSerial = serial;
        noteAnswer();
    };

    // The folders the files go into; a folder that can't be made fails what it holds.
    juce::StringArray unmade;
    const auto topMade = !push || !plan.remoteMissing || client.createFolder (options.remoteFolder) == 0;
    if (push && plan.remoteMissing)
        noteStep();
    if (!topMade)
    {
        for (auto& item : plan.items)
            if (item.action == Action::send)
            {
                item.state = Item::State::failed;
                item.error = "can't create " + escapeControlCharacters (options.remoteFolder) + " on the device" +
                             engine.exchangeReason();
            }
    }
    if (!push && !options.localFolder.isDirectory() &&
        ::mkdir (options.localFolder.getFullPathName().toRawUTF8(), 0777) != 0 && errno != EEXIST)
    {
        const auto why =
            "can't create " + options.localFolder.getFullPathName() + " (" + juce::String (std::strerror (errno)) + ")";
        for (auto& item : plan.items)
            if (item.action == Action::fetch)
            {
                item.state = Item::State::failed;
                item.error = why;
            }
    }
    if (push && topMade)
    {
        for (auto& folder : plan.foldersToCreate)
        {
            if (deviceStopped (stopReason))
                break;
            if (client.createFolder (remotePathFor (folder)) != 0)
                unmade.add (folder);
            noteStep();
        }
    }

    auto insideUnmade = [&unmade] (const juce::String& path)
    {
        for (auto& folder : unmade)
            if (path.startsWith (folder + "/"))
                return true;
        return false;
    };

    for (auto& item : plan.items)
    {
        if (item.state != Item::State::planned)
            continue;

        if (item.action == Action::skip)
        {
            // A file found unchanged without a record gets one, so the next run is cheap.
            if (item.difference == Difference::same)
            {
                item.state = Item::State::done;
                record (item);
            }
            continue;
        }
        if (item.action == Action::remove)
            continue; // last, once every transfer went well

        // However this item ends, it is told.
        struct Tell
        {
            const std::function<void (const Item&)>& finished;
            const Item& item;
            ~Tell()
            {
                if (finished && item.state != Item::State::planned)
                    finished (item);
            }
        } tell{options.itemFinished, item};

        if (deviceStopped (stopReason))
        {
            item.state = Item::State::notDone;
            continue;
        }

        if (insideUnmade (item.path))
        {
            item.state = Item::State::failed;
            item.error = "can't create its folder on the device";
            continue;
        }

        const auto remotePath = remotePathFor (item.path);
        if (push)
        {
            const auto file = localFileFor (item.path);
            const auto sent = engine.send (file, remotePath,
                                           item.remoteKnown || item.difference == Difference::differs
                                               ? TransferEngine::RemoteEntry::file
                                               : TransferEngine::RemoteEntry::none);
            noteStep();
            if (!sent.succeeded())
            {
                item.state =
                    sent.outcome == OperationResult::Outcome::cancelled ? Item::State::notDone : Item::State::failed;
                item.error = sent.reason;
                continue;
            }
            item.state = Item::State::done;

            // What the device now says of it, for the next run to compare with; and how
            // far its clock is from this one's.
            FileSystemEntryInfo info;
            const auto asked = client.getEntryInfo (remotePath, false, info) == 0;
            noteStep();
            struct stat st;
            if (asked && info.exists != 0 && statOf (file, st, true) && (juce::int64) st.st_size == item.localSize &&
                millisecondsOf (st.st_mtim) == item.localModified)
            {
                item.remoteKnown = true;
                item.remoteSize = info.size;
                item.remoteModified = info.modified.toMilliseconds();
                record (item);
                if (options.manifest != nullptr)
                    options.manifest->clockOffsetSeconds =
                        (item.remoteModified + deviceResolutionMs / 2 - juce::Time::currentTimeMillis()) / 1000;
            }
            else if (options.manifest != nullptr)
            {
                options.manifest->remove (item.path); // compared afresh next time
            }
        }
        else
        {
            juce::String error;
            const auto parent = makeLocalParent (item.path, error);
            const auto file = parent == juce::File() ? juce::File() : localFileFor (item.path);
            if (file == juce::File())
            {
                item.state = Item::State::failed;
                item.error = "can't write " + escapeControlCharacters (item.path) + ": " + error;
                continue;
            }
            const auto fetched = engine.fetch (remotePath, file, LocalFileTarget::Links::replace);
            noteStep();
            if (!fetched.succeeded())
            {
                item.state =
                    fetched.outcome == OperationResult::Outcome::cancelled ? Item::State::notDone : Item::State::failed;
                item.error = fetched.reason;
                continue;
            }
            item.state = Item::State::done;

            // The copy takes the device's time, so that it compares equal later even
            // without a record.
            if (item.remoteKnown)
            {
                struct timespec times[2];
                times[0].tv_sec = 0;
                times[0].tv_nsec = UTIME_OMIT;
                times[1].tv_sec = (time_t) (item.remoteModified / 1000);
                times[1].tv_nsec = (long) (item.remoteModified % 1000) * 1000000;
                ::utimensat (AT_FDCWD, file.getFullPathName().toRawUTF8(), times, AT_SYMLINK_NOFOLLOW);
            }
            struct stat st;
            if (item.remoteKnown && statOf (file, st, false) && S_ISREG (st.st_mode))
            {
                item.localSize = (juce::int64) st.st_size;
                item.localModified = millisecondsOf (st.st_mtim);
                record (item);
            }
        }
        saveManifest (false);
    }

    // Deletions: none at all when anything before them did not go as planned.
    Summary sofar = summarise (plan);
    juce::String held = plan.deletionsHeld;
    if (held.isEmpty() && sofar.failed > 0)
        held = juce::String (sofar.failed) + " transfer" + (sofar.failed == 1 ? "" : "s") + " failed";
    if (held.isEmpty() && (engine.isCancelled() || stopReason.isNotEmpty()))
        held = engine.isCancelled() ? juce::String ("cancelled") : stopReason;
    plan.deletionsHeld = held;

    for (auto& item : plan.items)
    {
        if (item.action != Action::remove || item.state != Item::State::planned)
            continue;
        if (held.isNotEmpty() || deviceStopped (stopReason))
        {
            item.state = Item::State::notDone;
            continue;
        }

        bool gone = false;
        if (push)
        {
            gone = client.deleteEntry (remotePathFor (item.path)) == 0;
            noteStep();
            if (!gone)
                item.error = "can't delete it on the device" + engine.exchangeReason();
        }
        else
        {
            // Only a regular file of the tree's own, never a link's target.
            const auto file = localFileFor (item.path);
            struct stat st;
            if (file != juce::File() && statOf (file, st, false) && S_ISREG (st.st_mode))
            {
                gone = ::unlink (file.getFullPathName().toRawUTF8()) == 0;
                if (!gone)
                    item.error =
                        "can't delete " + file.getFullPathName() + " (" + juce::String (std::strerror (errno)) + ")";
            }
            else
            {
                item.error = "not a regular file any more";
            }
        }
        item.state = gone ? Item::State::done : Item::State::failed;
        if (options.itemFinished)
            options.itemFinished (item);
        if (gone && options.manifest != nullptr)
            options.manifest->remove (item.path);
    }

    // Records of files that are on neither side any more go, once both were seen whole.
    if (options.manifest != nullptr && plan.remoteComplete && !engine.isCancelled())
        for (auto& item : plan.items)
            if (item.action == Action::remove && item.state == Item::State::done)
                options.manifest->remove (item.path);

    saveManifest (true);

    auto summary = summarise (plan);
    summary.cancelled = engine.isCancelled();
    summary.manifestError = manifestError;
    if (summary.firstProblem.isEmpty() && stopReason.isNotEmpty())
        summary.firstProblem = stopReason;
    return summary;
}

FolderSync::Summary FolderSync::summarise (const Plan& plan)
{
    Summary summary;
    summary.unsafe = plan.unsafeNames.size();
    summary.cancelled = plan.cancelled;
    for (auto& item : plan.items)
    {
        const auto done = item.state == Item::State::done;
        const auto planned = item.state == Item::State::planned;
        if (item.state == Item::State::failed)
        {
            ++summary.failed;
            if (summary.firstProblem.isEmpty())
                summary.firstProblem = escapeControlCharacters (item.path) + ": " + item.error;
            continue;
        }
        // A plan not carried out counts what it would do.
        if (!(done || planned))
            continue;
        switch (item.action)
        {
        case Action::send:
            ++summary.sent;
            summary.bytesSent += item.bytes;
            break;
        case Action::fetch:
            ++summary.fetched;
            summary.bytesFetched += item.bytes;
            break;
        case Action::remove:
            ++summary.deleted;
            summary.bytesDeleted += item.bytes;
            break;
        case Action::skip:
            ++summary.skipped;
            break;
        }
    }
    return summary;
}
