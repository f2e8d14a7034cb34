#pragma once

#include "device/CancelToken.h"
#include "device/LocalFileTarget.h"
#include "device/OperationResult.h"

#include <juce_core/juce_core.h>

#include <functional>
#include <optional>

class TidewireClient;

/** One file between the computer and the device, block by block: the one way every
    front end moves a file. While the device answers as it should, the client's reader
    thread carries the transfer on by itself (each answer checked, its block written,
    the next block asked for at once); the calling thread takes over for anything out of
    the ordinary, and every so many blocks to report progress.

    A fetch writes through LocalFileTarget: into a partial file beside the target (its
    name and ".nubo-partial") that takes the target's place only once every byte is in
    and on the disk, straight into a pipe or a device, and in place (after a spool) into
    a file of a folder that takes no new files. A send goes to a part file beside the
    remote file (".<name>.nubo-part"), which replaces an older file only once every block
    is in. A failure never leaves a partial file under the final name, nor touches an
    older file of that name.

    The operations log the lines a technician reads in the window's log ("Getting remote
    file ...", "Block 256 Received.", what failed, the rate at the end) and give their
    outcome as an OperationResult: done, failed or cancelled, with the one-line reason
    when it did not succeed. */
class TransferEngine final
{
public:
    /** Told (0 or where a resumed fetch starts, size) before the first block and (bytes
        so far, size) as the blocks come in. */
    using Progress = std::function<void (juce::int64 done, juce::int64 total)>;

    /** How the operations of one engine run; each front end fills in its own. */
    struct Options
    {
        Progress progress; ///< may be empty; called on the calling thread

        /** Read between blocks and in every wait; tripping it also cancels the client's
            waiting exchange, and the client then fails every exchange until its
            resetAbort. One engine at a time listens to a token. */
        CancelToken cancel;

        /** A fetch into a regular file continues a partial file left by an earlier attempt
            at the same remote file, unchanged since, from its end. */
        bool resume = false;

        /** A failed fetch keeps the partial file (with a record of which remote file, of
            which size and time, it is the start of), for a later one to resume. Without
            it a failed fetch leaves nothing behind. */
        bool keepPartial = false;

        /** The device's file is read again and its SHA-256 compared with the copy before
            that copy takes the target's place (or, for a send, before the device's part
            file replaces the older file). */
        bool verify = false;

        /** A fetched file is flushed to the disk (fsync) before it takes the target's
            place, so that a crash just after cannot leave an empty file under that name. */
        bool durable = true;
    };

    /** What the device's listing says is at a remote path, when it is known already (a
        folder transfer lists each folder once). */
    enum class RemoteEntry
    {
        unknown,
        none,
        file,
        folder
    };

    /** The client is not owned; it outlives the engine. */
    TransferEngine (TidewireClient& client, Options options);
    explicit TransferEngine (TidewireClient& client);

    /** Stops listening to the cancel token, and hands it back to whoever listened before. */
    ~TransferEngine();

    /** Fetches a remote file to the target path. A link there is written through (the
        user's pick) or replaced (the files of a fetched folder, which must not lead out). */
    OperationResult fetch (const juce::String& remotePath, const juce::File& target,
                           LocalFileTarget::Links links = LocalFileTarget::Links::writeThrough);

    /** Sends a local regular file to the remote path through a part file beside it, and
        with verify only once it has been read back and found equal to the local file. */
    OperationResult send (const juce::File& source, const juce::String& remotePath,
                          RemoteEntry existing = RemoteEntry::unknown);

    /** Sends straight into the remote file, truncating it first. For the firmware image:
        the device acts on it only once the update trigger exists, and its flash may not
        hold two images side by side. */
    OperationResult sendInPlace (const juce::File& source, const juce::String& remotePath);

    /** Fetches a remote file into an open descriptor (standard output), which stays open;
        its reader may pause for as long as it likes. With verify, the bytes passed on are
        compared with the device's file read again. */
    OperationResult fetchToDescriptor (const juce::String& remotePath, int fd, const juce::String& destination);

    /** Opens a remote file for reading at random places (readAt): its handle and size,
        or the failure when it does not open or gives a negative size. */
    OperationResult openForReading (const juce::String& remotePath, juce::int64& handle, juce::int64& size);

    /** Reads up to count bytes of a file opened with openForReading from offset into
        `into` (fewer at its end, by the size it was opened with). position is where the
        device's handle stands, kept by the caller: the handle is moved only when the
        read starts elsewhere, and the read leaves it at its end (-1 after a failure:
        not known). */
    OperationResult readAt (juce::int64 handle, juce::int64 fileSize, juce::int64& position, juce::int64 offset,
                            juce::int64 count, juce::MemoryBlock& into);

    /** Closes a remote file while the device answers. */
    void closeRemoteFile (juce::int64 handle);

    /** Reads a remote file through and takes its SHA-256. */
    OperationResult remoteDigest (const juce::String& remotePath, juce::MemoryBlock& digest);

    /** Compares the remote file's SHA-256 with the local file's: done when they match,
        failed (with both digests in the reason) when they do not. */
    OperationResult compareWithRemote (const juce::File& local, const juce::String& remotePath);

    const Options& getOptions() const
    {
        return options;
    }

    /** True once the token was tripped or the client aborted (the program quits). */
    bool isCancelled() const;

    /** The reason a failed exchange gives, as " (why)": cancelled, the device gone, or the
        line the client logged for it. */
    juce::String exchangeReason() const;

    /** The same for any client's last exchange, for the single exchanges a front end
        makes itself (a listing, a folder to create). */
    static juce::String exchangeReason (const TidewireClient& client, bool cancelled = false);

private:
    /** Fetches into a target opened for the fetch; every block through the relay. */
    OperationResult fetchInto (const juce::String& remotePath, LocalFileTarget& target, const juce::String& where,
                               bool resumable);

    /** Fetches into a pipe, a device or a descriptor, hashing the bytes on their way
        through, and compares them with the device's file read again. */
    OperationResult passOnVerified (const juce::String& remotePath, LocalFileTarget& target,
                                    const juce::String& destination, juce::int64 handle, juce::int64 size);

    OperationResult sendFile (const juce::File& source, const juce::String& remotePath, bool viaPartFile,
                              RemoteEntry existing);

    /** Deletes an older file and moves the part file into its place. */
    std::optional<OperationResult> putPartFileInPlace (const juce::String& partPath, const juce::String& remotePath,
                                                       bool replaceOld);

    /** What the partial file's record says for this remote file as it is now. */
    juce::String describeRemote (const juce::String& remotePath, juce::int64 size);

    /** Compares what the stream holds with the remote file read back; differs tells a
        mismatch from a check that could not be made. */
    OperationResult verifyCopy (juce::InputStream& local, const juce::String& localName, const juce::String& remotePath,
                                bool& differs);

    /** Opens a remote file for reading and takes its size; the failure, said with where
        ("on the device..."), when it does not open or its size is negative. */
    std::optional<OperationResult> openForReading (const juce::String& remotePath, const juce::String& where,
                                                   juce::int64& handle, juce::int64& size);

    /** Cancelled when the token was tripped, failed otherwise. */
    OperationResult fail (const juce::String& why) const;

    /** After a failure: removes a remote part file while the device answers. */
    void removeRemote (const juce::String& remotePath);

    /** After a failure: closes the remote file while the device answers. */
    void closeRemote (juce::int64 handle);

    /** Makes one exchange of the clean-up after a failure or a cancel, while the device
        answers; the client's abort is put back afterwards. */
    void cleanUp (const std::function<int()>& exchange);

    void reportProgress (juce::int64 done, juce::int64 total) const;

    TidewireClient& client;
    const Options options;
    std::function<void()> previousWake; // the token's, before this engine listened; put back at the end

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TransferEngine)
};
