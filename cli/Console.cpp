#include "cli/Console.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
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
std::atomic<int> resultWriteErrno{0}; // the first failed write of results
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

void writeAll (int fd, const void* data, size_t numBytes)
{
    auto* bytes = static_cast<const char*> (data);
    while (numBytes > 0)
    {
        const auto written = ::write (fd, bytes, numBytes);
        if (written < 0)
        {
            if (errno == EINTR)
                continue;
            // A closed pipe, a full disk: the rest is dropped; the exit status tells.
            int none = 0;
            if (fd == resultFd)
                resultWriteErrno.compare_exchange_strong (none, errno);
            return;
        }
        bytes += written;
        numBytes -= (size_t) written;
    }
}

void writeLine (int fd, const juce::String& line)
{
    const auto text = (line + "\n").toStdString();
    writeAll (fd, text.data(), text.size());
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

void Console::takeStandardOutput()
{
    std::fflush (stdout);
    const auto kept = ::dup (STDOUT_FILENO);
    if (kept < 0)
        return;
    ::fcntl (kept, F_SETFD, FD_CLOEXEC);
    resultFd = kept;
    ::dup2 (STDERR_FILENO, STDOUT_FILENO);
}

void Console::out (const juce::String& line)
{
    const auto prefix = prefixOfThisThread();
    const std::lock_guard<std::mutex> lock (outputLock());
    clearStatusLocked(); // both may be the same terminal
    writeLine (resultFd, prefix + line);
}

void Console::outRaw (const void* data, size_t numBytes)
{
    const std::lock_guard<std::mutex> lock (outputLock());
    writeAll (resultFd, data, numBytes);
}

int Console::getResultDescriptor()
{
    return resultFd;
}

int Console::getResultWriteError()
{
    return resultWriteErrno.load();
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
