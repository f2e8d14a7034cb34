#include "protocol/SerialNumbers.h"

#include <atomic>

namespace
{
// Requests are built on whichever thread talks to the device (the window's, a
// worker's, the command line's), several at once: the atomic hands every one its own
// number, and makes the wrap past INT_MAX defined.
std::atomic<int> nextSerialNumber{0};
} // namespace

int takeNextSerialNumber()
{
    return nextSerialNumber.fetch_add (1, std::memory_order_relaxed);
}
