// The client engine against the device: exchanges, their failures, asynchronous
// messages, connecting and tearing down.

#include "ClientFixture.h"
#include "ScriptedDevice.h"

#include "protocol/TidewireClientRequest.h"
#include "protocol/TidewireClientResponse.h"

#include <mutex>
#include <thread>

namespace
{
juce::String serialText (const TidewireClientRequest& request)
{
    return juce::String (request.getSerialNumber());
}

/** Writes down every call it gets, tagged, into a list it may share with others. */
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

bool waitUntil (const std::function<bool()>& condition, int timeoutMs = 10000)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() > deadline)
            return false;
        juce::Thread::sleep (5);
    }
    return true;
}
} // namespace

//==============================================================================
class ClientExchangeTest : public SimulatedDeviceTest
{
};

TEST_F (ClientExchangeTest, FailsAtOnceWithoutPort)
{
    WhoAmIRequest request;
    EXPECT_EQ (client.sendRequestSync (request, 1000), nullptr);
    EXPECT_EQ (logger.lines(), strings ({ "Not connected.", "Send Failed." }));
    EXPECT_FALSE (client.isConnected());
}

TEST_F (ClientExchangeTest, ReturnsTheMatchingResponseAndKeepsSerialNumbers)
{
    startDevice();

    WhoAmIRequest first;
    WhoAmIRequest second;
    auto response = client.sendRequestSync (first, 1000);
    ASSERT_NE (response, nullptr);
    EXPECT_EQ (response->getMessageId(), WhoAmIResponse::id);
    EXPECT_EQ (response->getSerialNumber(), first.getSerialNumber());

    // A success response is handed back as it is; what it means is the caller's matter.
    FileSystemEntryCreateRequest create ("/mnt/nandfs/usr/made", true, true);
    response = client.sendRequestSync (create, 1000);
    ASSERT_NE (response, nullptr);
    EXPECT_EQ (response->getMessageId(), SuccessResponse::id);

    EXPECT_EQ (deviceRequests(),
               strings ({ serialText (first) + " WhoAmIRequest",
                                    serialText (create)
                                        + " FileSystemEntryCreateRequest isFolder=1 flag=1 path=/mnt/nandfs/usr/made" }));
    EXPECT_TRUE (logger.lines().isEmpty()) << logger.lines().joinIntoString ("\n");
}

TEST_F (ClientExchangeTest, TimesOutOnAnUnansweredRequestAndCarriesOn)
{
    startDevice ({ "--drop", "1" });

    WhoAmIRequest dropped;
    EXPECT_EQ (client.sendRequestSync (dropped, 1000), nullptr);
    EXPECT_EQ (logger.lines(), strings ({ "Timeout on serial # " + serialText (dropped),
                                                    "Failed to get valid response to serial # " + serialText (dropped) }));

    logger.clear();
    DeviceIdentity identity;
    EXPECT_EQ (client.whoAmI (identity), 0);
    EXPECT_TRUE (logger.lines().isEmpty()) << logger.lines().joinIntoString ("\n");
}

TEST_F (ClientExchangeTest, ReportsTheDevicesFailureTextWithTheSerialNumber)
{
    startDevice();

    FileOpenRequest request ("/mnt/nandfs/usr/missing", true);
    EXPECT_EQ (client.sendRequestSync (request, 1000), nullptr);
    EXPECT_EQ (logger.lines(),
               strings ({ "No such file: /mnt/nandfs/usr/missing serial# " + serialText (request) }));
}

TEST_F (ClientExchangeTest, DiscardsALateResponseAndStillGetsItsOwn)
{
    // The first answer comes half a second after its exchange gave up on it, and
    // before the answer to the next request, which the device holds back longer.
    startDevice ({ "--late", "1:1500,2:1000" });

    WhoAmIRequest early;
    EXPECT_EQ (client.sendRequestSync (early, 1000), nullptr);
    EXPECT_EQ (logger.lines(), strings ({ "Timeout on serial # " + serialText (early),
                                                    "Failed to get valid response to serial # " + serialText (early) }));

    logger.clear();
    WhoAmIRequest next;
    auto response = client.sendRequestSync (next, 5000);
    ASSERT_NE (response, nullptr);
    EXPECT_EQ (response->getSerialNumber(), next.getSerialNumber());
    EXPECT_EQ (logger.lines(), strings ({ "sync receive serial number didn't match! Expected "
                                                    + serialText (next) + ", got " + serialText (early)
                                                    + ", Discarding." }));

    // Nothing stale is left for the exchange after.
    logger.clear();
    WhoAmIRequest last;
    EXPECT_NE (client.sendRequestSync (last, 1000), nullptr);
    EXPECT_TRUE (logger.lines().isEmpty()) << logger.lines().joinIntoString ("\n");
}

TEST_F (ClientExchangeTest, EndsWithTimeOutLinesWhenTheDeviceVanishes)
{
    startDevice();
    DeviceIdentity identity;
    ASSERT_EQ (client.whoAmI (identity), 0);

    simulator.stop(); // the far end of the pseudo-terminal closes

    WhoAmIRequest request;
    EXPECT_EQ (client.sendRequestSync (request, 1000), nullptr);
    EXPECT_EQ (logger.lines(), strings ({ "Timeout on serial # " + serialText (request),
                                                    "Failed to get valid response to serial # " + serialText (request) }));
}

TEST_F (ClientExchangeTest, DisconnectLetsGoOfThePortAndConnectComesBack)
{
    startDevice();
    client.disconnect();
    EXPECT_FALSE (client.isConnected());

    WhoAmIRequest request;
    EXPECT_EQ (client.sendRequestSync (request, 1000), nullptr);
    EXPECT_EQ (logger.lines(), strings ({ "Not connected.", "Send Failed." }));

    // The owner may now close the port; a new one works as the first did.
    port->close();
    port.reset();
    connectTo (simulator.portPath());
    DeviceIdentity identity;
    EXPECT_EQ (client.whoAmI (identity), 0);
}

TEST_F (ClientExchangeTest, AbortFailsAWaitingExchangeAndLaterOnesUntilReset)
{
    startDevice ({ "--drop", "1" });

    // Abort once the device has the request, while the exchange waits 60 s for an
    // answer that never comes.
    std::thread aborter (
        [this]
        {
            waitUntil ([this] { return deviceRequests().size() == 1; });
            client.abortOperations();
        });

    WhoAmIRequest waiting;
    EXPECT_EQ (client.sendRequestSync (waiting, 60000), nullptr);
    aborter.join();
    EXPECT_TRUE (client.isAborted());
    EXPECT_EQ (logger.lines(), strings ({ "Operation cancelled.",
                                                    "Failed to get valid response to serial # " + serialText (waiting) }));

    logger.clear();
    WhoAmIRequest refused;
    EXPECT_EQ (client.sendRequestSync (refused, 60000), nullptr);
    EXPECT_EQ (logger.lines(), strings ({ "Operation cancelled.", "Send Failed." }));
    EXPECT_EQ (deviceRequests().size(), 1);

    client.resetAbort();
    logger.clear();
    DeviceIdentity identity;
    EXPECT_EQ (client.whoAmI (identity), 0);
    EXPECT_TRUE (logger.lines().isEmpty()) << logger.lines().joinIntoString ("\n");
}

//==============================================================================
class ClientAsyncTest : public SimulatedDeviceTest
{
protected:
    juce::StringArray callsSoFar() const
    {
        const juce::ScopedLock sl (callLock);
        return calls;
    }

    juce::StringArray calls;
    juce::CriticalSection callLock;
};

TEST_F (ClientAsyncTest, DeliversEventsAndPropertiesToEveryListenerInOrder)
{
    RecordingListener first ("A", calls, callLock), second ("B", calls, callLock);
    client.addListener (&first);
    client.addListener (&second);

    startDevice ({ "--async-after", "1" });
    DeviceIdentity identity;
    ASSERT_EQ (client.whoAmI (identity), 0);

    ASSERT_TRUE (waitUntil ([this] { return callsSoFar().size() >= 6; }));
    ASSERT_TRUE (logger.waitForLine ("Async message 32773 not handled", 10000));

    const juce::String thread = " on TidewireClientThread";
    EXPECT_EQ (callsSoFar(), strings ({ "A event 3 77" + thread, "B event 3 77" + thread,
                                                  "A property [1,2] 5 1234" + thread,
                                                  "B property [1,2] 5 1234" + thread,
                                                  "A string [1] -32752 hello" + thread,
                                                  "B string [1] -32752 hello" + thread }));

    // The kinds nobody listens to are logged in arrival order.
    EXPECT_EQ (logger.lines(), strings ({ "Process 4321 terminated with exit code -2",
                                                    "Async message 32769 not handled",
                                                    "Async message 32773 not handled" }));
    client.removeListener (&first);
    client.removeListener (&second);
}

TEST_F (ClientAsyncTest, RemovedListenersHearNothingMore)
{
    RecordingListener stays ("A", calls, callLock), leaves ("B", calls, callLock), selfRemoving ("C", calls, callLock);
    selfRemoving.onCall = [this, &selfRemoving] { client.removeListener (&selfRemoving); };
    client.addListener (&stays);
    client.addListener (&selfRemoving);
    client.addListener (&leaves);
    client.removeListener (&leaves);

    startDevice ({ "--async-after", "1,2" });
    DeviceIdentity identity;
    ASSERT_EQ (client.whoAmI (identity), 0);
    ASSERT_EQ (client.whoAmI (identity), 0);

    // Two sets of three listener calls for A; the last line of the second set is logged
    // after A's calls, so once it is there nothing more is coming.
    ASSERT_TRUE (waitUntil ([this] { return logger.lines().size() == 6; }));

    const auto seen = callsSoFar();
    EXPECT_EQ (seen.size(), 7) << seen.joinIntoString ("\n");
    EXPECT_EQ (seen[0], "A event 3 77 on TidewireClientThread");
    EXPECT_EQ (seen[1], "C event 3 77 on TidewireClientThread");
    for (auto& call : seen)
        EXPECT_FALSE (call.startsWith ("B")) << call;
    EXPECT_EQ (seen.joinIntoString ("\n").indexOf ("C property"), -1);
    client.removeListener (&stays);
}

TEST_F (ClientAsyncTest, ParsesAndDropsAsyncMessagesWithoutListeners)
{
    startDevice ({ "--async-after", "1" });
    DeviceIdentity identity;
    ASSERT_EQ (client.whoAmI (identity), 0);
    ASSERT_TRUE (logger.waitForLine ("Async message 32773 not handled", 10000));
    EXPECT_EQ (logger.lines().size(), 3);
}

//==============================================================================
/** For what the simulator never sends: the test plays the device byte by byte. */
class ClientScriptedTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (device.isOpen());
        port = std::make_unique<SerialPort> (device.portPath(), SerialPortSettings());
        ASSERT_TRUE (port->isOpen());
        client = std::make_unique<TidewireClient>();
        client->connect (port.get());
    }

    void TearDown() override
    {
        client.reset();
        port.reset();
    }

    /** Answers the next request with a message built by the given function. */
    void answerNext (const std::function<juce::MemoryBlock (const ScriptedDevice::Request&)>& answer)
    {
        answering = std::thread (
            [this, answer]
            {
                ScriptedDevice::Request request;
                if (device.receive (request))
                    device.send (answer (request));
            });
    }

    void finishAnswering()
    {
        if (answering.joinable())
            answering.join();
    }

    CapturingLogger logger;
    ScriptedDevice device;
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<TidewireClient> client;
    std::thread answering;
};

TEST_F (ClientScriptedTest, RejectsResponsesOfUnknownOrMisplacedKinds)
{
    for (const juce::uint16 id : { (juce::uint16) 6, (juce::uint16) 0x8003 })
    {
        logger.clear();
        answerNext ([id] (const ScriptedDevice::Request& r)
                    { return ScriptedDevice::message (id, ScriptedDevice::responseBody (r.serial)); });

        WhoAmIRequest request;
        EXPECT_EQ (client->sendRequestSync (request, 10000), nullptr);
        finishAnswering();
        EXPECT_EQ (logger.lines(), strings ({ "Unexepected message ID", "Unrecognized response.",
                                                        "Failed to get valid response to serial # "
                                                            + serialText (request) }))
            << "ID " << id;
    }
}

TEST_F (ClientScriptedTest, ReportsAnExactFailureText)
{
    answerNext (
        [] (const ScriptedDevice::Request& r)
        {
            return ScriptedDevice::message (FailureResponse::id,
                                            ScriptedDevice::responseBody (r.serial, ScriptedDevice::string ("Disk full")));
        });

    FileSystemEntryCreateRequest request ("/x", true, true);
    EXPECT_EQ (client->sendRequestSync (request, 10000), nullptr);
    finishAnswering();
    EXPECT_EQ (logger.lines(), strings ({ "Disk full serial# " + serialText (request) }));
}

TEST_F (ClientScriptedTest, ConnectDiscardsWhatThePreviousConnectionLeft)
{
    // A stray answer and half a message arrive while nobody asks.
    WhoAmIRequest earlier;
    const auto stray = ScriptedDevice::message (SuccessResponse::id, ScriptedDevice::responseBody (earlier.getSerialNumber()));
    const auto half = ScriptedDevice::message (SuccessResponse::id, ScriptedDevice::responseBody (12345));
    device.send (ScriptedDevice::join ({ stray, juce::MemoryBlock (half.getData(), 7) }));
    juce::Thread::sleep (300); // let the reader take them in

    client->connect (port.get());

    answerNext ([] (const ScriptedDevice::Request& r)
                { return ScriptedDevice::message (SuccessResponse::id, ScriptedDevice::responseBody (r.serial)); });
    FileSystemEntryCreateRequest request ("/x", true, true);
    auto response = client->sendRequestSync (request, 10000);
    finishAnswering();
    ASSERT_NE (response, nullptr);
    EXPECT_EQ (response->getSerialNumber(), request.getSerialNumber());
    EXPECT_TRUE (logger.lines().isEmpty()) << logger.lines().joinIntoString ("\n");
}

TEST_F (ClientScriptedTest, TearsDownWithMessagesWaitingEverywhere)
{
    // The listener holds the client thread in its first call; behind that event wait a
    // second event, a response nobody asked for and half a message.
    juce::StringArray calls;
    juce::CriticalSection callLock;
    juce::WaitableEvent inCallback, release;
    RecordingListener listener ("A", calls, callLock);
    listener.onCall = [&]
    {
        inCallback.signal();
        release.wait (10000);
    };
    client->addListener (&listener);

    juce::MemoryOutputStream eventBody;
    eventBody.writeInt (3);
    eventBody.writeInt64 (77);
    const auto event = ScriptedDevice::message (0x8002, eventBody.getMemoryBlock());
    const auto response = ScriptedDevice::message (SuccessResponse::id, ScriptedDevice::responseBody (1));
    device.send (ScriptedDevice::join ({ event, event, response, juce::MemoryBlock (response.getData(), 9) }));

    ASSERT_TRUE (inCallback.wait (10000));
    juce::Thread::sleep (300); // let the reader queue the rest

    std::thread releaser (
        [&]
        {
            juce::Thread::sleep (200);
            release.signal();
        });
    client.reset(); // waits for the call in progress, then releases everything queued
    releaser.join();

    const juce::ScopedLock sl (callLock);
    EXPECT_EQ (calls.size(), 1);
}
