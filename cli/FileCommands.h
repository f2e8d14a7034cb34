#pragma once

#include "cli/CommandResult.h"

class DeviceSession;

/** The commands on the device's file system that run on one device: ls, get, mkdir,
    mv, rm. Remote paths are absolute or taken from the device's home folder. */
class FileCommands final
{
public:
    static CommandResult list (DeviceSession& session, const RunContext& context, const juce::String& remoteFolder,
                               bool details);

    static CommandResult get (DeviceSession& session, const RunContext& context, const juce::String& remotePath,
                              const juce::String& localPath, bool recursive, bool resume, bool verify);

    static CommandResult makeFolder (DeviceSession& session, const juce::String& remotePath);

    static CommandResult move (DeviceSession& session, const juce::String& oldPath, const juce::String& newPath);

    /** With recursive, a folder's contents go first, deepest entries first, once the whole
        tree has been seen: a tree that cannot be walked to its end loses nothing. The
        folders that hold the device's file system are refused in any spelling. */
    static CommandResult remove (DeviceSession& session, const RunContext& context, const juce::String& remotePath,
                                 bool recursive);

private:
    FileCommands() = delete;
};
