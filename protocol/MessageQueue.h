#pragma once

#include "protocol/CountingSemaphore.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <memory>

class ReceivedMessage;

/** First-in first-out queue of complete messages, linked through their next field.
    Any thread may push; one thread at a time pops. The queue owns what it holds
    and destroys it with itself. */
class MessageQueue final
{
public:
    MessageQueue();
    ~MessageQueue();

    void push (std::unique_ptr<ReceivedMessage> message);

    /** The oldest message, waiting up to timeoutMs for one (0: no wait). Null on
        time-out, or at once when cancel becomes true (see wakeWaiter). */
    std::unique_ptr<ReceivedMessage> pop (int timeoutMs, const std::atomic<bool>* cancel = nullptr);

    /** Makes a pop that waits look at its cancel flag now. */
    void wakeWaiter();

    /** Destroys every queued message. */
    void clear();

private:
    CountingSemaphore available;
    juce::CriticalSection lock;
    ReceivedMessage* head = nullptr; // owned, with every record linked behind it
    ReceivedMessage* tail = nullptr;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MessageQueue)
};
