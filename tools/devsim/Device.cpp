#include "Device.h"

#include "Wire.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace devsim
{

namespace
{
enum : uint16_t
{
    whoAmIRequest = 0,
    whoAmIResponse = 1,
    successResponse = 2,
    failureResponse = 3,
    entryInfoRequest = 4,
    entryInfoResponse = 5,
    createRequest = 7,
    moveRequest = 8,
    deleteRequest = 9,
    fileOpenRequest = 10,
    fileOpenResponse = 11,
    fileReadRequest = 12,
    fileReadResponse = 13,
    fileWriteRequest = 14,
    fileSeekRequest = 15,
    fileCloseRequest = 16,
    folderContentsRequest = 17,
    folderContentsResponse = 18,
    getPropertiesRequest = 19,
    getPropertiesResponse = 20,
    getPropertyRequest = 26,
    getPropertyResponse = 27,
};

// Fixed properties the simulated device reports, whatever the property path.
struct IntProperty
{
    uint16_t id;
    int32_t value;
};
const IntProperty intProperties[] = { { 5, 42 }, { 6, -7 } };

std::string flag (bool b)
{
    return b ? "1" : "0";
}

std::string pathList (const std::vector<uint16_t>& path)
{
    std::string s;
    for (size_t i = 0; i < path.size(); ++i)
        s += (i ? "," : "") + std::to_string (path[i]);
    return s;
}

std::vector<uint16_t> readPropertyPath (BodyReader& in)
{
    std::vector<uint16_t> path (in.u8());
    for (auto& element : path)
        element = in.u16();
    return path;
}

void writeTime (MessageWriter& out, const DeviceTime& t)
{
    out.i16 (t.year).u8 ((uint8_t) t.month).u8 ((uint8_t) t.day).u8 ((uint8_t) t.hours).u8 ((uint8_t) t.minutes);
}

size_t encodedSize (const std::vector<std::string>& names)
{
    size_t n = 0;
    for (auto& s : names)
        n += 4 + s.size();
    return n;
}
} // namespace

//==============================================================================
RequestLog::~RequestLog()
{
    if (fd >= 0)
        ::close (fd);
}

bool RequestLog::open (const std::string& path, std::string& error)
{
    fd = ::open (path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        error = "can't open log " + path + ": " + std::strerror (errno);
    return fd >= 0;
}

void RequestLog::write (const std::string& line)
{
    if (fd < 0)
        return;
    const auto text = line + "\n";
    // O_APPEND and one write per line: a reader never sees half a line from us.
    size_t done = 0;
    while (done < text.size())
    {
        const auto n = ::write (fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += (size_t) n;
    }
}

//==============================================================================
Device::Device (const Options& o, DeviceFileSystem& f, RequestLog& l)
    : options (o), fs (f), log (l), firmwareVersion (o.firmwareVersion)
{
    // A trigger left from before is no news; only one that a request finishes is.
    triggerFinished = options.restartMs >= 0 && fs.holdsFinishedFile (triggerPath);
}

bool Device::takeUpdateTrigger()
{
    const bool was = triggered;
    triggered = false;
    return was;
}

void Device::installUpdate()
{
    for (auto* path : { imagePath, triggerPath })
    {
        EntryInfo info;
        if (fs.entryInfo (path, info).ok() && info.exists)
            if (auto r = fs.deleteEntry (path); ! r.ok())
                std::fprintf (stderr, "nubo-devsim: restart: %s\n", r.error.c_str());
    }
    if (auto r = fs.writeWholeFile (firmwareMarkerPath, "installed by nubo-devsim\n"); ! r.ok())
        std::fprintf (stderr, "nubo-devsim: restart: %s\n", r.error.c_str());
    firmwareVersion = options.newFirmwareVersion ? *options.newFirmwareVersion
                                                 : (uint16_t) (options.firmwareVersion + 1);
    triggerFinished = fs.holdsFinishedFile (triggerPath);
    triggered = false;
}

Message Device::failure (int32_t serial, const std::string& text) const
{
    return MessageWriter (failureResponse).i32 (serial).string (text).finish();
}

Message Device::success (int32_t serial) const
{
    return MessageWriter (successResponse).i32 (serial).finish();
}

Message Device::handle (uint16_t id, const uint8_t* body, size_t bodySize)
{
    auto reply = respond (id, body, bodySize);
    // Only the requests that make, remove, open or close an entry can finish the trigger.
    const bool mayFinish = id == createRequest || id == moveRequest || id == deleteRequest || id == fileOpenRequest
                           || id == fileCloseRequest;
    if (options.restartMs >= 0 && mayFinish)
    {
        const bool finished = fs.holdsFinishedFile (triggerPath);
        triggered = triggered || (finished && ! triggerFinished);
        triggerFinished = finished;
    }
    return reply;
}

Message Device::respond (uint16_t id, const uint8_t* body, size_t bodySize)
{
    if (id != fileReadRequest)
        fs.dropReadAhead();
    BodyReader in (body, bodySize);
    const auto serial = in.i32();
    const auto idText = std::to_string (id);
    const auto prefix = std::to_string (in.failed() ? 0 : serial) + " ";

    auto malformed = [&]
    {
        log.write (prefix + "MalformedRequest id=" + idText + " size=" + std::to_string (bodySize));
        return failure (in.failed() && bodySize < 4 ? 0 : serial, "Malformed request " + idText);
    };
    if (in.failed())
        return malformed();

    switch (id)
    {
        case whoAmIRequest:
        {
            log.write (prefix + "WhoAmIRequest");
            return MessageWriter (whoAmIResponse)
                .i32 (serial)
                .u16 (options.familyId)
                .u16 (options.deviceId)
                .u16 (options.protocolVersion)
                .u16 (firmwareVersion)
                .string (options.text1)
                .string (options.text2)
                .finish();
        }

        case entryInfoRequest:
        {
            const auto isFolder = in.boolean();
            const auto path = in.string();
            if (in.failed())
                return malformed();
            log.write (prefix + "FileSystemEntryInfoRequest isFolder=" + flag (isFolder) + " path=" + path);

            EntryInfo info;
            const auto r = fs.entryInfo (path, info);
            if (! r.ok())
                return failure (serial, r.error);
            if (options.fixedInfoSize && info.exists)
                info.size = options.infoSize;
            MessageWriter out (entryInfoResponse);
            out.i32 (serial).boolean (isFolder).string (info.name).boolean (info.exists).i64 (info.size);
            out.boolean (info.readOnly).boolean (false);
            writeTime (out, info.changed);
            writeTime (out, info.modified);
            writeTime (out, info.accessed);
            return out.finish();
        }

        case createRequest:
        {
            const auto isFolder = in.boolean();
            const auto path = in.string();
            const auto flagValue = in.boolean();
            if (in.failed())
                return malformed();
            log.write (prefix + "FileSystemEntryCreateRequest isFolder=" + flag (isFolder) + " flag="
                       + flag (flagValue) + " path=" + path);
            const auto r = fs.createEntry (path, isFolder);
            return r.ok() ? success (serial) : failure (serial, r.error);
        }

        case moveRequest:
        {
            const auto isFolder = in.boolean();
            const auto oldPath = in.string();
            const auto newPath = in.string();
            const auto flagA = in.boolean();
            const auto flagB = in.boolean();
            if (in.failed())
                return malformed();
            log.write (prefix + "FileSystemEntryMoveRequest isFolder=" + flag (isFolder) + " flagA=" + flag (flagA)
                       + " flagB=" + flag (flagB) + " old=" + oldPath + " new=" + newPath);
            if (options.refuseCreate.count (newPath) != 0)
                return failure (serial, "Refused to create " + newPath);
            const auto r = fs.moveEntry (oldPath, newPath);
            return r.ok() ? success (serial) : failure (serial, r.error);
        }

        case deleteRequest:
        {
            const auto flag1 = in.boolean();
            const auto path = in.string();
            const auto flag2 = in.boolean();
            const auto flag3 = in.boolean();
            if (in.failed())
                return malformed();
            log.write (prefix + "FileSystemEntryDeleteRequest flag1=" + flag (flag1) + " flag2=" + flag (flag2)
                       + " flag3=" + flag (flag3) + " path=" + path);
            const auto r = fs.deleteEntry (path);
            return r.ok() ? success (serial) : failure (serial, r.error);
        }

        case fileOpenRequest:
        {
            const auto path = in.string();
            const auto access = in.u8();
            const auto readFlag = in.u8();
            if (in.failed())
                return malformed();
            log.write (prefix + "FileOpenRequest access=" + std::to_string (access)
                       + " readFlag=" + std::to_string (readFlag) + " path=" + path);
            if (access == 2 && options.refuseCreate.count (path) != 0)
                return failure (serial, "Refused to create " + path);
            int64_t handle = 0, size = 0;
            const auto r = fs.openFile (path, access, handle, size);
            if (! r.ok())
                return failure (serial, r.error);
            if (access == 1 && options.fixedFileSize)
                size = options.fileSize;
            return MessageWriter (fileOpenResponse).i32 (serial).i64 (handle).i64 (size).finish();
        }

        case fileReadRequest:
        {
            const auto handle = in.i64();
            const auto count = in.u32();
            if (in.failed())
                return malformed();
            if (log.isOpen())
                log.write (prefix + "FileReadRequest handle=" + std::to_string (handle)
                           + " count=" + std::to_string (count));
            std::vector<uint8_t> data;
            const auto r = fs.readFile (handle, count < maxDataBlock ? count : maxDataBlock, data);
            if (! r.ok())
                return failure (serial, r.error);
            if (options.longReads > 0)
                data.resize (data.size() + std::min ((size_t) options.longReads, maxDataBlock - data.size()), 0x55);
            if (options.corruptRead.count (++readsSeen) != 0 && ! data.empty())
                data[0] ^= 0xff;
            return MessageWriter (fileReadResponse)
                .i32 (serial)
                .i64 (0)
                .i32 ((int32_t) data.size())
                .raw (data.data(), data.size())
                .finish();
        }

        case fileWriteRequest:
        {
            const auto handle = in.i64();
            const auto length = in.u32();
            const auto* data = in.bytes (length);
            if (in.failed())
                return malformed();
            if (log.isOpen())
                log.write (prefix + "FileWriteRequest handle=" + std::to_string (handle)
                           + " length=" + std::to_string (length));
            std::vector<uint8_t> flipped;
            if (options.corruptWrite.count (++writesSeen) != 0 && length > 0)
            {
                flipped.assign (data, data + length);
                flipped[0] ^= 0xff;
                data = flipped.data();
            }
            const auto r = fs.writeFile (handle, data, length);
            return r.ok() ? success (serial) : failure (serial, r.error);
        }

        case fileSeekRequest:
        {
            const auto handle = in.i64();
            const auto offset = in.i64();
            const auto origin = in.u8();
            if (in.failed())
                return malformed();
            log.write (prefix + "FileSeekRequest handle=" + std::to_string (handle) + " offset="
                       + std::to_string (offset) + " origin=" + std::to_string (origin));
            const auto r = fs.seekFile (handle, offset, origin);
            return r.ok() ? success (serial) : failure (serial, r.error);
        }

        case fileCloseRequest:
        {
            const auto handle = in.i64();
            if (in.failed())
                return malformed();
            log.write (prefix + "FileCloseRequest handle=" + std::to_string (handle));
            const auto r = fs.closeFile (handle);
            return r.ok() ? success (serial) : failure (serial, r.error);
        }

        case folderContentsRequest:
        {
            const auto path = in.string();
            if (in.failed())
                return malformed();
            log.write (prefix + "FolderContentsRequest path=" + path);
            std::vector<std::string> files, folders;
            const auto r = fs.folderContents (path, files, folders);
            if (! r.ok())
                return failure (serial, r.error);
            if (options.unsafeNames)
            {
                files.insert (files.begin(), { "..", "../x", "a/b", "/abs", "" });
                folders.insert (folders.begin(), { "..", "../evil", "a/b" });
            }
            if (options.tildeNames)
            {
                files.insert (files.begin(), { "~", "~user", "~/x" });
                folders.insert (folders.begin(), { "~", "~user", "~/x" });
            }
            // The answer must fit one message: drop names from the end while it does not.
            bool cut = false;
            while (12 + encodedSize (files) + encodedSize (folders) > maxBodySize)
            {
                (folders.empty() ? files : folders).pop_back();
                cut = true;
            }
            if (cut)
                std::fprintf (stderr, "nubo-devsim: listing of %s cut to fit one message\n", path.c_str());

            MessageWriter out (folderContentsResponse);
            out.i32 (serial).i32 ((int32_t) files.size());
            for (auto& name : files)
                out.string (name);
            out.i32 ((int32_t) folders.size());
            for (auto& name : folders)
                out.string (name);
            return out.finish();
        }

        case getPropertiesRequest:
        {
            const auto path = readPropertyPath (in);
            if (in.failed())
                return malformed();
            log.write (prefix + "GetPropertiesRequest path=" + pathList (path));
            MessageWriter out (getPropertiesResponse);
            out.i32 (serial).u16 ((uint16_t) std::size (intProperties));
            for (auto& p : intProperties)
                out.u16 (p.id).i32 (p.value);
            out.u16 (2).u16 (0x8000).string (options.text1).u16 (0x8010).string ("sim");
            return out.finish();
        }

        case getPropertyRequest:
        {
            const auto path = readPropertyPath (in);
            const auto propertyId = in.u16();
            if (in.failed())
                return malformed();
            log.write (prefix + "GetPropertyRequest id=" + std::to_string (propertyId) + " path=" + pathList (path));
            MessageWriter out (getPropertyResponse);
            out.i32 (serial).u16 (propertyId);
            if (isStringProperty (propertyId))
            {
                if (propertyId == 0x8000)
                    return out.string (options.text1).finish();
                if (propertyId == 0x8010)
                    return out.string ("sim").finish();
            }
            else
            {
                for (auto& p : intProperties)
                    if (p.id == propertyId)
                        return out.i32 (p.value).finish();
            }
            return failure (serial, "Unknown property " + std::to_string (propertyId));
        }

        default:
            log.write (prefix + "UnknownRequest id=" + idText + " size=" + std::to_string (bodySize));
            return failure (serial, "Unknown request " + idText);
    }
}

std::vector<Message> Device::asynchronousSet()
{
    std::vector<Message> set;
    // An event: eventId 3, argument 77.
    set.push_back (MessageWriter (0x8002).i32 (3).i64 (77).finish());
    // A numeric property change: path [1,2], id 5, value 1234.
    set.push_back (MessageWriter (0x8006).u8 (2).u16 (1).u16 (2).u16 (5).i32 (1234).finish());
    // A string property change: path [1], id 0x8010, "hello".
    set.push_back (MessageWriter (0x8006).u8 (1).u16 (1).u16 (0x8010).string ("hello").finish());
    // A process ended: process 4321, exit code -2.
    set.push_back (MessageWriter (0x8000).i64 (4321).i32 (-2).finish());
    // Two kinds the host does not handle.
    set.push_back (MessageWriter (0x8001).u32 (0).finish());
    set.push_back (MessageWriter (0x8005).u32 (0).finish());
    return set;
}

std::string Device::describe (const Message& m)
{
    if (m.size() < headerSize)
        return "?";
    const auto id = (uint16_t) (m[0] | (m[1] << 8));
    const auto body = m.size() - headerSize;
    std::string text = "id=" + std::to_string (id) + " size=" + std::to_string (body);
    if (id < 0x8000 && body >= 4)
    {
        BodyReader in (m.data() + headerSize, body);
        text += " serial=" + std::to_string (in.i32());
        if (id == failureResponse)
            text += " \"" + in.string() + "\"";
    }
    return text;
}

} // namespace devsim
