#include "device/QuitSignalWatcher.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace
{
constexpr int watchedSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr unsigned char stopByte = 0; // no signal has the number 0

// The handler sees only these: a lock-free atomic and write() are safe in it.
std::atomic<int> handlerPipe{-1};
struct sigaction previousActions[3];

static_assert (std::atomic<int>::is_always_lock_free);

extern "C" void onWatchedSignal (int signalNumber)
{
    const auto savedErrno = errno;
    const auto fd = handlerPipe.load();
    if (fd >= 0)
    {
        const auto byte = (unsigned char) signalNumber;
        [[maybe_unused]] const auto written = ::write (fd, &byte, 1); // a full pipe has enough to report already
    }
    errno = savedErrno;
}
} // namespace

QuitSignalWatcher::QuitSignalWatcher (std::function<void (int)> onSignal)
    : juce::Thread ("QuitSignalWatcher"), callback (std::move (onSignal))
{
    int fds[2];
    if (::pipe2 (fds, O_CLOEXEC) != 0)
        return;
    readEnd = fds[0];
    writeEnd = fds[1];
    // The handler must never block; the thread may.
    ::fcntl (writeEnd, F_SETFL, ::fcntl (writeEnd, F_GETFL) | O_NONBLOCK);

    handlerPipe = writeEnd;
    startThread();
    installHandlers();
}

QuitSignalWatcher::~QuitSignalWatcher()
{
    restoreHandlers();

    if (writeEnd >= 0)
    {
        const auto byte = stopByte;
        [[maybe_unused]] const auto written = ::write (writeEnd, &byte, 1);
        signalThreadShouldExit();
        stopThread (-1);
        handlerPipe = -1;
        ::close (writeEnd);
        ::close (readEnd);
    }
}

void QuitSignalWatcher::listenAgain()
{
    if (!reported.exchange (false))
        return;

    struct sigaction action = {};
    action.sa_handler = onWatchedSignal;
    sigemptyset (&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (auto s : watchedSignals)
        ::sigaction (s, &action, nullptr);
}

void QuitSignalWatcher::installHandlers()
{
    struct sigaction action = {};
    action.sa_handler = onWatchedSignal;
    sigemptyset (&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size (watchedSignals); ++i)
        ::sigaction (watchedSignals[i], &action, &previousActions[i]);
    installed = true;
}

void QuitSignalWatcher::restoreHandlers()
{
    if (!installed)
        return;
    installed = false;
    for (size_t i = 0; i < std::size (watchedSignals); ++i)
        ::sigaction (watchedSignals[i], &previousActions[i], nullptr);
}

void QuitSignalWatcher::run()
{
    while (!threadShouldExit())
    {
        unsigned char byte = stopByte;
        const auto got = ::read (readEnd, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || byte == stopByte)
            return;

        if (!reported)
        {
            // A second signal now ends the program at once, as it would without us.
            struct sigaction defaults = {};
            defaults.sa_handler = SIG_DFL;
            sigemptyset (&defaults.sa_mask);
            for (auto s : watchedSignals)
                ::sigaction (s, &defaults, nullptr);
            reported = true;
            callback ((int) byte);
        }
    }
}
