#include "TestSupport.h"

#include "device/DeviceWorker.h"
#include "device/TransferEngine.h"
#include "protocol/DeviceIdentity.h"
#include "protocol/TidewireClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

namespace
{
using namespace std::chrono_literals;

/** Every event any worker sends, kept in order of arrival. */
struct CollectingSink
{
    void operator() (const DeviceEvent& event)
    {
        const std::lock_guard<std::mutex> guard (lock);
        events.push_back (event);
    }

    std::vector<DeviceEvent> of (const juce::String& label, DeviceEvent::Kind kind)
    {
        const std::lock_guard<std::mutex> guard (lock);
        std::vector<DeviceEvent> matching;
        for (auto& e : events)
            if (e.label == label && e.kind == kind)
                matching.push_back (e);
        return matching;
    }

    std::mutex lock;
    std::vector<DeviceEvent> events;
};

/** One simulated device on its own copy of the sample device. */
struct SimulatedDevice
{
    explicit SimulatedDevice (const juce::StringArray& options = {})
    {
        sampleDeviceFolder().copyDirectoryTo (root.get());
        juce::StringArray arguments{"--fs", root.get().getFullPathName()};
        arguments.addArray (options);
        started = simulator.start (arguments);
    }

    TempFolder root;
    DeviceSimulator simulator;
    bool started = false;
};

OperationResult identify (DeviceWorker::Context& context, const juce::String& path)
{
    if (!context.link.open (path))
        return OperationResult::failure (OperationResult::Outcome::noDevice, context.link.getOpenFailure());
    context.step ("identify");
    DeviceIdentity identity;
    if (context.link.getClient().whoAmI (identity) != 0)
        return OperationResult::failure (OperationResult::Outcome::failed, "no answer to WhoAmI");
    return OperationResult::done (identity.text1);
}
} // namespace

TEST (DeviceWorkerTest, WorkersServeTheirDevicesAtOnceEachJobOnItsOwnThread)
{
    std::vector<std::unique_ptr<SimulatedDevice>> devices;
    for (int i = 0; i < 4; ++i)
    {
        devices.push_back (std::make_unique<SimulatedDevice> (
            juce::StringArray{"--text1", "unit " + juce::String (i), "--delay", "20"}));
        ASSERT_TRUE (devices.back()->started);
    }

    CollectingSink sink;
    auto forward = [&sink] (const DeviceEvent& e) { sink (e); };
    std::vector<std::unique_ptr<DeviceWorker>> workers;
    std::vector<std::future<OperationResult>> results;
    std::mutex threadsLock;
    std::set<std::thread::id> threads;
    for (int i = 0; i < 4; ++i)
    {
        workers.push_back (std::make_unique<DeviceWorker> ("dev" + juce::String (i), forward));
        const auto path = devices[(size_t) i]->simulator.portPath();
        results.push_back (workers.back()->submit (
            [&, path] (DeviceWorker::Context& context)
            {
                {
                    const std::lock_guard<std::mutex> guard (threadsLock);
                    threads.insert (std::this_thread::get_id());
                }
                return identify (context, path);
            }));
    }
    // A device of one's own, plus a second job queued behind the first on one worker.
    auto second = workers[2]->submit ([] (DeviceWorker::Context& context)
                                      { return identify (context, context.link.getDevicePath()); });
    ASSERT_EQ (second.wait_for (30s), std::future_status::ready);
    EXPECT_EQ (second.get().reason, "unit 2");

    for (int i = 0; i < 4; ++i)
    {
        ASSERT_EQ (results[(size_t) i].wait_for (30s), std::future_status::ready);
        const auto result = results[(size_t) i].get();
        EXPECT_TRUE (result.succeeded()) << i << ": " << result.reason;
        EXPECT_EQ (result.reason, "unit " + juce::String (i));

        const auto label = "dev" + juce::String (i);
        ASSERT_EQ (sink.of (label, DeviceEvent::Kind::step).size(), i == 2 ? 2u : 1u) << label;
        const auto ends = sink.of (label, DeviceEvent::Kind::result);
        ASSERT_FALSE (ends.empty());
        EXPECT_EQ (ends.front().result.reason, "unit " + juce::String (i));
    }
    EXPECT_EQ (threads.size(), 4u);
    EXPECT_EQ (threads.count (std::this_thread::get_id()), 0u);
}

TEST (DeviceWorkerTest, CancelEndsTheRunningTransferAndTheNextJobRunsUnaborted)
{
    // 4 MB at 64 KB/s would take a minute: only a cancel ends it soon.
    SimulatedDevice device ({"--rate", "65536"});
    ASSERT_TRUE (device.started);
    juce::MemoryBlock big (4 * 1024 * 1024);
    ASSERT_TRUE ((device.root / "mnt/nandfs/usr/big.bin").replaceWithData (big.getData(), big.getSize()));
    TempFolder local;

    DeviceWorker worker ("slow");
    std::atomic<bool> started{false};
    auto transfer = worker.submit (
        [&] (DeviceWorker::Context& context)
        {
            if (!context.link.open (device.simulator.portPath()))
                return OperationResult::failure (OperationResult::Outcome::noDevice, context.link.getOpenFailure());
            started = true;
            TransferEngine::Options options;
            options.cancel = context.cancel;
            return TransferEngine (context.link.getClient(), options)
                .fetch ("/mnt/nandfs/usr/big.bin", local / "big.bin");
        });
    for (int i = 0; i < 200 && !started; ++i)
        std::this_thread::sleep_for (25ms);
    std::this_thread::sleep_for (300ms);

    const auto cancelledAt = std::chrono::steady_clock::now();
    worker.cancelAll();
    ASSERT_EQ (transfer.wait_for (30s), std::future_status::ready);
    EXPECT_LT (std::chrono::steady_clock::now() - cancelledAt, 15s);
    EXPECT_EQ (transfer.get().outcome, OperationResult::Outcome::cancelled);
    EXPECT_FALSE ((local / "big.bin").existsAsFile()); // no half file under its name

    auto after = worker.submit ([&] (DeviceWorker::Context& context)
                                { return identify (context, device.simulator.portPath()); });
    ASSERT_EQ (after.wait_for (30s), std::future_status::ready);
    const auto result = after.get();
    EXPECT_TRUE (result.succeeded()) << result.reason;
}

TEST (DeviceWorkerTest, JobsStillQueuedWhenTheWorkerGoesEndCancelled)
{
    std::future<OperationResult> first, queued;
    std::atomic<bool> running{false};
    {
        DeviceWorker worker ("going");
        first = worker.submit (
            [&] (DeviceWorker::Context& context)
            {
                running = true;
                while (!context.isCancelled())
                    std::this_thread::sleep_for (5ms);
                return OperationResult::failure (OperationResult::Outcome::cancelled, "stopped");
            });
        queued = worker.submit ([] (DeviceWorker::Context&) { return OperationResult::done ("ran"); });
        while (!running)
            std::this_thread::sleep_for (5ms);
    }
    ASSERT_EQ (first.wait_for (0s), std::future_status::ready);
    EXPECT_EQ (first.get().outcome, OperationResult::Outcome::cancelled);
    ASSERT_EQ (queued.wait_for (0s), std::future_status::ready);
    EXPECT_EQ (queued.get().outcome, OperationResult::Outcome::cancelled);
}

TEST (CancelTokenTest, CopiesShareOneFlagAndALateWakeRunsAtOnce)
{
    CancelToken token;
    const auto copy = token;
    int woken = 0;
    token.onCancel ([&] { ++woken; });
    copy.cancel();
    copy.cancel();
    EXPECT_TRUE (token.isCancelled());
    EXPECT_EQ (woken, 1);

    // Registered after the cancel: woken straight away, so the cancel is not lost.
    int late = 0;
    token.onCancel ([&] { ++late; });
    EXPECT_EQ (late, 1);
}

TEST (CancelTokenTest, AnEngineInsideAJobHandsTheWakeBackWhenItIsDone)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.started);
    DeviceLink link;
    ASSERT_TRUE (link.open (device.simulator.portPath())) << link.getOpenFailure();

    CancelToken token;
    int workerWoken = 0;
    token.onCancel ([&] { ++workerWoken; });
    {
        TransferEngine::Options options;
        options.cancel = token;
        const TransferEngine engine (link.getClient(), options);
    }
    token.cancel();
    EXPECT_EQ (workerWoken, 1);
    EXPECT_FALSE (link.getClient().isAborted()); // the engine's own wake went with it
}

TEST (DeviceWorkerTest, WithASinkTheClientsLinesAreTheWorkersEventsNotTheSlots)
{
    SimulatedDevice device ({"--async-after", "1"});
    ASSERT_TRUE (device.started);
    TempFolder local;
    auto fetchMissing = [&] (DeviceWorker::Context& context)
    {
        if (!context.link.open (device.simulator.portPath()))
            return OperationResult::failure (OperationResult::Outcome::noDevice, context.link.getOpenFailure());
        return TransferEngine (context.link.getClient()).fetch ("/mnt/nandfs/usr/none.txt", local / "none.txt");
    };

    CapturingLogger slot;
    CollectingSink sink;
    {
        DeviceWorker worker ("unit", [&sink] (const DeviceEvent& e) { sink (e); });
        ASSERT_EQ (worker.submit (fetchMissing).wait_for (30s), std::future_status::ready);

        // What the device says on its own is logged by the client's own thread.
        for (int i = 0; i < 200; ++i)
        {
            const auto lines = sink.of ("unit", DeviceEvent::Kind::log);
            if (std::any_of (lines.begin(), lines.end(),
                             [] (const DeviceEvent& e) { return e.text.contains ("not handled"); }))
                break;
            std::this_thread::sleep_for (25ms);
        }
    }
    const auto lines = sink.of ("unit", DeviceEvent::Kind::log);
    ASSERT_FALSE (lines.empty());
    EXPECT_TRUE (std::any_of (lines.begin(), lines.end(),
                              [] (const DeviceEvent& e) { return e.text.contains ("/mnt/nandfs/usr/none.txt"); }));
    EXPECT_TRUE (std::any_of (lines.begin(), lines.end(),
                              [] (const DeviceEvent& e)
                              { return e.text.contains ("Async message 32769 not handled"); }))
        << lines.size();
    EXPECT_TRUE (slot.lines().isEmpty()) << slot.lines().joinIntoString ("\n");

    // Without a sink, the worker's lines go to the slot as anyone's do.
    {
        DeviceWorker worker ("quiet");
        ASSERT_EQ (worker.submit (fetchMissing).wait_for (30s), std::future_status::ready);
    }
    EXPECT_FALSE (slot.lines().isEmpty());
}
