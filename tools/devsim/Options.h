#pragma once

// Command line of nubo-devsim.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace devsim
{

struct Options
{
    // The device's file system.
    std::string fsRoot;
    int64_t firstHandle = 4096;

    // The USB device as the host's sysfs shows it.
    std::string deviceRoot;
    std::string ttyName = "ttyACM0";
    int usbPort = 2;
    uint16_t vendorId = 0x7a3c, productId = 0x0511, revision = 0x0100;
    std::string product = "Nubo Device", manufacturer = "Nubo", usbSerial = "SIM-0001";

    // The WhoAmI answer.
    uint16_t familyId = 0x1, deviceId = 0x2a, protocolVersion = 0x0100, firmwareVersion = 0x0203;
    std::string text1 = "Nubo Simulator", text2 = "Serial SIM-0001";

    // The firmware update: once the trigger file is complete the device restarts.
    int restartMs = -1;          // time away before it comes back; -1 = no restart
    bool neverReturn = false;    // it goes away after the trigger and stays away
    std::string restartTtyName;  // the tty name it comes back with; empty = the same
    std::optional<uint16_t> newFirmwareVersion; // reported after the restart; default firmware + 1
    std::optional<std::string> macAddress;      // written (with a newline) to the MAC-address file at start

    std::string logFile;
    bool verbose = false;

    // Faults; requests and responses are counted from 1 in arrival order.
    int delayMs = 0;
    std::set<uint64_t> drop;
    std::map<uint64_t, int> lateMs;
    size_t chunk = 0;
    int64_t rate = 0; // bytes per second, 0 = unlimited
    std::map<uint64_t, int> garbage;
    int64_t hangupAfterSent = -1;
    int64_t hangupAfterReceived = -1;
    int asyncEveryMs = 0;
    std::set<uint64_t> asyncAfter;
    bool unsafeNames = false;
    bool tildeNames = false;
    std::string selfFolder;      // a sub-folder name that every folder holds and that leads back to it
    bool multiplyFolders = false; // every folder holds a and b, both leading back to it
    bool fixedFileSize = false;  // --file-size given
    int64_t fileSize = 0;        // reported on every open for reading
    int longReads = 0;           // extra bytes in every read answer
    bool fixedInfoSize = false;  // --info-size given
    int64_t infoSize = 0;        // reported in the facts of every existing entry
    int64_t clockOffset = 0;     // seconds added to every time the device reports
    int64_t silentAfter = -1;    // requests after this many are neither handled nor answered; -1 = never
    std::set<std::string> refuseCreate; // device paths that cannot be created
    std::set<uint64_t> corruptWrite;    // write requests (counted from 1) stored with a byte flipped
    std::set<uint64_t> corruptRead;     // read answers (counted from 1) sent with a byte flipped
    bool duplicate = false;
    int unsolicited = 0;
};

enum class ParseResult
{
    run,
    help,
    error
};

/** Fills the options from argv; on error writes the reason to standard error. */
ParseResult parseOptions (int argc, char** argv, Options& options);

/** The --help text: every option with one line, then the request log format. */
std::string helpText();

} // namespace devsim
