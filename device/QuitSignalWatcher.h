#pragma once

#include <juce_core/juce_core.h>

#include <atomic>
#include <functional>

/** Hears SIGINT, SIGTERM and SIGHUP while it exists and reports each on a thread of
    its own, where anything may be done; the handler itself only writes a byte to a
    pipe. After the first report a second signal has its default effect, so a program
    that does not end can still be stopped. One instance at a time. */
class QuitSignalWatcher final : private juce::Thread
{
public:
    /** Installs the handlers; onSignal is called on the watcher's thread. */
    explicit QuitSignalWatcher (std::function<void (int signalNumber)> onSignal);

    /** Puts the previous handlers back and stops the thread: once this returns,
        onSignal is not running and never will be. */
    ~QuitSignalWatcher() override;

    /** After a report, hears the signals again instead of leaving them their default
        effect: for a program that ends an operation on a signal, not itself (an
        interactive session goes on after a Ctrl-C). Nothing happens before a report. */
    void listenAgain();

private:
    void run() override;
    void installHandlers();
    void restoreHandlers();

    std::function<void (int)> callback;
    int readEnd = -1, writeEnd = -1;
    bool installed = false;
    std::atomic<bool> reported{false};

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (QuitSignalWatcher)
};
