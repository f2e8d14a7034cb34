#pragma once

// The device's request handling: decodes one request, acts on the file system,
// logs it and builds the answer.

#include "DeviceFileSystem.h"
#include "Options.h"

#include <cstdint>
#include <string>
#include <vector>

namespace devsim
{

using Message = std::vector<uint8_t>;

/** The --log file: one line per request, appended with a single write each. */
class RequestLog
{
public:
    ~RequestLog();
    bool open (const std::string& path, std::string& error);
    void write (const std::string& line);

private:
    int fd = -1;
};

class Device
{
public:
    Device (const Options& options, DeviceFileSystem& fileSystem, RequestLog& log);

    /** Handles one accepted request (header already checked) and returns its answer. */
    Message handle (uint16_t messageId, const uint8_t* body, size_t bodySize);

    /** The messages the device sends on its own, in the order the tests expect. */
    static std::vector<Message> asynchronousSet();

    /** A short description of an outgoing message for --verbose. */
    static std::string describe (const Message& message);

private:
    Message failure (int32_t serial, const std::string& text) const;
    Message success (int32_t serial) const;

    const Options& options;
    DeviceFileSystem& fs;
    RequestLog& log;
};

} // namespace devsim
