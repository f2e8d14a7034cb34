#pragma once

// The device's end of the USB serial link, played by the master side of a
// pseudo-terminal: framing of incoming requests, the outgoing schedule, the fault
// injection that the tests ask for, and the device leaving the bus and coming back
// (a restart after the update trigger, a cable pulled and plugged in again: each
// time on a new pseudo-terminal). Single-threaded: driven by poll, except that with
// nothing to send and nothing timed it waits in a blocking read, out of which a
// signal or a port opened or closed breaks it.

#include "Device.h"
#include "DeviceRoot.h"
#include "Options.h"

#include <cstdint>
#include <sys/types.h>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace devsim
{

class Link
{
public:
    Link (const Options& options, Device& device, DeviceFileSystem& fileSystem, DeviceRoot& deviceRoot);
    ~Link();

    /** Installs the signal handlers and plugs the device in: the pseudo-terminal, its
        open/close watch, the device root's entries and the READY line. */
    bool open (std::string& error);
    const std::string& slavePath() const
    {
        return slaveName;
    }

    /** Serves the link until SIGINT or SIGTERM; returns the exit status. */
    int run();

private:
    enum class State
    {
        live,      // serving requests
        draining,  // the last bytes are sent; waiting for the client to read them (then afterDrain)
        away,      // restarting: off the bus until comeBackUs
        unplugged, // the cable pulled (SIGUSR1): off the bus until SIGUSR2
        hungUp     // off the bus for good; idle until a stop signal
    };

    enum class AfterDrain
    {
        hangUp, // the byte budget is used up
        restart // the update was triggered
    };

    /** A new pseudo-terminal in the device root and a READY line for it. */
    bool plugIn (std::string& error);
    bool openPty (std::string& error);
    /** Hangs up, leaves the device root and forgets the session. */
    void goAway();
    void beginDrain (AfterDrain then, int64_t now);
    void endDrain (int64_t now);
    /** Unplugs and replugs as the SIGUSR1s and SIGUSR2s came, in order; false when the
        device could not come back. */
    bool takePlugSignals();
    void pullCable();
    bool comeBack();

    void pump (int64_t now);
    int pollTimeoutMs (int64_t now) const;
    /** True while nothing is to be sent and nothing is timed, so that only the client's
        bytes, a stop signal or an open or close can be waited for. */
    bool canWaitInRead() const;
    void waitInRead();
    void setMasterBlocking (bool blocking);
    void readRequests (int64_t now);
    /** One read and the requests it completes: the bytes read, 0 when none were there,
        -1 when the link hung up. */
    ssize_t readOnce (int64_t now);
    void takeRequests (int64_t now);
    void answer (uint16_t id, const uint8_t* body, size_t size, int64_t now);
    void schedule (int64_t releaseUs, Message message);
    void scheduleAsynchronousSet (int64_t releaseUs);
    void watchEvents();
    void clientClosed();
    void hangUp (const char* why);
    void closePty();

    const Options& options;
    Device& device;
    DeviceFileSystem& fs;
    DeviceRoot& deviceRoot;

    int masterFd = -1, slaveFd = -1, watchFd = -1;
    int wakePipe[2] = { -1, -1 }; // a stop signal writes a byte here, for the poll
    int masterFlags = 0;          // the master's status flags, without O_NONBLOCK
    bool masterBlocking = false;  // O_NONBLOCK cleared, as far as this loop knows
    bool watchInterrupts = false; // an open or close breaks a blocking read (O_ASYNC on the watch)
    std::string slaveName;
    std::string ttyName; // in the device root, for this plug-in
    State state = State::live;
    AfterDrain afterDrain = AfterDrain::hangUp;
    bool restartPending = false; // the trigger's answer is the last before the restart
    bool updatePending = false;  // the restart's results are made when the device comes back
    int64_t comeBackUs = 0;
    int openers = 0; // client descriptors open on the slave, as the watch reports them
    bool exclusiveMayBeSet = false;

    std::vector<uint8_t> received;   // bytes not yet framed
    uint64_t requestCount = 0;       // accepted requests; the Nth request gets the Nth response
    uint32_t unsolicitedSent = 0; // --unsolicited serials count up from 0x7f000000
    uint64_t sequence = 0;           // keeps messages released at the same time in order
    std::map<std::pair<int64_t, uint64_t>, Message> scheduled; // (release time, sequence)
    Message current;                 // the message being written, whole before the next starts
    size_t currentOffset = 0;
    bool waitingWritable = false;

    int64_t bytesSent = 0, bytesReceived = 0;
    int64_t nextWriteUs = 0, nextReadUs = 0, nextAsyncUs = 0;
    int64_t drainStartUs = 0, lastWriteUs = 0;
};

} // namespace devsim
