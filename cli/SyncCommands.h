#pragma once

#include "cli/CommandResult.h"
#include "files/FolderSync.h"

#include <utility>
#include <vector>

class DeviceSession;

/** The commands that compare or copy whole trees (sync, check) and that read a remote
    tree or files (tree, du, cat). Each takes an open session, so that the interactive
    shell runs them on its own as the command line does. */
class SyncCommands final
{
public:
    struct Options
    {
        FolderSync::Direction direction = FolderSync::Direction::push;
        juce::String localPath, remotePath; ///< as given
        bool dryRun = false;
        bool deleteExtra = false;
        int maxDelete = -1; ///< -1: no limit
        bool checksum = false;
        int modifyWindowSeconds = 60;
        std::vector<std::pair<juce::String, bool>> filters; ///< glob and whether it includes, in the order given
        juce::String manifestPath;                          ///< empty: the default one for the device's USB serial
    };

    /** Makes the target tree like the source: a plan, then (unless a dry run) its execution. */
    static CommandResult sync (DeviceSession& session, const RunContext& context, const Options& options);

    /** Which files differ, are on one side only, or match; succeeds only when all match. */
    static CommandResult check (DeviceSession& session, const RunContext& context, const Options& options);

    /** The remote tree's names, indented, folders ending in "/". */
    static CommandResult tree (DeviceSession& session, const RunContext& context, const juce::String& remotePath);

    /** The bytes of the files below each remote folder and in all. */
    static CommandResult du (DeviceSession& session, const RunContext& context, const juce::String& remotePath);

    /** The files' contents, one after the other, to standard output. */
    static CommandResult cat (DeviceSession& session, const RunContext& context, const juce::StringArray& remotePaths);

private:
    SyncCommands() = delete;
};
