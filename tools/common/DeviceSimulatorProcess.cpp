#include "tools/common/DeviceSimulatorProcess.h"

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

    // Read the READY line; anything before it is passed through for the test log.
    std::string pending;
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
    while (juce::Time::getMillisecondCounter() < deadline)
    {
        pollfd p { outputFd, POLLIN, 0 };
        if (poll (&p, 1, 50) <= 0)
            continue;
        char c;
        const auto n = read (outputFd, &c, 1);
        if (n <= 0)
            break;
        if (c != '\n')
        {
            pending += c;
            continue;
        }
        if (pending.rfind ("READY ", 0) == 0)
        {
            port = juce::String (pending.substr (6));
            return true;
        }
        pending.clear();
    }
    stop();
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
    return result;
}
