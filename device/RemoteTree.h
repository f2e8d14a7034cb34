#pragma once

#include "device/CancelToken.h"
#include "device/FolderTransfer.h"

#include <juce_core/juce_core.h>

#include <vector>

class TidewireClient;

/** A remote folder tree read into values: every entry's path below the top, whether it
    is a folder, and a file's size and modification time as the device gives them.

    It costs one folder listing per folder and one entry's facts per file, nothing per
    folder. A name that could not become a local one (LocalPaths::isSafeName), or whose
    bytes are no UTF-8 (a request could not name it), is skipped and counted, as are
    names a listing repeats. The walk stops, incomplete and saying why, when cancelled,
    when the device is gone or leaves two requests in a row unanswered, past the entry
    limit and below FolderTransfer::maxDepth levels; a folder the device will not list
    makes it incomplete too, though the others are still walked. */
class RemoteTree final
{
public:
    struct Entry
    {
        juce::String path; ///< below the top, "/"-separated: "a/b.txt"
        bool isFolder = false;
        bool known = false;    ///< whether the device gave the file's facts
        juce::int64 size = -1; ///< -1 when unknown (or the device gave a negative one)
        juce::Time modified;   ///< device's clock, to the minute; meaningful when known

        juce::String name() const
        {
            return path.fromLastOccurrenceOf ("/", false, false);
        }
    };

    struct Listing
    {
        /** Each folder before what it holds; names in natural order within a folder. */
        std::vector<Entry> entries;

        /** What was skipped for its name, as paths below the top, escaped for a terminal. */
        juce::StringArray unsafeNames;

        bool complete = true;
        bool cancelled = false;
        bool deviceLost = false; ///< it stopped for a device gone or silent: nothing more will come
        juce::String problem;    ///< why it is not complete: the first reason

        /** Whether the top folder itself could not be listed (nothing was seen at all). */
        bool topUnlisted = false;
    };

    struct Options
    {
        int maxEntries = FolderTransfer::defaultMaxEntries;
        CancelToken cancel;
        bool details = true; ///< ask for each file's facts; without, names only
    };

    /** The client is not owned; it outlives the walker. */
    RemoteTree (TidewireClient& client, Options options);

    /** The whole tree below a folder (normalised, absolute). */
    Listing walk (const juce::String& remoteFolder);

    /** One folder's entries with their details, without going into sub-folders. */
    Listing list (const juce::String& remoteFolder);

private:
    void walkFolder (const juce::String& remoteFolder, const juce::String& relative, int depth, bool recursive,
                     Listing& listing);

    /** Before each request: false while the walk goes on; true, after marking the listing
        incomplete, once it must stop. */
    bool mustStop (Listing& listing);

    /** After each request: counts the requests in a row left unanswered. */
    void noteAnswer();

    void stop (Listing& listing, const juce::String& why);

    TidewireClient& client;
    const Options options;
    int unansweredInARow = 0;
    bool stopped = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RemoteTree)
};
