#pragma once

#include "device/OperationResult.h"
#include "device/TransferEngine.h"

#include <juce_core/juce_core.h>

class TidewireClient;

/** Whole folder trees between the computer and the device, and their removal from the
    device: every file through the transfer engine, one depth limit, one rule for which
    names the device may give (LocalPaths::isSafeName), and at most so many entries.

    A transfer goes on past a file that fails; it stops early (the rest counted as
    failed) when cancelled, when the device is gone or has left two steps in a row
    unanswered, and past the entry limit. Its last line says how many entries went and
    how many failed ("Folder transfer finished: 3 transferred, 0 failed"). */
class FolderTransfer final
{
public:
    /** Trees go at most this many folders deep, the folder itself counted as the first:
        a device whose folders lead back to themselves would otherwise be followed for ever. */
    static constexpr int maxDepth = 32;

    /** The most entries, files and folders at every level, that one tree takes in unless
        told otherwise: a device whose every folder lists several that lead back to it
        would otherwise fill the disk with folders. */
    static constexpr int defaultMaxEntries = 100000;

    /** The client is not owned; it outlives this. Each file goes through an engine with
        these options (never resumed, never kept half-fetched). */
    FolderTransfer (TidewireClient& client, TransferEngine::Options options, int maxEntries = defaultMaxEntries);

    /** Sends a local folder's tree into the remote folder, made when missing. Links to
        folders are not followed. */
    OperationResult put (const juce::File& localFolder, const juce::String& remoteFolder);

    /** Fetches a remote folder's tree into a new or existing folder of that name (or the
        one given) inside the local parent. Nothing is written outside it, not even
        through a link. */
    OperationResult get (const juce::String& remoteFolder, const juce::File& localParent, juce::String name = {});

    /** Deletes a remote folder's contents, deepest first, then the folder; nothing at all
        when the tree cannot be seen whole (an unsafe name, too deep, too many entries, a
        failed listing). */
    OperationResult remove (const juce::String& remoteFolder);

    /** The counts of the last put or get. */
    int getTransferred() const
    {
        return tally.transferred;
    }
    int getFailed() const
    {
        return tally.failed;
    }

private:
    struct Tally
    {
        int transferred = 0, failed = 0;
        int entries = 0;                // taken in so far, against maxEntries
        int unansweredInARow = 0;       // steps whose last exchange the device left unanswered
        juce::int32 lastSeenSerial = 0; // of the last exchange a step made
        bool stopped = false;           // the rest of the tree counts as failed
        juce::String firstProblem;      // the first entry's reason, or why the tree stopped
    };

    bool putTree (const juce::File& localFolder, const juce::String& remoteFolder, int depth);
    void getTree (const juce::String& remoteFolder, const juce::StringArray& fileNames,
                  const juce::StringArray& folderNames, const juce::File& localFolder, int depth);
    bool collectTree (const juce::String& folder, int depth, int& entries, juce::StringArray& doomed,
                      juce::String& error);

    /** Before each entry: false, with the entry counted, while the tree goes on; true once
        it must stop, after one line saying why, with the entriesLeft at this level (this
        one included) counted as failed. */
    bool stops (int entriesLeft);

    /** After each step: whether its last exchange, if it made one, went unanswered. */
    void noteStep();

    /** One entry failed, for this reason (logged). */
    void failed (const juce::String& why, bool log = true);

    /** Where an entry goes locally, or juce::File() after logging why it is skipped. */
    juce::File localChild (const juce::File& folder, const juce::String& name, const juce::String& remotePath);

    OperationResult finish();

    TidewireClient& client;
    TransferEngine engine;
    const int maxEntries;
    Tally tally;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FolderTransfer)
};
