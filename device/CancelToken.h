#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

/** A flag that any thread may trip (a signal watcher, a Cancel button, a station) and the
    operation it was handed to reads between steps. Copies share the one flag, so a
    cancel is never lost to a copy made for cleanup. Tripping it also calls what the
    operation registered to be woken with (typically aborting the client's exchange),
    once, on the tripping thread. */
class CancelToken final
{
public:
    CancelToken() : state (std::make_shared<State>()) {}

    void cancel() const
    {
        std::function<void()> wake;
        {
            const std::lock_guard<std::mutex> guard (state->lock);
            if (state->cancelled.exchange (true))
                return;
            wake = state->wake;
        }
        if (wake)
            wake();
    }

    bool isCancelled() const
    {
        return state->cancelled.load();
    }

    /** Called when the token is tripped; at once when it has been already. Returns what
        was to be called before, for the caller to put back when it is done (a transfer
        inside a worker's job hands the wake back to the worker). */
    std::function<void()> onCancel (std::function<void()> wake) const
    {
        std::function<void()> previous;
        {
            const std::lock_guard<std::mutex> guard (state->lock);
            previous = std::exchange (state->wake, wake);
            if (!state->cancelled.load())
                return previous;
        }
        if (wake)
            wake();
        return previous;
    }

private:
    struct State
    {
        std::atomic<bool> cancelled{false};
        std::mutex lock;
        std::function<void()> wake;
    };
    std::shared_ptr<State> state;
};
