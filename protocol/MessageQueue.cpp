#include "protocol/MessageQueue.h"

#include "protocol/ReceivedMessage.h"

MessageQueue::MessageQueue() = default;

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

    {
        const juce::ScopedLock sl (lock);
        if (tail != nullptr)
            tail->next = record;
        else
            head = record;
        tail = record;
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
