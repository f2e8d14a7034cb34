#include "NuboProcess.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

NuboProcess::NuboProcess (juce::File workFolder, juce::File deviceRoot)
    : work (std::move (workFolder)), root (std::move (deviceRoot))
{
}

NuboProcess::~NuboProcess()
{
    if (pid > 0)
    {
        ::kill (pid, SIGKILL);
        ::waitpid (pid, nullptr, 0);
    }
    if (outputPipe >= 0)
        ::close (outputPipe);
}

juce::File NuboProcess::executable()
{
    return juce::File (NUBO_BIN_DIR).getChildFile ("nubo");
}

bool NuboProcess::start (const juce::StringArray& arguments, bool errorsToTerminal)
{
    std::string terminalPath;
    if (errorsToTerminal)
    {
        terminal = ::posix_openpt (O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal < 0 || ::grantpt (terminal) != 0 || ::unlockpt (terminal) != 0)
            return false;
        terminalPath = ::ptsname (terminal);
        usedTerminal = true;
        ::fcntl (terminal, F_SETFL, O_NONBLOCK);
    }

    std::vector<std::string> args{executable().getFullPathName().toStdString()};
    for (auto& a : arguments)
        args.push_back (a.toStdString());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back (a.data());
    argv.push_back (nullptr);

    int pipeEnds[2] = {-1, -1};
    if (outputTo == Stream::pipe || outputTo == Stream::unreadPipe)
    {
        if (::pipe2 (pipeEnds, O_CLOEXEC) != 0)
            return false;
        outputPipe = pipeEnds[0];
        ::fcntl (outputPipe, F_SETFL, O_NONBLOCK);
    }

    const auto out =
        outputTo == Stream::full ? std::string ("/dev/full") : stdoutFile().getFullPathName().toStdString();
    const auto err =
        errorsTo == Stream::full ? std::string ("/dev/full") : stderrFile().getFullPathName().toStdString();
    const auto folder = work.getFullPathName().toStdString();
    const auto rootPath = root.getFullPathName().toStdString();
    // What nubo keeps between runs (sync manifests) stays beside the test's device root.
    const auto statePath = root.getSiblingFile ("state").getFullPathName().toStdString();

    startMs = juce::Time::getMillisecondCounter();
    pid = ::fork();
    if (pid == 0)
    {
        // No display: nubo must never need one.
        ::unsetenv ("DISPLAY");
        ::unsetenv ("WAYLAND_DISPLAY");
        ::setenv ("NUBO_DEVICE_ROOT", rootPath.c_str(), 1);
        ::setenv ("XDG_STATE_HOME", statePath.c_str(), 1);
        const int in = ::open ("/dev/null", O_RDONLY);
        const int o = pipeEnds[1] >= 0 ? pipeEnds[1] : ::open (out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = terminalPath.empty() ? ::open (err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
                                           : ::open (terminalPath.c_str(), O_RDWR | O_NOCTTY);
        if (in < 0 || o < 0 || e < 0 || ::chdir (folder.c_str()) != 0)
            ::_exit (126);
        ::dup2 (in, 0);
        ::dup2 (o, 1);
        ::dup2 (e, 2);
        if (outputTo == Stream::closed)
            ::close (1);
        if (errorsTo == Stream::closed)
            ::close (2);
        // The test runner may have blocked signals; nubo must see its Ctrl-C.
        sigset_t none;
        sigemptyset (&none);
        ::sigprocmask (SIG_SETMASK, &none, nullptr);
        ::execv (argv[0], argv.data());
        ::_exit (127);
    }
    if (pipeEnds[1] >= 0)
        ::close (pipeEnds[1]);
    return pid > 0;
}

int NuboProcess::wait (int timeoutMs)
{
    if (pid <= 0)
        return -1;

    int status = 0;
    for (;;)
    {
        readTerminal();
        readPipe();
        const auto r = ::waitpid (pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (juce::Time::getMillisecondCounter() - startMs > (juce::uint32) timeoutMs)
        {
            ::kill (pid, SIGKILL);
            ::waitpid (pid, &status, 0);
            pid = -1;
            return -1;
        }
        juce::Thread::sleep (10);
    }
    pid = -1;
    elapsedSeconds = (juce::Time::getMillisecondCounter() - startMs) / 1000.0;
    readTerminal();
    readPipe();
    if (terminal >= 0)
    {
        ::close (terminal);
        terminal = -1;
    }
    if (outputPipe >= 0)
    {
        ::close (outputPipe);
        outputPipe = -1;
    }
    return WIFEXITED (status) ? WEXITSTATUS (status) : -1;
}

void NuboProcess::readTerminal()
{
    if (terminal < 0)
        return;
    char buffer[4096];
    for (;;)
    {
        const auto n = ::read (terminal, buffer, sizeof (buffer));
        if (n <= 0)
            return;
        terminalOutput += juce::String::fromUTF8 (buffer, (int) n);
    }
}

void NuboProcess::readPipe()
{
    if (outputPipe < 0 || outputTo == Stream::unreadPipe)
        return;
    char buffer[4096];
    for (;;)
    {
        const auto n = ::read (outputPipe, buffer, sizeof (buffer));
        if (n <= 0)
            return;
        pipeOutput.append (buffer, (size_t) n);
    }
}

bool NuboProcess::isRunning() const
{
    if (pid <= 0)
        return false;
    siginfo_t info{};
    return ::waitid (P_PID, (id_t) pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

void NuboProcess::interrupt()
{
    sendSignal (SIGINT);
}

void NuboProcess::sendSignal (int signalNumber)
{
    if (pid > 0)
        ::kill (pid, signalNumber);
}
