#pragma once

// Little-endian encoding of the device's message bodies, as the device firmware
// sees them. Kept apart from the client's classes on purpose: the simulator is
// an independent second reading of the wire format.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace devsim
{

constexpr uint16_t maxMessageId = 0x8006;
constexpr uint32_t maxBodySize = 8185;
constexpr uint32_t headerSize = 6;
constexpr uint32_t maxDataBlock = 8169; // largest data block in a read response / write request

/** Property IDs 0x8000..0x8018 carry strings, every other ID a signed 32-bit value. */
inline bool isStringProperty (uint16_t id)
{
    return id >= 0x8000 && id <= 0x8018;
}

/** Builds one outgoing message: header first, body size patched in at the end. */
class MessageWriter
{
public:
    explicit MessageWriter (uint16_t messageId)
    {
        u16 (messageId);
        u32 (0);
    }

    MessageWriter& u8 (uint8_t v)
    {
        bytes.push_back (v);
        return *this;
    }
    MessageWriter& boolean (bool v)
    {
        return u8 (v ? 1 : 0);
    }
    MessageWriter& u16 (uint16_t v)
    {
        u8 ((uint8_t) (v & 0xff));
        return u8 ((uint8_t) (v >> 8));
    }
    MessageWriter& i16 (int16_t v)
    {
        return u16 ((uint16_t) v);
    }
    MessageWriter& u32 (uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            u8 ((uint8_t) (v >> (8 * i)));
        return *this;
    }
    MessageWriter& i32 (int32_t v)
    {
        return u32 ((uint32_t) v);
    }
    MessageWriter& i64 (int64_t v)
    {
        const auto u = (uint64_t) v;
        u32 ((uint32_t) (u & 0xffffffffu));
        return u32 ((uint32_t) (u >> 32));
    }
    /** Device-side string: i32 byte count, then the bytes, no terminator. */
    MessageWriter& string (const std::string& s)
    {
        i32 ((int32_t) s.size());
        return raw (s.data(), s.size());
    }
    MessageWriter& raw (const void* data, size_t n)
    {
        const auto* p = static_cast<const uint8_t*> (data);
        bytes.insert (bytes.end(), p, p + n);
        return *this;
    }

    size_t bodySize() const
    {
        return bytes.size() - headerSize;
    }

    /** The finished message, header carrying the body size. */
    std::vector<uint8_t> finish()
    {
        const auto size = (uint32_t) bodySize();
        for (int i = 0; i < 4; ++i)
            bytes[2 + (size_t) i] = (uint8_t) (size >> (8 * i));
        return std::move (bytes);
    }

private:
    std::vector<uint8_t> bytes;
};

/** Reads the body of a received request. Every read is bounded by the body: a read
    past its end sets the failed flag and yields zeros, so a short request is
    recognised after parsing instead of reading foreign memory. */
class BodyReader
{
public:
    BodyReader (const uint8_t* bytes, size_t count) : data (bytes), size (count) {}

    bool failed() const
    {
        return overrun;
    }
    size_t remaining() const
    {
        return size - pos;
    }

    uint8_t u8()
    {
        if (! need (1))
            return 0;
        return data[pos++];
    }
    bool boolean()
    {
        return u8() != 0;
    }
    uint16_t u16()
    {
        if (! need (2))
            return 0;
        const auto v = (uint16_t) (data[pos] | (data[pos + 1] << 8));
        pos += 2;
        return v;
    }
    uint32_t u32()
    {
        if (! need (4))
            return 0;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= (uint32_t) data[pos + (size_t) i] << (8 * i);
        pos += 4;
        return v;
    }
    int32_t i32()
    {
        return (int32_t) u32();
    }
    int64_t i64()
    {
        const uint64_t lo = u32();
        const uint64_t hi = u32();
        return (int64_t) (lo | (hi << 32));
    }
    /** Host-side string: u32 byte count (UTF-8), then the bytes. Kept as raw bytes. */
    std::string string()
    {
        const auto n = u32();
        if (! need (n))
            return {};
        std::string s (reinterpret_cast<const char*> (data + pos), n);
        pos += n;
        return s;
    }
    const uint8_t* bytes (size_t n)
    {
        if (! need (n))
            return nullptr;
        const auto* p = data + pos;
        pos += n;
        return p;
    }

private:
    bool need (size_t n)
    {
        if (overrun || n > size - pos)
        {
            overrun = true;
            return false;
        }
        return true;
    }

    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool overrun = false;
};

} // namespace devsim
