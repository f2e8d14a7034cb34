#pragma once

#include "protocol/CountingSemaphore.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <memory>

class ReceivedMessage;

/** First-in first-out queue of complete messages, linked through their next field.
    Any thread may push; one thread at a time pops. The queue owns what it holds
    and destroys it with itself. A bounded queue that is full drops its oldest
    message for each new one and counts the drops. */
class MessageQueue final
{
public:
    /** maxMessages 0: no bound. */
    explicit MessageQueue (int maxMessages = 0);
    ~MessageQueue();

    void push (std::unique_ptr<ReceivedMessage> message);

    /** The oldest message, waiting up to timeoutMs for one (0: no wait). Null on
        time-out, or at once when cancel becomes true (see wakeWaiter). */
    std::unique_ptr<ReceivedMessage> pop (int timeoutMs, const std::atomic<bool>* cancel = nullptr);

    /** Makes a pop that waits look at its cancel flag now. */
    void wakeWaiter();

    /** Destroys every queued message. */
    void clear();

    int size() const;

    /** How many messages were dropped since the last call. */
    int takeDroppedCount();

private:
    CountingSemaphore available;
    const int maxMessages;
    mutable juce::CriticalSection lock;
    int numMessages = 0;
    int numDropped = 0;
    ReceivedMessage* head = nullptr; // owned, with every record linked behind it
    ReceivedMessage* tail = nullptr;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MessageQueue)
};
