// What the window does with files, against the simulator: the client's single exchanges,
// and whole files and folder trees through TransferEngine and FolderTransfer, and what
// each failure leaves behind.

#include "ClientFixture.h"
#include "device/FolderTransfer.h"
#include "device/LocalFileTarget.h"
#include "device/LocalPaths.h"
#include "device/TransferEngine.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <stdlib.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace
{
constexpr int block = TidewireClientRequest::maxFileBlockSize;

// The window's ways of moving files, as it calls the engine: 0 when it went, -1 when not.
int status (const OperationResult& result)
{
    return result.succeeded() ? 0 : -1;
}

int getFile (TidewireClient& client, const juce::String& remote, const juce::String& local)
{
    return status (TransferEngine (client).fetch (remote, LocalPaths::resolve (local)));
}

int putFile (TidewireClient& client, const juce::String& local, const juce::String& remote)
{
    return status (TransferEngine (client).send (LocalPaths::resolve (local), remote));
}

int putFileInPlace (TidewireClient& client, const juce::String& local, const juce::String& remote)
{
    return status (TransferEngine (client).sendInPlace (LocalPaths::resolve (local), remote));
}

int getFolder (TidewireClient& client, const juce::String& remote, const juce::String& localParent,
               const juce::String& name, int maxEntries = FolderTransfer::defaultMaxEntries)
{
    return status (FolderTransfer (client, {}, maxEntries).get (remote, LocalPaths::resolve (localParent), name));
}

int putFolder (TidewireClient& client, const juce::String& local, const juce::String& remote,
               int maxEntries = FolderTransfer::defaultMaxEntries)
{
    return status (FolderTransfer (client, {}, maxEntries).put (LocalPaths::resolve (local), remote));
}

bool isThroughputLine (const juce::String& line, juce::int64 size)
{
    return line.startsWith ("File transfer completed successfully " + juce::String (size) + " bytes in ") &&
           line.endsWith (" MBit/s.") && !line.containsIgnoreCase ("inf") && !line.containsIgnoreCase ("nan");
}

juce::String fieldOf (const juce::String& line, const juce::String& key)
{
    return line.fromLastOccurrenceOf (key + "=", false, false).upToFirstOccurrenceOf (" ", false, false);
}

mode_t fileTypeOf (const juce::String& path)
{
    struct stat st;
    return ::lstat (path.toRawUTF8(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

/** Reads a descriptor on a thread of its own until the writer hangs up, enough bytes
    have come, or a generous time has passed. Owns the descriptor. */
class BackgroundReader final
{
public:
    BackgroundReader (int descriptor, size_t expected)
        : fd (descriptor), thread ([this, expected] { readUntil (expected); })
    {
    }

    ~BackgroundReader()
    {
        if (thread.joinable())
            thread.join();
        ::close (fd);
    }

    juce::MemoryBlock take()
    {
        thread.join();
        return received;
    }

private:
    void readUntil (size_t expected)
    {
        const auto deadline = juce::Time::getMillisecondCounter() + 30000;
        char buffer[4096];
        while (received.getSize() < expected && juce::Time::getMillisecondCounter() < deadline)
        {
            pollfd waiting{fd, POLLIN, 0};
            if (::poll (&waiting, 1, 100) <= 0)
                continue;
            const auto n = ::read (fd, buffer, sizeof (buffer));
            if (n > 0)
                received.append (buffer, (size_t) n);
            else if (n == 0 && (waiting.revents & POLLHUP) != 0)
                return;
        }
    }

    int fd;
    juce::MemoryBlock received;
    std::thread thread;
};

/** File system checks on this thread as an unprivileged user, so that a read-only
    folder is one even when the tests run as root. */
class UnprivilegedFiles final
{
public:
    UnprivilegedFiles() : previous (::geteuid() == 0 ? ::setfsuid (65534) : -1) {}
    ~UnprivilegedFiles()
    {
        if (previous >= 0)
            ::setfsuid ((uid_t) previous);
    }

private:
    const int previous;
};
} // namespace

//==============================================================================
class SingleExchangeTest : public SimulatedDeviceTest
{
};

TEST_F (SingleExchangeTest, IdentifiesListsAndDescribes)
{
    writeFile (deviceFile (usr + "/a.txt"), pattern (3));
    writeFile (deviceFile (usr + "/ro.bin"), pattern (1234));
    ASSERT_EQ (::chmod (deviceFile (usr + "/ro.bin").getFullPathName().toRawUTF8(), 0444), 0);
    ASSERT_TRUE (deviceFile (usr + "/sub").createDirectory().wasOk());
    startDevice ({"--family", "0x12", "--device", "0x3456", "--protocol", "7", "--firmware", "0xfffe", "--text1", "One",
                  "--text2", "Two"});

    DeviceIdentity identity;
    ASSERT_EQ (client.whoAmI (identity), 0);
    EXPECT_EQ (identity.familyId, 0x12);
    EXPECT_EQ (identity.deviceId, 0x3456);
    EXPECT_EQ (identity.protocolVersion, 7);
    EXPECT_EQ (identity.firmwareVersion, 0xfffe);
    EXPECT_EQ (identity.text1 + identity.text2, "OneTwo");

    juce::StringArray files{"stale"}, folders;
    ASSERT_EQ (client.getFolderContents (usr, &files, &folders), 0);
    files.sort (false);
    EXPECT_EQ (files, strings ({"a.txt", "ro.bin"}));
    EXPECT_EQ (folders, strings ({"sub"}));
    EXPECT_EQ (client.getFolderContents (usr, nullptr, nullptr), 0);
    EXPECT_EQ (client.getFolderContents (usr + "/none", &files, &folders), -1);
    EXPECT_EQ (files.size(), 2) << "a failed listing leaves the lists alone";

    FileSystemEntryInfo info;
    ASSERT_EQ (client.getEntryInfo (usr + "/ro.bin", false, info), 0);
    EXPECT_EQ (info.name, "ro.bin");
    EXPECT_EQ (info.exists, 1);
    EXPECT_EQ (info.size, 1234);
    EXPECT_EQ (info.writable, 0);
    const auto modified = deviceFile (usr + "/ro.bin").getLastModificationTime();
    EXPECT_EQ (info.modified.toString (true, true, false), modified.toString (true, true, false));
    ASSERT_EQ (client.getEntryInfo (usr + "/sub", true, info), 0);
    EXPECT_EQ (info.writable, 1);
    ASSERT_EQ (client.getEntryInfo (usr + "/nothing", false, info), 0);
    EXPECT_EQ (info.exists, 0);
    EXPECT_EQ (deviceRequests ("FileSystemEntryInfoRequest", 4),
               strings ({"FileSystemEntryInfoRequest isFolder=0 path=" + usr + "/ro.bin",
                         "FileSystemEntryInfoRequest isFolder=1 path=" + usr + "/sub",
                         "FileSystemEntryInfoRequest isFolder=0 path=" + usr + "/nothing"}));
    ASSERT_EQ (logger.lines().size(), 1);
    EXPECT_TRUE (logger.lines()[0].startsWith ("No such folder: " + usr + "/none serial# "));
}

TEST_F (SingleExchangeTest, CreatesMovesDeletesOpensAndCloses)
{
    writeFile (deviceFile (usr + "/old.txt"), pattern (777));
    startDevice ({"--first-handle", "500"});

    EXPECT_EQ (client.createFolder (usr + "/made"), 0);
    EXPECT_EQ (client.moveEntry (usr + "/old.txt", usr + "/made/new.txt", false), 0);
    EXPECT_EQ (client.moveEntry (usr + "/made", usr + "/moved", true), 0);
    juce::int64 handle = 0, size = 0;
    ASSERT_EQ (client.openFile (usr + "/moved/new.txt", 1, handle, &size), 0);
    EXPECT_EQ (handle, 500);
    EXPECT_EQ (size, 777);
    EXPECT_EQ (client.closeFile (handle), 0);
    ASSERT_EQ (client.openFile (usr + "/created.bin", 0, handle), 0);
    EXPECT_EQ (client.closeFile (handle), 0);
    EXPECT_EQ (client.deleteEntry (usr + "/moved/new.txt"), 0);

    EXPECT_TRUE (deviceFile (usr + "/moved").isDirectory());
    EXPECT_EQ (namesIn (deviceFile (usr)), strings ({"created.bin", "moved"}));
    EXPECT_EQ (namesIn (deviceFile (usr + "/moved")), juce::StringArray());
    EXPECT_TRUE (logger.lines().isEmpty()) << logger.lines().joinIntoString ("\n");
    juce::StringArray seen;
    for (auto& line : deviceRequests())
        seen.add (line.fromFirstOccurrenceOf (" ", false, false));
    EXPECT_EQ (
        seen,
        strings ({"FileSystemEntryCreateRequest isFolder=1 flag=1 path=" + usr + "/made",
                  "FileSystemEntryMoveRequest isFolder=0 flagA=0 flagB=1 old=" + usr + "/old.txt new=" + usr +
                      "/made/new.txt",
                  "FileSystemEntryMoveRequest isFolder=1 flagA=0 flagB=1 old=" + usr + "/made new=" + usr + "/moved",
                  "FileOpenRequest access=1 readFlag=1 path=" + usr + "/moved/new.txt", "FileCloseRequest handle=500",
                  "FileOpenRequest access=2 readFlag=0 path=" + usr + "/created.bin", "FileCloseRequest handle=501",
                  "FileSystemEntryDeleteRequest flag1=1 flag2=1 flag3=0 path=" + usr + "/moved/new.txt"}));

    // Refusals: the exchange's line, and the operation's own where it has one.
    EXPECT_EQ (client.deleteEntry (usr + "/gone"), -1);
    EXPECT_EQ (client.openFile (usr + "/gone", 1, handle, &size), -1);
    EXPECT_EQ (client.closeFile (9999), -1);
    const auto lines = logger.lines();
    ASSERT_EQ (lines.size(), 5) << lines.joinIntoString ("\n");
    EXPECT_TRUE (lines[0].startsWith ("No such file or folder: " + usr + "/gone serial# "));
    EXPECT_TRUE (lines[1].startsWith ("No such file: " + usr + "/gone serial# "));
    EXPECT_EQ (lines[2], "failed to open remote file");
    EXPECT_TRUE (lines[3].startsWith ("Invalid handle 9999 serial# "));
    EXPECT_EQ (lines[4], "failed to close remote file");
}

//==============================================================================
class FileTransferTest : public SimulatedDeviceTest
{
};

TEST_F (FileTransferTest, MovesFilesInTheLargestBlocksBothWays)
{
    startDevice();
    for (const size_t size : {(size_t) 0, (size_t) 5000, (size_t) block, (size_t) block + 1})
    {
        SCOPED_TRACE (size);
        const auto data = pattern (size, (int) size);
        const auto name = "f" + juce::String ((int) size);
        writeFile (localFile (name), data);
        logger.clear();
        const auto from = deviceRequests().size();

        ASSERT_EQ (putFile (client, localFile (name).getFullPathName(), usr + "/" + name), 0);
        EXPECT_EQ (readFile (deviceFile (usr + "/" + name)), data);
        juce::StringArray lengths;
        for (auto& line : deviceRequests ("FileWriteRequest", from))
            lengths.add (fieldOf (line, "length"));
        EXPECT_EQ (lengths.joinIntoString (","), size == 0                ? ""
                                                 : size == 5000           ? "5000"
                                                 : size == (size_t) block ? "8169"
                                                                          : "8169,1");

        // Back over an older, longer local file, which it replaces.
        writeFile (localFile (name), pattern (20000));
        ASSERT_EQ (getFile (client, usr + "/" + name, localFile (name).getFullPathName()), 0);
        EXPECT_EQ (readFile (localFile (name)), data);
        juce::StringArray counts;
        for (auto& line : deviceRequests ("FileReadRequest", from))
            counts.add (fieldOf (line, "count"));
        EXPECT_EQ (counts.joinIntoString (","), size == 0                ? ""
                                                : size == 5000           ? "5000"
                                                : size == (size_t) block ? "8169"
                                                                         : "8169,8169");
        EXPECT_EQ (deviceRequests ("FileCloseRequest", from).size(), 2);

        const auto lines = logger.lines();
        const auto blockLines = size == 0 ? juce::StringArray() : strings ({"Block 0 Sent.", "Block 0 Received."});
        EXPECT_EQ (linesStartingWith ("Block "), blockLines);
        EXPECT_EQ (lines.size(), 3 + blockLines.size()) << lines.joinIntoString ("\n");
        EXPECT_TRUE (isThroughputLine (lines[blockLines.size() / 2], (juce::int64) size));
        EXPECT_EQ (lines[blockLines.size() / 2 + 1], "Getting remote file " + usr + "/" + name);
        EXPECT_TRUE (isThroughputLine (lines[lines.size() - 1], (juce::int64) size));
    }
    EXPECT_EQ (namesIn (localFolder.get()), strings ({"f0", "f5000", "f8169", "f8170"})) << "no part file is left";
}

TEST_F (FileTransferTest, LogsProgressEvery256Blocks)
{
    startDevice();
    const auto data = pattern ((size_t) block * 300, 3);
    writeFile (localFile ("big"), data);

    ASSERT_EQ (putFile (client, localFile ("big").getFullPathName(), usr + "/big"), 0);
    ASSERT_EQ (getFile (client, usr + "/big", localFile ("back").getFullPathName()), 0);
    EXPECT_EQ (readFile (deviceFile (usr + "/big")), data);
    EXPECT_EQ (readFile (localFile ("back")), data);
    EXPECT_EQ (linesStartingWith ("Block "),
               strings ({"Block 0 Sent.", "Block 256 Sent.", "Block 0 Received.", "Block 256 Received."}));
    EXPECT_EQ (deviceRequests ("FileWriteRequest").size() + deviceRequests ("FileReadRequest").size(), 600);
}

TEST_F (FileTransferTest, LocalFailuresStillCloseTheRemoteFile)
{
    writeFile (deviceFile (usr + "/there"), pattern (100));
    writeFile (localFile ("folder/inside"), pattern (1));
    startDevice();

    EXPECT_EQ (getFile (client, usr + "/there", localFile ("no/such/folder").getFullPathName()), -1);
    EXPECT_EQ (getFile (client, usr + "/there", localFile ("folder").getFullPathName()), -1);
    EXPECT_EQ (logger.lines(), strings ({"Getting remote file " + usr + "/there", "Couldn't create output stream",
                                         "Getting remote file " + usr + "/there",
                                         "Couldn't write file - " + localFile ("folder").getFullPathName()}));
    EXPECT_EQ (deviceRequests ("FileOpenRequest").size(), 2);
    EXPECT_EQ (deviceRequests ("FileCloseRequest").size(), 2);
    EXPECT_EQ (namesIn (localFolder.get()), strings ({"folder"}));
    EXPECT_EQ (namesIn (localFile ("folder")), strings ({"inside"}));
}

TEST_F (FileTransferTest, HangUpWhileFetchingKeepsTheOldFile)
{
    writeFile (deviceFile (usr + "/big"), pattern ((size_t) block * 40, 5));
    writeFile (localFile ("big"), pattern (999, 9));
    startDevice ({"--hangup-after-sent", juce::String (block * 10)});

    EXPECT_EQ (getFile (client, usr + "/big", localFile ("big").getFullPathName()), -1);
    const auto lines = logger.lines();
    EXPECT_EQ (lines[lines.size() - 1], "Failed on read") << "nobody is left to close the file with";
    EXPECT_EQ (readFile (localFile ("big")), pattern (999, 9));
    EXPECT_EQ (namesIn (localFolder.get()), strings ({"big"}));
}

TEST_F (FileTransferTest, HangUpWhileSendingFailsTheWrite)
{
    writeFile (localFile ("big"), pattern ((size_t) block * 40, 5));
    startDevice ({"--hangup-after-received", juce::String (block * 10)});

    EXPECT_EQ (putFile (client, localFile ("big").getFullPathName(), usr + "/big"), -1);
    const auto lines = logger.lines();
    EXPECT_EQ (lines[lines.size() - 1], "Failed on write");
    EXPECT_TRUE (lines.contains ("Block 0 Sent."));
}

//==============================================================================
/** Transfers that fail in ways only a hand-played device produces. */
class ScriptedTransferTest : public ScriptedDeviceTest
{
protected:
    static juce::MemoryBlock opened (const ScriptedDevice::Request& r, juce::int64 size)
    {
        juce::MemoryOutputStream fields;
        fields.writeInt64 (42);
        fields.writeInt64 (size);
        return ScriptedDevice::response (FileOpenResponse::id, r.serial, fields.getMemoryBlock());
    }

    UniqueFolder local;
};

TEST_F (ScriptedTransferTest, AReadWithoutDataEndsTheFetch)
{
    const auto target = local.get().getChildFile ("target");
    ASSERT_TRUE (target.replaceWithText ("old"));
    play (3,
          [] (const ScriptedDevice::Request& r)
          {
              if (r.id == FileOpenRequest::id)
                  return opened (r, 100);
              if (r.id != FileReadRequest::id)
                  return success (r);
              juce::MemoryOutputStream fields;
              fields.writeInt64 (0);
              fields.writeInt (0); // no data, though 100 bytes are due
              return ScriptedDevice::response (FileReadResponse::id, r.serial, fields.getMemoryBlock());
          });

    EXPECT_EQ (getFile (*client, "/f", target.getFullPathName()), -1);
    EXPECT_EQ (logger.lines(), strings ({"Getting remote file /f", "Failed on read"}));
    EXPECT_EQ (target.loadFileAsString(), "old");
    EXPECT_EQ (local.get().getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 1);
    EXPECT_EQ (requestIds(), strings ({"10", "12", "16"})) << "open, read, then the close a failure still owes";
}

TEST_F (ScriptedTransferTest, AFailedCloseAfterTheLastBlockKeepsTheFileButFails)
{
    const auto target = local.get().getChildFile ("target");
    ASSERT_TRUE (target.replaceWithText ("old"));
    play (3,
          [] (const ScriptedDevice::Request& r)
          {
              if (r.id == FileOpenRequest::id)
                  return opened (r, 5);
              if (r.id == FileCloseRequest::id)
                  return failure (r, "Busy");
              juce::MemoryOutputStream fields;
              fields.writeInt64 (0);
              fields.writeInt (5);
              fields.write ("fresh", 5);
              return ScriptedDevice::response (FileReadResponse::id, r.serial, fields.getMemoryBlock());
          });

    EXPECT_EQ (getFile (*client, "/f", target.getFullPathName()), -1);
    EXPECT_EQ (target.loadFileAsString(), "fresh") << "every byte arrived, so the file is the device's";
    EXPECT_EQ (local.get().getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 1);
    const auto lines = logger.lines();
    ASSERT_EQ (lines.size(), 4) << lines.joinIntoString ("\n");
    EXPECT_EQ (lines[0], "Getting remote file /f");
    EXPECT_EQ (lines[1], "Block 0 Received.");
    EXPECT_TRUE (lines[2].startsWith ("Busy serial# "));
    EXPECT_EQ (lines[3], "failed to close remote file");
}

TEST_F (ScriptedTransferTest, ARefusedBlockEndsTheSend)
{
    const auto source = local.get().getChildFile ("source");
    const juce::MemoryBlock zeros ((size_t) block * 3, true);
    ASSERT_TRUE (source.replaceWithData (zeros.getData(), zeros.getSize()));
    int writes = 0;
    play (6,
          [&writes] (const ScriptedDevice::Request& r)
          {
              if (r.id == FolderContentsRequest::id)
                  return ScriptedDevice::response (FolderContentsResponse::id, r.serial, juce::MemoryBlock (8, true));
              if (r.id == FileOpenRequest::id)
                  return opened (r, 0);
              return r.id == FileWriteRequest::id && ++writes == 2 ? failure (r, "Full") : success (r);
          });

    EXPECT_EQ (putFile (*client, source.getFullPathName(), "/f"), -1);
    const auto lines = logger.lines();
    ASSERT_EQ (lines.size(), 3) << lines.joinIntoString ("\n");
    EXPECT_EQ (lines[0], "Block 0 Sent.");
    EXPECT_TRUE (lines[1].startsWith ("Full serial# "));
    EXPECT_EQ (lines[2], "Failed on write");
    EXPECT_EQ (requestIds(), strings ({"17", "10", "14", "14", "16", "9"}))
        << "listing, open, two blocks, then the close and the part file's delete that a failure owes";
}

//==============================================================================
class FolderTransferTest : public SimulatedDeviceTest
{
protected:
    /** Three levels deep: files at every level, an empty folder, a hidden file. */
    void makeTree (const juce::File& root)
    {
        writeFile (root.getChildFile ("top.txt"), pattern (10, 1));
        writeFile (root.getChildFile (".hidden"), pattern (20, 2));
        writeFile (root.getChildFile ("one/mid.bin"), pattern ((size_t) block + 5, 3));
        writeFile (root.getChildFile ("one/two/empty.txt"), {});
        writeFile (root.getChildFile ("one/two/three/deepest.txt"), pattern (33, 5));
        ASSERT_TRUE (root.getChildFile ("none").createDirectory().wasOk());
    }

    static void expectSameTree (const juce::File& expected, const juce::File& actual)
    {
        EXPECT_EQ (namesIn (actual), namesIn (expected)) << actual.getFullPathName();
        for (auto& child : expected.findChildFiles (juce::File::findFilesAndDirectories, false, "*"))
        {
            if (child.isDirectory())
                expectSameTree (child, actual.getChildFile (child.getFileName()));
            else
                EXPECT_EQ (readFile (actual.getChildFile (child.getFileName())), readFile (child))
                    << child.getFullPathName();
        }
    }
};

TEST_F (FolderTransferTest, CopiesATreeBothWays)
{
    makeTree (localFile ("tree"));
    ASSERT_EQ (::symlink ("..", localFile ("tree/one/loop").getFullPathName().toRawUTF8()), 0);
    ASSERT_EQ (::symlink ("top.txt", localFile ("tree/alias.txt").getFullPathName().toRawUTF8()), 0);
    startDevice();

    // A link to a folder is skipped (this one would loop for ever), a link to a file sent.
    ASSERT_EQ (putFolder (client, localFile ("tree").getFullPathName(), usr + "/copy"), 0);
    EXPECT_TRUE (logger.contains ("Skipping link to folder " + localFile ("tree/one/loop").getFullPathName()));
    ASSERT_EQ (::unlink (localFile ("tree/one/loop").getFullPathName().toRawUTF8()), 0);
    expectSameTree (localFile ("tree"), deviceFile (usr + "/copy"));
    EXPECT_TRUE (deviceRequests ("FileSystemEntryCreateRequest")
                     .contains ("FileSystemEntryCreateRequest isFolder=1 flag=1 path=" + usr + "/copy"));

    // Named after the remote folder (a trailing "/" aside), or as the caller says.
    ASSERT_EQ (getFolder (client, usr + "/copy/", localFile ("into").getParentDirectory().getFullPathName(), ""), 0);
    expectSameTree (localFile ("tree"), localFile ("copy"));
    ASSERT_EQ (getFolder (client, usr + "/copy/one", localFile ("copy").getFullPathName(), "named"), 0);
    expectSameTree (localFile ("tree/one"), localFile ("copy/named"));
    EXPECT_EQ (getFolder (client, usr, localFile ("not-there").getFullPathName(), ""), -1);
}

TEST_F (FolderTransferTest, PutFolderNeedsTheRemoteFolderFacts)
{
    makeTree (localFile ("tree"));
    startDevice();

    EXPECT_EQ (putFolder (client, localFile ("tree").getFullPathName(), "/../elsewhere"), -1);
    const auto lines = logger.lines();
    ASSERT_EQ (lines.size(), 2);
    EXPECT_TRUE (lines[0].startsWith ("Path outside the device file system: /../elsewhere serial# "));
    EXPECT_EQ (lines[1], "Can't get info for remote folder.");
    EXPECT_EQ (deviceRequests().size(), 1);
}

// Names like the partial file's and its record's are anybody's: a device's folder may
// hold them, and so may the user's. Neither is written over, nor removed.
TEST_F (FolderTransferTest, FilesNamedLikeAPartialFileOrItsRecordAreLeftAlone)
{
    for (auto* name : {"a", "a.nubo-partial", "a.nubo-partial.info"})
        writeFile (deviceFile (usr + "/tree/" + name),
                   pattern (100 + juce::String (name).length(), juce::String (name).length()));
    startDevice();

    ASSERT_TRUE (localFile ("copy").createDirectory().wasOk());
    ASSERT_EQ (getFolder (client, usr + "/tree", localFile ("copy").getFullPathName(), "tree"), 0);
    for (auto* name : {"a", "a.nubo-partial", "a.nubo-partial.info"})
        EXPECT_EQ (readFile (localFile ("copy/tree").getChildFile (name)),
                   readFile (deviceFile (usr + "/tree/" + name)))
            << name;
    EXPECT_EQ (namesIn (localFile ("copy/tree")), strings ({"a", "a.nubo-partial", "a.nubo-partial.info"}));

    // The user's own files of those names beside a file the window fetches.
    ASSERT_TRUE (localFile ("mine").createDirectory().wasOk());
    writeFile (localFile ("mine/a.nubo-partial"), pattern (7, 70));
    writeFile (localFile ("mine/a.nubo-partial.info"), pattern (8, 80));
    ASSERT_EQ (getFile (client, usr + "/tree/a", localFile ("mine/a").getFullPathName()), 0);
    EXPECT_EQ (readFile (localFile ("mine/a")), readFile (deviceFile (usr + "/tree/a")));
    EXPECT_EQ (readFile (localFile ("mine/a.nubo-partial")), pattern (7, 70));
    EXPECT_EQ (readFile (localFile ("mine/a.nubo-partial.info")), pattern (8, 80));
    EXPECT_EQ (namesIn (localFile ("mine")), strings ({"a", "a.nubo-partial", "a.nubo-partial.info"}));
}

TEST_F (FolderTransferTest, GetFolderStaysInsideTheChosenFolder)
{
    writeFile (deviceFile (usr + "/fine.txt"), pattern (5));
    writeFile (deviceFile (usr + "/victim.txt"), pattern (6));
    writeFile (deviceFile (usr + "/linked/inner.txt"), pattern (7));
    writeFile (deviceFile (usr + "/bad" + juce::String::charToString (1) + "name"), pattern (8));
    ASSERT_TRUE (deviceFile (usr + "/evil").createDirectory().wasOk());
    startDevice ({"--unsafe-names", "--tilde-names"});

    // Links the user already had in the target: neither may be written through.
    const auto outside = localFile ("outside"), target = localFile ("parent/usr");
    writeFile (outside.getChildFile ("keep.txt"), pattern (9));
    ASSERT_TRUE (target.createDirectory().wasOk());
    ASSERT_EQ (::symlink (outside.getChildFile ("keep.txt").getFullPathName().toRawUTF8(),
                          target.getChildFile ("victim.txt").getFullPathName().toRawUTF8()),
               0);
    ASSERT_EQ (
        ::symlink (outside.getFullPathName().toRawUTF8(), target.getChildFile ("linked").getFullPathName().toRawUTF8()),
        0);

    // Every entry left out counts as failed: the copy is not the device's folder. The
    // listing of usr holds 15 unsafe names (one a real file), that of evil 14, and
    // "linked" is a link.
    ASSERT_EQ (getFolder (client, usr, localFile ("parent").getFullPathName(), ""), -1);
    EXPECT_EQ (logger.lines()[logger.lines().size() - 1],
               juce::String ("Folder transfer finished: 2 transferred, 30 failed"));

    EXPECT_EQ (readFile (target.getChildFile ("fine.txt")), pattern (5));
    EXPECT_EQ (readFile (target.getChildFile ("victim.txt")), pattern (6));
    EXPECT_FALSE (target.getChildFile ("victim.txt").isSymbolicLink());
    EXPECT_EQ (readFile (outside.getChildFile ("keep.txt")), pattern (9));
    EXPECT_EQ (namesIn (outside), strings ({"keep.txt"}));
    EXPECT_EQ (namesIn (localFolder.get()), strings ({"outside", "parent"}));
    EXPECT_EQ (namesIn (localFile ("parent")), strings ({"usr"}));
    EXPECT_EQ (namesIn (target), strings ({"evil", "fine.txt", "linked", "victim.txt"}));

    for (auto& name : {"..", "../x", "a/b", "/abs", "", "../evil", "bad\\x01name", "~", "~user", "~/x"})
        EXPECT_TRUE (logger.contains ("Skipping unsafe name " + juce::String (name))) << name;
    EXPECT_TRUE (logger.contains ("Skipping link " + target.getChildFile ("linked").getFullPathName()));
    for (auto& line : deviceRequests())
        EXPECT_FALSE (line.contains ("..") || line.contains ("a/b") || line.contains ("//abs")) << line;
}

//==============================================================================
/** A leading "~" is a name: never the operator's home folder. */
class TildeNameTest : public SimulatedDeviceTest
{
protected:
    void SetUp() override
    {
        SimulatedDeviceTest::SetUp();
        if (const char* old = ::getenv ("HOME"))
            previousHome = old;
        ASSERT_TRUE (home().createDirectory().wasOk());
        ::setenv ("HOME", home().getFullPathName().toRawUTF8(), 1);
    }

    void TearDown() override
    {
        if (previousHome.isNotEmpty())
            ::setenv ("HOME", previousHome.toRawUTF8(), 1);
        else
            ::unsetenv ("HOME");
        if (previousFolder != juce::File())
            previousFolder.setAsCurrentWorkingDirectory();
        SimulatedDeviceTest::TearDown();
    }

    juce::File home() const
    {
        return scratch.get().getChildFile ("home");
    }

    juce::String previousHome;
    juce::File previousFolder;
};

TEST_F (TildeNameTest, FolderFetchLeavesTheHomeFolderAlone)
{
    writeFile (deviceFile (usr + "/~/.ssh/authorized_keys"), pattern (40));
    writeFile (deviceFile (usr + "/~nobody"), pattern (4));
    writeFile (deviceFile (usr + "/plain.txt"), pattern (5));
    startDevice ({"--tilde-names"});

    EXPECT_EQ (getFolder (client, usr, localFolder.get().getFullPathName(), ""), -1);

    EXPECT_EQ (namesIn (home()), juce::StringArray());
    EXPECT_EQ (namesIn (localFile ("usr")), strings ({"plain.txt"}));
    for (auto& name : {"~", "~nobody", "~user", "~/x"})
        EXPECT_TRUE (logger.contains ("Skipping unsafe name " + juce::String (name))) << name;
}

TEST_F (TildeNameTest, RelativeLocalPathsStayInTheCurrentFolder)
{
    writeFile (deviceFile (usr + "/mac.txt"), pattern (17));
    // (getChildFile would expand the "~")
    const juce::File tilde (localFolder.get().getFullPathName() + "/~");
    ASSERT_TRUE (tilde.createDirectory().wasOk());
    startDevice();
    previousFolder = juce::File::getCurrentWorkingDirectory();
    ASSERT_TRUE (localFolder.get().setAsCurrentWorkingDirectory());

    EXPECT_EQ (getFile (client, usr + "/mac.txt", "~/mac.txt"), 0);
    EXPECT_EQ (getFolder (client, usr, "~", "copy"), 0);
    EXPECT_EQ (putFile (client, "~/mac.txt", usr + "/back.txt"), 0);

    EXPECT_EQ (readFile (juce::File (tilde.getFullPathName() + "/mac.txt")), pattern (17));
    EXPECT_EQ (readFile (juce::File (tilde.getFullPathName() + "/copy/mac.txt")), pattern (17));
    EXPECT_EQ (readFile (deviceFile (usr + "/back.txt")), pattern (17));
    EXPECT_EQ (namesIn (home()), juce::StringArray()) << logger.lines().joinIntoString ("\n");
}

//==============================================================================
/** A send replaces the device's file only once the new one is complete. */
class SafeSendTest : public SimulatedDeviceTest
{
protected:
    void SetUp() override
    {
        SimulatedDeviceTest::SetUp();
        writeFile (deviceFile (usr + "/f.bin"), oldBytes);
        writeFile (localFile ("new.bin"), newBytes);
    }

    const juce::MemoryBlock oldBytes = pattern (3000, 7), newBytes = pattern ((size_t) block * 20, 8);
    const juce::String part = usr + "/.f.bin.nubo-part";
};

TEST_F (SafeSendTest, AGoodSendReplacesTheOldFile)
{
    startDevice();

    ASSERT_EQ (putFile (client, localFile ("new.bin").getFullPathName(), usr + "/f.bin"), 0);

    EXPECT_EQ (readFile (deviceFile (usr + "/f.bin")), newBytes);
    EXPECT_EQ (namesIn (deviceFile (usr)), strings ({"f.bin"}));
    EXPECT_EQ (deviceRequests ("FileOpenRequest"), strings ({"FileOpenRequest access=2 readFlag=0 path=" + part}));
    EXPECT_EQ (deviceRequests ("FileSystemEntryDeleteRequest"),
               strings ({"FileSystemEntryDeleteRequest flag1=1 flag2=1 flag3=0 path=" + usr + "/f.bin"}));
    EXPECT_EQ (
        deviceRequests ("FileSystemEntryMoveRequest"),
        strings ({"FileSystemEntryMoveRequest isFolder=0 flagA=0 flagB=1 old=" + part + " new=" + usr + "/f.bin"}));
}

TEST_F (SafeSendTest, AFailedSendKeepsTheOldFile)
{
    struct Case
    {
        const char* what;
        juce::StringArray options;
        bool deviceAnswersAfterwards;
    };
    // Requests: 1 listing, 2 open, 3... blocks.
    const Case cases[] = {
        {"an unanswered block", {"--drop", "5"}, true},
        {"a refused part file", {"--refuse-create", part}, true},
        {"a hang-up mid-send", {"--hangup-after-received", juce::String (block * 10)}, false},
    };

    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        startDevice (c.options);

        EXPECT_EQ (putFile (client, localFile ("new.bin").getFullPathName(), usr + "/f.bin"), -1);
        EXPECT_EQ (readFile (deviceFile (usr + "/f.bin")), oldBytes);
        if (c.deviceAnswersAfterwards)
        {
            EXPECT_EQ (namesIn (deviceFile (usr)), strings ({"f.bin"})) << "no part file is left";
        }
        deviceFile (part).deleteFile();
    }
}

TEST_F (SafeSendTest, TheLocalFileIsCheckedBeforeTheDeviceIsTouched)
{
    ASSERT_EQ (::mkfifo (localFile ("fifo").getFullPathName().toRawUTF8(), 0600), 0);
    startDevice();

    for (auto& source : {"missing", "fifo", ""})
    {
        EXPECT_EQ (putFile (client, localFile (source).getFullPathName(), usr + "/f.bin"), -1) << source;
        EXPECT_EQ (putFileInPlace (client, localFile (source).getFullPathName(), usr + "/f.bin"), -1) << source;
    }

    EXPECT_EQ (putFolder (client, localFile ("missing").getFullPathName(), usr), -1);

    juce::StringArray expected;
    for (int i = 0; i < 6; ++i)
        expected.add ("Couldn't create input stream");
    expected.add ("Couldn't read folder " + localFile ("missing").getFullPathName());
    EXPECT_EQ (logger.lines(), expected);
    EXPECT_EQ (deviceRequests(), juce::StringArray());
    EXPECT_EQ (readFile (deviceFile (usr + "/f.bin")), oldBytes);
}

TEST_F (SafeSendTest, AFolderInTheWayIsNotReplaced)
{
    writeFile (deviceFile (usr + "/dir/inner"), pattern (3));
    startDevice();

    EXPECT_EQ (putFile (client, localFile ("new.bin").getFullPathName(), usr + "/dir"), -1);
    EXPECT_TRUE (logger.contains ("Remote path is a folder: " + usr + "/dir"));
    EXPECT_EQ (readFile (deviceFile (usr + "/dir/inner")), pattern (3));
    EXPECT_EQ (deviceRequests ("FileOpenRequest"), juce::StringArray());
}

TEST_F (SafeSendTest, InPlaceSendWritesStraightIntoTheFile)
{
    startDevice();

    ASSERT_EQ (putFileInPlace (client, localFile ("new.bin").getFullPathName(), usr + "/f.bin"), 0);

    EXPECT_EQ (readFile (deviceFile (usr + "/f.bin")), newBytes);
    EXPECT_EQ (deviceRequests ("FileOpenRequest"),
               strings ({"FileOpenRequest access=2 readFlag=0 path=" + usr + "/f.bin"}));
    EXPECT_EQ (deviceRequests ("FileSystemEntryMoveRequest"), juce::StringArray());
    EXPECT_EQ (linesStartingWith ("Block "), strings ({"Block 0 Sent."}));
}

//==============================================================================
/** Fetches onto local paths that are not plain files in writable folders. */
class LocalTargetTest : public SimulatedDeviceTest
{
protected:
    void SetUp() override
    {
        SimulatedDeviceTest::SetUp();
        writeFile (deviceFile (remote), bytes);
    }

    const juce::String remote = usr + "/data.bin";
    const juce::MemoryBlock bytes = pattern ((size_t) block * 3 + 5, 11);
};

TEST (LocalFileTargetRoom, RoomSetAsideIsKeptOnlyWhereWritten)
{
    UniqueFolder folder;
    const auto file = folder.get().getChildFile ("f");
    {
        LocalFileTarget target (file, LocalFileTarget::Links::writeThrough);
        ASSERT_TRUE (target.open());
        ASSERT_TRUE (target.reserve (100000));
        EXPECT_EQ (target.reservedEnd(), 100000);
        ASSERT_TRUE (target.stream().write ("0123456789", 10));
        ASSERT_TRUE (target.commit());
    }
    EXPECT_EQ (file.loadFileAsString(), "0123456789");

    // Nothing can be set aside in a device.
    LocalFileTarget device (juce::File ("/dev/null"), LocalFileTarget::Links::writeThrough);
    ASSERT_TRUE (device.open());
    EXPECT_FALSE (device.reserve (100));
    EXPECT_EQ (device.reservedEnd(), 0);
}

// Blocks that land in the room set aside are gathered, several to a write: every one of
// them, and those written past the room after them, must reach the file in order, for
// a new file and for one copied into place from the spool alike; an abandoned file
// leaves nothing behind.
TEST (LocalFileTargetRoom, GatheredBlocksAllReachTheFileInOrder)
{
    constexpr int blockSize = 8169, blocks = 23, inRoom = 17;
    juce::MemoryBlock all;
    for (int i = 0; i < blocks; ++i)
    {
        juce::MemoryBlock one ((size_t) blockSize);
        std::memset (one.getData(), 'A' + i, one.getSize());
        one[0] = (char) i; // each block tells where it belongs
        all.append (one.getData(), one.getSize());
    }

    UniqueFolder folder;
    const auto readOnly = folder.get().getChildFile ("ro");
    ASSERT_EQ (::chmod (folder.get().getFullPathName().toRawUTF8(), 0755), 0);
    ASSERT_TRUE (readOnly.createDirectory().wasOk());
    ASSERT_TRUE (readOnly.getChildFile ("kept").replaceWithText ("old"));
    ASSERT_EQ (::chmod (readOnly.getChildFile ("kept").getFullPathName().toRawUTF8(), 0666), 0);
    ASSERT_EQ (::chmod (readOnly.getFullPathName().toRawUTF8(), 0555), 0);

    // Room for the first blocks only, and room for more than all of them (whose end is
    // trimmed off again).
    for (const int room : {inRoom, blocks + 7})
        for (const auto& file : {folder.get().getChildFile ("new"), readOnly.getChildFile ("kept")})
        {
            SCOPED_TRACE (file.getFullPathName().toStdString() + ", room for " + std::to_string (room));
            std::optional<UnprivilegedFiles> asSomeoneElse;
            if (file.getParentDirectory() == readOnly)
                asSomeoneElse.emplace(); // the folder takes no new file: spooled, then copied in
            LocalFileTarget target (file, LocalFileTarget::Links::writeThrough);
            ASSERT_TRUE (target.open());
            ASSERT_TRUE (target.reserve ((juce::int64) room * blockSize));
            for (int i = 0; i < blocks; ++i)
            {
                ASSERT_TRUE (target.stream().write (all.begin() + (size_t) i * blockSize, (size_t) blockSize));
                EXPECT_EQ (target.stream().getPosition(), (juce::int64) (i + 1) * blockSize);
            }
            ASSERT_TRUE (target.commit());

            juce::MemoryBlock written;
            ASSERT_TRUE (file.loadFileAsData (written));
            EXPECT_EQ (written.getSize(), all.getSize());
            EXPECT_TRUE (written == all);
        }

    const auto abandoned = folder.get().getChildFile ("abandoned");
    {
        LocalFileTarget target (abandoned, LocalFileTarget::Links::writeThrough);
        ASSERT_TRUE (target.open());
        ASSERT_TRUE (target.reserve ((juce::int64) inRoom * blockSize));
        ASSERT_TRUE (target.stream().write (all.getData(), (size_t) blockSize));
    }
    EXPECT_FALSE (abandoned.exists());
    EXPECT_EQ (
        folder.get().getNumberOfChildFiles (juce::File::findFilesAndDirectories | juce::File::ignoreHiddenFiles, "*"),
        2)
        << "new and ro only";
    EXPECT_EQ (folder.get().getNumberOfChildFiles (juce::File::findFilesAndDirectories, ".*"), 0)
        << "no part file stays behind";
    EXPECT_EQ (readOnly.getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 1);
    ::chmod (readOnly.getFullPathName().toRawUTF8(), 0755);
}

// Room set aside does not make a write certain (a size limit still holds, and a disk
// can fail): gathered blocks that cannot be written fail the commit, and the file that
// was there stays as it was.
TEST (LocalFileTargetRoom, GatheredBlocksThatCannotBeWrittenFailTheCommit)
{
    UniqueFolder folder;
    const auto file = folder.get().getChildFile ("f");
    ASSERT_TRUE (file.replaceWithText ("old"));
    CapturingLogger logger;
    setGlobalLogger (&logger);

    std::signal (SIGXFSZ, SIG_IGN);
    rlimit before{};
    ASSERT_EQ (::getrlimit (RLIMIT_FSIZE, &before), 0);
    {
        LocalFileTarget target (file, LocalFileTarget::Links::writeThrough);
        ASSERT_TRUE (target.open());
        ASSERT_TRUE (target.reserve (100000));
        const juce::MemoryBlock block (8000, true);
        ASSERT_TRUE (target.stream().write (block.getData(), block.getSize()));

        // Only now: the room is there already, and the bytes are only gathered.
        rlimit small = before;
        small.rlim_cur = 1000;
        ASSERT_EQ (::setrlimit (RLIMIT_FSIZE, &small), 0);
        ASSERT_TRUE (target.stream().write (block.getData(), block.getSize()));
        EXPECT_FALSE (target.commit());
        ::setrlimit (RLIMIT_FSIZE, &before);
    }
    setGlobalLogger (nullptr);

    EXPECT_EQ (file.loadFileAsString(), "old");
    EXPECT_EQ (logger.lines(), strings ({"Couldn't write file - " + file.getFullPathName() + ": " +
                                         juce::String (std::strerror (EFBIG))}));
    EXPECT_EQ (folder.get().getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 1)
        << "no part file stays behind";
}

TEST_F (LocalTargetTest, APipeWithAReaderGetsTheBytes)
{
    const auto fifo = localFile ("fifo").getFullPathName();
    ASSERT_EQ (::mkfifo (fifo.toRawUTF8(), 0600), 0);
    startDevice();
    BackgroundReader reader (::open (fifo.toRawUTF8(), O_RDONLY | O_NONBLOCK), bytes.getSize() + 1);

    ASSERT_EQ (getFile (client, remote, fifo), 0);
    EXPECT_EQ (reader.take(), bytes);
    EXPECT_EQ (fileTypeOf (fifo), (mode_t) S_IFIFO);
}

TEST_F (LocalTargetTest, APipeWithoutAReaderFailsAtOnce)
{
    const auto fifo = localFile ("fifo").getFullPathName();
    ASSERT_EQ (::mkfifo (fifo.toRawUTF8(), 0600), 0);
    startDevice();

    EXPECT_EQ (getFile (client, remote, fifo), -1);
    EXPECT_TRUE (logger.contains ("Couldn't write file - " + fifo + ": nobody is reading the pipe"));
    EXPECT_EQ (fileTypeOf (fifo), (mode_t) S_IFIFO);
    EXPECT_EQ (namesIn (localFolder.get()), strings ({"fifo"}));
    EXPECT_EQ (deviceRequests ("FileCloseRequest").size(), 1);
}

TEST_F (LocalTargetTest, ACharacterDeviceIsWrittenNotReplaced)
{
    // A terminal in raw mode stands for any character device: what goes in comes out
    // of the other end, and its folder takes no new files.
    const auto master = ::posix_openpt (O_RDWR | O_NOCTTY);
    ASSERT_GE (master, 0);
    ASSERT_EQ (::grantpt (master) | ::unlockpt (master), 0);
    const juce::String terminal (::ptsname (master));
    const auto keepOpen = ::open (terminal.toRawUTF8(), O_RDWR | O_NOCTTY);
    termios raw;
    ASSERT_EQ (::tcgetattr (keepOpen, &raw), 0);
    ::cfmakeraw (&raw);
    ASSERT_EQ (::tcsetattr (keepOpen, TCSANOW, &raw), 0);
    BackgroundReader reader (master, bytes.getSize());
    startDevice();

    EXPECT_EQ (getFile (client, remote, terminal), 0);
    EXPECT_EQ (reader.take(), bytes);
    EXPECT_EQ (fileTypeOf (terminal), (mode_t) S_IFCHR);
    ::close (keepOpen);
}

TEST_F (LocalTargetTest, ALinkIsWrittenThrough)
{
    writeFile (localFile ("real"), pattern (9));
    ASSERT_TRUE (localFile ("sub").createDirectory().wasOk());
    ASSERT_EQ (::symlink ("real", localFile ("link").getFullPathName().toRawUTF8()), 0);
    ASSERT_EQ (::symlink ("sub/fresh", localFile ("dangling").getFullPathName().toRawUTF8()), 0);
    ASSERT_EQ (::symlink ("link", localFile ("chain").getFullPathName().toRawUTF8()), 0);
    startDevice();

    for (auto& name : {"link", "dangling", "chain"})
    {
        EXPECT_EQ (getFile (client, remote, localFile (name).getFullPathName()), 0) << name;
        EXPECT_TRUE (localFile (name).isSymbolicLink()) << name;
    }
    EXPECT_EQ (readFile (localFile ("real")), bytes);
    EXPECT_EQ (readFile (localFile ("sub/fresh")), bytes);
    EXPECT_EQ (namesIn (localFolder.get()), strings ({"chain", "dangling", "link", "real", "sub"}));
    EXPECT_EQ (namesIn (localFile ("sub")), strings ({"fresh"}));
}

TEST_F (LocalTargetTest, AWritableFileInAReadOnlyFolderIsWrittenInPlace)
{
    const auto folder = localFile ("ro"), target = localFile ("ro/mac.txt");
    writeFile (target, pattern (9));
    ASSERT_EQ (::chmod (localFolder.get().getFullPathName().toRawUTF8(), 0755), 0);
    ASSERT_EQ (::chmod (target.getFullPathName().toRawUTF8(), 0666), 0);
    ASSERT_EQ (::chmod (folder.getFullPathName().toRawUTF8(), 0555), 0);

    // First a fetch that fails half-way: the file is not touched.
    startDevice ({"--hangup-after-sent", juce::String (block * 2)});
    {
        UnprivilegedFiles asSomeoneElse;
        EXPECT_EQ (getFile (client, remote, target.getFullPathName()), -1);
    }
    EXPECT_EQ (readFile (target), pattern (9));

    startDevice();
    logger.clear();
    {
        UnprivilegedFiles asSomeoneElse;
        EXPECT_EQ (getFile (client, remote, target.getFullPathName()), 0);
        EXPECT_EQ (getFile (client, remote, localFile ("ro/new.txt").getFullPathName()), -1);
    }
    EXPECT_EQ (readFile (target), bytes);
    EXPECT_EQ (namesIn (folder), strings ({"mac.txt"}));
    EXPECT_TRUE (logger.contains ("No temporary file can be made beside " + target.getFullPathName() +
                                  ": it is written in place once every byte has arrived"));
    EXPECT_TRUE (logger.contains ("Couldn't create output stream"));
    ASSERT_EQ (::chmod (folder.getFullPathName().toRawUTF8(), 0755), 0);
}

//==============================================================================
struct SizeCase
{
    const char* what;
    const char* option;
    const char* value;
    size_t size;
    const char* line;
};

void PrintTo (const SizeCase& c, std::ostream* os)
{
    *os << c.what;
}

/** Sizes the device reports that cannot be true. */
class UntrustedSizeTest : public SimulatedDeviceTest, public ::testing::WithParamInterface<SizeCase>
{
};

TEST_P (UntrustedSizeTest, FailsAndKeepsNothingUnderTheFinalName)
{
    writeFile (deviceFile (usr + "/data.bin"), pattern (GetParam().size, 3));
    writeFile (localFile ("old.txt"), pattern (9));
    startDevice ({GetParam().option, GetParam().value});

    EXPECT_EQ (getFile (client, usr + "/data.bin", localFile ("old.txt").getFullPathName()), -1);
    EXPECT_EQ (getFile (client, usr + "/data.bin", localFile ("new.txt").getFullPathName()), -1);

    EXPECT_EQ (linesStartingWith ("Protocol error: "), strings ({GetParam().line, GetParam().line}));
    EXPECT_EQ (readFile (localFile ("old.txt")), pattern (9));
    EXPECT_EQ (namesIn (localFolder.get()), strings ({"old.txt"}));
    EXPECT_EQ (deviceRequests ("FileCloseRequest").size(), 2);
}

INSTANTIATE_TEST_SUITE_P (
    Table, UntrustedSizeTest,
    ::testing::Values (SizeCase{"NegativeSize", "--file-size", "-1", 100,
                                "Protocol error: file size -1 from the device"},
                       SizeCase{"LongerThanAsked", "--long-reads", "3", 5000,
                                "Protocol error: read answer of 5003 bytes, 5000 at most were due"},
                       SizeCase{"PastTheEnd", "--long-reads", "3", (size_t) block * 2 + 100,
                                "Protocol error: read answer of 103 bytes, 100 at most were due"}),
    [] (const ::testing::TestParamInfo<SizeCase>& info) { return std::string (info.param.what); });

//==============================================================================
/** Folder trees that never end, and folder transfers with one failed entry. */
class FolderBoundsTest : public SimulatedDeviceTest
{
protected:
    static int levelsOf (juce::File folder, const juce::String& name)
    {
        int levels = 0;
        while ((folder = folder.getChildFile (name)).isDirectory())
            ++levels;
        return levels;
    }
};

TEST_F (FolderBoundsTest, AFolderThatContainsItselfStops32LevelsDown)
{
    writeFile (deviceFile (usr + "/f.txt"), pattern (3));
    startDevice ({"--self-folder", "self"});

    EXPECT_EQ (getFolder (client, usr, localFolder.get().getFullPathName(), ""), -1);

    EXPECT_EQ (levelsOf (localFile ("usr"), "self"), 31);
    EXPECT_TRUE (logger.contains ("Skipping folder nested deeper than 32 levels: " + usr +
                                  juce::String ("/self").repeatedString ("/self", 32)));
    EXPECT_EQ (logger.lines()[logger.lines().size() - 1],
               juce::String ("Folder transfer finished: 32 transferred, 1 failed"));
}

TEST_F (FolderBoundsTest, PathsLongerThanTheSystemAllowsAreSkipped)
{
    writeFile (deviceFile (usr + "/f.txt"), pattern (3));
    const auto name = juce::String::repeatedString ("n", 200);
    startDevice ({"--self-folder", name});

    EXPECT_EQ (getFolder (client, usr, localFolder.get().getFullPathName(), ""), -1);

    const auto levels = levelsOf (localFile ("usr"), name);
    EXPECT_GT (levels, 10);
    EXPECT_LT (levels, 31);
    EXPECT_EQ (linesStartingWith ("Skipping path longer than the system allows: ").size(), 1);
}

TEST_F (FolderBoundsTest, PutFolderStops32LevelsDown)
{
    juce::File deepest = localFile ("tree");
    for (int i = 0; i < 33; ++i)
        deepest = deepest.getChildFile ("d");
    writeFile (deepest.getChildFile ("f.txt"), pattern (3));
    startDevice();

    EXPECT_EQ (putFolder (client, localFile ("tree").getFullPathName(), usr + "/tree"), -1);

    EXPECT_EQ (levelsOf (deviceFile (usr + "/tree"), "d"), 31);
    EXPECT_TRUE (logger.contains ("Skipping folder nested deeper than 32 levels: " +
                                  deepest.getParentDirectory().getFullPathName()));
    EXPECT_EQ (logger.lines()[logger.lines().size() - 1],
               juce::String ("Folder transfer finished: 0 transferred, 1 failed"));
}

TEST_F (FolderBoundsTest, OneFailedEntryFailsTheFolderAfterTheOthers)
{
    writeFile (deviceFile (usr + "/a.txt"), pattern (1));
    writeFile (deviceFile (usr + "/b.txt"), pattern (2));
    writeFile (localFile ("tree/a.txt"), pattern (3));
    writeFile (localFile ("tree/b.txt"), pattern (4));
    ASSERT_TRUE (localFile ("usr/a.txt").createDirectory().wasOk()); // in the fetch's way
    startDevice ({"--refuse-create", usr + "/copy/a.txt"});

    EXPECT_EQ (getFolder (client, usr, localFolder.get().getFullPathName(), ""), -1);
    EXPECT_EQ (logger.lines()[logger.lines().size() - 1],
               juce::String ("Folder transfer finished: 1 transferred, 1 failed"));
    EXPECT_EQ (readFile (localFile ("usr/b.txt")), pattern (2));

    logger.clear();
    EXPECT_EQ (putFolder (client, localFile ("tree").getFullPathName(), usr + "/copy"), -1);
    EXPECT_EQ (logger.lines()[logger.lines().size() - 1],
               juce::String ("Folder transfer finished: 1 transferred, 1 failed"));
    EXPECT_EQ (namesIn (deviceFile (usr + "/copy")), strings ({"b.txt"})) << "no part file is left";
    EXPECT_EQ (readFile (deviceFile (usr + "/copy/b.txt")), pattern (4));
}

/** Folder transfers that a device cuts short: silent, gone, or with more entries than
    any real tree. Whatever is not done counts as failed, and one line says why. */
class FolderStopTest : public FolderBoundsTest
{
protected:
    static juce::String fileName (int i)
    {
        return "f" + juce::String (i).paddedLeft ('0', 2);
    }

    void makeRemoteFiles (int count, size_t size)
    {
        for (int i = 0; i < count; ++i)
            writeFile (deviceFile (usr + "/many/" + fileName (i)), pattern (size, i));
    }

    void makeLocalFiles (int count)
    {
        for (int i = 0; i < count; ++i)
            writeFile (localFile ("tree/" + fileName (i)), pattern (10, i));
    }

    juce::String lastLine() const
    {
        const auto lines = logger.lines();
        return lines[lines.size() - 1];
    }

    static int foldersUnder (const juce::File& folder)
    {
        return folder.findChildFiles (juce::File::findDirectories, true, "*").size();
    }
};

TEST_F (FolderStopTest, ASilentDeviceEndsAFolderFetchWithTheRestCountedAsFailed)
{
    makeRemoteFiles (40, 10);
    // The listing and two files (open, read, close) are answered; then nothing more.
    startDevice ({"--silent-after", "7"});

    const auto startMs = juce::Time::getMillisecondCounter();
    EXPECT_EQ (getFolder (client, usr + "/many", localFolder.get().getFullPathName(), ""), -1);
    EXPECT_LT (juce::Time::getMillisecondCounter() - startMs, 20000u) << "not one time-out per file";

    EXPECT_TRUE (logger.contains ("Folder transfer stopped: the device has stopped answering; the entries left count "
                                  "as failed"));
    EXPECT_EQ (lastLine(), "Folder transfer finished: 2 transferred, 38 failed");
    EXPECT_EQ (namesIn (localFile ("many")), strings ({"f00", "f01"}));
    EXPECT_EQ (deviceRequests ("FileOpenRequest").size(), 2) << "the silent device logs nothing more";
}

TEST_F (FolderStopTest, ASilentDeviceEndsAFolderSendWithTheRestCountedAsFailed)
{
    makeLocalFiles (40);
    // Facts, creation, listing and one file (open, write, close, move); then nothing more.
    startDevice ({"--silent-after", "7"});

    const auto startMs = juce::Time::getMillisecondCounter();
    EXPECT_EQ (putFolder (client, localFile ("tree").getFullPathName(), usr + "/tree"), -1);
    EXPECT_LT (juce::Time::getMillisecondCounter() - startMs, 20000u) << "not one time-out per file";

    EXPECT_TRUE (logger.contains ("Folder transfer stopped: the device has stopped answering; the entries left count "
                                  "as failed"));
    EXPECT_EQ (lastLine(), "Folder transfer finished: 1 transferred, 39 failed");
    EXPECT_EQ (deviceRequests ("FileSystemEntryMoveRequest").size(), 1);
}

TEST_F (FolderStopTest, ALostLinkCountsTheRestOfTheTreeAsFailed)
{
    makeRemoteFiles (10, (size_t) block * 3);
    startDevice ({"--hangup-after-sent", juce::String (block * 7)});

    EXPECT_EQ (getFolder (client, usr + "/many", localFolder.get().getFullPathName(), ""), -1);

    EXPECT_TRUE (logger.contains ("Folder transfer stopped: the connection to the device is lost; the entries left "
                                  "count as failed"));
    EXPECT_EQ (lastLine(), "Folder transfer finished: 2 transferred, 8 failed");
}

TEST_F (FolderStopTest, AFetchStopsAtTheMostEntriesOfOneTree)
{
    EXPECT_EQ (FolderTransfer::defaultMaxEntries, 100000);

    writeFile (deviceFile (usr + "/f.txt"), pattern (3));
    startDevice ({"--multiply-folders"});

    EXPECT_EQ (getFolder (client, usr, localFolder.get().getFullPathName(), "", 50), -1);

    EXPECT_TRUE (logger.contains ("Folder transfer stopped: more than 50 entries; the entries left count as failed"));
    EXPECT_LE (foldersUnder (localFile ("usr")), 50);
    EXPECT_GE (foldersUnder (localFile ("usr")), 10);
    EXPECT_LE (deviceRequests ("FolderContentsRequest").size(), 51);
    EXPECT_TRUE (lastLine().startsWith ("Folder transfer finished: ")) << lastLine();
}

TEST_F (FolderStopTest, ASendStopsAtTheMostEntriesOfOneTree)
{
    makeLocalFiles (10);
    startDevice();

    EXPECT_EQ (putFolder (client, localFile ("tree").getFullPathName(), usr + "/tree", 4), -1);

    EXPECT_TRUE (logger.contains ("Folder transfer stopped: more than 4 entries; the entries left count as failed"));
    EXPECT_EQ (lastLine(), "Folder transfer finished: 4 transferred, 6 failed");
    EXPECT_EQ (namesIn (deviceFile (usr + "/tree")).size(), 4);

    // A limit never falls below one entry.
    EXPECT_EQ (putFolder (client, localFile ("tree").getFullPathName(), usr + "/again", 0), -1);
    EXPECT_EQ (lastLine(), "Folder transfer finished: 1 transferred, 9 failed");
}

//==============================================================================
namespace
{
/** Takes its time over every notification, as a busy window would. */
class SlowListener final : public ITidewireClientListener
{
public:
    void eventReceived (int, juce::int64) override
    {
        juce::Thread::sleep (5);
    }
    void propertyChanged (juce::Array<juce::uint16>, int, int) override
    {
        juce::Thread::sleep (5);
    }
    void stringPropertyChanged (juce::Array<juce::uint16>, int, juce::String) override
    {
        juce::Thread::sleep (5);
    }
};
} // namespace

TEST_F (FileTransferTest, FloodsKeepMemoryBoundedAndAGetStillExact)
{
    // Notifications every 2 ms (faster than the listener takes them), every answer twice
    // and twenty answers to nothing after each: none of it may pile up.
    const auto data = pattern ((size_t) 8 * 1024 * 1024, 8);
    writeFile (deviceFile (usr + "/big"), data);
    SlowListener slow;
    client.addListener (&slow);
    startDevice ({"--async-every", "2", "--duplicate", "--unsolicited", "20"});

    const auto before = residentKilobytes ("VmRSS:");
    ASSERT_EQ (getFile (client, usr + "/big", localFile ("big").getFullPathName()), 0);
    juce::Thread::sleep (2000); // the flood goes on after the transfer
    const auto peak = residentKilobytes ("VmHWM:");
    client.removeListener (&slow);

    constexpr juce::int64 boundKb = 64 * 1024;
    if (residentMemoryIsMeaningful())
    {
        EXPECT_LT (peak - before, boundKb) << "grew from " << before << " kB to a peak of " << peak << " kB";
    }
    EXPECT_EQ (readFile (localFile ("big")), data);
    EXPECT_FALSE (linesStartingWith ("Dropped ").isEmpty()) << "the drops are reported";
}

TEST_F (SingleExchangeTest, SeeksAnOpenFileFromItsStart)
{
    const auto data = pattern (20000);
    writeFile (deviceFile (usr + "/big.bin"), data);
    startDevice();

    juce::int64 handle = 0, size = 0;
    ASSERT_EQ (client.openFile (usr + "/big.bin", 1, handle, &size), 0);
    ASSERT_EQ (client.seekFile (handle, 12345), 0);

    FileReadRequest read (handle, 100);
    auto response = client.sendRequestSync (read, 1000);
    auto* received = dynamic_cast<FileReadResponse*> (response.get());
    ASSERT_NE (received, nullptr);
    ASSERT_EQ (received->getCount(), 100);
    EXPECT_EQ (std::memcmp (received->getMessage().readBytes (100), (const char*) data.getData() + 12345, 100), 0);
    EXPECT_EQ (client.closeFile (handle), 0);

    EXPECT_EQ (client.seekFile (handle, 0), -1) << "a closed handle";
    EXPECT_EQ (deviceRequests ("FileSeekRequest"),
               strings ({"FileSeekRequest handle=" + juce::String (handle) + " offset=12345 origin=0",
                         "FileSeekRequest handle=" + juce::String (handle) + " offset=0 origin=0"}));
}

//==============================================================================
/** A device that misbehaves on block 5 of 10, between two progress lines, where the
    blocks are carried on without the transferring thread: every line, request and
    result must be what any other exchange gives. */
class MidTransferTest : public ScriptedDeviceTest
{
protected:
    static constexpr int numBlocks = 10, readBytes = 100, oddBlock = 5;

    enum class Fault
    {
        none,
        failure,
        wrongSerial,
        lateWithinTime,
        lateBeyondTime,
        tooLong,
        wrongType,
        abort
    };

    static juce::MemoryBlock opened (const ScriptedDevice::Request& r, juce::int64 size)
    {
        juce::MemoryOutputStream fields;
        fields.writeInt64 (42);
        fields.writeInt64 (size);
        return ScriptedDevice::response (FileOpenResponse::id, r.serial, fields.getMemoryBlock());
    }

    static juce::MemoryBlock readAnswer (juce::int32 serial, int count, char fill)
    {
        juce::MemoryOutputStream fields;
        fields.writeInt64 (0);
        fields.writeInt (count);
        fields.writeRepeatedByte ((juce::uint8) fill, (size_t) count);
        return ScriptedDevice::response (FileReadResponse::id, serial, fields.getMemoryBlock());
    }

    /** Answers every request of a transfer until the one that ends it; the block-5
        request is treated as the fault says. False: answer it normally after all. */
    void playTransfer (Fault fault, juce::uint16 lastId)
    {
        player = std::thread (
            [this, fault, lastId]
            {
                ScriptedDevice::Request r;
                int blocks = 0;
                while (device.receive (r, 5000))
                {
                    seen.add (juce::String (r.id));
                    if (r.id == FolderContentsRequest::id)
                        device.send (ScriptedDevice::response (FolderContentsResponse::id, r.serial,
                                                               juce::MemoryBlock (8, true)));
                    else if (r.id == FileOpenRequest::id)
                        device.send (opened (r, blocksInFile * readBytes));
                    else if (r.id != FileReadRequest::id && r.id != FileWriteRequest::id)
                        device.send (success (r));
                    else if (blocks++ != oddBlock || misbehave (fault, r))
                        device.send (r.id == FileReadRequest::id ? readAnswer (r.serial, readBytes, 'a' + blocks - 1)
                                                                 : success (r));

                    if (r.id == lastId)
                        return;
                }
            });
    }

    bool misbehave (Fault fault, const ScriptedDevice::Request& r)
    {
        oddSerial = r.serial;
        switch (fault)
        {
        case Fault::none:
            return true;
        case Fault::failure:
            device.send (failure (r, "Busy"));
            return false;
        case Fault::wrongSerial:
            device.send (readAnswer (r.serial + 1000, readBytes, 'x'));
            return false;
        case Fault::lateWithinTime:
            std::this_thread::sleep_for (std::chrono::milliseconds (300));
            return true;
        case Fault::lateBeyondTime:
            std::this_thread::sleep_for (std::chrono::milliseconds (1500));
            return true;
        case Fault::tooLong:
            device.send (readAnswer (r.serial, 6 * readBytes, 'x'));
            return false;
        case Fault::wrongType:
            device.send (success (r));
            return false;
        case Fault::abort:
            client->abortOperations();
            return false;
        }
        return true;
    }

    juce::String odd() const
    {
        return juce::String (oddSerial.load());
    }

    static juce::StringArray ids (std::initializer_list<juce::String> head, int blocks, const juce::String& blockId,
                                  std::initializer_list<juce::String> tail)
    {
        juce::StringArray all (head);
        for (int i = 0; i < blocks; ++i)
            all.add (blockId);
        for (auto& id : tail)
            all.add (id);
        return all;
    }

    /** Fetches /f into target with the files of this process held below limit bytes:
        the fetch fails on the write, says so, and leaves no file. */
    void expectFetchStoppedByTheSizeLimit (const juce::File& target, rlim_t limit)
    {
        std::signal (SIGXFSZ, SIG_IGN);
        rlimit before{};
        ASSERT_EQ (::getrlimit (RLIMIT_FSIZE, &before), 0);
        rlimit small = before;
        small.rlim_cur = limit;
        ASSERT_EQ (::setrlimit (RLIMIT_FSIZE, &small), 0);
        const auto result = getFile (*client, "/f", target.getFullPathName());
        ::setrlimit (RLIMIT_FSIZE, &before);

        EXPECT_EQ (result, -1);
        EXPECT_EQ (logger.lines(), strings ({"Getting remote file /f", "Block 0 Received.",
                                             "Couldn't write file - " + target.getFullPathName() + ": " +
                                                 juce::String (std::strerror (EFBIG))}));
        EXPECT_FALSE (target.exists());
    }

    std::atomic<juce::int32> oddSerial{0};
    UniqueFolder local;
    int blocksInFile = numBlocks; // the size the device gives, in blocks
};

TEST_F (MidTransferTest, FetchOfTenBlocksIsWholeEvenWhenOneAnswersLate)
{
    for (auto fault : {Fault::none, Fault::lateWithinTime})
    {
        SCOPED_TRACE (fault == Fault::none ? "on time" : "late");
        const auto target = local.get().getChildFile ("target");
        logger.clear();
        seen.clear();
        playTransfer (fault, FileCloseRequest::id);

        ASSERT_EQ (getFile (*client, "/f", target.getFullPathName()), 0);
        const auto lines = logger.lines();
        ASSERT_EQ (lines.size(), 3) << lines.joinIntoString ("\n");
        EXPECT_EQ (lines[0], "Getting remote file /f");
        EXPECT_EQ (lines[1], "Block 0 Received.");
        EXPECT_TRUE (isThroughputLine (lines[2], numBlocks * readBytes)) << lines[2];
        EXPECT_EQ (requestIds(), ids ({"10"}, numBlocks, "12", {"16"}));

        juce::String expected;
        for (int i = 0; i < numBlocks; ++i)
            expected += juce::String::repeatedString (juce::String::charToString ('a' + i), readBytes);
        EXPECT_EQ (target.loadFileAsString(), expected);
    }
}

TEST_F (MidTransferTest, FetchFailingOnBlockFiveLogsWhatAnyExchangeWould)
{
    struct Case
    {
        Fault fault;
        const char* name;
    };
    for (auto c : {Case{Fault::failure, "failure"}, Case{Fault::wrongSerial, "wrong serial"},
                   Case{Fault::lateBeyondTime, "too late"}, Case{Fault::tooLong, "too long"},
                   Case{Fault::wrongType, "wrong type"}, Case{Fault::abort, "abort"}})
    {
        SCOPED_TRACE (c.name);
        const auto target = local.get().getChildFile ("target");
        ASSERT_TRUE (target.replaceWithText ("old"));
        logger.clear();
        seen.clear();
        playTransfer (c.fault, FileCloseRequest::id);

        EXPECT_EQ (getFile (*client, "/f", target.getFullPathName()), -1);
        const auto lines = logger.lines();
        const auto head = strings ({"Getting remote file /f", "Block 0 Received."});
        juce::StringArray expected (head);
        switch (c.fault)
        {
        case Fault::failure:
            expected.addArray (strings ({"Busy serial# " + odd(), "Failed on read"}));
            break;
        case Fault::wrongSerial:
            expected.addArray (
                strings ({"Timeout on serial # " + odd(), "Failed to get valid response to serial # " + odd(),
                          "sync receive serial number didn't match! Expected " + odd() + ", got " +
                              juce::String (oddSerial + 1000) + ", Discarding.",
                          "Failed on read"}));
            break;
        case Fault::lateBeyondTime:
            // The late answer comes while the close waits, which drops it.
            expected.addArray (strings ({"Timeout on serial # " + odd(),
                                         "Failed to get valid response to serial # " + odd(), "Failed on read"}));
            ASSERT_EQ (lines.size(), expected.size() + 1) << lines.joinIntoString ("\n");
            EXPECT_TRUE (lines[lines.size() - 1].endsWith (", got " + odd() + ", Discarding."))
                << lines.joinIntoString ("\n");
            expected.add (lines[lines.size() - 1]);
            break;
        case Fault::tooLong:
            expected.add ("Protocol error: read answer of 600 bytes, 500 at most were due");
            break;
        case Fault::wrongType:
            expected.addArray (strings ({"Unrecognized response.", "Failed on read"}));
            break;
        case Fault::abort:
            expected.addArray (strings (
                {"Operation cancelled.", "Failed to get valid response to serial # " + odd(), "Failed on read"}));
            break;
        case Fault::none:
        case Fault::lateWithinTime:
            break;
        }
        EXPECT_EQ (lines, expected) << lines.joinIntoString ("\n");
        EXPECT_EQ (requestIds(), ids ({"10"}, oddBlock + 1, "12", {"16"}))
            << "no read after the failed block, then the close a failure still owes";
        EXPECT_EQ (target.loadFileAsString(), "old");
        client->resetAbort();
    }
}

TEST_F (MidTransferTest, SendFailingOnBlockFiveLogsWhatAnyExchangeWould)
{
    const auto source = local.get().getChildFile ("source");
    const juce::MemoryBlock zeros ((size_t) block * numBlocks, true);
    ASSERT_TRUE (source.replaceWithData (zeros.getData(), zeros.getSize()));

    for (auto fault : {Fault::none, Fault::lateWithinTime, Fault::failure, Fault::abort})
    {
        SCOPED_TRACE ((int) fault);
        logger.clear();
        seen.clear();
        const auto fails = fault == Fault::failure || fault == Fault::abort;
        playTransfer (fault, fails ? FileSystemEntryDeleteRequest::id : FileSystemEntryMoveRequest::id);

        EXPECT_EQ (putFile (*client, source.getFullPathName(), "/f"), fails ? -1 : 0);
        const auto lines = logger.lines();
        if (fault == Fault::failure)
            EXPECT_EQ (lines, strings ({"Block 0 Sent.", "Busy serial# " + odd(), "Failed on write"}));
        else if (fault == Fault::abort)
            EXPECT_EQ (lines, strings ({"Block 0 Sent.", "Operation cancelled.",
                                        "Failed to get valid response to serial # " + odd(), "Failed on write"}));
        else
        {
            ASSERT_EQ (lines.size(), 2) << lines.joinIntoString ("\n");
            EXPECT_EQ (lines[0], "Block 0 Sent.");
            EXPECT_TRUE (isThroughputLine (lines[1], (juce::int64) block * numBlocks)) << lines[1];
        }

        if (fails)
            EXPECT_EQ (requestIds(), ids ({"17", "10"}, oddBlock + 1, "14", {"16", "9"}));
        else
            EXPECT_EQ (requestIds(), ids ({"17", "10"}, numBlocks, "14", {"16", "8"}));
        client->resetAbort();
    }
}

// Blocks are written after the next request has gone out only into room set aside
// beforehand; where that room was refused, a block is written first, and one that
// fails then still asks for nothing more.
TEST_F (MidTransferTest, AWriteFailingPastTheRoomSetAsideStillAsksForNothingMore)
{
    blocksInFile = 30;
    const auto target = local.get().getChildFile ("target");
    playTransfer (Fault::none, FileCloseRequest::id);

    // The first room set aside (the first ten blocks) fits; the next would not, and
    // block 14 (bytes 1400 to 1499) cannot be written whole.
    expectFetchStoppedByTheSizeLimit (target, 14 * readBytes + readBytes / 2);
    EXPECT_EQ (requestIds(), ids ({"10"}, 15, "12", {"16"})) << "the read of block 15 never went out";
}

TEST_F (MidTransferTest, AFailedLocalWriteOnBlockFourAsksForNothingMore)
{
    const auto target = local.get().getChildFile ("target");
    playTransfer (Fault::none, FileCloseRequest::id);

    // Files of this process may not grow past the middle of block 4 (bytes 400 to 499).
    expectFetchStoppedByTheSizeLimit (target, 4 * readBytes + readBytes / 2);
    EXPECT_EQ (requestIds(), ids ({"10"}, 5, "12", {"16"})) << "the read of block 5 never went out";
}
