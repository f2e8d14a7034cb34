#pragma once

#include <juce_core/juce_core.h>

#include <memory>

struct stat;

/** Where the bytes of a fetched file go, chosen by what the local path is.

    A plain file, or none yet, in a folder that takes new files: the bytes go into a
    temporary file beside it, which takes its place only once every byte is in, so a
    failed fetch leaves an older file as it was and no partial file under the name.
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

    /** Abandons what is not committed. */
    ~LocalFileTarget();

    /** Chooses how to write and gets ready; false after logging why. */
    bool open();

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

    /** Logs why the last write to stream() failed. */
    void logWriteFailure() const;

    /** Every byte is in: puts them under the final name. False after logging why. */
    bool commit();

    /** The transfer failed: throws away whatever is not under the final name yet. */
    void abandon();

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
    bool openPartFile (const struct stat* existing);
    bool openSpool();
    bool copySpoolIntoTarget();
    void logCouldNotWrite (const juce::String& why = {}) const;

    const juce::File path; // as the caller named it, for the log
    const Links links;
    juce::File target; // what is written: the path, or what its links name
    juce::File partFile;
    Kind kind = Kind::none;
    int targetFd = -1; // the spool's target, held open from the start
    juce::int64 reserved = 0;
    std::unique_ptr<FdStream> out;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LocalFileTarget)
};
