#include "protocol/TidewireClient.h"

#include "log/GlobalLog.h"
#include "log/ScopedLogContext.h"
#include "protocol/ReceivedMessage.h"
#include "protocol/TidewireClientRequest.h"
#include "protocol/TidewireClientResponse.h"
#include "protocol/TidewireNotification.h"
#include "serial/SerialPort.h"
#include "serial/SerialPortInputStream.h"
#include "serial/SerialPortOutputStream.h"

#include <chrono>
#include <thread>
#include <utility>

namespace
{
// How long the client thread sleeps at most before it looks at its exit flag.
constexpr int clientThreadSliceMs = 100;

// How long a disconnect lets the client thread hand on what the device said last.
constexpr int asyncDrainMs = 250;
} // namespace

TidewireClient::TidewireClient() : juce::Thread ("TidewireClientThread")
{
    startThread();
}

TidewireClient::~TidewireClient()
{
    // Stop, then release: the client thread first (it reads the async queue and the
    // listener list), then the reader thread (it feeds the assembler and the queues).
    stopping = true;
    clientWake = true;
    signalThreadShouldExit();
    asyncQueue.wakeWaiter();
    stopThread (-1);

    port = nullptr;
    releaseStreams();
    discardReceived();

    const juce::ScopedLock sl (listenerLock);
    listeners.clear();
}

//==============================================================================
void TidewireClient::connect (SerialPort* newPort)
{
    port = nullptr;
    releaseStreams();
    discardReceived();
    linkLost = false;
    lossToReport = false;
    updateInterrupted();

    if (newPort == nullptr)
        return;

    // The input stream first: its reader thread starts at once, but it calls this
    // client only once the callback is set (bytes that come before wait in the stream).
    input = std::make_unique<SerialPortInputStream> (*newPort);
    auto* stream = input.get();
    input->setDataCallback ([this, stream] { takeArrivedBytes (*stream); });
    output = std::make_unique<SerialPortOutputStream> (*newPort);

    port = newPort;

    // A device gone before the callback was set has not been heard of yet.
    if (input->hasLostDevice())
        noteLinkLost();
}

void TidewireClient::disconnect()
{
    port = nullptr;
    releaseStreams();
    awaitQueuedMessages();
    discardReceived();
    linkLost = false;
    lossToReport = false;
    updateInterrupted();
}

bool TidewireClient::isLinkLost() const
{
    return linkLost.load();
}

void TidewireClient::noteLinkLost()
{
    if (linkLost.exchange (true))
        return;

    updateInterrupted();
    responseQueue.wakeWaiter();

    lossToReport = true;
    clientWake = true;
    asyncQueue.wakeWaiter();
}

void TidewireClient::updateInterrupted()
{
    // Under a lock: two threads recomputing at once must not leave the older answer.
    const std::lock_guard<std::mutex> guard (interruptedLock);
    interrupted = aborted.load() || linkLost.load();
}

bool TidewireClient::isConnected() const
{
    return port.load() != nullptr;
}

bool TidewireClient::canHearDevice() const
{
    return port.load() != nullptr && input != nullptr && input->isThreadRunning();
}

void TidewireClient::releaseStreams()
{
    if (input != nullptr)
    {
        // Clearing the callback waits for a call in progress; after it none comes, so
        // the client may go without racing one. The stream's destructor then stops its
        // thread.
        input->setDataCallback (nullptr);
        input.reset();
    }

    output.reset();
}

void TidewireClient::awaitQueuedMessages()
{
    // A message the device sent before the end is still told: the client thread gets a
    // moment for those already queued. Never waited for on the client thread itself.
    if (juce::Thread::getCurrentThread() == this)
        return;
    for (const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) asyncDrainMs;
         asyncHandled.load() < asyncQueued.load() && isThreadRunning() &&
         juce::Time::getMillisecondCounter() < deadline;)
        juce::Thread::sleep (1);
}

void TidewireClient::discardReceived()
{
    assembler.reset();
    asyncQueue.clear();
    responseQueue.clear();
    asyncQueue.takeDroppedCount();
    asyncHandled = asyncQueued.load(); // what was cleared counts as handled
    responseQueue.takeDroppedCount();
    staleResponses = 0;
    unreportedStale = 0;
    lastStaleReportMs = 0;
}

//==============================================================================
void TidewireClient::addListener (ITidewireClientListener* listener)
{
    if (listener == nullptr)
        return;

    const juce::ScopedLock sl (listenerLock);
    listeners.add (listener); // in registration order; a listener added twice hears everything twice
}

void TidewireClient::removeListener (ITidewireClientListener* listener)
{
    // Waits for a callback in progress on the client thread to return. The lock is
    // re-entrant, so a listener may remove itself (or another) from its callback.
    const juce::ScopedLock dispatching (dispatchLock);
    const juce::ScopedLock sl (listenerLock);
    listeners.removeAllInstancesOf (listener);
}

const juce::Thread* TidewireClient::getClientThread() const
{
    return this;
}

void TidewireClient::callListeners (const std::function<void (ITidewireClientListener&)>& call)
{
    const juce::ScopedLock dispatching (dispatchLock);

    juce::Array<ITidewireClientListener*> current;
    {
        const juce::ScopedLock sl (listenerLock);
        current = listeners;
    }

    for (auto* listener : current)
    {
        {
            // An earlier callback of this round may have removed it.
            const juce::ScopedLock sl (listenerLock);
            if (!listeners.contains (listener))
                continue;
        }

        call (*listener);
    }
}

//==============================================================================
void TidewireClient::abortOperations()
{
    aborted = true;
    updateInterrupted();
    responseQueue.wakeWaiter();
}

void TidewireClient::resetAbort()
{
    aborted = false;
    updateInterrupted();
}

bool TidewireClient::isAborted() const
{
    return aborted.load();
}

void TidewireClient::setBetweenExchangesCallback (std::function<void()> callback)
{
    betweenExchanges = std::move (callback);
}

//==============================================================================
int TidewireClient::sendRequest (TidewireClientRequest& request)
{
    if (aborted)
    {
        noteFailure ("Operation cancelled.");
        return -1;
    }

    if (linkLost)
        return -1; // reported once, by the listeners

    if (port.load() == nullptr || output == nullptr)
    {
        noteFailure ("Not connected.");
        return -1;
    }

    request.write (*output);
    output->flush();
    return 0;
}

std::unique_ptr<TidewireClientResponse> TidewireClient::receiveResponse (TidewireClientRequest& request, int timeoutMs)
{
    return toResponse (request, responseQueue.pop (timeoutMs, &interrupted));
}

std::unique_ptr<TidewireClientResponse> TidewireClient::toResponse (TidewireClientRequest& request,
                                                                    std::unique_ptr<ReceivedMessage> message)
{
    if (message == nullptr)
    {
        if (aborted)
            noteFailure ("Operation cancelled.");
        else if (!linkLost)
            noteFailure ("Timeout on serial # " + juce::String (request.getSerialNumber()));
        return nullptr;
    }

    auto response = createResponse (std::move (message));

    if (response == nullptr)
    {
        noteFailure ("Unrecognized response.");
        return nullptr;
    }

    return response;
}

std::unique_ptr<TidewireClientResponse> TidewireClient::sendRequestSync (TidewireClientRequest& request, int timeoutMs)
{
    return exchange (request, timeoutMs, nullptr);
}

namespace
{
using Clock = std::chrono::steady_clock;

juce::int64 ticksNow()
{
    return (juce::int64) Clock::now().time_since_epoch().count();
}

Clock::time_point fromTicks (juce::int64 ticks)
{
    return Clock::time_point (Clock::duration (ticks));
}

// How long a transfer's thread leaves the blocks to the reader before it takes one
// back itself: its own work (a repaint, Cancel) waits no longer than this.
constexpr int relaySliceMs = 50;
} // namespace

std::unique_ptr<TidewireClientResponse> TidewireClient::exchange (TidewireClientRequest& request, int timeoutMs,
                                                                  BlockContinuation* continuation)
{
    if (betweenExchanges != nullptr)
    {
        const auto now = juce::Time::getMillisecondCounter();
        if (now - lastBetweenExchanges >= 50)
        {
            lastBetweenExchanges = now;
            betweenExchanges();
        }
    }

    lastSerial = request.getSerialNumber();
    lastOutcome = ExchangeOutcome::unanswered;
    {
        const std::lock_guard<std::mutex> guard (lastFailureLock);
        lastFailure.clear();
    }

    // The device is gone: fail at once, quietly (the loss is reported once, not per exchange).
    if (linkLost && !aborted)
        return nullptr;

    auto serial = request.getSerialNumber();

    // From here on only this request's answers are queued; what an earlier exchange left
    // (a second copy of its answer) is dropped.
    awaitedSerial = serial;
    responseQueue.clear();

    // Answers that matched nothing are reported between blocks, in their place: until
    // that line is out, every block goes through this thread.
    const auto relayed = continuation != nullptr && unreportedStale == 0;
    if (relayed)
    {
        relayContinuation = continuation;
        relayRequest = &request;
        relay.store (Relay::sending);
    }

    if (sendRequest (request) != 0)
    {
        if (relayed)
            stopRelay();
        awaitedSerial = noSerial;
        if (!linkLost || aborted)
            noteFailure ("Send Failed.");
        return nullptr;
    }

    lastSentTicks = ticksNow();
    std::unique_ptr<ReceivedMessage> handedBack;

    if (relayed)
    {
        // The reader carries the transfer on from here; an answer it leaves, a time-out,
        // Cancel or a lost device wake this thread, which otherwise takes a block back
        // itself every slice (its own work then runs between two exchanges, as always).
        auto state = Relay::sending;
        if (relay.compare_exchange_strong (state, Relay::armed))
            handedBack = responseQueue.pop (juce::jlimit (1, relaySliceMs, timeoutMs), &interrupted);

        stopRelay();
        serial = request.getSerialNumber();
    }

    const auto deadline = fromTicks (lastSentTicks.load()) + std::chrono::milliseconds (juce::jmax (0, timeoutMs));

    auto finish = [this, &serial] (std::unique_ptr<TidewireClientResponse> result)
    {
        awaitedSerial = noSerial;
        reportStaleResponses (serial);
        return result;
    };

    for (;;)
    {
        std::unique_ptr<TidewireClientResponse> response;

        if (handedBack != nullptr)
        {
            response = toResponse (request, std::move (handedBack));
        }
        else
        {
            // A stale answer below costs nothing of the time this exchange was given.
            const auto left = (int) std::chrono::ceil<std::chrono::milliseconds> (deadline - Clock::now()).count();
            response = receiveResponse (request, juce::jmax (0, left));
        }

        if (response == nullptr)
        {
            if (!linkLost || aborted)
                noteFailure ("Failed to get valid response to serial # " + juce::String (serial));
            return finish (nullptr);
        }

        if (response->getSerialNumber() != serial)
        {
            // Queued just before this exchange began waiting: drop it and keep waiting
            // for this request's own answer.
            lastStaleSerial = response->getSerialNumber();
            ++staleResponses;
            continue;
        }

        if (response->getMessageId() == FailureResponse::id)
        {
            const auto* failure = static_cast<const FailureResponse*> (response.get());
            noteFailure (failure->getText() + " serial# " + juce::String (response->getSerialNumber()));
            lastOutcome = ExchangeOutcome::refused;
            return finish (nullptr);
        }

        lastOutcome = ExchangeOutcome::answered;
        return finish (std::move (response));
    }
}

void TidewireClient::stopRelay()
{
    for (int spins = 0;; ++spins)
    {
        auto state = relay.load();
        if (state == Relay::off)
            return;

        // The reader is in the middle of a block: a check, a write into a local file and
        // a request handed to the port without waiting. Only a slow disk makes that
        // long, and then this thread sleeps rather than spins.
        if (state == Relay::busy)
        {
            if (spins < 100)
                std::this_thread::yield();
            else
                std::this_thread::sleep_for (std::chrono::milliseconds (1));
            continue;
        }

        if (relay.compare_exchange_weak (state, Relay::off))
            return;
    }
}

bool TidewireClient::relayAnswer (std::unique_ptr<ReceivedMessage>& message)
{
    for (auto state = relay.load();;)
    {
        if (state == Relay::armed && relay.compare_exchange_weak (state, Relay::busy))
            break;

        // Arrived while its request was still being written: the transferring thread
        // takes this one, and the reader no later answer of this exchange.
        if (state == Relay::sending && relay.compare_exchange_weak (state, Relay::off))
            return false;

        if (state != Relay::armed && state != Relay::sending)
            return false;
    }

    auto& request = *relayRequest;
    juce::int32 answered = 0;

    // Anything out of the ordinary goes to the transferring thread, which checks and
    // logs it exactly as any exchange.
    if (aborted || linkLost || staleResponses.load() != 0 || port.load() == nullptr || output == nullptr ||
        !message->peekSerialNumber (answered) || answered != request.getSerialNumber() ||
        !relayContinuation->takeRoutineAnswer (message))
    {
        relay.store (Relay::off);
        return false;
    }

    const auto serial = request.getSerialNumber();
    lastSerial = serial;
    lastOutcome = ExchangeOutcome::unanswered;
    awaitedSerial = serial;

    request.write (*output);
    output->flush();
    lastSentTicks = ticksNow();
    relayContinuation->afterSent();

    relay.store (Relay::armed);
    return true;
}

void TidewireClient::noteFailure (const juce::String& line)
{
    globalLog (line);
    const std::lock_guard<std::mutex> guard (lastFailureLock);
    if (lastFailure.isEmpty())
        lastFailure = line;
}

juce::String TidewireClient::getLastFailure() const
{
    const std::lock_guard<std::mutex> guard (lastFailureLock);
    return lastFailure;
}

juce::int32 TidewireClient::getLastExchangeSerial() const
{
    return (juce::int32) lastSerial.load();
}

TidewireClient::ExchangeOutcome TidewireClient::getLastExchangeOutcome() const
{
    return lastOutcome.load();
}

std::unique_ptr<TidewireClientResponse> TidewireClient::awaitLateResponse (int timeoutMs)
{
    using Clock = std::chrono::steady_clock;

    if (lastOutcome != ExchangeOutcome::unanswered)
        return nullptr;

    // The reader queues only answers to the serial number awaited: await the old one again.
    awaitedSerial = lastSerial.load();
    std::unique_ptr<TidewireClientResponse> late;

    const auto deadline = Clock::now() + std::chrono::milliseconds (juce::jmax (0, timeoutMs));
    while (late == nullptr && !isAborted() && canHearDevice())
    {
        const auto left = (int) std::chrono::ceil<std::chrono::milliseconds> (deadline - Clock::now()).count();
        if (left <= 0)
            break;

        // Short slices: a device that goes away meanwhile ends the wait early.
        auto message = responseQueue.pop (juce::jmin (left, 100), &interrupted);
        if (message == nullptr)
            continue;

        if (auto response = createResponse (std::move (message)))
            if (response->getSerialNumber() == lastSerial)
                late = std::move (response);
    }

    awaitedSerial = noSerial;
    return late;
}

bool TidewireClient::isAwaited (const ReceivedMessage& message)
{
    juce::int32 serial = 0;

    // Without a serial number it cannot be matched here; the exchange rejects it.
    if (!message.peekSerialNumber (serial))
        return true;

    if ((juce::int64) serial == awaitedSerial.load())
        return true;

    lastStaleSerial = serial;
    ++staleResponses;
    return false;
}

void TidewireClient::reportStaleResponses (juce::int32 expectedSerial)
{
    // At most one line a second: a device that answers everything twice would otherwise
    // add a line to every exchange of a transfer.
    unreportedStale += staleResponses.exchange (0) + responseQueue.takeDroppedCount();
    const auto now = juce::Time::getMillisecondCounter();
    if (unreportedStale <= 0 || (lastStaleReportMs != 0 && now - lastStaleReportMs < 1000))
        return;

    const auto count = std::exchange (unreportedStale, 0);
    lastStaleReportMs = juce::jmax ((juce::uint32) 1, now);

    const auto expected = juce::String (expectedSerial);
    const auto got = juce::String (lastStaleSerial.load());
    if (count == 1)
        globalLog ("sync receive serial number didn't match! Expected " + expected + ", got " + got + ", Discarding.");
    else
        globalLog ("sync receive serial number didn't match! Expected " + expected + ", got " + got + " and " +
                   juce::String (count - 1) + " more, Discarding.");
}

//==============================================================================
void TidewireClient::setOwnThreadsLogger (ILogger* logger)
{
    ownThreadsLogger = logger;
}

void TidewireClient::takeArrivedBytes (SerialPortInputStream& stream)
{
    // Runs on the input stream's reader thread, under the stream's own lock.
    const ScopedLogContext context (ownThreadsLogger.load());
    assembler.drain (stream,
                     [this] (std::unique_ptr<ReceivedMessage> message)
                     {
                         if (message->isAsync())
                         {
                             ++asyncQueued;
                             asyncQueue.push (std::move (message));
                         }
                         else if (isAwaited (*message) && !relayAnswer (message))
                             responseQueue.push (std::move (message));
                     });

    if (stream.hasLostDevice())
        noteLinkLost();
}

void TidewireClient::run()
{
    while (!threadShouldExit())
    {
        const ScopedLogContext context (ownThreadsLogger.load());
        auto message = asyncQueue.pop (clientThreadSliceMs, &clientWake);
        clientWake = stopping.load();

        if (message != nullptr)
        {
            handleAsyncMessage (std::move (message));
            ++asyncHandled;
        }

        reportDroppedAsyncMessages();

        if (lossToReport.exchange (false))
            callListeners ([] (ITidewireClientListener& l) { l.connectionLost(); });
    }
}

void TidewireClient::reportDroppedAsyncMessages()
{
    const auto dropped = asyncQueue.takeDroppedCount();
    asyncHandled += (juce::uint64) dropped;
    droppedAsyncMessages += dropped;
    if (droppedAsyncMessages == 0)
        return;

    const auto now = juce::Time::getMillisecondCounter();
    if (now - lastDropReportMs < 1000)
        return;

    lastDropReportMs = now;
    globalLog ("Dropped " + juce::String (droppedAsyncMessages) +
               " asynchronous messages from the device: more arrived than could be handled.");
    droppedAsyncMessages = 0;
}

void TidewireClient::handleAsyncMessage (std::unique_ptr<ReceivedMessage> message)
{
    if (message == nullptr)
        return;

    const auto messageId = message->readUInt16();
    message->readInt32(); // body size: the cursor now stands on the body

    switch (messageId)
    {
    case ProcessTerminatedNotification::id:
    {
        const ProcessTerminatedNotification notification (std::move (message));
        if (notification.isValid())
            globalLog ("Process " + juce::String ((juce::uint64) notification.getProcessId()) +
                       " terminated with exit code " + juce::String (notification.getExitCode()));
        break;
    }

    case 0x8001:
    case 0x8005:
        globalLog ("Async message " + juce::String (messageId) + " not handled");
        break;

    case TidewireEvent::id:
    {
        const TidewireEvent event (std::move (message));
        if (event.isValid())
            callListeners ([&event] (ITidewireClientListener& l)
                           { l.eventReceived (event.getEventId(), event.getArgument()); });
        break;
    }

    case TidewirePropertyChangedNotification::id:
    {
        const TidewirePropertyChangedNotification change (std::move (message));
        if (!change.isValid())
            break;

        // The wire's 16-bit ID, sign-extended: IDs from 0x8000 arrive negative.
        const auto propertyId = (int) (juce::int16) change.getPropertyId();

        callListeners (
            [&change, propertyId] (ITidewireClientListener& l)
            {
                if (change.isString())
                    l.stringPropertyChanged (change.getPath(), propertyId, change.getStringValue());
                else
                    l.propertyChanged (change.getPath(), propertyId, change.getIntValue());
            });
        break;
    }

    default:
        globalLog ("Unexpected async message ID");
        break;
    }
}

//==============================================================================
// Device operations: one exchange each.

namespace
{
constexpr int operationTimeoutMs = 1000;
} // namespace

int TidewireClient::openFile (juce::String remotePath, int mode, juce::int64& handle, juce::int64* fileSize)
{
    FileOpenRequest request (remotePath, mode != 0);
    const auto response = sendRequestSync (request, operationTimeoutMs);
    const auto* opened = expect<FileOpenResponse> (response);

    if (opened == nullptr)
    {
        globalLog ("failed to open remote file");
        return -1;
    }

    handle = opened->getHandle();
    if (fileSize != nullptr)
        *fileSize = opened->getFileSize();
    return 0;
}

int TidewireClient::closeFile (juce::int64 handle)
{
    FileCloseRequest request (handle);
    if (sendRequestSync (request, operationTimeoutMs) == nullptr)
    {
        globalLog ("failed to close remote file");
        return -1;
    }
    return 0;
}

int TidewireClient::getFolderContents (juce::String remoteFolder, juce::StringArray* fileNames,
                                       juce::StringArray* folderNames, juce::Array<juce::MemoryBlock>* fileNameBytes,
                                       juce::Array<juce::MemoryBlock>* folderNameBytes)
{
    FolderContentsRequest request (remoteFolder);
    const auto response = sendRequestSync (request, operationTimeoutMs);
    const auto* contents = expect<FolderContentsResponse> (response);
    if (contents == nullptr)
        return -1;

    if (fileNames != nullptr)
        *fileNames = contents->getFileNames();
    if (folderNames != nullptr)
        *folderNames = contents->getFolderNames();
    if (fileNameBytes != nullptr)
        *fileNameBytes = contents->getFileNameBytes();
    if (folderNameBytes != nullptr)
        *folderNameBytes = contents->getFolderNameBytes();
    return 0;
}

int TidewireClient::getEntryInfo (juce::String path, bool isFolder, FileSystemEntryInfo& info)
{
    FileSystemEntryInfoRequest request (path, isFolder);
    const auto response = sendRequestSync (request, operationTimeoutMs);
    const auto* entry = expect<FileSystemEntryInfoResponse> (response);
    if (entry == nullptr)
        return -1;

    info = entry->getInfo();
    return 0;
}

int TidewireClient::createFolder (juce::String path)
{
    FileSystemEntryCreateRequest request (path, true, true);
    return sendRequestSync (request, operationTimeoutMs) != nullptr ? 0 : -1;
}

int TidewireClient::deleteEntry (juce::String path)
{
    FileSystemEntryDeleteRequest request (path, true, true, false);
    return sendRequestSync (request, operationTimeoutMs) != nullptr ? 0 : -1;
}

int TidewireClient::moveEntry (juce::String oldPath, juce::String newPath, bool isFolder)
{
    FileSystemEntryMoveRequest request (oldPath, newPath, isFolder, false, true);
    return sendRequestSync (request, operationTimeoutMs) != nullptr ? 0 : -1;
}

int TidewireClient::whoAmI (DeviceIdentity& identity)
{
    WhoAmIRequest request;
    const auto response = sendRequestSync (request, operationTimeoutMs);
    const auto* who = expect<WhoAmIResponse> (response);
    if (who == nullptr)
        return -1;

    identity.familyId = who->getFamilyId();
    identity.deviceId = who->getDeviceId();
    identity.protocolVersion = who->getProtocolVersion();
    identity.firmwareVersion = who->getFirmwareVersion();
    identity.text1 = who->getText1().toStdString();
    identity.text2 = who->getText2().toStdString();
    return 0;
}

int TidewireClient::seekFile (juce::int64 handle, juce::int64 offset)
{
    FileSeekRequest request (handle, offset, 0);
    if (sendRequestSync (request, operationTimeoutMs) == nullptr)
    {
        globalLog ("failed to seek remote file");
        return -1;
    }
    return 0;
}
