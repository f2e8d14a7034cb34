#include "serial/linux/LinuxSerialPortBackend.h"
#include "PseudoTerminal.h"

#include <gtest/gtest.h>

#include <thread>

TEST (LinuxSerialPortBackendTest, SettingsBecomeTerminalFlags)
{
    constexpr tcflag_t lineFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    const struct
    {
        SerialPortSettings settings;
        tcflag_t control, input;
    } cases[] = {
        {{115200, 8, 0, 0, 1}, CS8 | CRTSCTS, 0},
        {{9600, 7, 1, 0, 0}, CS7 | PARENB | PARODD, 0},
        {{9600, 6, 2, 2, 0}, CS6 | PARENB | CSTOPB, 0},
        {{9600, 5, 3, 0, 0}, CS5 | PARENB | CMSPAR, 0},
        {{9600, 8, 4, 0, 0}, CS8 | PARENB | PARODD | CMSPAR, 0},
        {{9600, 0x108, 9, 7, 2}, CS8, IXON | IXOFF},
    };
    for (auto& c : cases)
    {
        termios attributes{}; // everything set that a setting might leave behind
        attributes.c_cflag = lineFlags;
        attributes.c_iflag = IXON | IXOFF | IXANY;
        ASSERT_TRUE (LinuxSerialPortBackend::applySettings (c.settings, attributes));
        EXPECT_EQ (attributes.c_cflag & lineFlags, c.control) << c.settings.parity;
        EXPECT_EQ (attributes.c_iflag & (IXON | IXOFF | IXANY), c.input) << c.settings.parity;
        EXPECT_EQ (cfgetospeed (&attributes), c.settings.baudRate == 9600 ? (speed_t) B9600 : (speed_t) B115200);
    }

    termios attributes{};
    for (auto settings : {SerialPortSettings{12345, 8, 0, 0, 0}, SerialPortSettings{9600, 4, 0, 0, 0},
                          SerialPortSettings{9600, 8, 0, 1, 0}})
        EXPECT_FALSE (LinuxSerialPortBackend::applySettings (settings, attributes));
}

// A stream that is to stop nudges its wait; the port stays usable, so the nudge ends one
// wait only, where a wake (for the close) ends every wait from then on.
TEST (LinuxSerialPortBackendTest, ANudgeEndsOneWaitAndAWakeEndsThemAll)
{
    PseudoTerminal terminal;
    ASSERT_TRUE (terminal.slave.isNotEmpty());
    auto port = SerialPortBackend::open (terminal.slave);
    ASSERT_NE (port, nullptr);
    using Result = SerialPortBackend::WaitResult;

    port->nudge();
    EXPECT_EQ (port->waitUntilReadable (5000), Result::woken);
    EXPECT_EQ (port->waitUntilReadable (20), Result::timedOut);

    // A nudge from another thread ends the wait in progress.
    std::thread nudger (
        [&]
        {
            juce::Thread::sleep (50);
            port->nudge();
        });
    EXPECT_EQ (port->waitUntilReadable (5000), Result::woken);
    nudger.join();

    ASSERT_EQ (::write (terminal.master, "x", 1), 1);
    EXPECT_EQ (port->waitUntilReadable (5000), Result::ready);

    port->wake();
    EXPECT_EQ (port->waitUntilReadable (5000), Result::woken);
    EXPECT_EQ (port->waitUntilReadable (5000), Result::woken);
}
