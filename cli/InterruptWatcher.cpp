#include "cli/InterruptWatcher.h"

#include "device/QuitSignalWatcher.h"
#include "protocol/TidewireClient.h"

#include <algorithm>
#include <atomic>
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
} // namespace

InterruptWatcher::InterruptWatcher()
    : watcher (std::make_unique<QuitSignalWatcher> (
          [] (int)
          {
              interrupted = true;

              // Abort under the lock: a client is removed (and may then go) only after this.
              const std::lock_guard<std::mutex> lock (clientsLock());
              for (auto* client : clients())
                  client->abortOperations();
          }))
{
}

InterruptWatcher::~InterruptWatcher() = default;

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
