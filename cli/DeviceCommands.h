#pragma once

#include "cli/CommandResult.h"

class DeviceSession;

/** The commands that can run on several devices at once (info, flash, getmac, props,
    put): each takes one device's session and writes that device's lines. */
class DeviceCommands final
{
public:
    static CommandResult info (DeviceSession& session, const RunContext& context);

    /** The firmware update: the marker check, the image, the trigger. */
    static CommandResult flash (DeviceSession& session, const RunContext& context, const juce::String& imagePath,
                                bool force, bool verify);

    /** The MAC-address file to localPath, or to standard output when it is empty. */
    static CommandResult getMac (DeviceSession& session, const RunContext& context, const juce::String& localPath);

    /** Properties under each path ("1,2" or "1/2"; none asks for the top). */
    static CommandResult props (DeviceSession& session, const RunContext& context, const juce::StringArray& paths);

    /** A file, or a folder with recursive, to the device. */
    static CommandResult put (DeviceSession& session, const RunContext& context, const juce::String& localPath,
                              const juce::String& remotePath, bool recursive, bool verify);

    /** The path with the port's name before the extension ("mac.txt" -> "mac-ttyACM0.txt"). */
    static juce::String perDevicePath (const juce::String& path, const juce::String& label);

    /** A property path as the command line writes it: numbers between "," "/" or ".";
        false for anything else. */
    static bool parsePropertyPath (const juce::String& text, juce::Array<juce::uint16>& path);

private:
    DeviceCommands() = delete;
};
