#include "tools/common/DeviceSimulatorProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

DeviceSimulatorProcess::DeviceSimulatorProcess (juce::File executableFile) : executable (std::move (executableFile))
{
}

DeviceSimulatorProcess::~DeviceSimulatorProcess()
{
    stop();
}

bool DeviceSimulatorProcess::start (const juce::StringArray& arguments, int timeoutMs)
{
    stop();

    int fds[2];
    if (pipe2 (fds, O_CLOEXEC) != 0)
        return false;

    std::vector<std::string> args;
    args.push_back (executable.getFullPathName().toStdString());
    for (auto& a : arguments)
        args.push_back (a.toStdString());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back (a.data());
    argv.push_back (nullptr);

    const auto parent = getpid();
    pid = fork();
    if (pid == 0)
    {
        // A test program that dies (a sanitizer halting it, a crash) must not leave its
        // simulator behind: that would hold the test's output open, and CTest would wait
        // for it until the test's time-out. (The signal comes when the thread that
        // started the simulator ends; the tests and the benchmark start it from the one
        // that owns this object.)
        prctl (PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit (127);
        dup2 (fds[1], STDOUT_FILENO);
        execv (argv[0], argv.data());
        _exit (127);
    }
    close (fds[1]);
    outputFd = fds[0];
    if (pid < 0)
        return false;

    pendingLine.clear();
    if (waitForReady (timeoutMs))
        return true;
    stop();
    return false;
}

bool DeviceSimulatorProcess::waitForReady (int timeoutMs)
{
    // Lines before the READY line (there are none today) are skipped.
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) std::max (0, timeoutMs);
    while (outputFd >= 0)
    {
        const auto now = juce::Time::getMillisecondCounter();
        if (now >= deadline)
            return false;
        pollfd p{outputFd, POLLIN, 0};
        const auto r = poll (&p, 1, (int) (deadline - now));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        // One byte at a time: what follows the READY line stays in the pipe for the next call.
        char c = 0;
        const auto n = read (outputFd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // the simulator is gone
        if (c != '\n')
        {
            if (pendingLine.size() < 4096)
                pendingLine += c;
            continue;
        }
        const auto line = std::move (pendingLine);
        pendingLine.clear();
        if (line.rfind ("READY ", 0) == 0)
        {
            port = juce::String (line.substr (6));
            return true;
        }
    }
    return false;
}

bool DeviceSimulatorProcess::isRunning() const
{
    if (pid <= 0)
        return false;
    return waitpid (pid, nullptr, WNOHANG) == 0;
}

int DeviceSimulatorProcess::stop()
{
    int result = -1;
    if (pid > 0)
    {
        kill (pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 500; ++i)
        {
            const auto r = waitpid (pid, &status, WNOHANG);
            if (r == pid)
            {
                result = WIFEXITED (status) ? WEXITSTATUS (status) : -1;
                break;
            }
            if (r < 0)
                break;
            juce::Thread::sleep (10);
            if (i == 499)
            {
                kill (pid, SIGKILL);
                waitpid (pid, &status, 0);
            }
        }
        pid = -1;
    }
    if (outputFd >= 0)
    {
        close (outputFd);
        outputFd = -1;
    }
    port.clear();
    pendingLine.clear();
    return result;
}
