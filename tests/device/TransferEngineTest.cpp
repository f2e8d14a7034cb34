#include "TestSupport.h"

#include "device/DeviceLink.h"
#include "device/TransferEngine.h"
#include "protocol/TidewireClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
constexpr juce::int64 fileSize = 12 * 8169 + 100; // a dozen blocks and a bit
const juce::String remoteFile ("/mnt/nandfs/big.bin");

/** The simulator on a copy of the sample device with a file of many blocks on it. */
class TransferEngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // A reader that goes away must fail the write, not end the test program.
        std::signal (SIGPIPE, SIG_IGN);

        ASSERT_TRUE (sampleDeviceFolder().copyDirectoryTo (deviceRoot.get()));
        juce::Random random (42);
        contents.setSize ((size_t) fileSize);
        random.fillBitsRandomly (contents.getData(), contents.getSize());
        ASSERT_TRUE ((deviceRoot / ("." + remoteFile)).replaceWithData (contents.getData(), contents.getSize()));
    }

    void startDevice (const juce::StringArray& options = {})
    {
        juce::StringArray arguments{"--fs", deviceRoot.get().getFullPathName(), "--log",
                                    requestLog().getFullPathName()};
        arguments.addArray (options);
        ASSERT_TRUE (simulator.start (arguments)) << arguments.joinIntoString (" ");
        ASSERT_TRUE (link.open (simulator.portPath())) << link.getOpenFailure();
    }

    juce::File requestLog() const
    {
        return scratch / "requests.log";
    }

    juce::MemoryBlock localContents (const juce::File& file) const
    {
        juce::MemoryBlock data;
        file.loadFileAsData (data);
        return data;
    }

    /** True when nothing of ours (a partial file, its record) lies beside the target. */
    static bool leavesNothingBeside (const juce::File& target)
    {
        return !LocalFileTarget::partialFileFor (target).exists() &&
               !LocalFileTarget::partialRecordFor (target).exists();
    }

    static bool isFifo (const juce::File& file)
    {
        struct stat info
        {
        };
        return ::lstat (file.getFullPathName().toRawUTF8(), &info) == 0 && S_ISFIFO (info.st_mode);
    }

    TempFolder deviceRoot, scratch;
    DeviceSimulator simulator;
    DeviceLink link;
    juce::MemoryBlock contents;
};

/** Reads a FIFO on a thread: all of it, or only its first bytes and then closes it. */
class FifoReader final
{
public:
    FifoReader (const juce::File& fifo, juce::int64 stopAfter)
        : thread (
              [this, path = fifo.getFullPathName(), stopAfter]
              {
                  // Opened without waiting for a writer, so that the engine finds a reader there.
                  const int fd = ::open (path.toRawUTF8(), O_RDONLY | O_NONBLOCK);
                  if (fd < 0)
                      return;
                  opened = true;
                  bool writerSeen = false;
                  char buffer[4096];
                  const auto giveUp = juce::Time::getMillisecondCounter() + 60000;
                  while (juce::Time::getMillisecondCounter() < giveUp)
                  {
                      pollfd waiting{fd, POLLIN, 0};
                      ::poll (&waiting, 1, 100);
                      const auto n = ::read (fd, buffer, sizeof (buffer));
                      if (n > 0)
                      {
                          writerSeen = true;
                          received.append (buffer, (size_t) n);
                          if (stopAfter >= 0 && (juce::int64) received.getSize() >= stopAfter)
                              break;
                      }
                      else if (n == 0 && writerSeen)
                      {
                          break; // the writer closed
                      }
                      else if (n == 0)
                      {
                          juce::Thread::sleep (5); // no writer yet
                      }
                  }
                  ::close (fd);
              })
    {
        // The engine opens the FIFO without waiting: its reader must be there first.
        for (int i = 0; i < 500 && !opened; ++i)
            juce::Thread::sleep (10);
    }

    ~FifoReader()
    {
        finish();
    }

    /** Waits for the reader to be done; what it read is then in received. */
    void finish()
    {
        if (thread.joinable())
            thread.join();
    }

    juce::MemoryBlock received;
    std::atomic<bool> opened{false};

private:
    std::thread thread;
};
} // namespace

TEST_F (TransferEngineTest, FetchesIntoEveryKindOfLocalTarget)
{
    startDevice();

    const auto older = juce::String ("the older file").toStdString();

    enum class Kind
    {
        newFile,
        existingFile,
        symbolicLink,
        fifoWithReader,
        fifoWhoseReaderStops,
        nullDevice,
        readOnlyFolder,
        missingFolder
    };
    struct Case
    {
        const char* name;
        Kind kind;
        bool succeeds;
        const char* reasonHas;
    };
    const Case cases[] = {
        {"new file", Kind::newFile, true, ""},
        {"existing file", Kind::existingFile, true, ""},
        {"symbolic link", Kind::symbolicLink, true, ""},
        {"fifo with a reader", Kind::fifoWithReader, true, ""},
        {"fifo whose reader stops", Kind::fifoWhoseReaderStops, false, "Broken pipe"},
        {"character device", Kind::nullDevice, true, ""},
        {"read-only folder", Kind::readOnlyFolder, false, "Permission denied"},
        {"missing folder", Kind::missingFolder, false, "No such file"},
    };

    int row = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto folder = scratch / ("row" + juce::String (++row));
        ASSERT_TRUE (folder.createDirectory());
        auto target = folder.getChildFile ("copy.bin");
        auto written = target; // where the bytes end up
        std::unique_ptr<FifoReader> reader;
        bool expectSuccess = c.succeeds;

        switch (c.kind)
        {
        case Kind::newFile:
            break;
        case Kind::existingFile:
            ASSERT_TRUE (target.replaceWithText (older));
            break;
        case Kind::symbolicLink:
            written = folder.getChildFile ("pointee.bin");
            ASSERT_TRUE (written.replaceWithText (older));
            ASSERT_EQ (::symlink ("pointee.bin", target.getFullPathName().toRawUTF8()), 0);
            break;
        case Kind::fifoWithReader:
        case Kind::fifoWhoseReaderStops:
            ASSERT_EQ (::mkfifo (target.getFullPathName().toRawUTF8(), 0600), 0);
            reader = std::make_unique<FifoReader> (target, c.kind == Kind::fifoWithReader ? -1 : 3 * 8169);
            ASSERT_TRUE (reader->opened.load());
            break;
        case Kind::nullDevice:
            target = written = juce::File ("/dev/null");
            break;
        case Kind::readOnlyFolder:
            ASSERT_EQ (::chmod (folder.getFullPathName().toRawUTF8(), 0555), 0);
            // Whoever may write there all the same (root) gets the copy.
            expectSuccess = ::access (folder.getFullPathName().toRawUTF8(), W_OK) == 0;
            break;
        case Kind::missingFolder:
            target = written = folder.getChildFile ("missing/copy.bin");
            break;
        }

        TransferEngine::Options options;
        TransferEngine engine (link.getClient(), options);
        const auto result = engine.fetch (remoteFile, target);
        juce::MemoryBlock piped;
        if (reader != nullptr)
        {
            reader->finish();
            piped = reader->received;
        }

        ::chmod (folder.getFullPathName().toRawUTF8(), 0755);
        ASSERT_EQ (result.succeeded(), expectSuccess) << result.reason;
        if (!expectSuccess)
        {
            EXPECT_EQ (result.outcome, OperationResult::Outcome::failed);
            EXPECT_TRUE (result.reason.contains (c.reasonHas)) << result.reason;
        }

        switch (c.kind)
        {
        case Kind::fifoWithReader:
            EXPECT_EQ (piped, contents);
            EXPECT_TRUE (isFifo (target)); // still the FIFO, never a file renamed over it
            break;
        case Kind::nullDevice:
            EXPECT_TRUE (juce::File ("/dev/null").exists());
            break;
        case Kind::symbolicLink:
            EXPECT_TRUE (target.isSymbolicLink()); // the link stays; its file took the copy
            EXPECT_EQ (localContents (written), contents);
            break;
        case Kind::missingFolder:
            EXPECT_FALSE (written.getParentDirectory().exists());
            break;
        case Kind::readOnlyFolder:
        case Kind::newFile:
        case Kind::existingFile:
            if (expectSuccess)
            {
                EXPECT_EQ (localContents (written), contents);
            }
            else
            {
                EXPECT_FALSE (written.exists());
            }
            break;
        case Kind::fifoWhoseReaderStops:
            EXPECT_LT ((juce::int64) piped.getSize(), fileSize);
            EXPECT_TRUE (isFifo (target));
            break;
        }
        if (c.kind != Kind::nullDevice)
        {
            EXPECT_TRUE (leavesNothingBeside (written));
        }
    }
}

TEST_F (TransferEngineTest, FaultsLeaveTheOlderFileAsItWas)
{
    enum class Direction
    {
        fetch,
        send
    };
    enum class Cancel
    {
        never,
        midTransfer,   ///< from another thread, once a few blocks are through
        duringCleanup, ///< from another thread, once the engine closes the device's file after a failure
    };
    struct Case
    {
        const char* name;
        Direction direction;
        juce::StringArray deviceOptions;
        juce::String remote;
        Cancel cancel;
        OperationResult::Outcome outcome;
        const char* reasonHas;
    };
    using Outcome = OperationResult::Outcome;
    const Case cases[] = {
        {"hang-up at block 5",
         Direction::fetch,
         {"--hangup-after-sent", "41000"},
         remoteFile,
         Cancel::never,
         Outcome::failed,
         "fetch failed after"},
        {"failure answer to the open",
         Direction::fetch,
         {},
         "/mnt/nandfs/none.bin",
         Cancel::never,
         Outcome::failed,
         "(No such file: /mnt/nandfs/none.bin serial# "},
        {"failure answer to the part file",
         Direction::send,
         {"--refuse-create", "/mnt/nandfs/.big.bin.nubo-part"},
         remoteFile,
         Cancel::never,
         Outcome::failed,
         "(Refused to create /mnt/nandfs/.big.bin.nubo-part serial# "},
        {"late answer",
         Direction::fetch,
         {"--late", "6:3000"},
         remoteFile,
         Cancel::never,
         Outcome::failed,
         "(Timeout on serial # "},
        {"cancel mid-fetch",
         Direction::fetch,
         {"--delay", "30"},
         remoteFile,
         Cancel::midTransfer,
         Outcome::cancelled,
         "interrupted after"},
        {"cancel mid-send",
         Direction::send,
         {"--delay", "30"},
         remoteFile,
         Cancel::midTransfer,
         Outcome::cancelled,
         "interrupted"},
        {"cancel during cleanup",
         Direction::fetch,
         {"--drop", "7", "--late", "8:5000"},
         remoteFile,
         Cancel::duringCleanup,
         Outcome::cancelled,
         "fetch failed after"},
    };

    const juce::String older ("the older file");
    juce::MemoryBlock newer (contents);
    static_cast<char*> (newer.getData())[0] ^= 0x5a;

    int row = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        link.close();
        simulator.stop();
        requestLog().deleteFile();
        const auto onDevice = deviceRoot / ("." + remoteFile);
        ASSERT_TRUE (onDevice.replaceWithData (contents.getData(), contents.getSize()));
        startDevice (c.deviceOptions);
        link.getClient().resetAbort(); // a cancelled row leaves the client aborted

        const auto folder = scratch / ("fault" + juce::String (++row));
        ASSERT_TRUE (folder.createDirectory());
        const auto local = folder.getChildFile ("big.bin");
        if (c.direction == Direction::fetch)
            ASSERT_TRUE (local.replaceWithText (older));
        else
            ASSERT_TRUE (local.replaceWithData (newer.getData(), newer.getSize()));

        TransferEngine::Options options;
        std::atomic<juce::int64> moved{0};
        options.progress = [&] (juce::int64 done, juce::int64) { moved = done; };
        const auto token = options.cancel;

        std::atomic<bool> finished{false};
        std::thread canceller (
            [&]
            {
                for (int i = 0; i < 3000 && !finished && c.cancel != Cancel::never; ++i)
                {
                    const bool due = c.cancel == Cancel::midTransfer
                                         ? moved.load() >= 3 * 8169
                                         : requestLog().loadFileAsString().contains ("FileCloseRequest");
                    if (due)
                    {
                        token.cancel();
                        return;
                    }
                    juce::Thread::sleep (5);
                }
            });

        OperationResult result;
        {
            TransferEngine engine (link.getClient(), options);
            result = c.direction == Direction::fetch ? engine.fetch (c.remote, local) : engine.send (local, c.remote);
        }
        finished = true;
        canceller.join();

        EXPECT_EQ ((int) result.outcome, (int) c.outcome) << result.reason;
        EXPECT_TRUE (result.reason.contains (c.reasonHas)) << result.reason;
        EXPECT_EQ (token.isCancelled(), c.cancel != Cancel::never);

        if (c.direction == Direction::fetch)
        {
            // The older file is as it was; what came in stays beside it, never under its name.
            EXPECT_EQ (local.loadFileAsString(), older);
            const auto partial = LocalFileTarget::partialFileFor (local);
            if (partial.existsAsFile())
            {
                EXPECT_LT (partial.getSize(), fileSize);
                juce::MemoryBlock start;
                partial.loadFileAsData (start);
                EXPECT_EQ (0, std::memcmp (start.getData(), contents.getData(), start.getSize()));
            }
        }
        else
        {
            EXPECT_EQ (localContents (onDevice), contents);
            EXPECT_FALSE ((deviceRoot / "mnt/nandfs/.big.bin.nubo-part").exists());
        }
    }
}
