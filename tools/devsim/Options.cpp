#include "Options.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace devsim
{

namespace
{
bool parseInteger (const std::string& text, int64_t& value, int base = 0)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const auto v = std::strtoll (text.c_str(), &end, base);
    if (errno != 0 || end == text.c_str() || *end != '\0')
        return false;
    value = v;
    return true;
}

std::vector<std::string> splitList (const std::string& text)
{
    std::vector<std::string> items;
    size_t start = 0;
    for (;;)
    {
        const auto comma = text.find (',', start);
        items.push_back (text.substr (start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

struct OptionInfo
{
    const char* name;
    const char* argument; // nullptr: a flag
    const char* help;
};

// The order here is the order of --help.
const OptionInfo optionTable[] = {
    { "--fs", "DIR", "(required) host folder that plays the device's \"/\"; use a copy, the device writes to it" },
    { "--device-root", "DIR", "build a sysfs/dev tree there (DIR/sys/class/tty/<tty>, DIR/dev/<tty> -> the pty)" },
    { "--tty", "NAME", "tty name in the device root (default ttyACM0)" },
    { "--usb-port", "N", "USB port number in the device root's sysfs path usb1/1-N (default 2)" },
    { "--vid", "HEX", "USB vendor ID written to idVendor (default 7a3c)" },
    { "--pid", "HEX", "USB product ID written to idProduct (default 0511)" },
    { "--rev", "HEX", "USB device release written to bcdDevice (default 0100)" },
    { "--product", "TEXT", "USB product text (default \"Nubo Device\"; empty writes an empty file)" },
    { "--manufacturer", "TEXT", "USB manufacturer text (default \"Nubo\")" },
    { "--usb-serial", "TEXT", "USB serial number text (default \"SIM-0001\")" },
    { "--family", "N", "WhoAmI family ID (default 0x1)" },
    { "--device", "N", "WhoAmI device ID (default 0x2a)" },
    { "--protocol", "N", "WhoAmI protocol version (default 0x0100)" },
    { "--firmware", "N", "WhoAmI firmware version (default 0x0203)" },
    { "--text1", "TEXT", "WhoAmI first text (default \"Nubo Simulator\")" },
    { "--text2", "TEXT", "WhoAmI second text (default \"Serial SIM-0001\")" },
    { "--mac", "TEXT",
      "write TEXT and a newline to <fs>/mnt/nandfs/macAddress.txt at start (each instance needs its own --fs copy)" },
    { "--restart-ms", "MS",
      "restart once the update trigger /mnt/nandfs/NuboimageDone is made (below): away MS ms, back on a new pty" },
    { "--never-return", nullptr, "with --restart-ms: after the trigger, hang up and unplug for good" },
    { "--restart-tty", "NAME", "with --restart-ms: the tty name in the device root after the restart (default: the same)" },
    { "--new-firmware", "N", "with --restart-ms: WhoAmI firmware version after the restart (default --firmware + 1)" },
    { "--first-handle", "N", "first file handle handed out; later ones count up (default 4096)" },
    { "--log", "FILE", "append one line per received request to FILE, flushed at once (format below)" },
    { "--verbose", nullptr, "describe every message and fault on standard error" },
    { "--delay", "MS", "delay every response by MS milliseconds" },
    { "--drop", "N[,N...]", "leave the Nth response unanswered (repeatable)" },
    { "--clock-offset", "SECONDS", "add SECONDS (may be negative) to every time the device reports: a clock set wrong" },
    { "--silent-after", "N", "answer the first N requests, then neither act on, answer nor log any more (a hung device)" },
    { "--late", "N:MS[,...]", "send the Nth response MS milliseconds later than the others (repeatable)" },
    { "--chunk", "N", "write every outgoing message in pieces of N bytes, 1 ms apart" },
    { "--rate", "BPS", "limit the link to BPS bytes per second in each direction" },
    { "--garbage", "N[:COUNT]", "send COUNT (default 7) bytes 0xFF before the Nth response (repeatable)" },
    { "--hangup-after-sent", "BYTES",
      "close the pty (unplug) once BYTES bytes are sent and read; then idle until a signal, exit 0" },
    { "--hangup-after-received", "BYTES",
      "close the pty (unplug) once BYTES bytes are received; then idle until a signal, exit 0" },
    { "--async-every", "MS", "send the set of asynchronous messages every MS milliseconds" },
    { "--async-after", "N[,N...]", "send the set of asynchronous messages right after the Nth response" },
    { "--duplicate", nullptr, "send every response twice" },
    { "--unsolicited", "N", "after every response send N success responses to no request (serials 0x7f000000 up)" },
    { "--unsafe-names", nullptr, "add unsafe file and folder names (\"..\", \"../x\", \"a/b\", \"/abs\", \"\"...) to every listing" },
    { "--tilde-names", nullptr, "add the file and folder names \"~\", \"~user\" and \"~/x\" to every listing" },
    { "--self-folder", "NAME", "every folder lists a sub-folder NAME that leads back to the folder itself" },
    { "--multiply-folders", nullptr, "every folder lists the sub-folders a and b, both leading back to the folder itself" },
    { "--file-size", "N", "report N (may be negative) as the size of every file opened for reading" },
    { "--info-size", "N", "report N (may be negative) as the size of every existing entry in its facts" },
    { "--long-reads", "N", "add N bytes (0x55) to every read answer, as many as fit in one message" },
    { "--refuse-create", "PATH", "fail an open for writing of PATH, and a move onto it (repeatable)" },
    { "--corrupt-write", "N[,N...]", "store the data of the Nth file write with its first byte flipped (repeatable)" },
    { "--corrupt-read", "N[,N...]", "send the data of the Nth file read answer with its first byte flipped (repeatable)" },
    { "--help", nullptr, "show this text" },
};
} // namespace

std::string helpText()
{
    std::string text = "Usage: nubo-devsim --fs DIR [options]\n"
                       "Plays a Nubo device on a pseudo-terminal. Prints \"READY <pty path>\" on standard output\n"
                       "once the port can be opened, and again each time it comes back on a new one (after a\n"
                       "restart or SIGUSR2); diagnostics go to standard error. SIGINT or SIGTERM ends it with\n"
                       "status 0 (the device root's dev and sys/class entries are removed). SIGUSR1 pulls the\n"
                       "cable (the pty hangs up, the device root's entries go), SIGUSR2 plugs it back in (a new\n"
                       "pty, same slot and serial); either in the wrong state is ignored.\n"
                       "The device writes to its --fs folder (images, triggers, the firmware marker, --mac):\n"
                       "instances must not share one; a copy of sample-device is a few kilobytes.\n"
                       "Numbers are decimal or 0x hex; USB IDs are hex. Requests/responses count from 1.\n\nOptions:\n";
    for (auto& s : optionTable)
    {
        std::string left = std::string ("  ") + s.name + (s.argument ? std::string (" ") + s.argument : "");
        if (left.size() < 34)
            left.resize (34, ' ');
        else
            left += "  ";
        text += left + s.help + "\n";
    }
    text += "\nRequest log: one line per request, in arrival order:\n"
            "  <serial> <RequestClassName> <key=value fields, space-separated; strings last, written raw>\n"
            "  7 WhoAmIRequest\n"
            "  7 FileSystemEntryInfoRequest isFolder=1 path=/mnt/nandfs/usr/a\n"
            "  7 FileSystemEntryCreateRequest isFolder=1 flag=1 path=/mnt/nandfs/usr/new\n"
            "  7 FileSystemEntryMoveRequest isFolder=0 flagA=0 flagB=1 old=/a new=/b\n"
            "  7 FileSystemEntryDeleteRequest flag1=1 flag2=1 flag3=0 path=/a\n"
            "  7 FileOpenRequest access=1 readFlag=1 path=/x\n"
            "  7 FileReadRequest handle=4096 count=8169\n"
            "  7 FileWriteRequest handle=4096 length=100\n"
            "  7 FileSeekRequest handle=4096 offset=0 origin=0\n"
            "  7 FileCloseRequest handle=4096\n"
            "  7 FolderContentsRequest path=/mnt/nandfs/usr\n"
            "  7 GetPropertiesRequest path=1,2\n"
            "  7 GetPropertyRequest id=32784 path=1,2\n"
            "  7 UnknownRequest id=99 size=4\n"
            "  7 MalformedRequest id=4 size=6\n"
            "Numbers are decimal (serial, handle and offset signed); a body too short for its\n"
            "fields is logged as MalformedRequest (serial 0 when even that is missing).\n"
            "\nRestart (--restart-ms): the request that leaves /mnt/nandfs/NuboimageDone a file no handle\n"
            "has open for writing (the close after an open for writing, a create or a move onto it)\n"
            "is answered; requests after it are not. Once the client has read the answer the pty hangs\n"
            "up and the device root's entries go; after MS ms the image and the trigger are gone from\n"
            "--fs, /mnt/nandfs/lib/libm.so.2 is there, WhoAmI reports --new-firmware and a new pty is\n"
            "plugged into the same slot (READY <path> again). With --never-return it stays away.\n";
    return text;
}

ParseResult parseOptions (int argc, char** argv, Options& o)
{
    auto fail = [] (const std::string& why)
    {
        std::fprintf (stderr, "nubo-devsim: %s (see --help)\n", why.c_str());
        return ParseResult::error;
    };

    for (int i = 1; i < argc; ++i)
    {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        if (const auto eq = name.find ('='); name.rfind ("--", 0) == 0 && eq != std::string::npos)
        {
            value = name.substr (eq + 1);
            name = name.substr (0, eq);
            hasValue = true;
        }

        const OptionInfo* option = nullptr;
        for (auto& s : optionTable)
            if (name == s.name)
                option = &s;
        if (option == nullptr)
            return fail ("unknown option " + name);

        if (option->argument == nullptr)
        {
            if (hasValue)
                return fail (name + " takes no value");
            if (name == "--help")
                return ParseResult::help;
            if (name == "--verbose")
                o.verbose = true;
            else if (name == "--unsafe-names")
                o.unsafeNames = true;
            else if (name == "--tilde-names")
                o.tildeNames = true;
            else if (name == "--duplicate")
                o.duplicate = true;
            else if (name == "--multiply-folders")
                o.multiplyFolders = true;
            else if (name == "--never-return")
                o.neverReturn = true;
            continue;
        }
        if (! hasValue)
        {
            if (i + 1 >= argc)
                return fail (name + " needs " + option->argument);
            value = argv[++i];
        }

        const auto bad = [&] { return fail ("bad value for " + name + ": " + value); };
        auto number = [&] (int64_t& v, int64_t min, int64_t max, int base = 0)
        { return parseInteger (value, v, base) && v >= min && v <= max; };
        int64_t v = 0;

        auto u16Option = [&] (uint16_t& target, int base)
        {
            if (! number (v, 0, 0xffff, base))
                return false;
            target = (uint16_t) v;
            return true;
        };

        if (name == "--fs")
            o.fsRoot = value;
        else if (name == "--device-root")
            o.deviceRoot = value;
        else if (name == "--tty")
        {
            if (value.empty() || value.find ('/') != std::string::npos)
                return bad();
            o.ttyName = value;
        }
        else if (name == "--usb-port")
        {
            if (! number (v, 1, 127))
                return bad();
            o.usbPort = (int) v;
        }
        else if (name == "--vid" || name == "--pid" || name == "--rev")
        {
            auto& target = name == "--vid" ? o.vendorId : name == "--pid" ? o.productId : o.revision;
            if (! u16Option (target, 16))
                return bad();
        }
        else if (name == "--product")
            o.product = value;
        else if (name == "--manufacturer")
            o.manufacturer = value;
        else if (name == "--usb-serial")
            o.usbSerial = value;
        else if (name == "--family" || name == "--device" || name == "--protocol" || name == "--firmware")
        {
            auto& target = name == "--family"     ? o.familyId
                           : name == "--device"   ? o.deviceId
                           : name == "--protocol" ? o.protocolVersion
                                                  : o.firmwareVersion;
            if (! u16Option (target, 0))
                return bad();
        }
        else if (name == "--mac")
            o.macAddress = value;
        else if (name == "--restart-ms")
        {
            if (! number (v, 0, 3600000))
                return bad();
            o.restartMs = (int) v;
        }
        else if (name == "--restart-tty")
        {
            if (value.empty() || value.find ('/') != std::string::npos)
                return bad();
            o.restartTtyName = value;
        }
        else if (name == "--new-firmware")
        {
            uint16_t firmware = 0;
            if (! u16Option (firmware, 0))
                return bad();
            o.newFirmwareVersion = firmware;
        }
        else if (name == "--text1")
            o.text1 = value;
        else if (name == "--text2")
            o.text2 = value;
        else if (name == "--first-handle")
        {
            if (! number (v, INT64_MIN, INT64_MAX))
                return bad();
            o.firstHandle = v;
        }
        else if (name == "--log")
            o.logFile = value;
        else if (name == "--delay")
        {
            if (! number (v, 0, 3600000))
                return bad();
            o.delayMs = (int) v;
        }
        else if (name == "--drop" || name == "--async-after" || name == "--corrupt-write" || name == "--corrupt-read")
        {
            auto& target = name == "--drop"            ? o.drop
                           : name == "--async-after"   ? o.asyncAfter
                           : name == "--corrupt-write" ? o.corruptWrite
                                                       : o.corruptRead;
            for (auto& item : splitList (value))
            {
                if (! parseInteger (item, v) || v < 1)
                    return bad();
                target.insert ((uint64_t) v);
            }
        }
        else if (name == "--late" || name == "--garbage")
        {
            for (auto& item : splitList (value))
            {
                const auto colon = item.find (':');
                int64_t n = 0, second = name == "--garbage" ? 7 : -1;
                if (! parseInteger (item.substr (0, colon), n) || n < 1)
                    return bad();
                if (colon != std::string::npos && (! parseInteger (item.substr (colon + 1), second) || second < 0))
                    return bad();
                if (second < 0 || second > 3600000)
                    return bad();
                (name == "--late" ? o.lateMs : o.garbage)[(uint64_t) n] = (int) second;
            }
        }
        else if (name == "--chunk")
        {
            if (! number (v, 1, 1 << 20))
                return bad();
            o.chunk = (size_t) v;
        }
        else if (name == "--rate")
        {
            if (! number (v, 1, INT64_MAX / 1000000))
                return bad();
            o.rate = v;
        }
        else if (name == "--hangup-after-sent" || name == "--hangup-after-received")
        {
            if (! number (v, 0, INT64_MAX))
                return bad();
            (name == "--hangup-after-sent" ? o.hangupAfterSent : o.hangupAfterReceived) = v;
        }
        else if (name == "--self-folder")
        {
            if (value.empty() || value == "." || value == ".." || value.find ('/') != std::string::npos)
                return bad();
            o.selfFolder = value;
        }
        else if (name == "--file-size")
        {
            if (! number (v, INT64_MIN, INT64_MAX))
                return bad();
            o.fixedFileSize = true;
            o.fileSize = v;
        }
        else if (name == "--info-size")
        {
            if (! number (v, INT64_MIN, INT64_MAX))
                return bad();
            o.fixedInfoSize = true;
            o.infoSize = v;
        }
        else if (name == "--clock-offset")
        {
            // Ten years either way: far enough for any clock set wrong, near enough for time_t.
            if (! number (v, -315576000, 315576000))
                return bad();
            o.clockOffset = v;
        }
        else if (name == "--silent-after")
        {
            if (! number (v, 0, INT64_MAX))
                return bad();
            o.silentAfter = v;
        }
        else if (name == "--long-reads")
        {
            if (! number (v, 1, 65536))
                return bad();
            o.longReads = (int) v;
        }
        else if (name == "--refuse-create")
        {
            if (value.empty())
                return bad();
            o.refuseCreate.insert (value);
        }
        else if (name == "--unsolicited")
        {
            if (! number (v, 0, 1000000))
                return bad();
            o.unsolicited = (int) v;
        }
        else if (name == "--async-every")
        {
            if (! number (v, 1, 3600000))
                return bad();
            o.asyncEveryMs = (int) v;
        }
    }

    if (o.fsRoot.empty())
        return fail ("--fs DIR is required");
    if (o.restartMs < 0 && (o.neverReturn || ! o.restartTtyName.empty() || o.newFirmwareVersion))
        return fail ("--never-return, --restart-tty and --new-firmware need --restart-ms");
    return ParseResult::run;
}

} // namespace devsim
