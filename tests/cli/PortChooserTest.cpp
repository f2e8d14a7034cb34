#include "cli/PortChooser.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace
{
PresentSerialPort port (const juce::String& tty, const juce::String& id = "USB\\Vid_7A3C&Pid_0511&Rev_0100",
                        const juce::String& folder = "/dev")
{
    PresentSerialPort p;
    p.friendlyName = "Nubo Device (" + tty + ")";
    p.portName = folder + "/" + tty;
    p.hardwareId = id;
    return p;
}

juce::String paths (const PortChooser::Choice& choice)
{
    juce::StringArray list;
    for (auto& p : choice.ports)
        list.add (p.devicePath + "=" + p.label);
    return list.joinIntoString (" ");
}
} // namespace

TEST (PortChooserTest, PicksByEachFormOnceEach)
{
    const std::vector<PresentSerialPort> nubo{port ("ttyACM0"), port ("ttyACM1")};
    auto everyPort = nubo;
    everyPort.push_back (port ("ttyUSB0", "USB\\Vid_0403&Pid_6001&Rev_0600"));

    struct Case
    {
        juce::StringArray requested;
        bool all;
        juce::String expected;
    };
    const Case cases[] = {
        {{"NUBO DEVICE (ttyacm1)"}, false, "/dev/ttyACM1=ttyACM1"},
        {{"ttyACM1", "/dev/ttyACM0"}, false, "/dev/ttyACM1=ttyACM1 /dev/ttyACM0=ttyACM0"},
        {{"ttyACM0"}, true, "/dev/ttyACM0=ttyACM0 /dev/ttyACM1=ttyACM1"},
        {{}, true, "/dev/ttyACM0=ttyACM0 /dev/ttyACM1=ttyACM1"},
    };
    for (auto& c : cases)
    {
        const auto choice = PortChooser::choose (c.requested, c.all, nubo, everyPort);
        EXPECT_EQ (paths (choice), c.expected) << c.requested.joinIntoString (",");
        EXPECT_TRUE (choice.error.isEmpty());
        EXPECT_TRUE (choice.warnings.isEmpty());
    }
}

TEST (PortChooserTest, RefusesWhatIsNotThereOrAmbiguous)
{
    const std::vector<PresentSerialPort> two{port ("ttyACM0"), port ("ttyACM1")};
    const std::vector<PresentSerialPort> foreign{port ("ttyUSB0", "USB\\Vid_0403&Pid_6001&Rev_0600")};

    auto choice = PortChooser::choose ({}, false, two, two);
    EXPECT_TRUE (choice.ports.empty());
    EXPECT_TRUE (choice.error.startsWith ("several Nubo devices found"));

    choice = PortChooser::choose ({}, false, {}, foreign);
    EXPECT_EQ (choice.error, "no Nubo device found\nOther serial ports found:\n  Nubo Device (ttyUSB0)\t/dev/ttyUSB0");

    choice = PortChooser::choose ({}, true, {}, {});
    EXPECT_EQ (choice.error, "no Nubo device found\nNo serial ports found.");

    // A foreign port by its friendly name is refused; by tty name or path it opens, with a warning.
    choice = PortChooser::choose ({"Nubo Device (ttyUSB0)"}, false, two, foreign);
    EXPECT_TRUE (choice.ports.empty());
    choice = PortChooser::choose ({"ttyUSB0"}, false, two, foreign);
    EXPECT_EQ (paths (choice), "/dev/ttyUSB0=ttyUSB0");
    EXPECT_EQ (choice.warnings,
               juce::StringArray ("warning: /dev/ttyUSB0 is not a Nubo device (USB\\Vid_0403&Pid_6001&Rev_0600); "
                                  "opening it anyway"));
    choice = PortChooser::choose ({"/dev/serial/by-id/x"}, false, two, foreign);
    EXPECT_EQ (paths (choice), "/dev/serial/by-id/x=x");
    EXPECT_EQ (choice.warnings.size(), 1);
}

TEST (PortChooserTest, OneDeviceNamedTwiceIsOneDevice)
{
    // Real files, so that a link and a spelling with "." resolve to the one device.
    TempFolder scratch;
    const auto dev = (scratch / "dev").getFullPathName();
    ASSERT_TRUE ((scratch / "dev").createDirectory().wasOk());
    ASSERT_TRUE ((scratch / "dev/ttyACM0").create().wasOk());
    ASSERT_TRUE ((scratch / "dev/ttyACM1").create().wasOk());
    ASSERT_TRUE ((scratch / "dev/ttyACM0").createSymbolicLink (scratch / "by-id", false));

    const auto id = juce::String ("USB\\Vid_7A3C&Pid_0511&Rev_0100");
    const std::vector<PresentSerialPort> nubo{port ("ttyACM0", id, dev), port ("ttyACM1", id, dev)};
    const auto first = dev + "/ttyACM0=ttyACM0";

    const juce::StringArray cases[] = {
        {"ttyACM0", dev + "/./ttyACM0"},
        {dev + "//ttyACM0", "ttyACM0"},
        {"ttyACM0", (scratch / "by-id").getFullPathName()},
        {(scratch / "by-id").getFullPathName(), "Nubo Device (ttyACM0)"},
        {"ttyACM0", dev + "/../dev/ttyACM0"},
    };
    for (auto& requested : cases)
    {
        const auto choice = PortChooser::choose (requested, false, nubo, nubo);
        EXPECT_EQ (paths (choice), first) << requested.joinIntoString (",");
        EXPECT_TRUE (choice.warnings.isEmpty()) << choice.warnings.joinIntoString ("\n");
        EXPECT_TRUE (choice.error.isEmpty()) << choice.error;
    }

    // With --all, a second spelling adds nothing either; the other device stays.
    auto choice = PortChooser::choose ({dev + "/./ttyACM1"}, true, nubo, nubo);
    EXPECT_EQ (paths (choice), first + " " + dev + "/ttyACM1=ttyACM1");

    // Paths that lead nowhere are still compared as tidied text.
    choice = PortChooser::choose ({"/nowhere/x", "/nowhere//./x"}, false, nubo, nubo);
    EXPECT_EQ (paths (choice), "/nowhere/x=x");
}
