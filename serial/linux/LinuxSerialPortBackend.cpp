#include "serial/linux/LinuxSerialPortBackend.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{
struct SpeedEntry
{
    int bitsPerSecond;
    speed_t speed;
};

const SpeedEntry speeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool speedFor (int bitsPerSecond, speed_t& speed)
{
    for (auto& entry : speeds)
    {
        if (entry.bitsPerSecond == bitsPerSecond)
        {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

bool characterSizeFor (int dataBits, tcflag_t& size)
{
    switch (dataBits & 0xff)
    {
    case 5:
        size = CS5;
        return true;
    case 6:
        size = CS6;
        return true;
    case 7:
        size = CS7;
        return true;
    case 8:
        size = CS8;
        return true;
    default:
        return false;
    }
}

// Modem-control and exclusivity requests do not exist on every terminal (a
// pseudo-terminal has no modem lines); their absence is not a failure.
bool isUnsupportedRequest (int error)
{
    return error == ENOTTY || error == EINVAL;
}

// Undoes what opening took: the exclusive flag first, or the next open of a
// pseudo-terminal whose other end stays open would fail for anyone but root.
int releaseDescriptor (int fd)
{
    ioctl (fd, TIOCNXCL);
    flock (fd, LOCK_UN);
    return ::close (fd);
}
} // namespace

std::unique_ptr<SerialPortBackend> SerialPortBackend::open (const juce::String& portName, int* errorNumber)
{
    // The reason is taken before any clean-up call can overwrite errno.
    const auto fail = [errorNumber] (int reason, int descriptorToRelease) -> std::unique_ptr<SerialPortBackend>
    {
        if (descriptorToRelease >= 0)
            releaseDescriptor (descriptorToRelease);
        if (errorNumber != nullptr)
            *errorNumber = reason;
        return nullptr;
    };

    if (portName.isEmpty())
        return fail (0, -1);

    const auto path = devicePathFor (portName);
    const int fd = ::open (path.toRawUTF8(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail (errno, -1);

    // Another program (or another SerialPort here) holding the port makes this fail.
    // flock says "would block"; to the person at the keyboard the port is busy.
    if (flock (fd, LOCK_EX | LOCK_NB) != 0)
    {
        const int reason = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close (fd);
        return fail (reason, -1);
    }

    termios attributes{};
    if (ioctl (fd, TIOCEXCL) != 0 && !isUnsupportedRequest (errno))
        return fail (errno, fd);
    if (tcgetattr (fd, &attributes) != 0)
        return fail (errno, fd);

    // Raw at once, so nothing the device sends is echoed back or cooked.
    cfmakeraw (&attributes);
    attributes.c_cflag |= CLOCAL | CREAD;
    tcsetattr (fd, TCSANOW, &attributes);
    tcflush (fd, TCIOFLUSH);

    const int wakeFd = eventfd (0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0)
        return fail (errno, fd);

    if (errorNumber != nullptr)
        *errorNumber = 0;
    return std::make_unique<LinuxSerialPortBackend> (fd, wakeFd, path);
}

juce::String SerialPortBackend::devicePathFor (const juce::String& portName)
{
    return LinuxSerialPortBackend::devicePathFor (portName);
}

LinuxSerialPortBackend::LinuxSerialPortBackend (int portDescriptor, int wakeDescriptor, juce::String path)
    : fd (portDescriptor), wakeFd (wakeDescriptor), nudgeFd (eventfd (0, EFD_CLOEXEC | EFD_NONBLOCK)),
      devicePath (std::move (path))
{
}

LinuxSerialPortBackend::~LinuxSerialPortBackend()
{
    close();
}

juce::String LinuxSerialPortBackend::devicePathFor (const juce::String& portName)
{
    if (portName.isEmpty())
        return {};
    return portName.startsWithChar ('/') ? portName : "/dev/" + portName;
}

bool LinuxSerialPortBackend::applySettings (const SerialPortSettings& settings, termios& attributes)
{
    speed_t speed{};
    tcflag_t size{};
    if (!speedFor (settings.baudRate, speed) || !characterSizeFor (settings.dataBits, size) || settings.stopBits == 1)
        return false;

    auto& control = attributes.c_cflag;
    control &= ~(tcflag_t) (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    control |= CLOCAL | CREAD | size;

    switch (settings.parity)
    {
    case 1:
        control |= PARENB | PARODD;
        break;
    case 2:
        control |= PARENB;
        break;
    case 3:
        control |= PARENB | CMSPAR;
        break;
    case 4:
        control |= PARENB | PARODD | CMSPAR;
        break;
    default:
        break;
    }

    if (settings.stopBits == 2)
        control |= CSTOPB;

    attributes.c_iflag &= ~(tcflag_t) (IXON | IXOFF | IXANY);
    if (settings.flowControl == 1)
    {
        control |= CRTSCTS;
    }
    else if (settings.flowControl == 2)
    {
        attributes.c_iflag |= IXON | IXOFF;
        attributes.c_cc[VSTART] = 0x11;
        attributes.c_cc[VSTOP] = 0x13;
    }

    return cfsetspeed (&attributes, speed) == 0;
}

juce::String LinuxSerialPortBackend::getDevicePath() const
{
    return devicePath;
}

bool LinuxSerialPortBackend::configure (const SerialPortSettings& settings)
{
    termios previous{};
    if (fd < 0 || tcgetattr (fd, &previous) != 0)
        return false;

    auto wanted = previous;
    if (!applySettings (settings, wanted) || tcsetattr (fd, TCSANOW, &wanted) != 0)
        return false;

    // tcsetattr succeeds when any part took; a driver may have refused the rest.
    termios actual{};
    bool took = tcgetattr (fd, &actual) == 0 && cfgetospeed (&actual) == cfgetospeed (&wanted) &&
                (actual.c_cflag & CSIZE) == (wanted.c_cflag & CSIZE);

    // Data terminal ready is raised in every mode; request to send is the driver's in
    // hardware handshake and raised otherwise.
    if (took)
    {
        int lines = settings.flowControl == 1 ? TIOCM_DTR : TIOCM_DTR | TIOCM_RTS;
        took = ioctl (fd, TIOCMBIS, &lines) == 0 || isUnsupportedRequest (errno);
    }

    if (!took)
        tcsetattr (fd, TCSANOW, &previous);
    return took;
}

bool LinuxSerialPortBackend::close()
{
    if (fd < 0)
        return false;

    const bool closed = releaseDescriptor (fd) == 0;
    ::close (wakeFd);
    if (nudgeFd >= 0)
        ::close (nudgeFd);
    fd = -1;
    wakeFd = -1;
    nudgeFd = -1;
    return closed;
}

void LinuxSerialPortBackend::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write (wakeFd, &one, sizeof (one));
}

void LinuxSerialPortBackend::nudge()
{
    const std::uint64_t one = 1;
    if (nudgeFd >= 0) [[maybe_unused]]
        const auto written = ::write (nudgeFd, &one, sizeof (one));
}

SerialPortBackend::WaitResult LinuxSerialPortBackend::waitUntilReadable (int timeoutMs)
{
    return waitFor (POLLIN, timeoutMs);
}

SerialPortBackend::WaitResult LinuxSerialPortBackend::waitUntilWritable (int timeoutMs)
{
    return waitFor (POLLOUT, timeoutMs);
}

SerialPortBackend::WaitResult LinuxSerialPortBackend::waitFor (short events, int timeoutMs)
{
    // poll passes over a negative descriptor: without a nudge eventfd, waits end by time.
    pollfd descriptors[3] = {{fd, events, 0}, {wakeFd, POLLIN, 0}, {nudgeFd, POLLIN, 0}};
    const int result = poll (descriptors, 3, timeoutMs);
    if (result < 0)
        return errno == EINTR ? WaitResult::timedOut : WaitResult::gone;
    if (result == 0)
        return WaitResult::timedOut;
    if (descriptors[1].revents != 0)
        return WaitResult::woken;
    if (descriptors[2].revents != 0)
    {
        std::uint64_t taken = 0;
        [[maybe_unused]] const auto read = ::read (nudgeFd, &taken, sizeof (taken));
        return WaitResult::woken;
    }

    const auto happened = descriptors[0].revents;
    if ((happened & (POLLERR | POLLNVAL)) != 0)
        return WaitResult::gone;
    // Bytes that arrived before a hang-up are still taken; the read after them reports it.
    if ((happened & events) != 0)
        return WaitResult::ready;
    if ((happened & POLLHUP) != 0)
        return WaitResult::gone;
    return WaitResult::timedOut;
}

int LinuxSerialPortBackend::read (void* destination, int maxBytes)
{
    for (;;)
    {
        const auto n = ::read (fd, destination, (size_t) maxBytes);
        if (n > 0)
            return (int) n;
        if (n == 0)
            return -1; // end of file: the far end is gone
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1; // EIO after an unplug or hang-up; anything else would only repeat
    }
}

int LinuxSerialPortBackend::write (const void* source, int numBytes)
{
    for (;;)
    {
        const auto n = ::write (fd, source, (size_t) numBytes);
        if (n >= 0)
            return (int) n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}
