// The device operations: single exchanges, whole files and folder trees, and what
// each failure leaves behind.

#include "ClientFixture.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr int block = TidewireClientRequest::maxFileBlockSize;

bool isThroughputLine (const juce::String& line, juce::int64 size)
{
    return line.startsWith ("File transfer completed successfully " + juce::String (size) + " bytes in ") &&
           line.endsWith (" MBit/s.") && !line.containsIgnoreCase ("inf") && !line.containsIgnoreCase ("nan");
}

juce::String fieldOf (const juce::String& line, const juce::String& key)
{
    return line.fromLastOccurrenceOf (key + "=", false, false).upToFirstOccurrenceOf (" ", false, false);
}
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

        ASSERT_EQ (client.putFile (localFile (name).getFullPathName(), usr + "/" + name), 0);
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
        ASSERT_EQ (client.getFile (usr + "/" + name, localFile (name).getFullPathName()), 0);
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

    ASSERT_EQ (client.putFile (localFile ("big").getFullPathName(), usr + "/big"), 0);
    ASSERT_EQ (client.getFile (usr + "/big", localFile ("back").getFullPathName()), 0);
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

    EXPECT_EQ (client.putFile (localFile ("missing").getFullPathName(), usr + "/copy"), -1);
    EXPECT_EQ (client.getFile (usr + "/there", localFile ("no/such/folder").getFullPathName()), -1);
    EXPECT_EQ (client.getFile (usr + "/there", localFile ("folder").getFullPathName()), -1);
    EXPECT_EQ (logger.lines(), strings ({"Couldn't create input stream", "Getting remote file " + usr + "/there",
                                         "Couldn't create output stream", "Getting remote file " + usr + "/there",
                                         "Couldn't write file - " + localFile ("folder").getFullPathName()}));
    EXPECT_EQ (deviceRequests ("FileOpenRequest").size(), 3);
    EXPECT_EQ (deviceRequests ("FileCloseRequest").size(), 3);
    EXPECT_EQ (namesIn (localFolder.get()), strings ({"folder"}));
    EXPECT_EQ (namesIn (localFile ("folder")), strings ({"inside"}));
}

TEST_F (FileTransferTest, HangUpWhileFetchingKeepsTheOldFile)
{
    writeFile (deviceFile (usr + "/big"), pattern ((size_t) block * 40, 5));
    writeFile (localFile ("big"), pattern (999, 9));
    startDevice ({"--hangup-after-sent", juce::String (block * 10)});

    EXPECT_EQ (client.getFile (usr + "/big", localFile ("big").getFullPathName()), -1);
    const auto lines = logger.lines();
    EXPECT_EQ (lines[lines.size() - 1], "Failed on read") << "nobody is left to close the file with";
    EXPECT_EQ (readFile (localFile ("big")), pattern (999, 9));
    EXPECT_EQ (namesIn (localFolder.get()), strings ({"big"}));
}

TEST_F (FileTransferTest, HangUpWhileSendingFailsTheWrite)
{
    writeFile (localFile ("big"), pattern ((size_t) block * 40, 5));
    startDevice ({"--hangup-after-received", juce::String (block * 10)});

    EXPECT_EQ (client.putFile (localFile ("big").getFullPathName(), usr + "/big"), -1);
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

    EXPECT_EQ (client->getFile ("/f", target.getFullPathName()), -1);
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

    EXPECT_EQ (client->getFile ("/f", target.getFullPathName()), -1);
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
    play (4,
          [&writes] (const ScriptedDevice::Request& r)
          {
              if (r.id == FileOpenRequest::id)
                  return opened (r, 0);
              return r.id == FileWriteRequest::id && ++writes == 2 ? failure (r, "Full") : success (r);
          });

    EXPECT_EQ (client->putFile (source.getFullPathName(), "/f"), -1);
    const auto lines = logger.lines();
    ASSERT_EQ (lines.size(), 3) << lines.joinIntoString ("\n");
    EXPECT_EQ (lines[0], "Block 0 Sent.");
    EXPECT_TRUE (lines[1].startsWith ("Full serial# "));
    EXPECT_EQ (lines[2], "Failed on write");
    EXPECT_EQ (requestIds(), strings ({"10", "14", "14", "16"}));
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
    ASSERT_EQ (client.putFolder (localFile ("tree").getFullPathName(), usr + "/copy"), 0);
    EXPECT_TRUE (logger.contains ("Skipping link to folder " + localFile ("tree/one/loop").getFullPathName()));
    ASSERT_EQ (::unlink (localFile ("tree/one/loop").getFullPathName().toRawUTF8()), 0);
    expectSameTree (localFile ("tree"), deviceFile (usr + "/copy"));
    EXPECT_TRUE (deviceRequests ("FileSystemEntryCreateRequest")
                     .contains ("FileSystemEntryCreateRequest isFolder=1 flag=1 path=" + usr + "/copy"));

    // Named after the remote folder (a trailing "/" aside), or as the caller says.
    ASSERT_EQ (client.getFolder (usr + "/copy/", localFile ("into").getParentDirectory().getFullPathName(), ""), 0);
    expectSameTree (localFile ("tree"), localFile ("copy"));
    ASSERT_EQ (client.getFolder (usr + "/copy/one", localFile ("copy").getFullPathName(), "named"), 0);
    expectSameTree (localFile ("tree/one"), localFile ("copy/named"));
    EXPECT_EQ (client.getFolder (usr, localFile ("not-there").getFullPathName(), ""), -1);
}

TEST_F (FolderTransferTest, PutFolderNeedsTheRemoteFolderFacts)
{
    makeTree (localFile ("tree"));
    startDevice();

    EXPECT_EQ (client.putFolder (localFile ("tree").getFullPathName(), "/../elsewhere"), -1);
    const auto lines = logger.lines();
    ASSERT_EQ (lines.size(), 2);
    EXPECT_TRUE (lines[0].startsWith ("Path outside the device file system: /../elsewhere serial# "));
    EXPECT_EQ (lines[1], "Can't get info for remote folder.");
    EXPECT_EQ (deviceRequests().size(), 1);
}

TEST_F (FolderTransferTest, GetFolderStaysInsideTheChosenFolder)
{
    writeFile (deviceFile (usr + "/fine.txt"), pattern (5));
    writeFile (deviceFile (usr + "/victim.txt"), pattern (6));
    writeFile (deviceFile (usr + "/linked/inner.txt"), pattern (7));
    writeFile (deviceFile (usr + "/bad" + juce::String::charToString (1) + "name"), pattern (8));
    ASSERT_TRUE (deviceFile (usr + "/evil").createDirectory().wasOk());
    startDevice ({"--unsafe-names"});

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

    ASSERT_EQ (client.getFolder (usr, localFile ("parent").getFullPathName(), ""), 0);

    EXPECT_EQ (readFile (target.getChildFile ("fine.txt")), pattern (5));
    EXPECT_EQ (readFile (target.getChildFile ("victim.txt")), pattern (6));
    EXPECT_FALSE (target.getChildFile ("victim.txt").isSymbolicLink());
    EXPECT_EQ (readFile (outside.getChildFile ("keep.txt")), pattern (9));
    EXPECT_EQ (namesIn (outside), strings ({"keep.txt"}));
    EXPECT_EQ (namesIn (localFolder.get()), strings ({"outside", "parent"}));
    EXPECT_EQ (namesIn (localFile ("parent")), strings ({"usr"}));
    EXPECT_EQ (namesIn (target), strings ({"evil", "fine.txt", "linked", "victim.txt"}));

    for (auto& name : {"..", "../x", "a/b", "/abs", "", "../evil", "bad\\x01name"})
        EXPECT_TRUE (logger.contains ("Skipping unsafe name " + juce::String (name))) << name;
    EXPECT_TRUE (logger.contains ("Skipping link " + target.getChildFile ("linked").getFullPathName()));
    for (auto& line : deviceRequests())
        EXPECT_FALSE (line.contains ("..") || line.contains ("a/b") || line.contains ("//abs")) << line;
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
    auto* block = dynamic_cast<FileReadResponse*> (response.get());
    ASSERT_NE (block, nullptr);
    ASSERT_EQ (block->getCount(), 100);
    EXPECT_EQ (std::memcmp (block->getMessage().readBytes (100), (const char*) data.getData() + 12345, 100), 0);
    EXPECT_EQ (client.closeFile (handle), 0);

    EXPECT_EQ (client.seekFile (handle, 0), -1) << "a closed handle";
    EXPECT_EQ (deviceRequests ("FileSeekRequest"),
               strings ({"FileSeekRequest handle=" + juce::String (handle) + " offset=12345 origin=0",
                         "FileSeekRequest handle=" + juce::String (handle) + " offset=0 origin=0"}));
}
