#pragma once

#include "device/CancelToken.h"
#include "device/DeviceLink.h"
#include "device/OperationResult.h"
#include "log/ILogger.h"

#include <juce_core/juce_core.h>

#include <deque>
#include <functional>
#include <future>

/** What a worker tells while it works, for a sink that may be called from any worker's
    thread at any time (it must be thread-safe). */
struct DeviceEvent
{
    enum class Kind
    {
        step,     ///< a job began a step: text says which
        progress, ///< bytes done of total
        log,      ///< a line for the log
        result    ///< a job ended: result says how
    };

    juce::String label; ///< the device's, e.g. "ttyACM0" or a slot's nickname
    Kind kind = Kind::log;
    juce::String text;
    juce::int64 done = 0, total = 0;
    OperationResult result;
};

/** A thread that owns one device's link and is its client's only caller: jobs queued
    from any thread run one after another on it, each with the link and a cancel token,
    and what they report goes to the sink with the device's label. With a sink, every
    line logged on the worker's thread (the client's, the device operations') is a log
    event too, instead of a line in the process-wide slot. Several workers serve several
    devices at the same time without sharing anything but the sink. */
class DeviceWorker final : private juce::Thread
{
public:
    using Sink = std::function<void (const DeviceEvent&)>;

    /** What a job is handed: the link, its cancel token, and ways to report. */
    class Context final
    {
    public:
        DeviceLink& link;
        const CancelToken cancel;

        bool isCancelled() const
        {
            return cancel.isCancelled();
        }
        void step (const juce::String& text) const;
        void progress (juce::int64 done, juce::int64 total) const;
        void log (const juce::String& text) const;

    private:
        friend class DeviceWorker;
        Context (DeviceWorker& w, DeviceLink& l, CancelToken t) : link (l), cancel (std::move (t)), worker (w) {}
        DeviceWorker& worker;
    };

    using Job = std::function<OperationResult (Context&)>;

    /** Starts the worker's thread; nothing is opened until a job opens the link. */
    DeviceWorker (const juce::String& label, Sink sink = {});

    /** Cancels the running job, drops the queued ones (their results say cancelled),
        stops the thread, then closes the link. */
    ~DeviceWorker() override;

    /** Queues a job; the future holds its result once it has run. */
    std::future<OperationResult> submit (Job job);

    /** Trips the running job's token (which aborts the client's exchange) and cancels the
        queued ones; later submissions run as usual. */
    void cancelAll();

    const juce::String& getLabel() const
    {
        return label;
    }

private:
    struct Queued
    {
        Job job;
        std::promise<OperationResult> promise;
        CancelToken token;
    };

    /** The worker's thread's own logger: lines become log events. */
    class EventLogger final : public ILogger
    {
    public:
        explicit EventLogger (DeviceWorker& w) : worker (w) {}
        void log (juce::String line) override;

    private:
        DeviceWorker& worker;
    };

    void run() override;
    void emit (DeviceEvent event) const;

    const juce::String label;
    const Sink sink;
    EventLogger eventLogger{*this};
    DeviceLink link; // touched by the worker's thread only, once jobs run

    juce::CriticalSection queueLock;
    std::deque<Queued> queue;
    CancelToken running; // the running job's token, under queueLock
    juce::WaitableEvent wake;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DeviceWorker)
};
