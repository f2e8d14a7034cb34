#include "device/DeviceWorker.h"

#include "log/ScopedLogContext.h"
#include "protocol/TidewireClient.h"

void DeviceWorker::Context::step (const juce::String& text) const
{
    DeviceEvent event;
    event.kind = DeviceEvent::Kind::step;
    event.text = text;
    worker.emit (event);
}

void DeviceWorker::Context::progress (juce::int64 done, juce::int64 total) const
{
    DeviceEvent event;
    event.kind = DeviceEvent::Kind::progress;
    event.done = done;
    event.total = total;
    worker.emit (event);
}

void DeviceWorker::Context::log (const juce::String& text) const
{
    DeviceEvent event;
    event.kind = DeviceEvent::Kind::log;
    event.text = text;
    worker.emit (event);
}

void DeviceWorker::EventLogger::log (juce::String line)
{
    DeviceEvent event;
    event.kind = DeviceEvent::Kind::log;
    event.text = std::move (line);
    worker.emit (event);
}

//==============================================================================
DeviceWorker::DeviceWorker (const juce::String& workerLabel, Sink eventSink)
    : juce::Thread ("device " + workerLabel), label (workerLabel), sink (std::move (eventSink))
{
    if (sink)
        link.getClient().setOwnThreadsLogger (&eventLogger);
    startThread();
}

DeviceWorker::~DeviceWorker()
{
    signalThreadShouldExit();
    cancelAll();
    wake.signal();
    stopThread (-1); // the running job ends once its exchange is aborted
    link.close();
}

std::future<OperationResult> DeviceWorker::submit (Job job)
{
    Queued queued{std::move (job), {}, {}};
    auto future = queued.promise.get_future();
    {
        const juce::ScopedLock guard (queueLock);
        queue.push_back (std::move (queued));
    }
    wake.signal();
    return future;
}

void DeviceWorker::cancelAll()
{
    std::deque<Queued> dropped;
    CancelToken current;
    {
        const juce::ScopedLock guard (queueLock);
        dropped.swap (queue);
        current = running;
    }
    current.cancel();
    for (auto& q : dropped)
    {
        const auto result = OperationResult::failure (OperationResult::Outcome::cancelled, "cancelled before it began");
        DeviceEvent event;
        event.kind = DeviceEvent::Kind::result;
        event.result = result;
        emit (event);
        q.promise.set_value (result);
    }
}

void DeviceWorker::run()
{
    const ScopedLogContext logHere (sink ? &eventLogger : nullptr);

    while (!threadShouldExit())
    {
        Queued next;
        bool haveJob = false;
        {
            const juce::ScopedLock guard (queueLock);
            if (!queue.empty())
            {
                next = std::move (queue.front());
                queue.pop_front();
                running = next.token;
                haveJob = true;
            }
        }
        if (!haveJob)
        {
            wake.wait (-1);
            continue;
        }

        // A cancel aborts the client's exchange at once; the next job starts unaborted.
        auto& client = link.getClient();
        client.resetAbort();
        next.token.onCancel ([&client] { client.abortOperations(); });

        Context context (*this, link, next.token);
        auto result = next.job ? next.job (context) : OperationResult::done();
        if (next.token.isCancelled() && !result.succeeded())
            result.outcome = OperationResult::Outcome::cancelled;

        next.token.onCancel (nullptr);
        {
            const juce::ScopedLock guard (queueLock);
            running = CancelToken();
        }

        DeviceEvent event;
        event.kind = DeviceEvent::Kind::result;
        event.result = result;
        emit (event);
        next.promise.set_value (std::move (result));
    }
}

void DeviceWorker::emit (DeviceEvent event) const
{
    if (!sink)
        return;
    event.label = label;
    sink (event);
}
