#include "cli/InterruptWatcher.h"

#include "protocol/TidewireClient.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <mutex>
#include <vector>

namespace
{
std::atomic<bool> interrupted{false};

std::mutex& clientsLock()
{
    static std::mutex lock;
    return lock;
}

std::vector<TidewireClient*>& clients()
{
    static std::vector<TidewireClient*> list;
    return list;
}

sigset_t watchedSignals()
{
    sigset_t set;
    sigemptyset (&set);
    sigaddset (&set, SIGINT);
    sigaddset (&set, SIGTERM);
    sigaddset (&set, SIGHUP);
    return set;
}
} // namespace

InterruptWatcher::InterruptWatcher()
{
    const auto set = watchedSignals();
    pthread_sigmask (SIG_BLOCK, &set, nullptr);
    thread = std::thread ([this] { watch(); });
}

InterruptWatcher::~InterruptWatcher()
{
    stopping = true;
    thread.join();
}

void InterruptWatcher::watch()
{
    const auto set = watchedSignals();
    const timespec slice{0, 100 * 1000 * 1000};

    while (!stopping)
    {
        if (sigtimedwait (&set, nullptr, &slice) < 0)
            continue;

        interrupted = true;

        // Abort under the lock: a client is removed (and may then go) only after this.
        const std::lock_guard<std::mutex> lock (clientsLock());
        for (auto* client : clients())
            client->abortOperations();
    }
}

bool InterruptWatcher::isInterrupted()
{
    return interrupted.load();
}

void InterruptWatcher::add (TidewireClient* client)
{
    const std::lock_guard<std::mutex> lock (clientsLock());
    clients().push_back (client);
    if (interrupted)
        client->abortOperations();
}

void InterruptWatcher::remove (TidewireClient* client)
{
    const std::lock_guard<std::mutex> lock (clientsLock());
    auto& list = clients();
    list.erase (std::remove (list.begin(), list.end(), client), list.end());
}
