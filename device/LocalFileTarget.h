#pragma once

#include "device/CancelToken.h"

#include <juce_core/juce_core.h>

#include <memory>

struct stat;

/** Where the bytes of a fetched file go, chosen by what the local path is.

    A plain file, or none yet, in a folder that takes new files: the bytes go into a
    partial file beside it (its name and ".nubo-partial"), which takes its place only
    once every byte is in and is on the disk, so a failed fetch leaves an older file as
    it was and no partial file under the name. A fetch may keep the partial file, with a
    record of what it is the start of (".nubo-partial.info"), for a later one to resume.
    A plain file in a folder that takes no new files, but which can itself be written:
    the bytes are gathered in the system's temporary folder first and copied into the
    file only once every byte is in; should that copy fail, the file is incomplete (the
    log says so). A pipe or a character device: written as the bytes arrive (a pipe
    must have a reader). Anything else (a folder, a block device, a socket) is refused.

    A symbolic link is either written through (the rules above then apply to what it
    names: a file the user picked) or replaced (for the files of a fetched folder,
    whose links must never lead outside it). */
class LocalFileTarget final
{
public:
    enum class Links
    {
        writeThrough,
        replace
    };

    LocalFileTarget (const juce::File& path, Links links);

    /** Standard output or another descriptor the caller opened and keeps: written as the
        bytes arrive, never closed here. A reader that may pause for as long as it likes
        (a pager) gets a stallLimitMs of 0. */
    LocalFileTarget (int descriptor, const juce::String& name, juce::uint32 stallLimitMs);

    /** Abandons what is not committed. */
    ~LocalFileTarget();

    /** A write that waits for a pipe's reader ends when the token is tripped. */
    void setCancelToken (const CancelToken& token);

    /** What a fetch wants of the partial file: resume (continue one whose record says
        it is the start of the description) and a record (the description, written
        before the first byte, so that a later fetch can resume). */
    struct Partial
    {
        bool resume = false;
        juce::String record;     ///< what the bytes are; empty: no record kept
        juce::String remoteName; ///< the file they come from, for the reasons
    };

    /** Chooses how to write and gets ready; false after logging why (getFailure says it
        in one line). */
    bool open (const Partial& partial);
    bool open();

    /** The bytes a resumed partial file holds already (0 when it starts afresh). */
    juce::int64 resumedFrom() const
    {
        return resumed;
    }

    /** The partial file in use, or juce::File() when the bytes go elsewhere. */
    const juce::File& getPartialFile() const
    {
        return partFile;
    }

    /** Why the last step failed, in one line for a front end ("can't write ...: ..."). */
    const juce::String& getFailure() const
    {
        return failure;
    }

    /** Where a fetch into the target keeps its bytes until they are all in, and the
        record of what they are the start of. */
    static juce::File partialFileFor (const juce::File& target);
    static juce::File partialRecordFor (const juce::File& target);

    /** The maximum a pipe or a device may take nothing for before a write fails. */
    static constexpr juce::uint32 defaultStallLimitMs = 30000;

    /** Where the bytes go; valid between a successful open and commit or abandon. */
    juce::OutputStream& stream();

    /** True for a pipe or a device, whose writes may wait on whoever reads them. */
    bool isDirect() const
    {
        return kind == Kind::direct;
    }

    /** Sets aside room for the bytes up to end in a file of ours (the part file or the
        spool): a write that stays below reservedEnd() can then not fail for want of
        space or of the size this process may write. False, with nothing more set
        aside, for a pipe or a device, or when the file system refuses. */
    bool reserve (juce::int64 end);

    juce::int64 reservedEnd() const
    {
        return reserved;
    }

    /** Logs why the last write to stream() failed (and keeps it as getFailure). */
    void logWriteFailure();

    /** Every byte is in: writes out what is gathered, gives back room set aside and not
        used, and (durable) has the file system put it on the disk, still under the
        partial name. False after logging why. */
    bool finish (bool durable);

    /** After finish: the bytes as written, to be checked, or null for a pipe or a device
        (whose bytes are gone). */
    std::unique_ptr<juce::InputStream> readBack() const;

    /** Every byte is in: puts them under the final name (finishing first when that was not
        done). False after logging why. */
    bool commit (bool durable = true);

    /** The transfer failed: throws away whatever is not under the final name yet, or
        (keepPartial) keeps a partial file that holds something, with its record. */
    void abandon (bool keepPartial = false);

private:
    enum class Kind
    {
        none,
        partFile, // a new file beside the target, renamed onto it at the end
        spool,    // gathered elsewhere, copied into the target at the end
        direct    // a pipe or device, written as the bytes arrive
    };

    class FdStream;

    bool openDirect (bool isPipe);
    bool openPartFile (const struct stat* existing, const Partial& partial);
    bool openSpool();
    bool copySpoolIntoTarget (bool durable);
    void logCouldNotWrite (const juce::String& why = {});
    juce::String displayName() const;
    void removePartial();

    const juce::File path;  // as the caller named it, for the log
    juce::String shownName; // a given descriptor's name for the log
    const Links links;
    juce::File target; // what is written: the path, or what its links name
    juce::File partFile, recordFile;
    Kind kind = Kind::none;
    int targetFd = -1; // the spool's target, held open from the start
    int givenFd = -1;  // the caller's descriptor: written, never closed
    bool fromDescriptor = false;
    juce::uint32 stallLimitMs = defaultStallLimitMs;
    juce::int64 reserved = 0, resumed = 0;
    int partFileErrno = 0; // why the partial file could not be made
    bool finished = false, durableDone = false;
    CancelToken cancel;
    juce::String failure;
    std::unique_ptr<FdStream> out;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LocalFileTarget)
};
