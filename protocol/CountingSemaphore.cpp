#include "protocol/CountingSemaphore.h"

#include <chrono>

CountingSemaphore::CountingSemaphore() = default;

CountingSemaphore::~CountingSemaphore() = default;

void CountingSemaphore::post()
{
    {
        const juce::ScopedLock sl (lock);
        ++count;
    }
    event.signal();
}

bool CountingSemaphore::tryWait()
{
    const juce::ScopedLock sl (lock);
    if (count <= 0)
        return false;

    --count;
    return true;
}

void CountingSemaphore::wakeWaiter()
{
    event.signal();
}

bool CountingSemaphore::wait (int timeoutMs, const std::atomic<bool>* cancel)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds (juce::jmax (0, timeoutMs));

    for (;;)
    {
        {
            const juce::ScopedLock sl (lock);
            if (count > 0)
            {
                --count;
                return true;
            }

            // A signal left over from a post already taken must not end the wait
            // below early; a post after this line signals again.
            event.reset();
        }

        if (cancel != nullptr && cancel->load())
            return false;

        int sliceMs = -1;
        if (timeoutMs >= 0)
        {
            const auto left = std::chrono::ceil<std::chrono::milliseconds> (deadline - Clock::now()).count();
            if (left <= 0)
                return tryWait();
            sliceMs = (int) left;
        }

        // Woken by a post, a wakeWaiter or the deadline: look again in every case, so
        // that two waiters never both take one post.
        event.wait ((double) sliceMs);
    }
}
