#pragma once

// Cutting the host's byte stream into requests, as the device firmware does. Kept
// apart from the link so that the fuzz target can drive it with any bytes.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace devsim
{

/** Called for each complete request; returning false stops the framing after it. */
using RequestHandler = std::function<bool (uint16_t id, const uint8_t* body, size_t bodySize)>;

/** Called for each header with an ID or body size out of range (its six bytes are dropped). */
using BadHeaderHandler = std::function<void (uint16_t id, uint32_t bodySize)>;

/** Takes the complete requests at the front of data and returns how many bytes they
    (and dropped headers) used; the rest is the start of a request still to come. */
size_t frameRequests (const uint8_t* data, size_t size, const RequestHandler& onRequest,
                      const BadHeaderHandler& onBadHeader);

} // namespace devsim
