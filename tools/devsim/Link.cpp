#include "Link.h"

#include "Framing.h"
#include "Wire.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace devsim
{

namespace
{
constexpr int64_t chunkPauseUs = 1000;     // between the pieces of a chunked message
constexpr int64_t drainPollUs = 10000;     // how often a hang-up checks whether the client has read everything
constexpr int64_t drainSettleUs = 20000;   // at least this long after the last byte before hanging up
constexpr int64_t drainLimitUs = 2000000;  // hang up anyway after this long
constexpr size_t readBlock = 8192;
constexpr size_t readOnAfter = 1024;

int64_t nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds> (steady_clock::now().time_since_epoch()).count();
}

/** Bytes one paced read or write may move: about 20 ms worth at the given rate. */
size_t rateSlice (int64_t bytesPerSecond)
{
    return (size_t) std::max<int64_t> (1, bytesPerSecond / 50);
}

void closeFd (int& fd)
{
    if (fd >= 0)
        ::close (fd);
    fd = -1;
}

// What the signal handlers need, for the one link a process serves.
volatile sig_atomic_t stopSignal = 0;   // SIGINT or SIGTERM, once one came
volatile sig_atomic_t watchPending = 0; // the open/close watch has something to say
volatile sig_atomic_t plugPending = 0;  // a SIGUSR1 or SIGUSR2 left its byte in the wake pipe
volatile sig_atomic_t interruptFd = -1; // the master
volatile sig_atomic_t interruptFlags = 0; // its status flags with O_NONBLOCK
volatile sig_atomic_t madeNonBlocking = 0;  // a handler made the master non-blocking
volatile sig_atomic_t wakeFd = -1;      // the write end of the wake pipe

// What a signal leaves in the wake pipe: the plug signals in the order they came.
constexpr char stopByte = 0, unplugByte = 1, plugInByte = 2;

/** A read on the master about to block, or blocked, ends: it finds the descriptor
    non-blocking, or returns EINTR. */
void interruptRead()
{
    if (interruptFd >= 0)
    {
        ::fcntl (interruptFd, F_SETFL, (int) interruptFlags);
        madeNonBlocking = 1;
    }
}

void onStopSignal (int signo)
{
    const int saved = errno;
    stopSignal = signo;
    interruptRead();
    if (wakeFd >= 0)
    {
        const char byte = stopByte;
        [[maybe_unused]] const auto n = ::write (wakeFd, &byte, 1);
    }
    errno = saved;
}

void onPlugSignal (int signo)
{
    const int saved = errno;
    plugPending = 1; // before the byte: whoever reads the byte has seen the flag
    interruptRead();
    if (wakeFd >= 0)
    {
        const char byte = signo == SIGUSR1 ? unplugByte : plugInByte;
        [[maybe_unused]] const auto n = ::write (wakeFd, &byte, 1);
    }
    errno = saved;
}

void onWatchSignal (int)
{
    const int saved = errno;
    watchPending = 1;
    interruptRead();
    errno = saved;
}

bool installHandler (int signo, void (*handler) (int))
{
    struct sigaction action;
    std::memset (&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset (&action.sa_mask);
    // One plug signal never interrupts the other's handler, which would put its byte first.
    sigaddset (&action.sa_mask, SIGUSR1);
    sigaddset (&action.sa_mask, SIGUSR2);
    // No SA_RESTART: a call the signal cuts short returns EINTR, where every caller here
    // goes round again or gives up (an open of a pipe nobody writes to ends). Under a
    // sanitizer that holds the handler back until the call returns, that EINTR is all
    // that ends a blocked read.
    action.sa_flags = 0;
    return ::sigaction (signo, &action, nullptr) == 0;
}
} // namespace

Link::Link (const Options& o, Device& d, DeviceFileSystem& f, DeviceRoot& r)
    : options (o), device (d), fs (f), deviceRoot (r)
{
}

Link::~Link()
{
    closePty();
    wakeFd = -1;
    closeFd (wakePipe[0]);
    closeFd (wakePipe[1]);
}

bool Link::open (std::string& error)
{
    ::signal (SIGPIPE, SIG_IGN);
    if (::pipe2 (wakePipe, O_NONBLOCK | O_CLOEXEC) != 0)
    {
        error = std::string ("pipe: ") + std::strerror (errno);
        return false;
    }
    wakeFd = wakePipe[1];
    if (! installHandler (SIGINT, onStopSignal) || ! installHandler (SIGTERM, onStopSignal)
        || ! installHandler (SIGIO, onWatchSignal) || ! installHandler (SIGUSR1, onPlugSignal)
        || ! installHandler (SIGUSR2, onPlugSignal))
    {
        error = std::string ("sigaction: ") + std::strerror (errno);
        return false;
    }

    if (options.asyncEveryMs > 0)
        nextAsyncUs = nowUs() + options.asyncEveryMs * (int64_t) 1000;
    ttyName = options.ttyName;
    return plugIn (error);
}

bool Link::plugIn (std::string& error)
{
    if (! openPty (error))
    {
        closePty();
        return false;
    }
    if (! options.deviceRoot.empty() && ! deviceRoot.plugIn (options, ttyName, slaveName, error))
    {
        error = "--device-root: " + error;
        deviceRoot.unplug();
        closePty();
        return false;
    }

    // A new session on a new port: nothing of an earlier one is left.
    received.clear();
    scheduled.clear();
    current.clear();
    currentOffset = 0;
    waitingWritable = false;
    openers = 0;
    exclusiveMayBeSet = false;
    nextReadUs = nextWriteUs = 0;
    state = State::live;

    std::printf ("READY %s\n", slaveName.c_str());
    std::fflush (stdout);
    return true;
}

bool Link::openPty (std::string& error)
{
    masterFd = ::posix_openpt (O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterFd < 0 || ::grantpt (masterFd) != 0 || ::unlockpt (masterFd) != 0)
    {
        error = std::string ("pseudo-terminal: ") + std::strerror (errno);
        return false;
    }
    char name[128];
    if (::ptsname_r (masterFd, name, sizeof name) != 0)
    {
        error = std::string ("ptsname: ") + std::strerror (errno);
        return false;
    }
    slaveName = name;

    // Our own slave descriptor stays open while the device is plugged in: without it the
    // master reports a hang-up whenever no client is attached, and a client could not
    // close and reopen the port.
    slaveFd = ::open (name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd < 0)
    {
        error = "can't open " + slaveName + ": " + std::strerror (errno);
        return false;
    }
    termios tio;
    if (::tcgetattr (slaveFd, &tio) == 0)
    {
        ::cfmakeraw (&tio);
        ::cfsetspeed (&tio, B115200);
        ::tcsetattr (slaveFd, TCSANOW, &tio);
    }
    masterFlags = ::fcntl (masterFd, F_GETFL) & ~O_NONBLOCK;
    ::fcntl (masterFd, F_SETFL, masterFlags | O_NONBLOCK);
    masterBlocking = false;
    interruptFlags = masterFlags | O_NONBLOCK;
    interruptFd = masterFd;

    // Opens and closes of the slave by clients: a session ends when the last client
    // descriptor closes (see clientClosed).
    watchFd = ::inotify_init1 (IN_NONBLOCK | IN_CLOEXEC);
    if (watchFd >= 0 && ::inotify_add_watch (watchFd, name, IN_OPEN | IN_CLOSE) < 0)
        closeFd (watchFd);
    if (watchFd < 0)
        std::fprintf (stderr, "nubo-devsim: can't watch %s (%s); reopening the port may fail\n", name,
                      std::strerror (errno));
    // An open or close must end a blocking read at once (see waitInRead); without that
    // signal the link is served by poll alone. With no watch there is nothing to hear.
    watchInterrupts = watchFd < 0
                      || (::fcntl (watchFd, F_SETOWN, ::getpid()) == 0
                          && ::fcntl (watchFd, F_SETFL, ::fcntl (watchFd, F_GETFL) | O_ASYNC) == 0);
    return true;
}

//==============================================================================
int Link::run()
{
    for (;;)
    {
        pump (nowUs());

        // A write answered as done is made now that its answer is on its way.
        fs.settle();

        if (stopSignal != 0)
        {
            if (options.verbose)
                std::fprintf (stderr, "nubo-devsim: signal %d, stopping\n", (int) stopSignal);
            return 0;
        }
        if (plugPending != 0 && ! takePlugSignals())
            return 1;
        if (watchPending != 0)
            watchEvents();

        const auto now = nowUs();
        // The trigger's answer, and whatever was due with it, is out: the device goes
        // once the client has read it.
        if (state == State::live && restartPending && current.empty() && scheduled.empty())
            beginDrain (AfterDrain::restart, now);
        if (state == State::away && now >= comeBackUs)
        {
            if (! comeBack())
                return 1;
            continue;
        }

        if (canWaitInRead())
        {
            waitInRead();
            continue;
        }
        setMasterBlocking (false);

        pollfd fds[3];
        int count = 0;
        fds[count++] = { wakePipe[0], POLLIN, 0 };
        const int watchIndex = watchFd >= 0 ? count : -1;
        if (watchFd >= 0)
            fds[count++] = { watchFd, POLLIN, 0 };
        int masterIndex = -1;
        if (state == State::live)
        {
            short events = 0;
            if (now >= nextReadUs && ! restartPending)
                events |= POLLIN;
            if (waitingWritable)
                events |= POLLOUT;
            masterIndex = count;
            fds[count++] = { masterFd, events, 0 };
        }

        const int r = ::poll (fds, (nfds_t) count, pollTimeoutMs (nowUs()));
        if (r < 0)
        {
            if (errno == EINTR)
                continue;
            std::fprintf (stderr, "nubo-devsim: poll: %s\n", std::strerror (errno));
            return 1;
        }

        // The stop signal itself is seen at the top of the loop.
        if (fds[0].revents != 0)
            continue;
        // Closes before reads: bytes of a new session must not be thrown away with the old one.
        if (watchIndex >= 0 && fds[watchIndex].revents != 0)
            watchEvents();
        if (masterIndex >= 0 && state == State::live)
        {
            const auto revents = fds[masterIndex].revents;
            if (revents & POLLOUT)
                waitingWritable = false;
            if (revents & POLLIN)
                readRequests (nowUs());
            else if (revents & (POLLHUP | POLLERR | POLLNVAL))
                hangUp ("the pseudo-terminal failed");
        }
    }
}

bool Link::canWaitInRead() const
{
    return state == State::live && ! restartPending && watchInterrupts && current.empty() && scheduled.empty()
           && ! waitingWritable && options.rate <= 0 && options.asyncEveryMs <= 0;
}

void Link::waitInRead()
{
    // Waking from a blocking read costs less than waking from poll and reading after it,
    // the more so for a request that comes in several pieces. The descriptor stays
    // blocking from one answer to the next request while nothing is timed: an answer
    // then goes out in one blocking write, which a stop signal or a client's close
    // cuts short like the read (see interruptRead), and which waits only for a client
    // that has left some 64 KB of answers unread.
    setMasterBlocking (true);
    bool first = true;
    while (stopSignal == 0 && watchPending == 0 && plugPending == 0 && canWaitInRead()
           && (first || ! received.empty()))
    {
        first = false;
        if (readOnce (nowUs()) <= 0)
            break;
    }
}

void Link::setMasterBlocking (bool blocking)
{
    // Cleared before the change: a handler that comes after it is seen next time.
    if (madeNonBlocking != 0)
    {
        madeNonBlocking = 0;
        masterBlocking = false;
    }
    if (masterFd < 0 || blocking == masterBlocking)
        return;
    ::fcntl (masterFd, F_SETFL, blocking ? masterFlags : masterFlags | O_NONBLOCK);
    masterBlocking = blocking;
}

int Link::pollTimeoutMs (int64_t now) const
{
    int64_t due = INT64_MAX;
    if (state == State::live)
    {
        if (current.empty() && ! scheduled.empty())
            due = std::min (due, scheduled.begin()->first.first);
        if (! current.empty() && ! waitingWritable)
            due = std::min (due, nextWriteUs);
        if (now < nextReadUs)
            due = std::min (due, nextReadUs);
        if (options.asyncEveryMs > 0)
            due = std::min (due, nextAsyncUs);
    }
    else if (state == State::draining)
    {
        due = now + drainPollUs;
    }
    else if (state == State::away)
    {
        due = comeBackUs;
    }
    if (due == INT64_MAX)
        return -1;
    // Round up, and never 0: pump has already done everything that was due.
    const auto ms = (due - now + 999) / 1000;
    return (int) std::clamp<int64_t> (ms, 1, INT_MAX);
}

//==============================================================================
void Link::pump (int64_t now)
{
    if (state == State::draining)
    {
        int waiting = 0;
        if (::ioctl (slaveFd, TIOCINQ, &waiting) != 0)
            waiting = 0;
        if ((now - lastWriteUs >= drainSettleUs && waiting == 0) || now - drainStartUs >= drainLimitUs)
            endDrain (now);
        return;
    }
    if (state != State::live)
        return;

    if (options.asyncEveryMs > 0 && now >= nextAsyncUs)
    {
        // With no client on the port there is nobody to hear them; they would only pile up.
        if (watchFd < 0 || openers > 0)
            scheduleAsynchronousSet (now);
        const int64_t period = options.asyncEveryMs * (int64_t) 1000;
        nextAsyncUs += period;
        if (nextAsyncUs <= now)
            nextAsyncUs = now + period;
    }

    for (;;)
    {
        if (current.empty())
        {
            if (scheduled.empty() || scheduled.begin()->first.first > now)
                return;
            current = std::move (scheduled.begin()->second);
            scheduled.erase (scheduled.begin());
            currentOffset = 0;
            if (options.verbose)
                std::fprintf (stderr, "nubo-devsim: sending %s\n", Device::describe (current).c_str());
        }
        if (waitingWritable || now < nextWriteUs)
            return;

        size_t n = current.size() - currentOffset;
        if (options.chunk > 0)
            n = std::min (n, options.chunk);
        if (options.rate > 0)
            n = std::min (n, rateSlice (options.rate));
        if (options.hangupAfterSent >= 0)
            n = (size_t) std::min<int64_t> ((int64_t) n, options.hangupAfterSent - bytesSent);

        if (n > 0)
        {
            const auto w = ::write (masterFd, current.data() + currentOffset, n);
            if (w < 0)
            {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                {
                    waitingWritable = true;
                    return;
                }
                hangUp ("writing to the pseudo-terminal failed");
                return;
            }
            currentOffset += (size_t) w;
            bytesSent += w;
            lastWriteUs = now;
            if (options.rate > 0)
                nextWriteUs = std::max (now, nextWriteUs) + w * (int64_t) 1000000 / options.rate;
            if (options.chunk > 0)
                nextWriteUs = std::max (nextWriteUs, now + chunkPauseUs);
            if (currentOffset == current.size())
            {
                current.clear();
                currentOffset = 0;
            }
        }

        if (options.hangupAfterSent >= 0 && bytesSent >= options.hangupAfterSent)
        {
            beginDrain (AfterDrain::hangUp, now);
            if (options.verbose)
                std::fprintf (stderr, "nubo-devsim: %lld bytes sent, hanging up once the client has read them\n",
                              (long long) bytesSent);
            return;
        }
        now = nowUs();
    }
}

void Link::readRequests (int64_t now)
{
    // A pseudo-terminal hands over at most 4 KB a read. While a large read has left a
    // request half-received, the rest is on its way: a read waits for it, where going
    // round the poll would wake later.
    while (readOnce (now) >= (ssize_t) readOnAfter && ! received.empty() && state == State::live && ! restartPending
           && options.rate <= 0)
        now = nowUs();
}

ssize_t Link::readOnce (int64_t now)
{
    size_t cap = readBlock;
    if (options.rate > 0)
        cap = std::min (cap, rateSlice (options.rate));
    if (options.hangupAfterReceived >= 0)
        cap = (size_t) std::min<int64_t> ((int64_t) cap, options.hangupAfterReceived - bytesReceived);
    if (cap == 0)
    {
        hangUp ("the byte budget for receiving is used up");
        return -1;
    }

    uint8_t buffer[readBlock];
    const auto n = ::read (masterFd, buffer, cap);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    if (n <= 0)
    {
        hangUp ("reading the pseudo-terminal failed");
        return -1;
    }
    bytesReceived += n;
    // An open or close that came while the read waited belongs before these bytes.
    if (watchPending != 0)
        watchEvents();
    if (exclusiveMayBeSet)
    {
        // A client asks for exclusive use right after opening, and since our own descriptor
        // keeps the tty alive that would outlast it and refuse its next open. Clearing it at
        // its first bytes (before anything is answered) leaves no window for a quick
        // close-and-reopen; the client's flock still keeps a second program out.
        ::ioctl (slaveFd, TIOCNXCL);
        exclusiveMayBeSet = false;
    }
    if (options.rate > 0)
        nextReadUs = std::max (now, nextReadUs) + n * (int64_t) 1000000 / options.rate;
    received.insert (received.end(), buffer, buffer + n);

    if (options.hangupAfterReceived >= 0 && bytesReceived >= options.hangupAfterReceived)
    {
        hangUp ("the byte budget for receiving is used up");
        return -1;
    }
    takeRequests (now);
    return n;
}

void Link::takeRequests (int64_t now)
{
    const auto used = frameRequests (
        received.data(), received.size(),
        [this, now] (uint16_t id, const uint8_t* body, size_t size)
        {
            answer (id, body, size, now);
            return state == State::live && ! restartPending;
        },
        [] (uint16_t id, uint32_t size)
        { std::fprintf (stderr, "nubo-devsim: dropped a bad header (id %u, body size %u)\n", id, size); });
    received.erase (received.begin(), received.begin() + (std::ptrdiff_t) std::min (used, received.size()));
}

void Link::answer (uint16_t id, const uint8_t* body, size_t size, int64_t now)
{
    const auto number = ++requestCount;
    if (options.silentAfter >= 0 && number > (uint64_t) options.silentAfter)
    {
        // A hung device: the request is read and then nothing happens at all.
        if (options.verbose)
            std::fprintf (stderr, "nubo-devsim: silent on request %llu\n", (unsigned long long) number);
        return;
    }
    fs.settle(); // every request sees the writes answered before it
    auto reply = device.handle (id, body, size);
    if (options.verbose)
        std::fprintf (stderr, "nubo-devsim: request %llu id=%u size=%zu\n", (unsigned long long) number, id, size);

    int64_t release = now + options.delayMs * (int64_t) 1000;
    if (auto late = options.lateMs.find (number); late != options.lateMs.end())
        release += late->second * (int64_t) 1000;

    if (options.drop.count (number) != 0)
    {
        if (options.verbose)
            std::fprintf (stderr, "nubo-devsim: dropping response %llu\n", (unsigned long long) number);
    }
    else
    {
        if (auto g = options.garbage.find (number); g != options.garbage.end())
            reply.insert (reply.begin(), (size_t) g->second, (uint8_t) 0xff);
        if (options.duplicate)
            schedule (release, reply);
        schedule (release, std::move (reply));
        for (int i = 0; i < options.unsolicited; ++i)
            schedule (release, device.success ((int32_t) (0x7f000000u + unsolicitedSent++)));
    }

    if (options.asyncAfter.count (number) != 0)
        scheduleAsynchronousSet (release);

    // A restarting device answers the request that triggered it and takes no other.
    if (device.takeUpdateTrigger())
    {
        restartPending = true;
        if (options.verbose)
            std::fprintf (stderr, "nubo-devsim: request %llu triggered the update\n", (unsigned long long) number);
    }
}

void Link::schedule (int64_t releaseUs, Message message)
{
    scheduled.emplace (std::make_pair (releaseUs, sequence++), std::move (message));
}

void Link::scheduleAsynchronousSet (int64_t releaseUs)
{
    for (auto& m : Device::asynchronousSet())
        schedule (releaseUs, std::move (m));
}

//==============================================================================
void Link::watchEvents()
{
    watchPending = 0; // before reading: an event after this sets it again
    if (watchFd < 0)
        return;
    alignas (inotify_event) char buffer[4096];
    bool ended = false;
    for (;;)
    {
        const auto n = ::read (watchFd, buffer, sizeof buffer);
        if (n <= 0)
        {
            // Requests the last client sent but the simulator had not yet read (it was
            // busy writing answers nobody read) go too: their remains would be taken for
            // the start of the next client's first request. Not once a new client has
            // opened the port, as its first bytes may be among them.
            if (ended && openers == 0 && state == State::live)
                ::tcflush (masterFd, TCIFLUSH);
            return;
        }
        for (char* p = buffer; p < buffer + n;)
        {
            const auto* e = reinterpret_cast<const inotify_event*> (p);
            p += sizeof (inotify_event) + e->len;
            if (e->mask & IN_OPEN)
            {
                ++openers;
                exclusiveMayBeSet = true;
                if (options.verbose)
                    std::fprintf (stderr, "nubo-devsim: port opened\n");
            }
            if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
            {
                openers = std::max (0, openers - 1);
                if (options.verbose)
                    std::fprintf (stderr, "nubo-devsim: port closed\n");
                if (openers == 0 && state == State::live)
                {
                    clientClosed();
                    ended = true;
                }
                // Nobody is left to read the last bytes: going need not wait for them.
                if (openers == 0 && state == State::draining)
                    ::tcflush (slaveFd, TCIFLUSH);
            }
        }
    }
}

void Link::clientClosed()
{
    // The host let go of the port: what it did not read is lost, a half-received
    // request will never be completed, and the next client starts afresh.
    ::ioctl (slaveFd, TIOCNXCL);
    ::tcflush (slaveFd, TCIFLUSH);
    received.clear();
    scheduled.clear();
    current.clear();
    currentOffset = 0;
    waitingWritable = false;
}

void Link::hangUp (const char* why)
{
    std::fprintf (stderr, "nubo-devsim: hanging up (%s) after %lld bytes sent, %lld received; idle until a signal\n",
                  why, (long long) bytesSent, (long long) bytesReceived);
    goAway();
    state = State::hungUp;
}

void Link::goAway()
{
    // Unplugged first: a client that sees the hang-up finds the device gone too.
    deviceRoot.unplug();
    closePty();
    fs.closeAll();
    received.clear();
    scheduled.clear();
    current.clear();
    currentOffset = 0;
    waitingWritable = false;
    restartPending = false;
}

void Link::beginDrain (AfterDrain then, int64_t now)
{
    state = State::draining;
    afterDrain = then;
    drainStartUs = now;
}

void Link::endDrain (int64_t now)
{
    if (afterDrain == AfterDrain::hangUp)
    {
        hangUp ("the byte budget for sending is used up");
        return;
    }
    goAway();
    if (options.neverReturn)
    {
        std::fprintf (stderr, "nubo-devsim: the update was triggered; gone for good, idle until a signal\n");
        state = State::hungUp;
        return;
    }
    std::fprintf (stderr, "nubo-devsim: the update was triggered; restarting, back in %d ms\n", options.restartMs);
    updatePending = true;
    state = State::away;
    comeBackUs = now + options.restartMs * (int64_t) 1000;
}

//==============================================================================
bool Link::takePlugSignals()
{
    plugPending = 0; // before reading: a signal after this sets it again
    char bytes[64];
    for (;;)
    {
        const auto n = ::read (wakePipe[0], bytes, sizeof bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        for (ssize_t i = 0; i < n; ++i)
        {
            if (bytes[i] == unplugByte)
                pullCable();
            else if (bytes[i] == plugInByte)
            {
                if (state != State::unplugged)
                {
                    if (options.verbose)
                        std::fprintf (stderr, "nubo-devsim: SIGUSR2 while not unplugged, ignored\n");
                }
                else if (! comeBack())
                    return false;
            }
        }
    }
}

void Link::pullCable()
{
    switch (state)
    {
        case State::live:
        case State::draining:
        {
            // A restart under way still happens: the device has taken the trigger.
            const bool restarting = restartPending || (state == State::draining && afterDrain == AfterDrain::restart);
            const bool forGood = state == State::draining && afterDrain == AfterDrain::hangUp;
            goAway();
            if (forGood || (restarting && options.neverReturn))
            {
                state = State::hungUp;
            }
            else
            {
                updatePending = updatePending || restarting;
                state = State::unplugged;
            }
            std::fprintf (stderr, "nubo-devsim: unplugged (SIGUSR1)%s\n",
                          state == State::unplugged ? "; SIGUSR2 plugs it back in" : "");
            return;
        }
        case State::away:
            // Pulled while restarting: it comes back only when plugged in again.
            state = State::unplugged;
            std::fprintf (stderr, "nubo-devsim: unplugged while restarting (SIGUSR1); SIGUSR2 plugs it back in\n");
            return;
        case State::unplugged:
        case State::hungUp:
            if (options.verbose)
                std::fprintf (stderr, "nubo-devsim: SIGUSR1 while off the bus, ignored\n");
            return;
    }
}

bool Link::comeBack()
{
    if (updatePending)
    {
        device.installUpdate();
        updatePending = false;
        if (! options.restartTtyName.empty())
            ttyName = options.restartTtyName;
    }
    std::string error;
    if (! plugIn (error))
    {
        std::fprintf (stderr, "nubo-devsim: can't come back: %s\n", error.c_str());
        return false;
    }
    if (options.verbose)
        std::fprintf (stderr, "nubo-devsim: plugged in again on %s\n", slaveName.c_str());
    return true;
}

void Link::closePty()
{
    interruptFd = -1;
    masterBlocking = false;
    closeFd (watchFd);
    closeFd (masterFd);
    closeFd (slaveFd);
}

} // namespace devsim
