// The production line's command-line modes: which command lines name a mode, what
// path getmac uses, and the exit status against nubo-devsim.

#include "AppTestSupport.h"

#include "app/CommandLineModes.h"

using namespace apptest;
using Mode = CommandLineModes::Mode;

TEST (CommandLineModes, OnlyTheExactFirstTokenNamesAMode)
{
    const std::pair<const char*, Mode> cases[] = {
        {"auto", Mode::autoUpdate},
        {"auto extra tokens", Mode::autoUpdate},
        {"getmac /tmp/mac.txt", Mode::getMac},
        {"getmac", Mode::getMac},
        {"", Mode::none},
        {"AUTO", Mode::none},
        {"Auto", Mode::none},
        {"GetMac /tmp/mac.txt", Mode::none},
        {"automatic", Mode::none},
        {"\"auto\"", Mode::none},
        {"/tmp/mac.txt getmac", Mode::none},
    };
    for (auto& [commandLine, mode] : cases)
        EXPECT_EQ (CommandLineModes::modeOf (CommandLineModes::tokenise (commandLine)), mode) << commandLine;
}

TEST (CommandLineModes, GetmacPathLosesItsQuotesAndIsTakenFromTheCurrentFolder)
{
    const auto cwd = juce::File::getCurrentWorkingDirectory();
    const std::pair<juce::String, juce::String> cases[] = {
        {"getmac /tmp/mac.txt", "/tmp/mac.txt"},
        // JUCE quotes an argument with blanks when it rebuilds the command line.
        {"getmac \"/tmp/a folder/mac address.txt\"", "/tmp/a folder/mac address.txt"},
        {"getmac \"/tmp/a folder/mac.txt\" ignored", "/tmp/a folder/mac.txt"},
        {"getmac", ""},
        {"getmac  /tmp/mac.txt", ""}, // two blanks: the second token is empty
        {"getmac macs/1.txt", cwd.getChildFile ("macs/1.txt").getFullPathName()},
    };
    for (auto& [commandLine, path] : cases)
        EXPECT_EQ (CommandLineModes::localPathOf (CommandLineModes::tokenise (commandLine)), path) << commandLine;
}

namespace
{
class CommandLineRunTest : public ::testing::Test
{
protected:
    ScopedSettingsFolder settings;
    AnsweredMessageBoxes boxes;
};
} // namespace

TEST_F (CommandLineRunTest, NoModeLeavesTheProgramInteractive)
{
    TempFolder empty;
    ScopedEnvironment root ("NUBO_DEVICE_ROOT", empty.get().getFullPathName());
    Window w;
    for (auto* commandLine : {"", "AUTO", "getMAC /tmp/x", "--help"})
        EXPECT_FALSE (CommandLineModes::run (commandLine, w.connection()).has_value()) << commandLine;
    EXPECT_EQ (w.logText(), "");
    EXPECT_TRUE (boxes.shown.empty());
}

TEST_F (CommandLineRunTest, GetmacWithAnEmptyPathFails)
{
    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    settings.write ({{Settings::lastPortKey, simulatedPortName}});

    Window w;
    EXPECT_EQ (CommandLineModes::run ("getmac  /tmp/ignored.txt", w.connection()), -1) << w.logText();
    EXPECT_TRUE (
        appearInOrder (w.logLines(), {"Successfully opened port", "Reading Mac file...", "Failed to read mac file"}))
        << w.logText();
    ASSERT_EQ (boxes.shown.size(), 1u);
    EXPECT_EQ (boxes.shown[0].icon, MessageBoxes::Icon::warning);
}
