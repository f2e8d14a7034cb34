#pragma once

#include "device/FolderTransfer.h"
#include "device/RemoteTree.h"
#include "device/TransferEngine.h"
#include "files/SyncManifest.h"

#include <juce_core/juce_core.h>

#include <functional>
#include <vector>

class TidewireClient;

/** Makes one folder tree like another, between the computer and the device, in one
    direction: a plan first (one item per file: send, fetch, delete or skip, and why),
    then its execution, every file through the transfer engine.

    A file is unchanged when both sides still look as the manifest recorded after the
    last sync (so an unchanged tree costs only its listing); without a record, when the
    sizes are equal and the times within the modify window beyond the device's minute;
    with checksums, when the SHA-256 of both sides match (the remote file is read through
    for it). Deletions happen last, only when every transfer of the run succeeded, the
    device's tree was seen whole, and there are no more than the most allowed. Excluded
    files are neither copied nor deleted. */
class FolderSync final
{
public:
    enum class Direction
    {
        push, ///< the local folder is the source
        pull  ///< the remote folder is the source
    };

    enum class Action
    {
        send,
        fetch,
        remove,
        skip
    };

    /** How the two sides of one path compare, whatever the direction. */
    enum class Difference
    {
        same,
        onlyLocal,
        onlyRemote,
        differs,
        conflict ///< a file on one side, a folder on the other: never replaced
    };

    /** Globs for what takes no part: the first that matches decides; one with a "/"
        matches the path below the top, any other the name. A folder excluded takes what
        it holds with it. */
    class Filter final
    {
    public:
        void add (const juce::String& glob, bool include);

        /** The lines of an ignore file: one glob per line, "#" starts a comment, "!glob"
            includes. */
        void addIgnoreFile (const juce::File& file);

        bool excludes (const juce::String& relativePath) const;

    private:
        struct Rule
        {
            juce::String glob;
            bool include = false;
        };
        std::vector<Rule> rules;
    };

    /** The ignore file of a local folder; never synced itself. */
    static constexpr const char* ignoreFileName = ".nuboignore";

    struct Item
    {
        juce::String path; ///< below the top
        Action action = Action::skip;
        Difference difference = Difference::same;
        juce::String reason; ///< "new", "unchanged", "changed on the device"...
        juce::int64 bytes = 0;

        enum class State
        {
            planned,
            done,
            failed,
            notDone ///< cancelled or stopped before it, or a deletion held back
        };
        State state = State::planned;
        juce::String error;

        // What each side looked like when planned.
        juce::int64 localSize = -1, localModified = 0;
        bool remoteKnown = false;
        juce::int64 remoteSize = -1, remoteModified = 0;
        juce::String sha256; ///< of both sides, when a checksum found them equal
    };

    struct Options
    {
        Direction direction = Direction::push;
        juce::File localFolder;
        juce::String remoteFolder; ///< normalised
        bool deleteExtra = false;
        int maxDelete = -1; ///< -1: no limit
        bool checksum = false;
        int modifyWindowSeconds = 60;
        Filter filter;
        int maxEntries = FolderTransfer::defaultMaxEntries;
        TransferEngine::Options transfer;
        SyncManifest* manifest = nullptr; ///< owned by the caller, outlives the sync; none without

        /** Told of each file sent, fetched or deleted, or that failed, as it happens (on
            the calling thread); may be empty. */
        std::function<void (const Item&)> itemFinished;
    };

    struct Plan
    {
        std::vector<Item> items;
        juce::StringArray foldersToCreate; ///< below the top, parents first, on the target side
        juce::StringArray unsafeNames;     ///< escaped paths skipped for their names
        bool remoteComplete = true;
        bool remoteMissing = false; ///< the remote folder does not exist yet (push makes it)
        juce::String problem;       ///< why the trees could not be compared, or not whole
        bool failed = false;        ///< nothing can be done: problem says why
        bool cancelled = false;
        juce::String deletionsHeld; ///< why planned deletions will not happen, if they will not
    };

    struct Summary
    {
        int sent = 0, fetched = 0, deleted = 0, skipped = 0, failed = 0, unsafe = 0;
        juce::int64 bytesSent = 0, bytesFetched = 0, bytesDeleted = 0;
        bool cancelled = false;
        juce::String firstProblem;
        juce::String manifestError; ///< why the manifest could not be written at the end, if it could not
    };

    /** The client is not owned; it outlives this. */
    FolderSync (TidewireClient& client, Options options);

    /** Lists both trees and decides for every file; nothing is changed, except that with
        checksums the remote files are read through. */
    Plan plan();

    /** Carries out the plan, and records what was done in the manifest (saved at the end,
        and now and then on the way). */
    Summary execute (Plan& plan);

    /** The counts of a plan as it stands (planned or carried out). */
    static Summary summarise (const Plan& plan);

    static juce::String actionName (Action action);

private:
    struct LocalEntry
    {
        juce::String path;
        bool isFolder = false;
        bool isLink = false;
        juce::int64 size = -1, modified = 0;
    };
    struct LocalListing
    {
        std::vector<LocalEntry> entries;
        juce::StringArray unsafeNames;
        juce::String problem;
    };

    LocalListing walkLocal();
    void walkLocalFolder (const juce::File& folder, const juce::String& relative, int depth, LocalListing& listing);

    /** Why the two sides differ, or empty when they look the same. */
    juce::String compare (Item& item, const SyncManifest::Record* record);

    juce::File localFileFor (const juce::String& path) const;
    juce::String remotePathFor (const juce::String& path) const;

    /** The local folder for a path's parent, made as needed, never through a link; an
        empty file when it cannot be made. */
    juce::File makeLocalParent (const juce::String& path, juce::String& error);

    void record (const Item& item);
    bool deviceStopped (juce::String& why);

    /** After a request: counts those left unanswered in a row. */
    void noteAnswer();
    void saveManifest (bool force);

    TidewireClient& client;
    Options options;
    TransferEngine engine;
    int unansweredInARow = 0;
    juce::uint32 lastSave = 0;
    juce::String manifestError; // of the last save

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FolderSync)
};
