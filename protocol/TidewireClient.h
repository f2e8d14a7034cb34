#pragma once

#include "log/GlobalLog.h"
#include "log/ILogger.h"
#include "protocol/DeviceIdentity.h"
#include "protocol/FileSystemEntryInfo.h"
#include "protocol/ITidewireClientListener.h"
#include "protocol/MessageAssembler.h"
#include "protocol/MessageQueue.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>

class ReceivedMessage;
class SerialPort;
class SerialPortInputStream;
class SerialPortOutputStream;
class TidewireClientRequest;
class TidewireClientResponse;

/** The one object through which the program talks to the device: synchronous
    exchanges for the caller, asynchronous messages for the listeners.

    Its own thread ("TidewireClientThread") runs from construction to destruction and
    is nobody else's to start, stop or wait for: the Thread base is private. */
class TidewireClient final : private juce::Thread
{
public:
    TidewireClient();
    ~TidewireClient() override;

    //==============================================================================
    /** Attaches an open port: new streams over it; a half-assembled message and
        queued responses of a previous port are discarded. The port is not owned. */
    void connect (SerialPort* port);

    /** Lets go of the port: streams stopped and destroyed, port forgotten, so the
        owner may close and release it. Later requests log "Not connected.". */
    void disconnect();

    bool isConnected() const;

    /** True from the moment the reader sees the device go until the next connect or
        disconnect; meanwhile every exchange fails at once, without a line of its own
        (the listeners' connectionLost reports the loss once). */
    bool isLinkLost() const;

    void addListener (ITidewireClientListener* listener);
    void removeListener (ITidewireClientListener* listener);

    /** The thread the listeners are called on, to recognise it by (it is what
        juce::Thread::getCurrentThread() returns there); for looking at only. */
    const juce::Thread* getClientThread() const;

    /** Where the lines the client logs on its own threads go (the device's messages, the
        reader's side of a transfer): that logger instead of the process-wide slot;
        nullptr, the default, is the slot. Lines logged by calls into the client go where
        the calling thread's lines go. Not owned; it outlives the client's connection. */
    void setOwnThreadsLogger (ILogger* logger);

    /** Makes every exchange fail at once (and wakes one that waits) until resetAbort;
        used when the program quits in the middle of an operation. */
    void abortOperations();
    void resetAbort();
    bool isAborted() const;

    /** Called on the calling thread before an exchange, at most every 50 ms, so that
        a long operation can let its thread's own work through (the GUI repaints and
        answers a click on Close while a transfer runs). Empty by default. */
    void setBetweenExchangesCallback (std::function<void()> callback);

    /** At most this many asynchronous messages wait for the client thread; a device that
        sends faster loses its oldest ones (one line says how many). */
    static constexpr int maxQueuedAsyncMessages = 256;

    //==============================================================================
    /** Writes the request, waits up to timeoutMs for its response and returns it,
        or null after logging why. */
    std::unique_ptr<TidewireClientResponse> sendRequestSync (TidewireClientRequest& request, int timeoutMs);

    /** Writes the request and flushes: 0, or -1 when not connected. */
    int sendRequest (TidewireClientRequest& request);

    std::unique_ptr<TidewireClientResponse> receiveResponse (TidewireClientRequest& request, int timeoutMs);

    /** How the last sendRequestSync ended. Only `refused` (the device's failure answer)
        is a definite "no"; after `unanswered` (time-out, send failure, abort, an
        unreadable answer) the device may still have acted on the request. */
    enum class ExchangeOutcome
    {
        none,
        answered,
        refused,
        unanswered
    };

    ExchangeOutcome getLastExchangeOutcome() const;

    /** After an exchange that ended unanswered: waits up to timeoutMs for that
        exchange's own late answer and returns it, or null when none comes (at once
        when the device cannot be heard). Answers to older exchanges are dropped. */
    std::unique_ptr<TidewireClientResponse> awaitLateResponse (int timeoutMs);

    /** The response factory: the response owning the message, or null after logging
        why (the message is then destroyed). */
    static std::unique_ptr<TidewireClientResponse> createResponse (std::unique_ptr<ReceivedMessage> message);

    //==============================================================================
    // Device operations: 0 on success, -1 on failure (after logging).
    int openFile (juce::String remotePath, int mode, juce::int64& handle, juce::int64* fileSize = nullptr);
    int closeFile (juce::int64 handle);
    /** The names, and (when asked) each name's bytes as the device sent them, in the
        same order: text alone cannot tell every name that is not UTF-8 from another. */
    int getFolderContents (juce::String remoteFolder, juce::StringArray* fileNames, juce::StringArray* folderNames,
                           juce::Array<juce::MemoryBlock>* fileNameBytes = nullptr,
                           juce::Array<juce::MemoryBlock>* folderNameBytes = nullptr);
    int getEntryInfo (juce::String path, bool isFolder, FileSystemEntryInfo& info);
    int createFolder (juce::String path);
    int deleteEntry (juce::String path);
    int moveEntry (juce::String oldPath, juce::String newPath, bool isFolder);
    int whoAmI (DeviceIdentity& identity);

    /** Moves an open remote file's position to offset bytes from its start (a resumed
        fetch reads on from there). */
    int seekFile (juce::int64 handle, juce::int64 offset);

    //==============================================================================
    /** A transfer's way of having the reader thread take its routine answers itself:
        the reader checks an answer, consumes it and sends the next block's request at
        once, instead of waking the transferring thread for every block. */
    class BlockContinuation
    {
    public:
        virtual ~BlockContinuation() = default;

        /** Reader thread, with the answer to the waiting request (serial number checked).
            When it is routine: consumes it, makes the request ready for the next block
            (renumbered) and returns true. Otherwise returns false with the message as it
            arrived, for the transferring thread's usual checks and lines. */
        virtual bool takeRoutineAnswer (std::unique_ptr<ReceivedMessage>& message) = 0;

        /** Reader thread, once the request for the next block has gone out after a
            routine answer: work that need not delay it. */
        virtual void afterSent() {}
    };

    /** sendRequestSync, where the reader may meanwhile carry the transfer on through any
        number of routine blocks: returns the first answer it did not take (or null after
        the usual lines) for the request as it then stands. */
    std::unique_ptr<TidewireClientResponse> exchange (TidewireClientRequest& request, int timeoutMs,
                                                      BlockContinuation* continuation);

    /** The response as the class the exchange must answer with, or null after logging
        (the device answered with the right serial number but the wrong message). */
    template <typename ResponseType>
    static ResponseType* expect (const std::unique_ptr<TidewireClientResponse>& response)
    {
        if (response == nullptr)
            return nullptr;

        auto* typed = dynamic_cast<ResponseType*> (response.get());
        if (typed == nullptr)
            globalLog ("Unrecognized response.");
        return typed;
    }

    /** False once the reader thread has ended (device gone, port closed): nothing the
        device might still say can arrive any more. */
    bool canHearDevice() const;

    /** The serial number of the last exchange's request (a walk over a folder tree tells
        by it whether a step asked anything of the device). */
    juce::int32 getLastExchangeSerial() const;

    /** Why the last exchange failed, in the words of the line the client logged for it
        first ("Timeout on serial # 12", the device's own failure text, "Not connected.");
        empty after one that succeeded, and after one that failed because the device is
        gone (which the listeners report, once). For a front end's one-line reason. */
    juce::String getLastFailure() const;

    //==============================================================================
    /** Dispatches one asynchronous message to the log or the listeners, on the calling
        thread (the client thread, as a rule). */
    void handleAsyncMessage (std::unique_ptr<ReceivedMessage> message);

private:
    /** The client thread: asynchronous messages, dropped-message lines, the loss report. */
    void run() override;

    /** Reader thread, under the stream's lock, whenever bytes arrived or the device went:
        cuts what the stream holds into messages and queues them. */
    void takeArrivedBytes (SerialPortInputStream& stream);

    /** Reader thread: true when a transfer's continuation took the answer and the next
        request has gone out. */
    bool relayAnswer (std::unique_ptr<ReceivedMessage>& message);

    /** Takes the transfer back from the reader; returns once the reader has let go. */
    void stopRelay();

    /** Logs the line; the first of an exchange is also kept as its getLastFailure. */
    void noteFailure (const juce::String& line);

    std::unique_ptr<TidewireClientResponse> toResponse (TidewireClientRequest& request,
                                                        std::unique_ptr<ReceivedMessage> message);

    /** Stops and destroys both streams; the reader thread is gone when this returns. */
    void releaseStreams();

    /** Once the streams are stopped: waits a moment for the client thread to hand on the
        asynchronous messages already queued. */
    void awaitQueuedMessages();

    /** Throws away what a previous port left behind: a half-assembled message and
        every queued message. Only while no reader thread runs. */
    void discardReceived();

    /** Calls the function for every listener in registration order, on this thread. */
    void callListeners (const std::function<void (ITidewireClientListener&)>& call);

    /** Reader thread: the device is gone. Wakes a waiting exchange and has the client
        thread tell the listeners, once. */
    void noteLinkLost();

    /** Whether a waiting exchange should stop waiting: aborted or the device gone. */
    void updateInterrupted();

    /** Reader thread: false for a response that answers no waiting exchange, which is
        counted and dropped where it arrives. */
    bool isAwaited (const ReceivedMessage& message);

    /** One line, at most every second, for the responses that answered nothing. */
    void reportStaleResponses (juce::int32 expectedSerial);

    /** One line, at most every second, for asynchronous messages dropped as too many. */
    void reportDroppedAsyncMessages();

    std::atomic<ILogger*> ownThreadsLogger{nullptr}; // not owned; see setOwnThreadsLogger
    std::atomic<SerialPort*> port{nullptr};          // not owned: the Connection pane's open port, until disconnect
    std::unique_ptr<SerialPortInputStream> input;
    std::unique_ptr<SerialPortOutputStream> output;

    // Touched by the input stream's reader thread only, and by connect, disconnect and
    // the destructor once that thread has ended.
    MessageAssembler assembler;

    MessageQueue asyncQueue{maxQueuedAsyncMessages}; // for the client thread
    MessageQueue responseQueue{16};                  // for the one waiting exchange: only its answers

    // The serial number of the exchange that waits, or noSerial. Set before its request
    // is written, so its answer can never arrive before.
    static constexpr juce::int64 noSerial = std::numeric_limits<juce::int64>::min();
    std::atomic<juce::int64> awaitedSerial{noSerial};
    std::atomic<int> staleResponses{0};
    std::atomic<juce::int32> lastStaleSerial{0};
    int unreportedStale = 0;            // the exchanging thread only
    juce::uint32 lastStaleReportMs = 0; // the exchanging thread only; 0: never

    // listenerLock guards the list for the few lines that read or change it.
    // dispatchLock is held while the client thread calls listeners, and removeListener
    // takes it too: once removeListener returns, the removed listener is not being
    // called and never will be. A listener must therefore never wait for a thread that
    // may be inside removeListener (logging without waiting is fine).
    juce::CriticalSection listenerLock, dispatchLock;
    juce::Array<ITidewireClientListener*> listeners; // not owned: each removes itself before it goes

    std::atomic<bool> aborted{false};
    std::atomic<bool> linkLost{false};
    std::atomic<bool> interrupted{false};  // aborted || linkLost: ends a waiting exchange
    std::mutex interruptedLock;            // held only to recompute interrupted
    std::atomic<bool> lossToReport{false}; // the client thread calls connectionLost
    std::atomic<bool> clientWake{false};   // ends the client thread's wait early
    int droppedAsyncMessages = 0;          // client thread only
    // Asynchronous messages queued by the reader, and handled (or dropped) by the client
    // thread since: a disconnect waits a moment for the two to meet.
    std::atomic<juce::uint64> asyncQueued{0}, asyncHandled{0};
    juce::uint32 lastDropReportMs = 0; // client thread only
    std::function<void()> betweenExchanges;
    std::atomic<ExchangeOutcome> lastOutcome{ExchangeOutcome::none}; // of the last sendRequestSync
    std::atomic<int> lastSerial{0};                                  // its request's serial number
    juce::String lastFailure;                                        // the exchanging thread's; see getLastFailure
    mutable std::mutex lastFailureLock;
    juce::uint32 lastBetweenExchanges = 0;
    std::atomic<bool> stopping{false}; // wakes the client thread at once when it is to end

    // Who carries a transfer on: the transferring thread alone (off), or the reader too.
    // sending: the request is being written, its answer goes to the transferring thread;
    // armed: the reader may take the answer; busy: it is doing so. The two pointers are
    // written by the transferring thread only while the relay is off.
    enum class Relay
    {
        off,
        sending,
        armed,
        busy
    };
    std::atomic<Relay> relay{Relay::off};
    BlockContinuation* relayContinuation = nullptr;
    TidewireClientRequest* relayRequest = nullptr;
    std::atomic<juce::int64> lastSentTicks{0}; // steady clock, when the waiting request went out

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TidewireClient)
};
