#pragma once

#include <juce_core/juce_core.h>

#include <map>
#include <optional>

/** What each file of a synced folder looked like after the last sync, on both sides, so
    that the next one need read nothing but the listing to see what has not changed: one
    file on the computer per device (its USB serial) and remote folder.

    A damaged or unreadable manifest is a warning and counts as empty, never an error: the
    sync then compares the files themselves. It is written whole or not at all. */
class SyncManifest final
{
public:
    struct Record
    {
        juce::int64 localSize = -1;
        juce::int64 localModified = 0; ///< milliseconds since 1970, as the local file system gives them
        juce::int64 remoteSize = -1;
        juce::int64 remoteModified = 0; ///< milliseconds since 1970, as the device's clock read
        juce::String sha256;            ///< lower-case hex when known, else empty
    };

    /** $XDG_STATE_HOME/nubo/sync, or ~/.local/state/nubo/sync. */
    static juce::File defaultFolder();

    /** The file for this device and remote folder in the default folder; its name holds
        only letters, digits, '-', '_' and '.', whatever the serial holds. */
    static juce::File defaultFile (const juce::String& usbSerial, const juce::String& remoteFolder);

    /** The folders say which sync the records belong to; records of another local folder
        are not taken. */
    SyncManifest (juce::File file, juce::String remoteFolder, juce::String localFolder);

    /** Reads the file: empty when there is none yet; the warning when it cannot be read
        or is damaged (the manifest then counts as empty). */
    juce::String load();

    /** Writes every record: a temporary file beside it, synced, renamed into place. False
        with the reason when it cannot. */
    bool save (juce::String& error) const;

    const Record* find (const juce::String& path) const;
    void set (const juce::String& path, const Record& record);
    void remove (const juce::String& path);

    const juce::File& getFile() const
    {
        return file;
    }

    /** The device's clock minus the computer's, in seconds, as a recent send showed it. */
    std::optional<juce::int64> clockOffsetSeconds;

private:
    const juce::File file;
    const juce::String remoteFolder, localFolder;
    std::map<juce::String, Record> records;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SyncManifest)
};
