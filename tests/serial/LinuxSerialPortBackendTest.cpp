#include "serial/linux/LinuxSerialPortBackend.h"

#include <gtest/gtest.h>

TEST (LinuxSerialPortBackendTest, SettingsBecomeTerminalFlags)
{
    constexpr tcflag_t lineFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    struct
    {
        SerialPortSettings settings;
        tcflag_t control;
        tcflag_t input;
    } cases[] = {
        { { 115200, 8, 0, 0, 1 }, CS8 | CRTSCTS, 0 },
        { { 9600, 7, 1, 0, 0 }, CS7 | PARENB | PARODD, 0 },
        { { 9600, 6, 2, 2, 0 }, CS6 | PARENB | CSTOPB, 0 },
        { { 9600, 5, 3, 0, 0 }, CS5 | PARENB | CMSPAR, 0 },
        { { 9600, 8, 4, 0, 0 }, CS8 | PARENB | PARODD | CMSPAR, 0 },
        { { 9600, 8, 9, 7, 2 }, CS8, IXON | IXOFF },
        { { 9600, 8, 0, 0, 5 }, CS8, 0 },
    };

    for (auto& c : cases)
    {
        // Start from the opposite of everything, so a flag left over would show.
        termios attributes {};
        attributes.c_cflag = lineFlags;
        attributes.c_iflag = IXON | IXOFF | IXANY;
        ASSERT_TRUE (LinuxSerialPortBackend::applySettings (c.settings, attributes));

        const auto what = juce::String::formatted ("parity %d stop %d flow %d", c.settings.parity,
                                                   c.settings.stopBits, c.settings.flowControl);
        EXPECT_EQ (attributes.c_cflag & lineFlags, c.control) << what;
        EXPECT_EQ (attributes.c_cflag & (CLOCAL | CREAD), (tcflag_t) (CLOCAL | CREAD)) << what;
        EXPECT_EQ (attributes.c_iflag & (IXON | IXOFF | IXANY), c.input) << what;
        EXPECT_EQ (cfgetospeed (&attributes), c.settings.baudRate == 9600 ? (speed_t) B9600 : (speed_t) B115200);
        if (c.settings.flowControl == 2)
        {
            EXPECT_EQ (attributes.c_cc[VSTART], 0x11);
            EXPECT_EQ (attributes.c_cc[VSTOP], 0x13);
        }
    }
}

TEST (LinuxSerialPortBackendTest, SettingsWithoutLinuxEquivalentAreRefused)
{
    const SerialPortSettings refused[] = {
        { 12345, 8, 0, 0, 0 },
        { 0, 8, 0, 0, 0 },
        { 9600, 4, 0, 0, 0 },
        { 9600, 8, 0, 1, 0 },
    };
    for (auto& settings : refused)
    {
        termios attributes {};
        EXPECT_FALSE (LinuxSerialPortBackend::applySettings (settings, attributes)) << settings.baudRate;
    }
}
