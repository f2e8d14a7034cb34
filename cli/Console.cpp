#include "cli/Console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <unistd.h>

namespace
{
std::mutex& outputLock()
{
    static std::mutex lock;
    return lock;
}

int resultFd = STDOUT_FILENO;
int resultError = 0; // the first failed write of a result, under outputLock
bool statusShown = false;
thread_local juce::String threadPrefix;

std::mutex& sharedPrefixLock()
{
    static std::mutex lock;
    return lock;
}

std::map<const juce::Thread*, juce::String>& sharedPrefixes()
{
    static std::map<const juce::Thread*, juce::String> prefixes;
    return prefixes;
}

juce::String prefixOfThisThread()
{
    if (threadPrefix.isNotEmpty())
        return threadPrefix;

    const auto* thread = juce::Thread::getCurrentThread();
    if (thread == nullptr)
        return {};

    const std::lock_guard<std::mutex> lock (sharedPrefixLock());
    const auto found = sharedPrefixes().find (thread);
    return found != sharedPrefixes().end() ? found->second : juce::String();
}

/** 0, or the error that stopped the write. */
int writeAll (int fd, const void* data, size_t numBytes)
{
    auto* bytes = static_cast<const char*> (data);
    while (numBytes > 0)
    {
        const auto written = ::write (fd, bytes, numBytes);
        if (written < 0)
        {
            if (errno == EINTR)
                continue;
            return errno; // a closed pipe too: nobody reads any more
        }
        if (written == 0)
            return EIO;
        bytes += written;
        numBytes -= (size_t) written;
    }
    return 0;
}

int writeLine (int fd, const juce::String& line)
{
    const auto text = (line + "\n").toStdString();
    return writeAll (fd, text.data(), text.size());
}

void noteResultError (int error)
{
    if (resultError == 0)
        resultError = error;
}

void clearStatusLocked()
{
    if (statusShown)
    {
        writeAll (STDERR_FILENO, "\r\033[K", 4);
        statusShown = false;
    }
}
} // namespace

void Console::claimStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    {
        if (::fcntl (fd, F_GETFD) != -1 || errno != EBADF)
            continue;

        // The lowest free number: this one, as those below are open by now.
        const auto opened = ::open ("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd)
        {
            ::dup2 (opened, fd);
            ::close (opened);
        }
        if (fd == STDOUT_FILENO)
            resultFd = -1;
    }
}

void Console::out (const juce::String& line)
{
    const auto prefix = prefixOfThisThread();
    const std::lock_guard<std::mutex> lock (outputLock());
    clearStatusLocked(); // both may be the same terminal
    noteResultError (writeLine (resultFd, prefix + line));
}

void Console::outRaw (const void* data, size_t numBytes)
{
    const std::lock_guard<std::mutex> lock (outputLock());
    noteResultError (writeAll (resultFd, data, numBytes));
}

int Console::getResultDescriptor()
{
    return resultFd;
}

juce::String Console::finishOutput()
{
    const std::lock_guard<std::mutex> lock (outputLock());
    std::fflush (stdout);

    // Some file systems report a failed write only when the file is closed.
    if (resultFd >= 0 && ::close (resultFd) != 0 && errno != EINTR)
        noteResultError (errno);
    resultFd = -1;

    return resultError == 0 ? juce::String()
                            : "can't write standard output: " + juce::String (std::strerror (resultError));
}

void Console::err (const juce::String& line)
{
    const auto prefix = prefixOfThisThread();
    const std::lock_guard<std::mutex> lock (outputLock());
    clearStatusLocked();
    writeLine (STDERR_FILENO, prefix + line);
}

void Console::error (const juce::String& line)
{
    err ("nubo: " + line);
}

void Console::status (const juce::String& text)
{
    const std::lock_guard<std::mutex> lock (outputLock());
    clearStatusLocked();
    if (text.isNotEmpty())
    {
        const auto bytes = text.toStdString();
        writeAll (STDERR_FILENO, bytes.data(), bytes.size());
        statusShown = true;
    }
}

void Console::setThreadPrefix (const juce::String& prefix)
{
    threadPrefix = prefix;
}

juce::String Console::getThreadPrefix()
{
    return threadPrefix;
}

void Console::sharePrefixWith (const juce::Thread* thread)
{
    if (threadPrefix.isEmpty())
        return;
    const std::lock_guard<std::mutex> lock (sharedPrefixLock());
    sharedPrefixes()[thread] = threadPrefix;
}

void Console::forgetThread (const juce::Thread* thread)
{
    const std::lock_guard<std::mutex> lock (sharedPrefixLock());
    sharedPrefixes().erase (thread);
}

bool Console::isErrorTerminal()
{
    return ::isatty (STDERR_FILENO) == 1;
}
