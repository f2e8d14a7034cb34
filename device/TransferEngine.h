#pragma once

#include "device/CancelToken.h"
#include "device/OperationResult.h"

#include <juce_core/juce_core.h>

#include <functional>
#include <optional>

class TidewireClient;

/** One file between the computer and the device, block by block: with progress, a
    cancel token, and a fetch that keeps what it got beside the target (under the
    target's name and ".nubo-partial") so that it can be resumed. A failure never leaves
    a partial file under the final name, nor touches an older file of that name.

    Each operation gives its outcome as an OperationResult: done, failed or cancelled,
    with the one-line reason when it did not succeed. */
class TransferEngine final
{
public:
    /** Told (0, size) before the first block and (bytes so far, size) after each one. */
    using Progress = std::function<void (juce::int64 done, juce::int64 total)>;

    /** How the operations of one engine run; each front end fills in its own. */
    struct Options
    {
        Progress progress; ///< may be empty

        /** Read between blocks and in every wait; tripping it also cancels the client's
            waiting exchange, and the client then fails every exchange until its
            resetAbort. One engine at a time listens to a token. */
        CancelToken cancel;

        /** A fetch into a regular file continues a partial file left by an earlier attempt
            at the same remote file, unchanged since, from its end. */
        bool resume = false;

        /** The device's file is read again and its SHA-256 compared with the copy before
            that copy takes the target's place (or, for a send, before the device's part
            file replaces the older file). */
        bool verify = false;

        /** A fetched file is flushed to the disk (fsync) before it takes the target's
            place, so that a crash just after cannot leave an empty file under that name. */
        bool durable = true;

        /** The reason a failed exchange gives, as " (why)", or empty. Called right after
            the exchange failed; empty: the engine says what the client's last exchange
            came to (the device refused, or did not answer). A front end that collects the
            client's log lines names the logged problem instead, and is told by
            beginExchanges where an operation's lines begin. */
        std::function<juce::String()> exchangeReason;
        std::function<void()> beginExchanges;
    };

    /** The client is not owned; it outlives the engine. */
    TransferEngine (TidewireClient& client, Options options);

    /** Stops listening to the cancel token. */
    ~TransferEngine();

    /** Fetches a remote file to the target path (through a link to where it points;
        straight into a pipe or a device). */
    OperationResult fetch (const juce::String& remotePath, const juce::File& target);

    /** Sends a local regular file to the remote path, through a part file beside it
        (".<name>.nubo-part") that replaces an older file only once every block is in,
        and with verify only once it has been read back and found equal to the local file. */
    OperationResult send (const juce::File& source, const juce::String& remotePath);

    /** Fetches a remote file into an open descriptor (standard output), which stays open.
        With verify, the bytes passed on are compared with the device's file read again. */
    OperationResult fetchToDescriptor (const juce::String& remotePath, int fd, const juce::String& destination);

    /** Reads a remote file through and takes its SHA-256. */
    OperationResult remoteDigest (const juce::String& remotePath, juce::MemoryBlock& digest);

    /** Compares the remote file's SHA-256 with the local file's: done when they match,
        failed (with both digests in the reason) when they do not. */
    OperationResult compareWithRemote (const juce::File& local, const juce::String& remotePath);

    static juce::File partialFileFor (const juce::File& target);

    /** Beside the partial file: which remote file, of which size and modification time,
        the partial file is the start of. */
    static juce::File partialRecordFor (const juce::File& target);

private:
    /** Fetches straight into something that is no regular file (a pipe, a device). */
    OperationResult fetchInto (const juce::String& remotePath, const juce::File& target);

    /** Fetches into the descriptor, failing when it takes nothing for stallLimitMs (0: no limit). */
    OperationResult passOn (const juce::String& remotePath, int fd, const juce::String& destination,
                            juce::uint32 stallLimitMs);

    /** What the partial file's record says for this remote file as it is now. */
    juce::String describeRemote (const juce::String& remotePath, juce::int64 size);

    /** Reads the remote file back and compares it with the local one; differs tells a
        mismatch from a check that could not be made. */
    OperationResult verifyCopy (const juce::File& local, const juce::String& remotePath, bool& differs);

    /** Opens a remote file for reading and takes its size; the failure, said with where
        ("on the device..."), when it does not open or its size is negative. */
    std::optional<OperationResult> openForReading (const juce::String& remotePath, const juce::String& where,
                                                   juce::int64& handle, juce::int64& size);

    /** Cancelled when the token was tripped, failed otherwise. */
    OperationResult fail (const juce::String& why) const;

    void beginExchanges();
    juce::String reason() const;

    /** After a failure: removes a remote part file if the device still answers. */
    void removeRemote (const juce::String& remotePath);

    /** After a failure: closes the remote file if the device still answers. */
    void closeRemote (juce::int64 handle);

    TidewireClient& client;
    const Options options;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TransferEngine)
};
