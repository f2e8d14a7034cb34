#include "protocol/MessageQueue.h"

#include "protocol/ReceivedMessage.h"

#include <utility>

MessageQueue::MessageQueue (int maxMessagesToKeep) : maxMessages (juce::jmax (0, maxMessagesToKeep)) {}

MessageQueue::~MessageQueue()
{
    clear();
}

void MessageQueue::push (std::unique_ptr<ReceivedMessage> message)
{
    if (message == nullptr)
        return;

    message->next = nullptr;
    auto* record = message.release();
    std::unique_ptr<ReceivedMessage> dropped;

    {
        const juce::ScopedLock sl (lock);
        if (tail != nullptr)
            tail->next = record;
        else
            head = record;
        tail = record;
        ++numMessages;

        // The oldest goes together with its count; when a waiter has already taken that
        // count it is about to take the oldest itself, and the queue stays one over.
        if (maxMessages > 0 && numMessages > maxMessages && head != record && available.tryWait())
        {
            dropped.reset (head);
            head = head->next;
            dropped->next = nullptr;
            --numMessages;
            ++numDropped;
        }
    }

    available.post();
}

std::unique_ptr<ReceivedMessage> MessageQueue::pop (int timeoutMs, const std::atomic<bool>* cancel)
{
    const auto got = timeoutMs != 0 ? available.wait (timeoutMs, cancel) : available.tryWait();
    if (!got)
        return {};

    const juce::ScopedLock sl (lock);

    // Every post follows a link, so a taken count always finds a record; the check
    // only keeps a broken count from becoming a crash.
    if (head == nullptr)
        return {};

    std::unique_ptr<ReceivedMessage> message (head);
    head = head->next;
    if (head == nullptr)
        tail = nullptr;
    message->next = nullptr;
    --numMessages;
    return message;
}

void MessageQueue::wakeWaiter()
{
    available.wakeWaiter();
}

void MessageQueue::clear()
{
    while (pop (0) != nullptr)
    {
    }
}

int MessageQueue::size() const
{
    const juce::ScopedLock sl (lock);
    return numMessages;
}

int MessageQueue::takeDroppedCount()
{
    const juce::ScopedLock sl (lock);
    return std::exchange (numDropped, 0);
}
