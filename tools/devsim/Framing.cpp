#include "Framing.h"

#include "Wire.h"

namespace devsim
{

size_t frameRequests (const uint8_t* data, size_t size, const RequestHandler& onRequest,
                      const BadHeaderHandler& onBadHeader)
{
    size_t offset = 0;
    while (size - offset >= headerSize)
    {
        const auto* h = data + offset;
        const auto id = (uint16_t) (h[0] | (h[1] << 8));
        const auto bodySize =
            (uint32_t) h[2] | ((uint32_t) h[3] << 8) | ((uint32_t) h[4] << 16) | ((uint32_t) h[5] << 24);
        if (id > maxMessageId || bodySize > maxBodySize)
        {
            // As the device does: the six header bytes are dropped and framing goes on after them.
            if (onBadHeader)
                onBadHeader (id, bodySize);
            offset += headerSize;
            continue;
        }
        if (size - offset < headerSize + bodySize)
            break;
        offset += headerSize + bodySize;
        if (!onRequest (id, h + headerSize, bodySize))
            break;
    }
    return offset;
}

} // namespace devsim
