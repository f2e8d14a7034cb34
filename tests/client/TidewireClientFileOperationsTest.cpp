// The device operations against the simulator: single exchanges, whole files and
// folder trees, and what each failure leaves behind.

#include "ClientFixture.h"
#include "ScriptedDevice.h"

#include "protocol/TidewireClientRequest.h"
#include "protocol/TidewireClientResponse.h"

#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
constexpr int block = TidewireClientRequest::maxFileBlockSize;
const juce::String usr = "/mnt/nandfs/usr";

juce::StringArray sorted (juce::StringArray names)
{
    names.sort (false);
    return names;
}

bool isThroughputLine (const juce::String& line, juce::int64 size)
{
    return line.startsWith ("File transfer completed successfully " + juce::String (size) + " bytes in ")
           && line.endsWith (" MBit/s.") && ! line.containsIgnoreCase ("inf") && ! line.containsIgnoreCase ("nan");
}

juce::StringArray namesIn (const juce::File& folder)
{
    juce::StringArray names;
    for (auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, false, "*"))
        names.add (f.getFileName());
    return sorted (names);
}
} // namespace

//==============================================================================
class SingleExchangeTest : public SimulatedDeviceTest
{
};

TEST_F (SingleExchangeTest, WhoAmICopiesTheDevicesIdentity)
{
    startDevice ({ "--family", "0x12", "--device", "0x3456", "--protocol", "7", "--firmware", "0xfffe", "--text1",
                   "First text", "--text2", "Second" });

    DeviceIdentity identity;
    ASSERT_EQ (client.whoAmI (identity), 0);
    EXPECT_EQ (identity.familyId, 0x12);
    EXPECT_EQ (identity.deviceId, 0x3456);
    EXPECT_EQ (identity.protocolVersion, 7);
    EXPECT_EQ (identity.firmwareVersion, 0xfffe);
    EXPECT_EQ (identity.text1, "First text");
    EXPECT_EQ (identity.text2, "Second");
}

TEST_F (SingleExchangeTest, ListsAFolderIntoTheListsGiven)
{
    writeFile (deviceFile (usr + "/a.txt"), pattern (3));
    writeFile (deviceFile (usr + "/b.bin"), pattern (5));
    ASSERT_TRUE (deviceFile (usr + "/sub").createDirectory().wasOk());
    startDevice();

    juce::StringArray files { "stale" }, folders { "stale" };
    ASSERT_EQ (client.getFolderContents (usr, &files, &folders), 0);
    EXPECT_EQ (sorted (files), strings ({ "a.txt", "b.bin" }));
    EXPECT_EQ (folders, strings ({ "sub" }));

    juce::StringArray onlyFolders;
    EXPECT_EQ (client.getFolderContents (usr, nullptr, &onlyFolders), 0);
    EXPECT_EQ (onlyFolders, strings ({ "sub" }));
    EXPECT_EQ (client.getFolderContents (usr, nullptr, nullptr), 0);

    EXPECT_EQ (client.getFolderContents (usr + "/none", &files, &folders), -1);
    EXPECT_EQ (files, strings ({ "a.txt", "b.bin" })) << "a failed listing leaves the lists alone";
    EXPECT_EQ (deviceRequests ("FolderContentsRequest").size(), 4);
}

TEST_F (SingleExchangeTest, ReadsTheFactsAboutOneEntry)
{
    const auto host = deviceFile (usr + "/facts.bin");
    writeFile (host, pattern (1234));
    ASSERT_EQ (::chmod (host.getFullPathName().toRawUTF8(), 0444), 0);
    startDevice();

    FileSystemEntryInfo info;
    ASSERT_EQ (client.getEntryInfo (usr + "/facts.bin", false, info), 0);
    EXPECT_EQ (info.name, "facts.bin");
    EXPECT_EQ (info.exists, 1);
    EXPECT_EQ (info.size, 1234);
    EXPECT_EQ (info.writable, 0);
    const auto modified = host.getLastModificationTime();
    EXPECT_EQ (info.modified.getYear(), modified.getYear());
    EXPECT_EQ (info.modified.getDayOfMonth(), modified.getDayOfMonth());
    EXPECT_EQ (info.modified.getMinutes(), modified.getMinutes());

    ASSERT_EQ (client.getEntryInfo (usr, true, info), 0);
    EXPECT_EQ (info.exists, 1);
    EXPECT_EQ (info.writable, 1);

    ASSERT_EQ (client.getEntryInfo (usr + "/nothing", false, info), 0);
    EXPECT_EQ (info.exists, 0);

    EXPECT_EQ (deviceRequests ("FileSystemEntryInfoRequest"),
               strings ({ "FileSystemEntryInfoRequest isFolder=0 path=" + usr + "/facts.bin",
                                    "FileSystemEntryInfoRequest isFolder=1 path=" + usr,
                                    "FileSystemEntryInfoRequest isFolder=0 path=" + usr + "/nothing" }));
}

TEST_F (SingleExchangeTest, CreatesMovesAndDeletesEntries)
{
    writeFile (deviceFile (usr + "/old.txt"), pattern (10));
    startDevice();

    EXPECT_EQ (client.createFolder (usr + "/made"), 0);
    EXPECT_TRUE (deviceFile (usr + "/made").isDirectory());

    EXPECT_EQ (client.moveEntry (usr + "/old.txt", usr + "/made/new.txt", false), 0);
    EXPECT_TRUE (deviceFile (usr + "/made/new.txt").existsAsFile());
    EXPECT_FALSE (deviceFile (usr + "/old.txt").exists());

    EXPECT_EQ (client.moveEntry (usr + "/made", usr + "/moved", true), 0);
    EXPECT_TRUE (deviceFile (usr + "/moved/new.txt").existsAsFile());

    EXPECT_EQ (client.deleteEntry (usr + "/moved/new.txt"), 0);
    EXPECT_FALSE (deviceFile (usr + "/moved/new.txt").exists());

    EXPECT_EQ (deviceRequests ("FileSystemEntryCreateRequest"),
               strings ({ "FileSystemEntryCreateRequest isFolder=1 flag=1 path=" + usr + "/made" }));
    EXPECT_EQ (deviceRequests ("FileSystemEntryMoveRequest"),
               strings ({ "FileSystemEntryMoveRequest isFolder=0 flagA=0 flagB=1 old=" + usr
                                        + "/old.txt new=" + usr + "/made/new.txt",
                                    "FileSystemEntryMoveRequest isFolder=1 flagA=0 flagB=1 old=" + usr
                                        + "/made new=" + usr + "/moved" }));
    EXPECT_EQ (deviceRequests ("FileSystemEntryDeleteRequest"),
               strings ({ "FileSystemEntryDeleteRequest flag1=1 flag2=1 flag3=0 path=" + usr
                                    + "/moved/new.txt" }));
    EXPECT_TRUE (logger.lines().isEmpty()) << logger.lines().joinIntoString ("\n");

    // The device refuses: the exchange's own line, nothing more.
    EXPECT_EQ (client.deleteEntry (usr + "/gone"), -1);
    EXPECT_EQ (client.moveEntry (usr + "/gone", usr + "/other", false), -1);
    EXPECT_EQ (client.createFolder ("/../outside"), -1);
    ASSERT_EQ (logger.lines().size(), 3);
    EXPECT_TRUE (logger.lines()[0].startsWith ("No such file or folder: " + usr + "/gone serial# "));
}

TEST_F (SingleExchangeTest, OpensAndClosesRemoteFiles)
{
    writeFile (deviceFile (usr + "/f.bin"), pattern (777));
    startDevice ({ "--first-handle", "500" });

    juce::int64 handle = 0, size = 0;
    ASSERT_EQ (client.openFile (usr + "/f.bin", 1, handle, &size), 0);
    EXPECT_EQ (handle, 500);
    EXPECT_EQ (size, 777);
    EXPECT_EQ (client.closeFile (handle), 0);

    ASSERT_EQ (client.openFile (usr + "/new.bin", 0, handle), 0);
    EXPECT_EQ (handle, 501);
    EXPECT_TRUE (deviceFile (usr + "/new.bin").existsAsFile());
    EXPECT_EQ (client.closeFile (handle), 0);

    EXPECT_EQ (deviceRequests ("FileOpenRequest"),
               strings ({ "FileOpenRequest access=1 readFlag=1 path=" + usr + "/f.bin",
                                    "FileOpenRequest access=2 readFlag=0 path=" + usr + "/new.bin" }));
    EXPECT_EQ (deviceRequests ("FileCloseRequest"),
               strings ({ "FileCloseRequest handle=500", "FileCloseRequest handle=501" }));
    EXPECT_TRUE (logger.lines().isEmpty()) << logger.lines().joinIntoString ("\n");

    ASSERT_EQ (client.openFile (usr + "/missing.bin", 1, handle, &size), -1);
    ASSERT_EQ (logger.lines().size(), 2);
    EXPECT_TRUE (logger.lines()[0].startsWith ("No such file: " + usr + "/missing.bin serial# "));
    EXPECT_EQ (logger.lines()[1], "failed to open remote file");

    logger.clear();
    EXPECT_EQ (client.closeFile (9999), -1);
    ASSERT_EQ (logger.lines().size(), 2);
    EXPECT_TRUE (logger.lines()[0].startsWith ("Invalid handle 9999 serial# "));
    EXPECT_EQ (logger.lines()[1], "failed to close remote file");
}

//==============================================================================
class FileTransferTest : public SimulatedDeviceTest
{
};

TEST_F (FileTransferTest, PutsFilesInBlocksOfTheLargestSize)
{
    startDevice();

    struct Case
    {
        size_t size;
        juce::StringArray lengths;
    };
    for (const auto& c : { Case { 0, {} }, Case { (size_t) block, { "8169" } }, Case { (size_t) block + 1, { "8169", "1" } } })
    {
        SCOPED_TRACE (c.size);
        logger.clear();
        const auto from = deviceRequests().size();

        const auto data = pattern (c.size, (int) c.size);
        const auto name = "put" + juce::String ((int) c.size);
        writeFile (localFile (name), data);

        ASSERT_EQ (client.putFile (localFile (name).getFullPathName(), usr + "/" + name), 0) << logger.lines().joinIntoString ("\n");
        EXPECT_EQ (readFile (deviceFile (usr + "/" + name)), data);

        juce::StringArray lengths;
        for (auto& line : deviceRequests ("FileWriteRequest", from))
            lengths.add (line.fromLastOccurrenceOf ("length=", false, false));
        EXPECT_EQ (lengths, c.lengths);
        EXPECT_EQ (deviceRequests ("FileCloseRequest", from).size(), 1);

        const auto lines = logger.lines();
        ASSERT_FALSE (lines.isEmpty());
        EXPECT_TRUE (isThroughputLine (lines[lines.size() - 1], (juce::int64) c.size)) << lines[lines.size() - 1];
        EXPECT_EQ (linesStartingWith ("Block "), c.size == 0 ? juce::StringArray() : strings ({ "Block 0 Sent." }));
        EXPECT_EQ (lines.size(), c.size == 0 ? 1 : 2);
    }
}

TEST_F (FileTransferTest, GetsFilesInBlocksOfTheLargestSize)
{
    startDevice();

    for (const size_t size : { (size_t) 0, (size_t) block, (size_t) block + 1, (size_t) 5000 })
    {
        SCOPED_TRACE (size);
        logger.clear();
        const auto from = deviceRequests().size();

        const auto data = pattern (size, (int) size + 7);
        const auto name = "get" + juce::String ((int) size);
        writeFile (deviceFile (usr + "/" + name), data);
        writeFile (localFile (name), pattern (20000)); // longer than what replaces it

        ASSERT_EQ (client.getFile (usr + "/" + name, localFile (name).getFullPathName()), 0) << logger.lines().joinIntoString ("\n");
        EXPECT_EQ (readFile (localFile (name)), data);

        juce::StringArray counts;
        for (auto& line : deviceRequests ("FileReadRequest", from))
            counts.add (line.fromLastOccurrenceOf ("count=", false, false));
        const auto expected = size == 0         ? juce::StringArray()
                              : size == 5000    ? strings ({ "5000" })
                              : size == (size_t) block ? strings ({ "8169" })
                                                : strings ({ "8169", "8169" });
        EXPECT_EQ (counts, expected);
        EXPECT_EQ (deviceRequests ("FileCloseRequest", from).size(), 1);

        const auto lines = logger.lines();
        ASSERT_FALSE (lines.isEmpty());
        EXPECT_EQ (lines[0], "Getting remote file " + usr + "/" + name);
        EXPECT_TRUE (isThroughputLine (lines[lines.size() - 1], (juce::int64) size)) << lines[lines.size() - 1];
        EXPECT_EQ (linesStartingWith ("Block "), size == 0 ? juce::StringArray() : strings ({ "Block 0 Received." }));
    }

    EXPECT_EQ (namesIn (localFolder.get()), strings ({ "get0", "get5000", "get8169", "get8170" }))
        << "no part files are left behind";
}

TEST_F (FileTransferTest, LogsProgressEvery256BlocksBothWays)
{
    startDevice();
    const auto data = pattern ((size_t) block * 300, 3);
    writeFile (localFile ("big"), data);

    ASSERT_EQ (client.putFile (localFile ("big").getFullPathName(), usr + "/big"), 0);
    EXPECT_EQ (readFile (deviceFile (usr + "/big")), data);
    EXPECT_EQ (linesStartingWith ("Block "), strings ({ "Block 0 Sent.", "Block 256 Sent." }));
    EXPECT_EQ (deviceRequests ("FileWriteRequest").size(), 300);

    logger.clear();
    ASSERT_EQ (client.getFile (usr + "/big", localFile ("back").getFullPathName()), 0);
    EXPECT_EQ (readFile (localFile ("back")), data);
    EXPECT_EQ (linesStartingWith ("Block "), strings ({ "Block 0 Received.", "Block 256 Received." }));
    EXPECT_EQ (deviceRequests ("FileReadRequest").size(), 300);
}

TEST_F (FileTransferTest, LocalFailuresCloseTheRemoteFile)
{
    writeFile (deviceFile (usr + "/there"), pattern (100));
    ASSERT_TRUE (localFile ("folder").createDirectory().wasOk());
    startDevice();

    EXPECT_EQ (client.putFile (localFile ("missing").getFullPathName(), usr + "/copy"), -1);
    EXPECT_EQ (logger.lines(), strings ({ "Couldn't create input stream" }));

    logger.clear();
    EXPECT_EQ (client.getFile (usr + "/there", localFile ("no/such/folder/file").getFullPathName()), -1);
    EXPECT_EQ (logger.lines(),
               strings ({ "Getting remote file " + usr + "/there", "Couldn't create output stream" }));

    logger.clear();
    EXPECT_EQ (client.getFile (usr + "/there", localFile ("folder").getFullPathName()), -1);
    EXPECT_EQ (logger.lines(), strings ({ "Getting remote file " + usr + "/there",
                                                    "Couldn't write file - " + localFile ("folder").getFullPathName() }));
    EXPECT_TRUE (localFile ("folder").isDirectory());

    EXPECT_EQ (deviceRequests ("FileOpenRequest").size(), 3);
    EXPECT_EQ (deviceRequests ("FileCloseRequest").size(), 3);

    logger.clear();
    EXPECT_EQ (client.getFile (usr + "/absent", localFile ("absent").getFullPathName()), -1);
    ASSERT_EQ (logger.lines().size(), 2);
    EXPECT_EQ (logger.lines()[1], "failed to open remote file");
    EXPECT_FALSE (localFile ("absent").exists());
}

TEST_F (FileTransferTest, HangUpWhileFetchingLeavesTheOldFile)
{
    writeFile (deviceFile (usr + "/big"), pattern ((size_t) block * 40, 5));
    const auto old = pattern (999, 9);
    writeFile (localFile ("big"), old);
    startDevice ({ "--hangup-after-sent", juce::String (block * 10) });

    EXPECT_EQ (client.getFile (usr + "/big", localFile ("big").getFullPathName()), -1);
    EXPECT_TRUE (logger.contains ("Failed on read"));
    EXPECT_EQ (readFile (localFile ("big")), old);
    EXPECT_EQ (namesIn (localFolder.get()), strings ({ "big" }));
}

TEST_F (FileTransferTest, HangUpWhileSendingFailsTheWrite)
{
    writeFile (localFile ("big"), pattern ((size_t) block * 40, 5));
    startDevice ({ "--hangup-after-received", juce::String (block * 10) });

    EXPECT_EQ (client.putFile (localFile ("big").getFullPathName(), usr + "/big"), -1);
    const auto lines = logger.lines();
    EXPECT_TRUE (lines.contains ("Failed on write")) << lines.joinIntoString ("\n");
    EXPECT_EQ (lines[lines.size() - 1], "Failed on write") << "nobody is left to close the file with";
}

//==============================================================================
/** Transfers whose failures only a hand-played device produces. */
class ScriptedTransferTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (device.isOpen());
        port = std::make_unique<SerialPort> (device.portPath(), SerialPortSettings());
        ASSERT_TRUE (port->isOpen());
        client.connect (port.get());
    }

    void TearDown() override
    {
        if (player.joinable())
            player.join();
        client.disconnect();
    }

    /** Plays the device: each request is answered by the function, until a close
        request has been answered or the function returns nothing. Every request's
        message ID is recorded. */
    void play (std::function<juce::MemoryBlock (const ScriptedDevice::Request&)> answer)
    {
        player = std::thread (
            [this, answer]
            {
                ScriptedDevice::Request request;
                while (device.receive (request, 5000))
                {
                    {
                        const juce::ScopedLock sl (seenLock);
                        seen.add (juce::String (request.id));
                    }
                    const auto reply = answer (request);
                    if (reply.isEmpty())
                        return;
                    device.send (reply);
                    if (request.id == FileCloseRequest::id)
                        return;
                }
            });
    }

    static juce::MemoryBlock success (const ScriptedDevice::Request& r)
    {
        return ScriptedDevice::message (SuccessResponse::id, ScriptedDevice::responseBody (r.serial));
    }

    static juce::MemoryBlock opened (const ScriptedDevice::Request& r, juce::int64 size)
    {
        juce::MemoryOutputStream fields;
        fields.writeInt64 (42);
        fields.writeInt64 (size);
        return ScriptedDevice::message (FileOpenResponse::id, ScriptedDevice::responseBody (r.serial, fields.getMemoryBlock()));
    }

    static juce::MemoryBlock dataBlock (const ScriptedDevice::Request& r, const juce::MemoryBlock& data)
    {
        juce::MemoryOutputStream fields;
        fields.writeInt64 (0);
        fields.writeInt ((int) data.getSize());
        fields << data;
        return ScriptedDevice::message (FileReadResponse::id, ScriptedDevice::responseBody (r.serial, fields.getMemoryBlock()));
    }

    juce::StringArray requestIds()
    {
        if (player.joinable())
            player.join();
        const juce::ScopedLock sl (seenLock);
        return seen;
    }

    CapturingLogger logger;
    TempFolder local;
    ScriptedDevice device;
    std::unique_ptr<SerialPort> port;
    TidewireClient client;
    std::thread player;
    juce::CriticalSection seenLock;
    juce::StringArray seen;
};

TEST_F (ScriptedTransferTest, AReadBlockWithoutDataEndsTheFetch)
{
    const auto target = local.get().getChildFile ("target");
    ASSERT_TRUE (target.replaceWithText ("old"));

    play (
        [] (const ScriptedDevice::Request& r) -> juce::MemoryBlock
        {
            if (r.id == FileOpenRequest::id)
                return opened (r, 100);
            if (r.id == FileReadRequest::id)
                return dataBlock (r, {});
            if (r.id == FileCloseRequest::id)
                return success (r);
            return {};
        });

    EXPECT_EQ (client.getFile ("/f", target.getFullPathName()), -1);
    EXPECT_EQ (logger.lines(), strings ({ "Getting remote file /f", "Failed on read" }));
    EXPECT_EQ (target.loadFileAsString(), "old");
    EXPECT_EQ (namesIn (local.get()), strings ({ "target" }));
    // Open, one read, then the close that a failure still owes the device.
    EXPECT_EQ (requestIds(), strings ({ "10", "12", "16" }));
}

TEST_F (ScriptedTransferTest, ARefusedBlockEndsTheSendAndClosesTheFile)
{
    const auto source = local.get().getChildFile ("source");
    ASSERT_TRUE (source.replaceWithData (juce::MemoryBlock ((size_t) block * 3, true).getData(), (size_t) block * 3));

    int writes = 0;
    play (
        [&writes] (const ScriptedDevice::Request& r) -> juce::MemoryBlock
        {
            if (r.id == FileOpenRequest::id)
                return opened (r, 0);
            if (r.id == FileWriteRequest::id && ++writes == 2)
                return ScriptedDevice::message (FailureResponse::id,
                                                ScriptedDevice::responseBody (r.serial, ScriptedDevice::string ("Full")));
            if (r.id == FileCloseRequest::id)
                return success (r);
            return r.id == FileWriteRequest::id ? success (r) : juce::MemoryBlock();
        });

    EXPECT_EQ (client.putFile (source.getFullPathName(), "/f"), -1);
    const auto lines = logger.lines();
    ASSERT_EQ (lines.size(), 3) << lines.joinIntoString ("\n");
    EXPECT_EQ (lines[0], "Block 0 Sent.");
    EXPECT_TRUE (lines[1].startsWith ("Full serial# "));
    EXPECT_EQ (lines[2], "Failed on write");
    EXPECT_EQ (requestIds(), strings ({ "10", "14", "14", "16" }));
}

//==============================================================================
class FolderTransferTest : public SimulatedDeviceTest
{
protected:
    /** A tree three levels deep: files at every level, an empty folder, a hidden file. */
    void makeTree (const juce::File& root)
    {
        writeFile (root.getChildFile ("top.txt"), pattern (10, 1));
        writeFile (root.getChildFile (".hidden"), pattern (20, 2));
        writeFile (root.getChildFile ("one/mid.bin"), pattern ((size_t) block + 5, 3));
        writeFile (root.getChildFile ("one/two/deep.txt"), pattern (0, 4));
        writeFile (root.getChildFile ("one/two/three/deepest.txt"), pattern (33, 5));
        ASSERT_TRUE (root.getChildFile ("empty").createDirectory().wasOk());
    }

    static void expectSameTree (const juce::File& expected, const juce::File& actual)
    {
        EXPECT_EQ (namesIn (actual), namesIn (expected)) << actual.getFullPathName();
        for (auto& child : expected.findChildFiles (juce::File::findFilesAndDirectories, false, "*"))
        {
            const auto other = actual.getChildFile (child.getFileName());
            if (child.isDirectory())
                expectSameTree (child, other);
            else
                EXPECT_EQ (readFile (other), readFile (child)) << other.getFullPathName();
        }
    }
};

TEST_F (FolderTransferTest, PutsATreeIntoANewRemoteFolder)
{
    makeTree (localFile ("tree"));
    startDevice();

    ASSERT_EQ (client.putFolder (localFile ("tree").getFullPathName(), usr + "/copy"), 0);
    expectSameTree (localFile ("tree"), deviceFile (usr + "/copy"));

    const auto created = deviceRequests ("FileSystemEntryCreateRequest");
    EXPECT_TRUE (created.contains ("FileSystemEntryCreateRequest isFolder=1 flag=1 path=" + usr + "/copy"));
    EXPECT_TRUE (created.contains ("FileSystemEntryCreateRequest isFolder=1 flag=1 path=" + usr + "/copy/one/two/three"));
}

TEST_F (FolderTransferTest, PutFolderSkipsLinksToFolders)
{
    makeTree (localFile ("tree"));
    ASSERT_EQ (::symlink ("..", localFile ("tree/one/loop").getFullPathName().toRawUTF8()), 0);
    ASSERT_EQ (::symlink ("top.txt", localFile ("tree/alias.txt").getFullPathName().toRawUTF8()), 0);
    startDevice();

    ASSERT_EQ (client.putFolder (localFile ("tree").getFullPathName(), usr + "/copy"), 0);
    EXPECT_FALSE (deviceFile (usr + "/copy/one/loop").exists());
    EXPECT_EQ (readFile (deviceFile (usr + "/copy/alias.txt")), readFile (localFile ("tree/top.txt")));
    EXPECT_TRUE (logger.contains ("Skipping link to folder " + localFile ("tree/one/loop").getFullPathName()));
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

TEST_F (FolderTransferTest, GetsATreeAndNamesItAfterTheRemoteFolder)
{
    makeTree (deviceFile (usr));
    startDevice();

    ASSERT_TRUE (localFile ("into").createDirectory().wasOk());
    ASSERT_EQ (client.getFolder (usr + "/", localFile ("into").getFullPathName(), ""), 0);
    expectSameTree (deviceFile (usr), localFile ("into/usr"));

    ASSERT_EQ (client.getFolder (usr + "/one", localFile ("into").getFullPathName(), "named"), 0);
    expectSameTree (deviceFile (usr + "/one"), localFile ("into/named"));

    EXPECT_EQ (client.getFolder (usr, localFile ("not-there").getFullPathName(), ""), -1);
    EXPECT_FALSE (localFile ("not-there").exists());
}

TEST_F (FolderTransferTest, GetFolderStaysInsideTheChosenFolder)
{
    writeFile (deviceFile (usr + "/fine.txt"), pattern (5));
    writeFile (deviceFile (usr + "/victim.txt"), pattern (6));
    writeFile (deviceFile (usr + "/linked/inner.txt"), pattern (7));
    ASSERT_TRUE (deviceFile (usr + "/evil").createDirectory().wasOk());
    startDevice ({ "--unsafe-names" });

    // Links the user already had in the target: neither may be written through.
    const auto outside = localFile ("outside");
    writeFile (outside.getChildFile ("keep.txt"), pattern (8));
    const auto parent = localFile ("parent");
    ASSERT_TRUE (parent.getChildFile ("usr").createDirectory().wasOk());
    ASSERT_EQ (::symlink (outside.getChildFile ("keep.txt").getFullPathName().toRawUTF8(),
                          parent.getChildFile ("usr/victim.txt").getFullPathName().toRawUTF8()),
               0);
    ASSERT_EQ (::symlink (outside.getFullPathName().toRawUTF8(), parent.getChildFile ("usr/linked").getFullPathName().toRawUTF8()),
               0);

    ASSERT_EQ (client.getFolder (usr, parent.getFullPathName(), ""), 0);

    EXPECT_EQ (readFile (parent.getChildFile ("usr/fine.txt")), pattern (5));
    EXPECT_EQ (readFile (parent.getChildFile ("usr/victim.txt")), pattern (6));
    EXPECT_FALSE (parent.getChildFile ("usr/victim.txt").isSymbolicLink());
    EXPECT_EQ (namesIn (outside), strings ({ "keep.txt" }));
    EXPECT_EQ (readFile (outside.getChildFile ("keep.txt")), pattern (8));
    EXPECT_EQ (namesIn (localFolder.get()), strings ({ "outside", "parent" }));
    EXPECT_EQ (namesIn (parent), strings ({ "usr" }));
    EXPECT_EQ (namesIn (parent.getChildFile ("usr")), strings ({ "evil", "fine.txt", "linked", "victim.txt" }));

    for (auto& name : { "..", "../x", "a/b", "/abs", "", "../evil" })
        EXPECT_TRUE (logger.contains ("Skipping unsafe name " + juce::String (name))) << name;
    EXPECT_TRUE (logger.contains ("Skipping link " + parent.getChildFile ("usr/linked").getFullPathName()));

    // Only safe names were asked for.
    for (auto& line : deviceRequests())
        EXPECT_FALSE (line.contains ("..")) << line;
}

TEST_F (FolderTransferTest, UnsafeNamesAreLoggedReadably)
{
    ASSERT_TRUE (deviceFile (usr).getChildFile (juce::String ("bad") + juce::String::charToString (1) + "name").create().wasOk());
    startDevice();

    ASSERT_EQ (client.getFolder (usr, localFolder.get().getFullPathName(), ""), 0);
    EXPECT_TRUE (logger.contains ("Skipping unsafe name bad\\x01name")) << logger.lines().joinIntoString ("\n");
    EXPECT_EQ (namesIn (localFile ("usr")), juce::StringArray());
}
