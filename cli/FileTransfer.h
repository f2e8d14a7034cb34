#pragma once

#include <juce_core/juce_core.h>

#include <functional>

class TidewireClient;

/** One file between the computer and the device, block by block: with a progress bar,
    Ctrl-C, and a fetch that keeps what it got beside the target (under the target's
    name and ".nubo-partial") so that it can be resumed. A failure never leaves a
    partial file under the final name, nor touches an older file of that name.

    Each operation gives its outcome as a value; getError() then says why it failed. */
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
        attempt at the same remote file, unchanged since, is continued from its end (the
        remote file is read on from there). With verify, the device's file is read again
        and compared with the complete partial file before that takes the target's place;
        a partial file that does not match is removed. */
    Outcome fetch (const juce::String& remotePath, const juce::File& target, bool resume, bool verify = false);

    /** Sends a local regular file to the remote path, through a part file beside it
        (".<name>.nubo-part") that replaces an older file only once every block is in,
        and with verify only once it has been read back and found equal to the local file. */
    Outcome send (const juce::File& source, const juce::String& remotePath, bool verify = false);

    /** Fetches a remote file into an open descriptor (standard output), which stays open.
        With verify, the bytes passed on are compared with the device's file read again. */
    Outcome fetchToDescriptor (const juce::String& remotePath, int fd, const juce::String& destination,
                               bool verify = false);

    /** Reads a remote file through and takes its SHA-256. */
    Outcome remoteDigest (const juce::String& remotePath, juce::MemoryBlock& digest);

    /** Compares the remote file's SHA-256 with the local file's: done when they match,
        failed (with both digests in the reason) when they do not. */
    Outcome compareWithRemote (const juce::File& local, const juce::String& remotePath);

    /** Why the last operation failed, one line. */
    const juce::String& getError() const
    {
        return error;
    }

    static juce::File partialFileFor (const juce::File& target);

    /** Beside the partial file: which remote file, of which size and modification time,
        the partial file is the start of. */
    static juce::File partialRecordFor (const juce::File& target);

    /** A local path from the command line: relative to the current folder, a leading
        "~" a name like any other, and "." or ".." spelled out as the folder they name. */
    static juce::File localFile (const juce::String& path);

private:
    /** Fetches straight into something that is no regular file (a pipe, a device). */
    Outcome fetchInto (const juce::String& remotePath, const juce::File& target, bool verify);

    /** Fetches into the descriptor, failing when it takes nothing for stallLimitMs (0: no limit). */
    Outcome passOn (const juce::String& remotePath, int fd, const juce::String& destination, bool verify,
                    juce::uint32 stallLimitMs);

    /** What the partial file's record says for this remote file as it is now. */
    juce::String describeRemote (const juce::String& remotePath, juce::int64 size);

    /** Reads the remote file back and compares it with the local one; differs tells a
        mismatch from a check that could not be made. */
    Outcome verifyCopy (const juce::File& local, const juce::String& remotePath, bool& differs);

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
