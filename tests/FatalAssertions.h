#pragma once

/** Forced into every C++ file of the debug check's build (scripts/check.sh debug, CMake
    option NUBO_FATAL_ASSERTIONS), JUCE's own modules included, before anything else.

    In a debug build JUCE's jassert only writes "JUCE Assertion failure in <file>:<line>"
    to standard error and carries on (it stops only under a debugger), so a test run
    would pass over it. Here the same line goes to standard error with a stack trace,
    is also written to a file of its own in the folder $NUBO_ASSERTION_REPORTS when that
    is set, and the program aborts. The file is what makes the check robust: an
    assertion in a child process (the simulator, the utility or `nubo` that a test
    starts) fails the check even when the test that started it did not notice.

    Plain POSIX only: this is read before JUCE's headers, and may run in any state of
    the program (a destructor at exit, a signal-free thread, a forked child). */

#if defined(__cplusplus)

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#define NUBO_FATAL_ASSERTIONS 1

// The version banner that JUCE's debug builds print at start-up is no assertion, and
// would only show in the output the tests compare.
#ifndef JUCE_DISABLE_JUCE_VERSION_PRINTING
#define JUCE_DISABLE_JUCE_VERSION_PRINTING 1
#endif

namespace nubo_fatal_assertions
{
inline void writeAll (int fd, const char* text, size_t length) noexcept
{
    while (length > 0)
    {
        const auto n = ::write (fd, text, length);
        if (n <= 0)
            return;
        text += n;
        length -= (size_t) n;
    }
}

inline void fail (const char* file, int line) noexcept
{
    const char* slash = std::strrchr (file, '/');
    char text[1024];
    const auto length = std::snprintf (text, sizeof (text), "JUCE Assertion failure in %s:%d (process %d)\n",
                                       slash != nullptr ? slash + 1 : file, line, (int) ::getpid());
    const auto size = (size_t) (length < 0 ? 0 : length >= (int) sizeof (text) ? (int) sizeof (text) - 1 : length);

    void* frames[64];
    const auto numFrames = ::backtrace (frames, 64);

    writeAll (STDERR_FILENO, text, size);
    ::backtrace_symbols_fd (frames, numFrames, STDERR_FILENO);

    const char* folder = std::getenv ("NUBO_ASSERTION_REPORTS");
    if (folder != nullptr && *folder != '\0')
    {
        char path[4096];
        std::snprintf (path, sizeof (path), "%s/assertion.%d", folder, (int) ::getpid());
        const int fd = ::open (path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0)
        {
            writeAll (fd, text, size);
            ::backtrace_symbols_fd (frames, numFrames, fd);
            ::close (fd);
        }
    }

    std::abort();
}
} // namespace nubo_fatal_assertions

// JUCE's assertion macros call this first (juce_PlatformDefs.h defines it only when it
// is not defined yet).
#define JUCE_LOG_CURRENT_ASSERTION ::nubo_fatal_assertions::fail (__FILE__, __LINE__);

#endif
