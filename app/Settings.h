#pragma once

#include <juce_data_structures/juce_data_structures.h>

/** The per-user settings of the program: one JUCE XML properties file,
    "<config folder>/tyx/NuboManufacturingUSBUtility.properties". All values are
    strings; an absent key reads as the empty string. Message thread only. */
class Settings final
{
public:
    /** Points the store at the settings file; called once at start-up (and by tests
        after they changed XDG_CONFIG_HOME). Closes a file opened before. */
    static void configure();

    /** The value stored under key, or the empty string. */
    static juce::String read (const juce::String& key);

    /** Stores the value; JUCE saves it to disk within half a second. */
    static void write (const juce::String& key, const juce::String& value);

    /** Stores the value and saves the file at once, so that it survives a killed process. */
    static void writeAndSave (const juce::String& key, const juce::String& value);

    /** Saves what is pending and lets go of the file (at shutdown). */
    static void close();

    /** The file the store reads and writes. */
    static juce::File file();

    /** The store itself, for code that needs more than the functions above. */
    static juce::ApplicationProperties& store();

    static constexpr const char* lastPortKey = "LastPort";
    static constexpr const char* updateFileKey = "UpdateFileLocalPath";
    static constexpr const char* remoteFolderKey = "RemoteFolder";
    static constexpr const char* localFolderKey = "LocalFolder";

private:
    Settings() = delete;
};
