#include "PseudoTerminal.h"
#include "RecordingSerialPortBackend.h"

#include "serial/SerialPort.h"
#include "serial/SerialPortInputStream.h"
#include "serial/SerialPortOutputStream.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

namespace
{
const SerialPortSettings deviceSettings{115200, 8, 0, 0, 1};

// The exclusive-use flag of the terminal; -1 when another opener is refused (not root).
int exclusiveFlagOf (const juce::String& path)
{
    const int fd = ::open (path.toRawUTF8(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int exclusive = -1;
    if (fd >= 0)
        ioctl (fd, TIOCGEXCL, &exclusive), ::close (fd);
    return exclusive;
}
} // namespace

TEST (SerialPortTest, OpenIsExclusiveRawAndUndoneByClose)
{
    PseudoTerminal terminal;
    SerialPort missing;
    EXPECT_FALSE (missing.open ("/dev/nubo-no-such-port"));
    EXPECT_FALSE (missing.configure (deviceSettings));
    EXPECT_FALSE (missing.close());

    SerialPort port (terminal.slave, deviceSettings);
    ASSERT_TRUE (port.isOpen());
    EXPECT_EQ (terminal.slaveAttributes().c_lflag & (ICANON | ECHO | ISIG), 0u);

    SerialPort second;
    EXPECT_FALSE (second.open (terminal.slave));

    EXPECT_TRUE (port.close());
    EXPECT_FALSE (port.close());
    // The simulator keeps the master open: a flag left behind would lock ordinary users out.
    EXPECT_EQ (exclusiveFlagOf (terminal.slave), 0);
    EXPECT_TRUE (second.open (terminal.slave));

    // Opening another port through the same object lets go of the first.
    PseudoTerminal other;
    ASSERT_TRUE (second.open (other.slave));
    EXPECT_TRUE (port.open (terminal.slave));
}

TEST (SerialPortTest, ConfigureAppliesSettingsOrChangesNothing)
{
    PseudoTerminal terminal;
    SerialPort port (terminal.slave, deviceSettings);
    auto attributes = terminal.slaveAttributes();
    EXPECT_EQ (cfgetospeed (&attributes), (speed_t) B115200);
    EXPECT_EQ (attributes.c_cflag & (CSIZE | CRTSCTS | CLOCAL), (tcflag_t) (CS8 | CRTSCTS | CLOCAL));

    const SerialPortSettings refused[] = {
        {12345, 8, 0, 0, 0}, // no such speed
        {9600, 8, 0, 1, 0},  // one and a half stop bits
        {9600, 7, 0, 0, 0},  // a pseudo-terminal keeps 8 bits: the read-back must notice
    };
    for (auto& settings : refused)
    {
        EXPECT_FALSE (port.configure (settings)) << settings.baudRate << " " << settings.dataBits;
        attributes = terminal.slaveAttributes();
        EXPECT_EQ (cfgetospeed (&attributes), (speed_t) B115200);
        EXPECT_NE (attributes.c_cflag & CRTSCTS, 0u);
    }
}

TEST (SerialPortTest, CloseEndsBothStreamThreadsWithoutPullingThePortFromUnderThem)
{
    PseudoTerminal terminal;
    auto record = std::make_shared<BackendRecord>();
    juce::MemoryBlock payload (3000);
    juce::Random random (42);
    random.fillBitsRandomly (payload.getData(), payload.getSize());

    // Closed at a random moment of traffic both ways, round after round.
    for (int round = 0; round < 20; ++round)
    {
        SerialPort port;
        ASSERT_TRUE (port.open (RecordingSerialPortBackend::open (terminal.slave, record)));
        SerialPortInputStream input (port);
        SerialPortOutputStream output (port);
        output.write (payload.getData(), payload.getSize());
        output.flush();
        terminal.send (payload.getData(), payload.getSize());
        juce::Thread::sleep (random.nextInt (40));

        EXPECT_TRUE (port.close());
        EXPECT_TRUE (waitUntil ([&] { return !input.isThreadRunning() && !output.isThreadRunning(); }));
        EXPECT_TRUE (output.write ("late", 4));
        terminal.receive (1 << 20, 50);
    }
    EXPECT_FALSE (record->closedDuringCall.load());
}

TEST (SerialPortTest, StreamsOutliveTheirPort)
{
    PseudoTerminal terminal;
    auto port = std::make_unique<SerialPort> (terminal.slave, deviceSettings);
    SerialPortInputStream input (*port);
    SerialPortOutputStream output (*port);

    port.reset();
    EXPECT_TRUE (waitUntil ([&] { return !input.isThreadRunning() && !output.isThreadRunning(); }));
}
