#include "PseudoTerminal.h"
#include "RecordingSerialPortBackend.h"

#include "serial/SerialPort.h"
#include "serial/SerialPortInputStream.h"
#include "serial/SerialPortOutputStream.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

namespace
{
const SerialPortSettings deviceSettings { 115200, 8, 0, 0, 1 };

// Whether the terminal at this path still carries the exclusive-use flag; -1 when it
// cannot be asked (another opener is refused while the flag is set, except root).
int exclusiveFlagOf (const juce::String& path)
{
    const int fd = ::open (path.toRawUTF8(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int exclusive = -1;
    ioctl (fd, TIOCGEXCL, &exclusive);
    ::close (fd);
    return exclusive;
}

class SerialPortTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (terminal.isValid());
    }

    PseudoTerminal terminal;
};
} // namespace

TEST_F (SerialPortTest, PortThatDoesNotExistStaysClosed)
{
    SerialPort port;
    EXPECT_FALSE (port.open ("/dev/nubo-no-such-port"));
    EXPECT_FALSE (port.isOpen());
    EXPECT_FALSE (port.configure (deviceSettings));
    EXPECT_FALSE (port.close());
}

TEST_F (SerialPortTest, OpensRawAndExclusiveAndClosesOnce)
{
    SerialPort port (terminal.slavePath(), deviceSettings);
    ASSERT_TRUE (port.isOpen());
    EXPECT_EQ (port.getDevicePath(), terminal.slavePath());

    const auto attributes = terminal.slaveAttributes();
    EXPECT_EQ (attributes.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ (attributes.c_oflag & OPOST, 0u);

    EXPECT_TRUE (port.close());
    EXPECT_FALSE (port.isOpen());
    EXPECT_FALSE (port.close());

    // The simulator keeps the master open, so a flag left behind would lock out the next
    // open by an ordinary user.
    EXPECT_EQ (exclusiveFlagOf (terminal.slavePath()), 0);
}

TEST_F (SerialPortTest, SecondOpenOfHeldPortFailsUntilReleased)
{
    SerialPort first;
    ASSERT_TRUE (first.open (terminal.slavePath()));

    SerialPort second;
    EXPECT_FALSE (second.open (terminal.slavePath()));
    EXPECT_FALSE (second.isOpen());

    first.close();
    EXPECT_TRUE (second.open (terminal.slavePath()));
}

TEST_F (SerialPortTest, OpeningAgainReleasesThePreviousPort)
{
    PseudoTerminal other;
    ASSERT_TRUE (other.isValid());

    SerialPort port;
    ASSERT_TRUE (port.open (terminal.slavePath()));
    ASSERT_TRUE (port.open (other.slavePath()));
    EXPECT_EQ (port.getDevicePath(), other.slavePath());

    SerialPort another;
    EXPECT_TRUE (another.open (terminal.slavePath()));
}

TEST_F (SerialPortTest, ConfigureAppliesSettingsOrChangesNothing)
{
    SerialPort port;
    ASSERT_TRUE (port.open (terminal.slavePath()));
    ASSERT_TRUE (port.configure (deviceSettings));

    auto attributes = terminal.slaveAttributes();
    EXPECT_EQ (cfgetospeed (&attributes), (speed_t) B115200);
    EXPECT_EQ (attributes.c_cflag & CSIZE, (tcflag_t) CS8);
    EXPECT_NE (attributes.c_cflag & CRTSCTS, 0u);
    EXPECT_NE (attributes.c_cflag & CLOCAL, 0u);

    struct
    {
        const char* what;
        SerialPortSettings settings;
    } rejected[] = {
        { "unknown speed", { 12345, 8, 0, 0, 0 } },
        { "one and a half stop bits", { 9600, 8, 0, 1, 0 } },
        { "nine data bits", { 9600, 9, 0, 0, 0 } },
        // A pseudo-terminal always keeps eight bits: the read-back must notice.
        { "size the driver refuses", { 9600, 7, 0, 0, 0 } },
    };
    for (auto& r : rejected)
    {
        EXPECT_FALSE (port.configure (r.settings)) << r.what;
        attributes = terminal.slaveAttributes();
        EXPECT_EQ (cfgetospeed (&attributes), (speed_t) B115200) << r.what;
        EXPECT_NE (attributes.c_cflag & CRTSCTS, 0u) << r.what;
    }

    // Only the low eight bits of the data bits count.
    EXPECT_TRUE (port.configure ({ 9600, 0x108, 0, 2, 0 }));
    attributes = terminal.slaveAttributes();
    EXPECT_EQ (cfgetospeed (&attributes), (speed_t) B9600);
    EXPECT_NE (attributes.c_cflag & CSTOPB, 0u);
    EXPECT_EQ (attributes.c_cflag & CRTSCTS, 0u);

    port.close();
    EXPECT_FALSE (port.configure (deviceSettings));
}

TEST_F (SerialPortTest, CloseEndsBothStreamThreads)
{
    SerialPort port (terminal.slavePath(), deviceSettings);
    ASSERT_TRUE (port.isOpen());
    SerialPortInputStream input (port);
    SerialPortOutputStream output (port);
    ASSERT_TRUE (waitUntil ([&] { return input.isThreadRunning() && output.isThreadRunning(); }));

    EXPECT_TRUE (port.close());
    EXPECT_TRUE (waitUntil ([&] { return ! input.isThreadRunning() && ! output.isThreadRunning(); }));

    // Opening the port again does not bring the threads of the old opening back to it.
    ASSERT_TRUE (port.open (terminal.slavePath()));
    ASSERT_TRUE (terminal.send ("late"));
    output.write ("x", 1);
    output.flush();
    juce::Thread::sleep (300);
    EXPECT_TRUE (input.isExhausted());
    EXPECT_EQ (terminal.receive (1, 300).getSize(), 0u);
}

TEST_F (SerialPortTest, CloseWaitsUntilNoThreadUsesThePort)
{
    // Round after round of traffic both ways, closed at a random moment: close must never
    // release the port while a thread is inside a call on it.
    auto record = std::make_shared<BackendRecord>();
    juce::Random random (42);
    juce::MemoryBlock payload (3000);
    random.fillBitsRandomly (payload.getData(), payload.getSize());

    for (int round = 0; round < 20; ++round)
    {
        SerialPort port;
        ASSERT_TRUE (port.open (RecordingSerialPortBackend::open (terminal.slavePath(), record)));
        SerialPortInputStream input (port);
        SerialPortOutputStream output (port);

        output.write (payload.getData(), payload.getSize());
        output.flush();
        terminal.send (payload.getData(), payload.getSize());
        juce::Thread::sleep (random.nextInt (40));
        EXPECT_TRUE (port.close());
        terminal.receive (1 << 20, 50); // whatever got through, so the next round starts empty
    }
    EXPECT_EQ (record->closes.load(), 20);
    EXPECT_FALSE (record->closedDuringCall.load());
}

TEST_F (SerialPortTest, StreamsOutliveTheirPort)
{
    auto port = std::make_unique<SerialPort> (terminal.slavePath(), deviceSettings);
    ASSERT_TRUE (port->isOpen());
    SerialPortInputStream input (*port);
    SerialPortOutputStream output (*port);

    port.reset();
    EXPECT_TRUE (waitUntil ([&] { return ! input.isThreadRunning() && ! output.isThreadRunning(); }));
    EXPECT_TRUE (output.write ("x", 1));
    EXPECT_EQ (input.read (nullptr, 0), 0);
}
