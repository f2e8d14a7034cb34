#include "protocol/SerialNumbers.h"

#include <atomic>

namespace
{
// Requests are numbered on the GUI thread, but an atomic costs nothing and
// makes the wrap past INT_MAX defined.
std::atomic<int> nextSerialNumber{0};
} // namespace

int takeNextSerialNumber()
{
    return nextSerialNumber.fetch_add (1, std::memory_order_relaxed);
}
