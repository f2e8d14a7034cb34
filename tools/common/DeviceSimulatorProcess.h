#pragma once

#include <juce_core/juce_core.h>

#include <string>
#include <sys/types.h>

/** Runs nubo-devsim as a child process and waits for its "READY <port>" line.
    Shared by the tests and the benchmark. */
class DeviceSimulatorProcess
{
public:
    explicit DeviceSimulatorProcess (juce::File executable);
    ~DeviceSimulatorProcess();

    /** Starts the simulator with these arguments; false when it did not get ready in time. */
    bool start (const juce::StringArray& arguments, int timeoutMs = 10000);

    /** Sends SIGTERM and waits for the process (SIGKILL after 5 s); returns its exit
        status, or -1 when it was killed or never ran. */
    int stop();

    /** Waits for the next "READY <port>" line, which the simulator prints each time it
        comes back on a new port (after a restart, or SIGUSR2 after SIGUSR1), and makes
        that port the portPath(); false when none came in time or the simulator ended. */
    bool waitForReady (int timeoutMs);

    bool isRunning() const;
    const juce::String& portPath() const { return port; }
    pid_t processId() const { return pid; }

private:
    juce::File executable;
    pid_t pid = -1;
    int outputFd = -1;
    juce::String port;
    std::string pendingLine; // the start of a line not yet ended

    JUCE_DECLARE_NON_COPYABLE (DeviceSimulatorProcess)
};
