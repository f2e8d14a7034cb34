// The client engine: exchanges and their failures, asynchronous messages,
// connecting, aborting and tearing down.

#include "ClientFixture.h"

namespace
{
/** Writes every call down as one line, tagged and with its thread, into a list it
    may share with other listeners. */
class RecordingListener final : public ITidewireClientListener
{
public:
    RecordingListener (juce::String tagToUse, juce::StringArray& sharedCalls, juce::CriticalSection& sharedLock)
        : tag (std::move (tagToUse)), calls (sharedCalls), lock (sharedLock)
    {
    }

    void eventReceived (int eventId, juce::int64 argument) override
    {
        record ("event " + juce::String (eventId) + " " + juce::String (argument));
    }

    void propertyChanged (juce::Array<juce::uint16> path, int propertyId, int value) override
    {
        record ("property " + pathText (path) + " " + juce::String (propertyId) + " " + juce::String (value));
    }

    void stringPropertyChanged (juce::Array<juce::uint16> path, int propertyId, juce::String value) override
    {
        record ("string " + pathText (path) + " " + juce::String (propertyId) + " " + value);
    }

    std::function<void()> onCall;

private:
    static juce::String pathText (const juce::Array<juce::uint16>& path)
    {
        juce::StringArray parts;
        for (auto p : path)
            parts.add (juce::String (p));
        return "[" + parts.joinIntoString (",") + "]";
    }

    void record (const juce::String& call)
    {
        {
            const juce::ScopedLock sl (lock);
            calls.add (tag + " " + call + " on " + juce::Thread::getCurrentThread()->getThreadName());
        }
        if (onCall)
            onCall();
    }

    juce::String tag;
    juce::StringArray& calls;
    juce::CriticalSection& lock;
};

/** Counts connectionLost calls. */
class LossCounter final : public ITidewireClientListener
{
public:
    void eventReceived (int, juce::int64) override {}
    void propertyChanged (juce::Array<juce::uint16>, int, int) override {}
    void stringPropertyChanged (juce::Array<juce::uint16>, int, juce::String) override {}
    void connectionLost() override
    {
        ++losses;
    }
    int count() const
    {
        return losses.load();
    }

private:
    std::atomic<int> losses{0};
};

bool waitUntil (const std::function<bool()>& condition)
{
    for (int i = 0; i < 2000; ++i, juce::Thread::sleep (5))
        if (condition())
            return true;
    return false;
}
} // namespace

//==============================================================================
class ClientExchangeTest : public SimulatedDeviceTest
{
};

TEST_F (ClientExchangeTest, NeedsAnAttachedPort)
{
    WhoAmIRequest before;
    EXPECT_EQ (client.sendRequestSync (before, 1000), nullptr);
    EXPECT_EQ (logger.lines(), strings ({"Not connected.", "Send Failed."}));

    startDevice();
    EXPECT_TRUE (client.isConnected());
    client.disconnect();
    EXPECT_FALSE (client.isConnected());
    logger.clear();
    WhoAmIRequest after;
    EXPECT_EQ (client.sendRequestSync (after, 1000), nullptr);
    EXPECT_EQ (logger.lines(), strings ({"Not connected.", "Send Failed."}));
    EXPECT_TRUE (deviceRequests().isEmpty());

    // The owner may now close the port; a new one works as the first did.
    port.reset();
    port = std::make_unique<SerialPort> (simulator.portPath(), SerialPortSettings());
    client.connect (port.get());
    WhoAmIRequest again;
    EXPECT_NE (client.sendRequestSync (again, 1000), nullptr);
}

TEST_F (ClientExchangeTest, ReturnsTheAnswerOrTheDevicesRefusal)
{
    startDevice();

    WhoAmIRequest who;
    FileSystemEntryCreateRequest create (usr + "/made", true, true);
    FileOpenRequest open (usr + "/missing", true);
    auto response = client.sendRequestSync (who, 1000);
    ASSERT_NE (response, nullptr);
    EXPECT_EQ (response->getMessageId(), WhoAmIResponse::id);
    EXPECT_EQ (response->getSerialNumber(), who.getSerialNumber());

    // A success answer is handed back as it is: what it means is the caller's matter.
    response = client.sendRequestSync (create, 1000);
    ASSERT_NE (response, nullptr);
    EXPECT_EQ (response->getMessageId(), SuccessResponse::id);
    EXPECT_TRUE (logger.lines().isEmpty());

    EXPECT_EQ (client.sendRequestSync (open, 1000), nullptr);
    EXPECT_EQ (logger.lines(), strings ({"No such file: " + usr + "/missing serial# " + serialOf (open)}));
    EXPECT_EQ (deviceRequests(),
               strings ({serialOf (who) + " WhoAmIRequest",
                         serialOf (create) + " FileSystemEntryCreateRequest isFolder=1 flag=1 path=" + usr + "/made",
                         serialOf (open) + " FileOpenRequest access=1 readFlag=1 path=" + usr + "/missing"}));
}

TEST_F (ClientExchangeTest, TimesOutAndThenDiscardsTheLateAnswer)
{
    // The first answer is dropped; the second comes three seconds after its exchange
    // gave up (room for a loaded machine to wake the waiting thread late), before the
    // answer to the third, which the device holds back longer.
    startDevice ({"--drop", "1", "--late", "2:4000,3:5000"});

    WhoAmIRequest dropped, late, next, last;
    EXPECT_EQ (client.sendRequestSync (dropped, 1000), nullptr);
    EXPECT_EQ (client.sendRequestSync (late, 1000), nullptr);
    auto lines = timeOutLines (dropped);
    lines.addArray (timeOutLines (late));
    EXPECT_EQ (logger.lines(), lines);

    logger.clear();
    auto response = client.sendRequestSync (next, 15000);
    ASSERT_NE (response, nullptr);
    EXPECT_EQ (response->getSerialNumber(), next.getSerialNumber());
    EXPECT_EQ (logger.lines(), strings ({"sync receive serial number didn't match! Expected " + serialOf (next) +
                                         ", got " + serialOf (late) + ", Discarding."}));

    logger.clear();
    EXPECT_NE (client.sendRequestSync (last, 1000), nullptr) << "nothing stale is left";
    EXPECT_TRUE (logger.lines().isEmpty());
}

TEST_F (ClientExchangeTest, FailsAtOnceOnceTheDeviceHasVanished)
{
    LossCounter losses;
    client.addListener (&losses);
    startDevice();
    EXPECT_FALSE (client.isLinkLost());
    simulator.stop(); // the far end of the pseudo-terminal closes
    ASSERT_TRUE (waitUntil ([&] { return losses.count() == 1; }));
    EXPECT_TRUE (client.isLinkLost());

    // No time-out: the exchange knows the device is gone, and says nothing of its own
    // (the listeners report the loss once).
    const auto start = juce::Time::getMillisecondCounter();
    WhoAmIRequest request, later;
    EXPECT_EQ (client.sendRequestSync (request, 60000), nullptr);
    EXPECT_EQ (client.sendRequestSync (later, 60000), nullptr);
    EXPECT_LT (juce::Time::getMillisecondCounter() - start, 30000u);
    EXPECT_TRUE (logger.lines().isEmpty()) << logger.lines().joinIntoString ("\n");
    EXPECT_EQ (losses.count(), 1);

    // Given a port again, the client works as before.
    port.reset();
    startDevice();
    EXPECT_FALSE (client.isLinkLost());
    WhoAmIRequest again;
    EXPECT_NE (client.sendRequestSync (again, 1000), nullptr);
    client.removeListener (&losses);
}

TEST_F (ClientExchangeTest, AHangUpEndsTheExchangeThatWaits)
{
    LossCounter losses;
    client.addListener (&losses);
    // The device takes the request and hangs up without answering.
    startDevice ({"--delay", "60000", "--hangup-after-received", "1"});

    const auto start = juce::Time::getMillisecondCounter();
    WhoAmIRequest request;
    EXPECT_EQ (client.sendRequestSync (request, 60000), nullptr);
    EXPECT_LT (juce::Time::getMillisecondCounter() - start, 30000u);
    EXPECT_TRUE (logger.lines().isEmpty()) << logger.lines().joinIntoString ("\n");
    ASSERT_TRUE (waitUntil ([&] { return losses.count() == 1; }));
    client.removeListener (&losses);
}

TEST_F (ClientExchangeTest, AnswersToNoRequestAreDroppedAsTheyArriveAndReportedInOneLine)
{
    // Each answer comes twice and is followed by 50 answers to requests never made.
    startDevice ({"--duplicate", "--unsolicited", "50"});

    WhoAmIRequest first, second, third;
    ASSERT_NE (client.sendRequestSync (first, 1000), nullptr);
    juce::Thread::sleep (1100); // the extra answers are in long before this; reports come a second apart
    logger.clear();

    // Whether they arrived before or after an exchange ended, they are counted and said
    // in one line by an exchange (not one line each).
    ASSERT_NE (client.sendRequestSync (second, 1000), nullptr);
    juce::Thread::sleep (1100);
    ASSERT_NE (client.sendRequestSync (third, 1000), nullptr);
    const auto lines = logger.lines();
    ASSERT_GE (lines.size(), 1);
    ASSERT_LE (lines.size(), 2) << lines.joinIntoString ("\n");
    for (auto& line : lines)
        EXPECT_TRUE (line.startsWith ("sync receive serial number didn't match! Expected ")) << line;
    EXPECT_TRUE (lines.joinIntoString ("\n").contains (" more, Discarding.")) << lines.joinIntoString ("\n");
}

TEST_F (ClientExchangeTest, AbortEndsAWaitingExchangeAndRefusesMoreUntilReset)
{
    startDevice ({"--drop", "1"});
    std::thread aborter (
        [this]
        {
            waitUntil ([this] { return deviceRequests().size() == 1; });
            client.abortOperations();
        });

    WhoAmIRequest waiting, refused, later;
    EXPECT_EQ (client.sendRequestSync (waiting, 60000), nullptr);
    aborter.join();
    EXPECT_EQ (client.sendRequestSync (refused, 60000), nullptr);
    EXPECT_EQ (logger.lines(),
               strings ({"Operation cancelled.", "Failed to get valid response to serial # " + serialOf (waiting),
                         "Operation cancelled.", "Send Failed."}));
    EXPECT_EQ (deviceRequests().size(), 1);

    client.resetAbort();
    EXPECT_NE (client.sendRequestSync (later, 1000), nullptr);
}

//==============================================================================
class ClientAsyncTest : public SimulatedDeviceTest
{
protected:
    void TearDown() override
    {
        for (auto* listener : {&first, &second, &third})
            client.removeListener (listener);
        SimulatedDeviceTest::TearDown();
    }

    juce::StringArray callsSoFar() const
    {
        const juce::ScopedLock sl (callLock);
        return calls;
    }

    juce::StringArray calls;
    juce::CriticalSection callLock;
    RecordingListener first{"A", calls, callLock}, second{"B", calls, callLock}, third{"C", calls, callLock};
};

// What the device said before a disconnect is still told, even while a listener takes
// its time over the first of it.
TEST_F (ClientAsyncTest, ADisconnectLetsTheMessagesAlreadyReceivedBeTold)
{
    struct SlowListener final : ITidewireClientListener
    {
        void eventReceived (int, juce::int64) override
        {
            juce::Thread::sleep (100);
        }
        void propertyChanged (juce::Array<juce::uint16>, int, int) override {}
        void stringPropertyChanged (juce::Array<juce::uint16>, int, juce::String) override {}
    } slow;
    client.addListener (&slow);
    startDevice ({"--async-after", "1"});
    DeviceIdentity identity;
    ASSERT_EQ (client.whoAmI (identity), 0);
    ASSERT_EQ (client.whoAmI (identity), 0); // its answer comes after the messages

    client.disconnect();
    client.removeListener (&slow);
    EXPECT_TRUE (logger.contains ("Async message 32773 not handled")) << logger.lines().joinIntoString ("\n");
}

TEST_F (ClientAsyncTest, DeliversToEveryListenerInOrderOnItsThread)
{
    client.addListener (&first);
    client.addListener (&second);
    startDevice ({"--async-after", "1"});
    DeviceIdentity identity;
    ASSERT_EQ (client.whoAmI (identity), 0);

    // The set: an event, a numeric and a string property change (ID 0x8010), a process
    // end and two kinds nobody handles; the last line comes after every listener call.
    ASSERT_TRUE (logger.waitForLine ("Async message 32773 not handled", 10000));
    const juce::String thread = " on TidewireClientThread";
    EXPECT_EQ (callsSoFar(), strings ({"A event 3 77" + thread, "B event 3 77" + thread,
                                       "A property [1,2] 5 1234" + thread, "B property [1,2] 5 1234" + thread,
                                       "A string [1] -32752 hello" + thread, "B string [1] -32752 hello" + thread}));
    EXPECT_EQ (logger.lines(), strings ({"Process 4321 terminated with exit code -2", "Async message 32769 not handled",
                                         "Async message 32773 not handled"}));
}

TEST_F (ClientAsyncTest, RemovedListenersHearNothingMore)
{
    third.onCall = [this] { client.removeListener (&third); }; // from inside its own call
    client.addListener (&first);
    client.addListener (&third);
    client.addListener (&second);
    client.removeListener (&second);

    startDevice ({"--async-after", "1,2"});
    DeviceIdentity identity;
    ASSERT_EQ (client.whoAmI (identity), 0);
    ASSERT_EQ (client.whoAmI (identity), 0);
    ASSERT_TRUE (waitUntil ([this] { return logger.lines().size() == 6; })); // both sets are through

    const auto seen = callsSoFar();
    EXPECT_EQ (seen.size(), 7) << seen.joinIntoString ("\n");
    EXPECT_EQ (seen[1], "C event 3 77 on TidewireClientThread");
    EXPECT_EQ (seen.joinIntoString ("\n").indexOf ("B "), -1);
    EXPECT_EQ (seen.joinIntoString ("\n").indexOf ("C property"), -1);
    client.removeListener (&first);

    // With nobody listening the messages are parsed and dropped; only the lines remain.
    logger.clear();
    startDevice ({"--async-after", "1"});
    ASSERT_EQ (client.whoAmI (identity), 0);
    ASSERT_TRUE (logger.waitForLine ("Async message 32773 not handled", 10000));
    EXPECT_EQ (callsSoFar().size(), 7);
}

TEST_F (ClientAsyncTest, TellsWhichThreadItsListenersAreCalledOn)
{
    std::atomic<const juce::Thread*> callingThread{nullptr};
    first.onCall = [&] { callingThread = juce::Thread::getCurrentThread(); };
    client.addListener (&first);
    startDevice ({"--async-after", "1"});
    DeviceIdentity identity;
    ASSERT_EQ (client.whoAmI (identity), 0);

    ASSERT_TRUE (waitUntil ([&] { return callingThread.load() != nullptr; }));
    EXPECT_EQ (callingThread.load(), client.getClientThread());
    EXPECT_EQ (client.getClientThread()->getThreadName(), "TidewireClientThread");
}

// A worker of the device layer attaches, talks and lets go on its own thread, which has
// no message loop; the reader hands it the answers all the same.
TEST_F (ClientExchangeTest, ServesAWorkerThreadFromConnectToDisconnect)
{
    startDevice();
    client.disconnect();

    bool identified = false;
    juce::String text;
    std::thread worker (
        [&]
        {
            client.connect (port.get());
            DeviceIdentity identity;
            identified = client.whoAmI (identity) == 0;
            text = juce::String (identity.text1);
            client.disconnect();
        });
    worker.join();

    EXPECT_TRUE (identified) << logger.lines().joinIntoString ("\n");
    EXPECT_TRUE (text.isNotEmpty());
    EXPECT_FALSE (client.isConnected());
}

//==============================================================================
class ClientScriptedTest : public ScriptedDeviceTest
{
};

TEST_F (ClientScriptedTest, RejectsAnswersOfUnknownOrMisplacedKinds)
{
    for (const int id : {6, 0x8003})
    {
        logger.clear();
        play (1, [id] (const ScriptedDevice::Request& r)
              { return ScriptedDevice::response ((juce::uint16) id, r.serial); });
        WhoAmIRequest request;
        EXPECT_EQ (client->sendRequestSync (request, 10000), nullptr);
        player.join();
        EXPECT_EQ (logger.lines(), strings ({"Unexepected message ID", "Unrecognized response.",
                                             "Failed to get valid response to serial # " + serialOf (request)}));
    }
}

TEST_F (ClientScriptedTest, LogsTheFailureTextWithTheSerialNumber)
{
    play (1, [] (const ScriptedDevice::Request& r) { return failure (r, "Disk full"); });
    FileSystemEntryCreateRequest request ("/x", true, true);
    EXPECT_EQ (client->sendRequestSync (request, 10000), nullptr);
    EXPECT_EQ (logger.lines(), strings ({"Disk full serial# " + serialOf (request)}));
}

TEST_F (ClientScriptedTest, ConnectDiscardsWhatThePreviousConnectionLeft)
{
    // A stray answer and half a message arrive while nobody asks.
    WhoAmIRequest earlier;
    const auto answer = ScriptedDevice::response (SuccessResponse::id, earlier.getSerialNumber());
    juce::MemoryBlock leftovers = answer;
    leftovers.append (answer.getData(), 7); // not from leftovers itself: append may move it first
    device.send (leftovers);
    juce::Thread::sleep (500); // the reader takes them in within microseconds; this is room to spare

    client->connect (port.get());
    play (1, success);
    FileSystemEntryCreateRequest request ("/x", true, true);
    auto response = client->sendRequestSync (request, 10000);
    ASSERT_NE (response, nullptr);
    EXPECT_EQ (response->getSerialNumber(), request.getSerialNumber());
    EXPECT_TRUE (logger.lines().isEmpty()) << logger.lines().joinIntoString ("\n");
}

TEST_F (ClientScriptedTest, TearsDownWithMessagesWaitingEverywhere)
{
    // The listener holds the client thread in its first call; behind that event wait a
    // second one, an answer nobody asked for and half a message.
    juce::StringArray calls;
    juce::CriticalSection callLock;
    juce::WaitableEvent inCall, release;
    RecordingListener listener ("A", calls, callLock);
    listener.onCall = [&]
    {
        inCall.signal();
        release.wait (10000);
    };
    client->addListener (&listener);

    juce::MemoryOutputStream body;
    body.writeInt (3);
    body.writeInt64 (77);
    const auto event = ScriptedDevice::message (0x8002, body.getMemoryBlock());
    const auto answer = ScriptedDevice::response (SuccessResponse::id, 1);
    juce::MemoryBlock bytes;
    for (auto* part : {&event, &event, &answer})
        bytes.append (part->getData(), part->getSize());
    bytes.append (answer.getData(), 9);
    device.send (bytes);

    ASSERT_TRUE (inCall.wait (10000));
    juce::Thread::sleep (300); // let the reader queue the rest
    std::thread releaser (
        [&]
        {
            juce::Thread::sleep (200);
            release.signal();
        });
    client.reset(); // waits for the call in progress, then releases everything queued
    releaser.join();
    EXPECT_EQ (calls.size(), 1);
}
