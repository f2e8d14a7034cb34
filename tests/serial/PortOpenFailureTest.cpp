// Why a port did not open, as the line after "Failed to open port" tells it: real
// pseudo-terminals opened by another user or held by another process.

#include "serial/PortOpenFailure.h"
#include "serial/SerialPort.h"

#include "PseudoTerminal.h"
#include "TestSupport.h"
#include "serial/PortProbe.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace
{
struct ProbeResult
{
    int exitCode = -1;
    juce::StringArray lines;
};

ProbeResult runProbe (const juce::StringArray& command)
{
    ProbeResult result;
    juce::ChildProcess process;
    if (!process.start (command, juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr))
        return result;
    result.lines = juce::StringArray::fromLines (process.readAllProcessOutput().trimEnd());
    if (process.waitForProcessToFinish (30000))
        result.exitCode = (int) process.getExitCode();
    return result;
}

const juce::String busyHint = "Another program holds the port";
} // namespace

TEST (PortOpenFailureTest, NothingToSayWhenNoPortWasNamed)
{
    SerialPort port;
    EXPECT_FALSE (port.open (""));
    EXPECT_EQ (port.getOpenError(), 0);
    EXPECT_EQ (describePortOpenFailure (port.getDevicePath(), port.getOpenError()), "");
}

TEST (PortOpenFailureTest, MissingDeviceIsReportedAsGone)
{
    SerialPort port;
    EXPECT_FALSE (port.open ("ttyNuboNoSuchPort"));
    EXPECT_EQ (port.getOpenError(), ENOENT);
    EXPECT_EQ (port.getDevicePath(), "/dev/ttyNuboNoSuchPort");
    EXPECT_EQ (describePortOpenFailure (port.getDevicePath(), port.getOpenError()),
               "/dev/ttyNuboNoSuchPort: No such file or directory. The device is gone (unplugged?); plug it in again.");
}

TEST (PortOpenFailureTest, UnpluggedPseudoTerminalIsReportedAsGone)
{
    PseudoTerminal terminal;
    ASSERT_TRUE (terminal.slave.isNotEmpty());
    terminal.closeMaster();

    SerialPort port;
    EXPECT_FALSE (port.open (terminal.slave));
    EXPECT_NE (port.getOpenError(), 0);
    EXPECT_TRUE (describePortOpenFailure (port.getDevicePath(), port.getOpenError()).contains ("The device is gone"))
        << describePortOpenFailure (port.getDevicePath(), port.getOpenError());
}

TEST (PortOpenFailureTest, SuccessfulOpenClearsTheEarlierReason)
{
    PseudoTerminal terminal;
    SerialPort port;
    EXPECT_FALSE (port.open ("/dev/ttyNuboNoSuchPort"));
    ASSERT_TRUE (port.open (terminal.slave));
    EXPECT_EQ (port.getOpenError(), 0);
    EXPECT_EQ (port.getDevicePath(), terminal.slave);
}

TEST (PortOpenFailureTest, FileThatIsNoTerminalIsNotASerialPort)
{
    TempFolder folder;
    const auto pipe = folder / "not-a-port";
    ASSERT_EQ (mkfifo (pipe.getFullPathName().toRawUTF8(), 0600), 0);

    SerialPort port;
    EXPECT_FALSE (port.open (pipe.getFullPathName()));
    EXPECT_EQ (describePortOpenFailure (port.getDevicePath(), port.getOpenError()),
               pipe.getFullPathName() + ": Inappropriate ioctl for device. It is not a serial port.");
}

TEST (PortOpenFailureTest, OtherReasonsCarryNoHint)
{
    EXPECT_EQ (describePortOpenFailure ("/dev/ttyACM0", EIO), "/dev/ttyACM0: Input/output error.");
}

TEST (PortOpenFailureTest, PortUnreadableForTheUserSuggestsTheRuleOrTheGroup)
{
    PseudoTerminal terminal;
    ASSERT_TRUE (terminal.slave.isNotEmpty());

    juce::StringArray command;
    TempFolder folder;
    if (geteuid() == 0)
    {
        // Root opens anything: open it as nobody, from a copy of the probe nobody can run.
        const auto probe = folder / "nubo-port-probe";
        ASSERT_TRUE (portProbeExecutable().copyFileTo (probe));
        ASSERT_EQ (chmod (folder.get().getFullPathName().toRawUTF8(), 0755), 0);
        ASSERT_EQ (chmod (probe.getFullPathName().toRawUTF8(), 0755), 0);
        ASSERT_EQ (chmod (terminal.slave.toRawUTF8(), 0600), 0);
        command = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", probe.getFullPathName()};
    }
    else
    {
        ASSERT_EQ (chmod (terminal.slave.toRawUTF8(), 0), 0);
        command = {portProbeExecutable().getFullPathName()};
    }
    command.addArray ({"open", terminal.slave});

    const auto result = runProbe (command);
    EXPECT_EQ (result.exitCode, 1) << result.lines.joinIntoString ("\n");
    EXPECT_EQ (result.lines,
               juce::StringArray ("Failed to open port",
                                  terminal.slave + ": Permission denied. Install the nubo-usb-utility package (its "
                                                   "udev rule gives the logged-in user the device), or join the "
                                                   "dialout group (sudo usermod -aG dialout $USER) and log in again."));
}

TEST (PortOpenFailureTest, PortLockedByAnotherProcessNamesIt)
{
    PseudoTerminal terminal;
    ASSERT_TRUE (terminal.slave.isNotEmpty());
    PortHolder holder (terminal.slave);
    ASSERT_TRUE (holder.isHolding());

    // Only open, not locked, here: the far end of a simulated port does this, and it is
    // not what keeps the port busy.
    const int bystander = ::open (terminal.slave.toRawUTF8(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE (bystander, 0);

    const auto result = runProbe ({portProbeExecutable().getFullPathName(), "open", terminal.slave});
    ::close (bystander);

    EXPECT_EQ (result.exitCode, 1);
    EXPECT_EQ (result.lines, juce::StringArray ("Failed to open port", terminal.slave + ": Device or resource busy. " +
                                                                           busyHint + ": nubo-port-probe (process " +
                                                                           juce::String (holder.getPid()) +
                                                                           "). Close it and connect again."));
}

TEST (PortOpenFailureTest, HolderFoundThroughAnotherNameOfTheDevice)
{
    PseudoTerminal terminal;
    PortHolder holder (terminal.slave);
    ASSERT_TRUE (holder.isHolding());

    TempFolder folder;
    const auto link = folder / "usb-Nubo_Device-if00";
    ASSERT_TRUE (juce::File (terminal.slave).createSymbolicLink (link, true));

    SerialPort port;
    EXPECT_FALSE (port.open (link.getFullPathName()));
    EXPECT_EQ (port.getOpenError(), EBUSY);
    EXPECT_TRUE (describePortOpenFailure (port.getDevicePath(), port.getOpenError())
                     .endsWith (": nubo-port-probe (process " + juce::String (holder.getPid()) +
                                "). Close it and connect again."));
}

TEST (PortOpenFailureTest, HolderNameCannotBreakTheLine)
{
    PseudoTerminal terminal;
    PortHolder holder (terminal.slave, "bad\nname\x1b[2J");
    ASSERT_TRUE (holder.isHolding());

    SerialPort port;
    EXPECT_FALSE (port.open (terminal.slave));
    const auto line = describePortOpenFailure (port.getDevicePath(), port.getOpenError());
    EXPECT_TRUE (line.contains ("bad?name?[2J (process " + juce::String (holder.getPid()) + ")")) << line;
    EXPECT_FALSE (line.containsAnyOf ("\n\r\x1b"));
}

TEST (PortOpenFailureTest, BusyWithoutAVisibleHolderStillSaysSo)
{
    EXPECT_EQ (describePortOpenFailure ("/nonexistent/ttyACM0", EBUSY),
               "/nonexistent/ttyACM0: Device or resource busy. " + busyHint + "; close it and connect again.");
}
