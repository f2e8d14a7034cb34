#include "cli/InterruptWatcher.h"

#include "device/QuitSignalWatcher.h"
#include "protocol/TidewireClient.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace
{
std::atomic<bool> interrupted{false};
std::atomic<int> signalNumber{0};

// The one watcher, while it exists (main's).
std::atomic<QuitSignalWatcher*> theWatcher{nullptr};

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

/** The tokens of the operations that run now, by their registration. */
std::map<int, CancelToken>& tokens()
{
    static std::map<int, CancelToken> list;
    return list;
}

int lastTokenId = 0;
} // namespace

InterruptWatcher::InterruptWatcher()
    : watcher (std::make_unique<QuitSignalWatcher> (
          [] (int signal)
          {
              signalNumber = signal;
              interrupted = true;

              // Under the lock: a client or a token is removed (and may then go) only after
              // this. Tokens first, so that an exchange the abort ends already finds its
              // operation cancelled and says "interrupted", not "failed".
              const std::lock_guard<std::mutex> lock (clientsLock());
              for (auto& entry : tokens())
                  entry.second.cancel();
              for (auto* client : clients())
                  client->abortOperations();
          }))
{
    theWatcher = watcher.get();
}

InterruptWatcher::~InterruptWatcher()
{
    theWatcher = nullptr;
}

bool InterruptWatcher::isInterrupted()
{
    return interrupted.load();
}

int InterruptWatcher::lastSignal()
{
    return signalNumber.load();
}

void InterruptWatcher::listenAgain()
{
    {
        const std::lock_guard<std::mutex> lock (clientsLock());
        interrupted = false;
        signalNumber = 0;
        for (auto* client : clients())
            client->resetAbort();
    }
    if (auto* w = theWatcher.load())
        w->listenAgain();
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

//==============================================================================
InterruptWatcher::ScopedToken::ScopedToken()
{
    const std::lock_guard<std::mutex> lock (clientsLock());
    id = ++lastTokenId;
    tokens().emplace (id, token);
    if (interrupted)
        token.cancel();
}

InterruptWatcher::ScopedToken::~ScopedToken()
{
    const std::lock_guard<std::mutex> lock (clientsLock());
    tokens().erase (id);
}
