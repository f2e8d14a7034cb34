#include "TestSupport.h"

#include "serial/SerialPortDiscovery.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace
{
/** A device root laid out as the kernel lays out sysfs, relative links included. */
class SerialPortDiscoveryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv ("NUBO_DEVICE_ROOT", root.get().getFullPathName().toRawUTF8(), 1);
        for (auto bus : {"usb", "usb-serial", "platform", "pnp"})
            (root / (juce::String ("sys/bus/") + bus)).createDirectory();
    }

    void TearDown() override
    {
        unsetenv ("NUBO_DEVICE_ROOT");
    }

    void write (const juce::String& path, const juce::String& text)
    {
        (root / path).getParentDirectory().createDirectory();
        (root / path).replaceWithText (text + "\n");
    }

    void link (const juce::String& path, const juce::String& target)
    {
        (root / path).getParentDirectory().createDirectory();
        std::filesystem::create_symlink (target.toStdString(), (root / path).getFullPathName().toStdString());
    }

    /** A terminal on another bus; its device folder is sys/devices/<device>. */
    void addTerminal (const juce::String& tty, const juce::String& device, const juce::String& bus)
    {
        const auto up = juce::String::repeatedString ("../", device.retainCharacters ("/").length() + 2);
        link ("sys/devices/" + device + "/subsystem", up + "bus/" + bus);
        link ("sys/devices/" + device + "/tty/" + tty + "/device",
              "../../../" + device.fromLastOccurrenceOf ("/", false, false));
        link ("sys/class/tty/" + tty, "../../devices/" + device + "/tty/" + tty);
    }

    /** The terminal's device is the USB interface (CDC-ACM), or a port folder under it (adapter). */
    void addUsbPort (const juce::String& tty, const juce::String& usb, const juce::String& vendor,
                     const juce::String& rev, const juce::String& product, bool adapter = false)
    {
        const auto device = "pci0000:00/0000:00:14.0/usb1/" + usb;
        write ("sys/devices/" + device + "/idVendor", vendor);
        write ("sys/devices/" + device + "/idProduct", "0511");
        write ("sys/devices/" + device + "/bcdDevice", rev);
        write ("sys/devices/" + device + "/manufacturer", "Nubo");
        if (product.isNotEmpty())
            write ("sys/devices/" + device + "/product", product);
        addTerminal (tty, device + "/" + usb + ":1.0" + (adapter ? "/" + tty : juce::String()),
                     adapter ? "usb-serial" : "usb");
        write ("dev/" + tty, {});
    }

    juce::StringArray listed (int filter) const
    {
        const auto ports = enumerateSerialPorts (filter);
        juce::StringArray pairs;
        for (int i = 0; i < ports.size(); ++i)
            pairs.add (ports.getAllKeys()[i] + " -> " +
                       ports.getAllValues()[i].fromLastOccurrenceOf (root.get().getFileName(), false, false));
        return pairs;
    }

    TempFolder root;
    CapturingLogger logger;
};
} // namespace

TEST_F (SerialPortDiscoveryTest, ListsOnlyTheDeviceAndLogsOtherPorts)
{
    addUsbPort ("ttyACM2", "1-2", "7a3c", "0100", "Nubo Device");
    addUsbPort ("ttyUSB0", "1-3", "0403", "0600", "FT232R USB UART", true);
    addUsbPort ("ttyACM10", "1-4", "7A3C", "0100", {}); // upper-case hex reads the same; 10 after 2
    addTerminal ("ttyS4", "pnp0/00:04", "pnp");
    // No ports: a platform UART, a console without device, a virtual terminal with one.
    addTerminal ("ttyS0", "platform/serial8250", "platform");
    addTerminal ("ttyGS0", "virtual/gadget", "usb");
    (root / "sys/devices/virtual/tty/tty0").createDirectory();
    link ("sys/class/tty/tty0", "../../devices/virtual/tty/tty0");

    EXPECT_EQ (listed (1), juce::StringArray ("Nubo Device (ttyACM2) -> /dev/ttyACM2",
                                              "USB Serial Device (ttyACM10) -> /dev/ttyACM10"));
    EXPECT_EQ (logger.lines(), juce::StringArray ("Ignoring PNP", "Ignoring USB\\Vid_0403&Pid_0511&Rev_0600"));

    logger.clear();
    EXPECT_EQ (listed (0).size(), 4);
    EXPECT_TRUE (logger.lines().isEmpty());
}

TEST_F (SerialPortDiscoveryTest, FilterTakesTheWholeIdIgnoringCase)
{
    addUsbPort ("ttyACM0", "1-2", "7a3c", "0101", "Nubo Device");
    EXPECT_TRUE (listed (1).isEmpty());
    EXPECT_EQ (logger.lines(), juce::StringArray ("Ignoring USB\\Vid_7A3C&Pid_0511&Rev_0101"));

    // sysfs cannot spell an ID with something appended; the rule itself can be asked.
    const juce::String nuboId ("USB\\Vid_7A3C&Pid_0511&Rev_0100");
    EXPECT_TRUE (passesSerialPortFilter (nuboId.toLowerCase(), 1));
    EXPECT_FALSE (passesSerialPortFilter (nuboId + "&MI_00", 1));
    EXPECT_FALSE (passesSerialPortFilter (nuboId.dropLastCharacters (1), 1));
}

TEST_F (SerialPortDiscoveryTest, FriendlyNamesDifferingInCaseMakeOnePair)
{
    addUsbPort ("ttyACM0", "1-2", "7a3c", "0100", "NUBO DEVICE");
    addUsbPort ("ttyACM1", "1-3", "7a3c", "0100", "Other");
    addUsbPort ("ttyacm0", "1-4", "7a3c", "0100", "Nubo Device");
    EXPECT_EQ (listed (1),
               juce::StringArray ("NUBO DEVICE (ttyACM0) -> /dev/ttyacm0", "Other (ttyACM1) -> /dev/ttyACM1"));
}

TEST_F (SerialPortDiscoveryTest, MissingRootGivesNothingAndLogsNothing)
{
    EXPECT_TRUE (listed (1).isEmpty()); // a sysfs without terminals
    setenv ("NUBO_DEVICE_ROOT", (root / "absent").getFullPathName().toRawUTF8(), 1);
    EXPECT_TRUE (listed (0).isEmpty());
    EXPECT_TRUE (logger.lines().isEmpty());
}

TEST_F (SerialPortDiscoveryTest, DetailsListTheSamePortsWithUsbIdsAndSerialNumbers)
{
    addUsbPort ("ttyACM0", "1-2", "7a3c", "0100", "NUBO DEVICE");
    addUsbPort ("ttyUSB0", "1-3", "0403", "0600", "FT232R USB UART", true);
    addUsbPort ("ttyacm0", "1-4", "7A3C", "0100", "Nubo Device"); // replaces the first in place
    write ("sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/serial", "A1B2");

    const auto ports = enumerateSerialPortDetails (1);
    ASSERT_EQ (ports.size(), 1u);
    EXPECT_EQ (ports[0].friendlyName, "NUBO DEVICE (ttyACM0)");
    EXPECT_TRUE (ports[0].portName.endsWith ("/dev/ttyacm0"));
    EXPECT_EQ (ports[0].vendorId + ":" + ports[0].productId + ":" + ports[0].revision, "7a3c:0511:0100");
    EXPECT_EQ (ports[0].serialNumber, "A1B2");
    EXPECT_EQ (ports[0].usbPath, "1-4"); // the slot: where it is plugged, not its tty
    EXPECT_EQ (logger.lines(), juce::StringArray ("Ignoring USB\\Vid_0403&Pid_0511&Rev_0600"));

    const auto all = enumerateSerialPortDetails (0);
    ASSERT_EQ (all.size(), 2u);
    EXPECT_EQ (all[1].friendlyName, "FT232R USB UART (ttyUSB0)");
    EXPECT_EQ (all[1].vendorId, "0403");
    EXPECT_EQ (all[1].serialNumber, ""); // none reported
    EXPECT_EQ (all[1].usbPath, "1-3");

    // The pairs the port box shows are the same ports.
    EXPECT_EQ (listed (1), juce::StringArray ("NUBO DEVICE (ttyACM0) -> /dev/ttyacm0"));
}
