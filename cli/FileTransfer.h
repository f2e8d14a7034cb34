#pragma once

#include <juce_core/juce_core.h>

#include <functional>

class TidewireClient;

/** One file between the computer and the device, block by block: with a progress bar,
    Ctrl-C, and a fetch that keeps what it got beside the target (under the target's
    name and ".nubo-partial") so that it can be resumed. A failure never leaves a
    partial file under the final name, nor touches an older file of that name. */
class FileTransfer final
{
public:
    enum class Outcome
    {
        done,
        failed,
        interrupted
    };

    /** Told (0, size) before the first block and (bytes so far, size) after each one. */
    using Progress = std::function<void (juce::int64 done, juce::int64 total)>;

    /** The client is not owned; it outlives the transfer. The progress may be empty. */
    FileTransfer (TidewireClient& client, Progress progress = {});

    /** Fetches a remote file to the target path (through a link to where it points;
        straight into a pipe or a device). With resume, a partial file left by an earlier
        attempt is continued from its end (the remote file is read on from there). */
    Outcome fetch (const juce::String& remotePath, const juce::File& target, bool resume);

    /** Sends a local regular file to the remote path, through a part file beside it
        (".<name>.nubo-part") that replaces an older file only once every block is in. */
    Outcome send (const juce::File& source, const juce::String& remotePath);

    /** Fetches a remote file into an open descriptor (standard output), which stays open. */
    Outcome fetchToDescriptor (const juce::String& remotePath, int fd, const juce::String& destination);

    /** Reads a remote file through and takes its SHA-256. */
    Outcome remoteDigest (const juce::String& remotePath, juce::MemoryBlock& digest);

    /** Why the last operation failed, one line. */
    const juce::String& getError() const
    {
        return error;
    }

    static juce::File partialFileFor (const juce::File& target);

    /** A local path from the command line: relative to the current folder, a leading
        "~" a name like any other, and "." or ".." spelled out as the folder they name. */
    static juce::File localFile (const juce::String& path);

private:
    /** Fetches straight into something that is no regular file (a pipe, a device). */
    Outcome fetchInto (const juce::String& remotePath, const juce::File& target);

    Outcome fail (const juce::String& why);

    /** After a failure: removes a remote part file if the device still answers. */
    void removeRemote (const juce::String& remotePath);

    /** After a failure: closes the remote file if the device still answers. */
    void closeRemote (juce::int64 handle);

    TidewireClient& client;
    Progress progress;
    juce::String error;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FileTransfer)
};
