#include "cli/MultiDeviceRun.h"

#include "cli/CliLogger.h"
#include "cli/Console.h"
#include "cli/DeviceSession.h"
#include "cli/JsonOutput.h"
#include "cli/ProgressBar.h"
#include "device/DeviceWorker.h"
#include "log/GlobalLog.h"

#include <chrono>
#include <memory>
#include <mutex>

namespace
{
struct DeviceRecord
{
    ChosenPort port;
    CommandResult result;
    double seconds = 0;
};

CommandResult runOne (DeviceSession& session, const RunContext& context, const MultiDeviceRun::Task& task)
{
    juce::String error;
    if (!session.open (error))
        return CommandResult::failure (ExitStatus::noPort, error);

    auto result = task (session, context);

    // A device that went away fails every exchange at once, without a line of its own.
    if (result.status != ExitStatus::success && session.getClient().isLinkLost() &&
        !result.message.contains ("the device is gone"))
        result.message << "; the device is gone: unplugged or hung up";
    return result;
}

/** put and flash write no document of their own: with --json their summary is the
    one document, for one device as for several. */
bool summaryIsTheDocument (const juce::String& command)
{
    return command == "put" || command == "flash";
}

int rank (int status)
{
    switch (status)
    {
    case ExitStatus::success:
        return 0;
    case ExitStatus::noPort:
        return 1;
    case ExitStatus::failed:
        return 2;
    case ExitStatus::interrupted:
        return 4;
    default:
        return 3;
    }
}

void printSummary (const juce::String& command, const std::vector<DeviceRecord>& records, bool json)
{
    int failures = 0;
    for (auto& r : records)
        failures += r.result.status != ExitStatus::success ? 1 : 0;

    if (json)
    {
        juce::Array<juce::var> devices;
        for (auto& r : records)
        {
            auto* device = new juce::DynamicObject();
            device->setProperty ("port", r.port.label);
            device->setProperty ("path", r.port.devicePath);
            device->setProperty ("ok", r.result.status == ExitStatus::success);
            device->setProperty ("status", r.result.status);
            device->setProperty ("seconds", std::round (r.seconds * 1000.0) / 1000.0);
            device->setProperty ("message", r.result.message);
            if (!r.result.data.isVoid())
                device->setProperty ("result", r.result.data);
            devices.add (juce::var (device));
        }
        auto* document = new juce::DynamicObject();
        document->setProperty ("command", command);
        document->setProperty ("devices", devices);
        document->setProperty ("failed", failures);
        JsonOutput::print (juce::var (document));
        return;
    }

    // A detail may quote the device (a name, the MAC text): escaped, it stays on its row.
    int width = 4;
    for (auto& r : records)
        width = juce::jmax (width, escapeControlCharacters (r.port.label).length());

    Console::out ("");
    Console::out (juce::String ("PORT").paddedRight (' ', width) + "  RESULT  TIME      DETAIL");
    for (auto& r : records)
    {
        const auto result = r.result.status == ExitStatus::success ? "ok" : "FAILED";
        Console::out (escapeControlCharacters (r.port.label).paddedRight (' ', width) + "  " +
                      juce::String (result).paddedRight (' ', 6) + "  " +
                      (juce::String (r.seconds, 1) + " s").paddedRight (' ', 8) + "  " +
                      escapeControlCharacters (r.result.message));
    }
    Console::out (juce::String (records.size() - (size_t) failures) + " of " + juce::String (records.size()) +
                  " devices succeeded");
}
} // namespace

int MultiDeviceRun::combine (int a, int b)
{
    return rank (b) > rank (a) ? b : a;
}

int MultiDeviceRun::run (const std::vector<ChosenPort>& ports, const juce::String& command, RunContext context,
                         const Task& task)
{
    if (ports.size() == 1)
    {
        context.multi = false;
        ProgressBar bar (context.progressLabel, context.showProgress);
        if (context.showProgress)
            context.progress = [&bar] (juce::int64 done, juce::int64 total) { bar.update (done, total); };
        const auto start = std::chrono::steady_clock::now();
        DeviceSession session (ports.front());
        const auto result = runOne (session, context, task);
        const auto seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
        bar.finish();
        if (result.status != ExitStatus::success)
            Console::error (escapeControlCharacters (result.message));
        if (context.json && summaryIsTheDocument (command))
            printSummary (command, {{ports.front(), result, seconds}}, true);
        return result.status;
    }

    context.multi = true;

    // One bar for all: the bytes of every device's transfer against all their sizes.
    ProgressBar bar (juce::String (ports.size()) + " devices", context.showProgress);
    std::mutex progressLock;
    std::vector<std::pair<juce::int64, juce::int64>> progressOf (ports.size());

    // One worker per device: it owns the device's link and is its client's only caller.
    std::vector<DeviceRecord> records (ports.size());
    std::vector<std::unique_ptr<DeviceWorker>> workers;
    std::vector<std::future<OperationResult>> finished;
    for (size_t i = 0; i < ports.size(); ++i)
    {
        records[i].port = ports[i];

        auto deviceContext = context;
        if (context.showProgress)
            deviceContext.progress = [&, i] (juce::int64 done, juce::int64 total)
            {
                juce::int64 allDone = 0, allTotal = 0;
                {
                    const std::lock_guard<std::mutex> guard (progressLock);
                    progressOf[i] = {done, total};
                    for (auto& [d, t] : progressOf)
                    {
                        allDone += d;
                        allTotal += t;
                    }
                }
                bar.update (allDone, allTotal);
            };

        workers.push_back (std::make_unique<DeviceWorker> (ports[i].label));
        finished.push_back (workers.back()->submit (
            [&record = records[i], deviceContext, &task] (DeviceWorker::Context& worker)
            {
                Console::setThreadPrefix ("[" + escapeControlCharacters (record.port.label) + "] ");
                const auto start = std::chrono::steady_clock::now();
                {
                    DeviceSession session (record.port, worker.link);
                    record.result = runOne (session, deviceContext, task);
                }
                record.seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
                if (record.result.status != ExitStatus::success)
                    Console::error (escapeControlCharacters (record.result.message));
                return record.result.status == ExitStatus::success
                           ? OperationResult::done (record.result.message)
                           : OperationResult::failure (OperationResult::Outcome::failed, record.result.message);
            }));
    }
    for (auto& f : finished)
        f.wait();
    workers.clear();
    bar.finish();

    printSummary (command, records, context.json);

    int status = ExitStatus::success;
    for (auto& r : records)
        status = combine (status, r.result.status);
    return status;
}
