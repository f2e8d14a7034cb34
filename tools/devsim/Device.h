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

/** The --log file: one line per accepted request, in arrival order, appended with a
    single write each (so a test may read it at any time):

        <serial> <RequestClassName> <key=value ...>

    Numbers in decimal; string fields come last and are written raw. For example
        7 FileSystemEntryInfoRequest isFolder=1 path=/mnt/nandfs/usr/a
        8 FileReadRequest handle=4096 count=8169
        9 FileWriteRequest handle=4096 length=100
        11 FileSystemEntryMoveRequest isFolder=0 flagA=0 flagB=1 old=/a new=/b
        12 FileOpenRequest access=1 readFlag=1 path=/x
    Other IDs are logged as "UnknownRequest id=<id> size=<body size>", bodies too short
    for their fields as "MalformedRequest id=<id> size=<body size>". */
class RequestLog
{
public:
    ~RequestLog();
    bool open (const std::string& path, std::string& error);
    void write (const std::string& line);

    /** False without --log: the lines of the busiest requests are then not even made. */
    bool isOpen() const
    {
        return fd >= 0;
    }

private:
    int fd = -1;
};

class Device
{
public:
    Device (const Options& options, DeviceFileSystem& fileSystem, RequestLog& log);

    /** Handles one accepted request (header already checked) and returns its answer. */
    Message handle (uint16_t messageId, const uint8_t* body, size_t bodySize);

    /** True once for the request that finished the update trigger file (with --restart-ms):
        its answer is the last before the restart. */
    bool takeUpdateTrigger();

    /** What the restart after the trigger leaves: the image and the trigger consumed, the
        firmware marker there, and the new firmware version in WhoAmI. */
    void installUpdate();

    /** The device paths of the firmware update and of the MAC-address file. */
    static constexpr const char* imagePath = "/mnt/nandfs/Nuboimage";
    static constexpr const char* triggerPath = "/mnt/nandfs/NuboimageDone";
    static constexpr const char* firmwareMarkerPath = "/mnt/nandfs/lib/libm.so.2";
    static constexpr const char* macAddressPath = "/mnt/nandfs/macAddress.txt";

    /** The messages the device sends on its own, in the order the tests expect. */
    static std::vector<Message> asynchronousSet();

    /** A short description of an outgoing message for --verbose. */
    static std::string describe (const Message& message);

    Message success (int32_t serial) const;

private:
    Message respond (uint16_t messageId, const uint8_t* body, size_t bodySize);
    Message failure (int32_t serial, const std::string& text) const;

    const Options& options;
    DeviceFileSystem& fs;
    RequestLog& log;
    uint64_t writesSeen = 0, readsSeen = 0; // for --corrupt-write and --corrupt-read
    uint16_t firmwareVersion;
    bool triggerFinished = false; // the trigger file was there, finished, after the last request
    bool triggered = false;       // ...and was not before it
};

} // namespace devsim
