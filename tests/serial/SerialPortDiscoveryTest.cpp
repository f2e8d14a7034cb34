#include "TestSupport.h"

#include "serial/SerialPortDiscovery.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace
{
/** A device root laid out as the kernel lays out sysfs, in a temporary folder. */
class FakeDeviceRoot
{
public:
    juce::String path() const
    {
        return folder.get().getFullPathName();
    }

    void write (const juce::String& relative, const juce::String& text) const
    {
        auto file = folder / relative;
        file.getParentDirectory().createDirectory();
        file.replaceWithText (text);
    }

    void makeFolder (const juce::String& relative) const
    {
        (folder / relative).createDirectory();
    }

    /** A relative link, as sysfs has them: relative is where it lives, target as written. */
    void link (const juce::String& relative, const juce::String& target) const
    {
        const auto at = folder / relative;
        at.getParentDirectory().createDirectory();
        std::error_code error;
        fs::create_symlink (target.toStdString(), at.getFullPathName().toStdString(), error);
        ASSERT_FALSE (error) << relative;
    }

    /** The bus folders that subsystem links point at. */
    void addBuses() const
    {
        for (auto bus : { "usb", "usb-serial", "platform", "pnp" })
            makeFolder (juce::String ("sys/bus/") + bus);
    }

    /** A CDC-ACM port: the tty's device is the USB interface folder. */
    void addAcmPort (const juce::String& tty, const juce::String& usbPort, const juce::String& vendor,
                     const juce::String& product, const juce::String& revision, const juce::String* productName) const
    {
        const auto usbDevice = "sys/devices/pci0000:00/0000:00:14.0/usb1/" + usbPort;
        const auto interface = usbDevice + "/" + usbPort + ":1.0";
        write (usbDevice + "/idVendor", vendor + "\n");
        write (usbDevice + "/idProduct", product + "\n");
        write (usbDevice + "/bcdDevice", revision + "\n");
        write (usbDevice + "/manufacturer", "Nubo\n");
        write (usbDevice + "/serial", "0123456789\n");
        if (productName != nullptr)
            write (usbDevice + "/product", *productName + "\n");
        link (interface + "/subsystem", "../../../../../../bus/usb");
        link (interface + "/tty/" + tty + "/device", "../../../" + usbPort + ":1.0");
        link ("sys/class/tty/" + tty, "../../devices/pci0000:00/0000:00:14.0/usb1/" + usbPort + "/" + usbPort + ":1.0/tty/" + tty);
        write ("dev/" + tty, "");
    }

    /** A USB-serial adapter: the tty's device is a port folder under the interface. */
    void addUsbSerialAdapter() const
    {
        const juce::String usbDevice = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";
        const auto portFolder = usbDevice + "/1-3:1.0/ttyUSB0";
        write (usbDevice + "/idVendor", "0403\n");
        write (usbDevice + "/idProduct", "6001\n");
        write (usbDevice + "/bcdDevice", "0600\n");
        write (usbDevice + "/product", "FT232R USB UART\n");
        link (portFolder + "/subsystem", "../../../../../../../bus/usb-serial");
        link (portFolder + "/tty/ttyUSB0/device", "../../../ttyUSB0");
        link ("sys/class/tty/ttyUSB0", "../../devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB0/tty/ttyUSB0");
        write ("dev/ttyUSB0", "");
    }

    /** Terminals that are no ports: a console without device, a virtual one with a
        device link anyway, and a legacy UART the platform declares. */
    void addNonPorts() const
    {
        makeFolder ("sys/devices/virtual/tty/tty0");
        link ("sys/class/tty/tty0", "../../devices/virtual/tty/tty0");

        makeFolder ("sys/devices/virtual/misc/gadget");
        link ("sys/devices/virtual/tty/ttyGS0/device", "../../misc/gadget");
        link ("sys/class/tty/ttyGS0", "../../devices/virtual/tty/ttyGS0");

        link ("sys/devices/platform/serial8250/subsystem", "../../../bus/platform");
        link ("sys/devices/platform/serial8250/tty/ttyS0/device", "../../../serial8250");
        link ("sys/class/tty/ttyS0", "../../devices/platform/serial8250/tty/ttyS0");
    }

    /** An on-board UART on another bus: listed, but never the device. */
    void addPnpPort() const
    {
        link ("sys/devices/pnp0/00:04/subsystem", "../../../bus/pnp");
        link ("sys/devices/pnp0/00:04/tty/ttyS4/device", "../../../00:04");
        link ("sys/class/tty/ttyS4", "../../devices/pnp0/00:04/tty/ttyS4");
    }

private:
    TempFolder folder;
};

class SerialPortDiscoveryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (const char* previous = std::getenv ("NUBO_DEVICE_ROOT"))
            savedRoot = std::make_unique<std::string> (previous);
        setenv ("NUBO_DEVICE_ROOT", root.path().toRawUTF8(), 1);
        root.addBuses();
    }

    void TearDown() override
    {
        if (savedRoot != nullptr)
            setenv ("NUBO_DEVICE_ROOT", savedRoot->c_str(), 1);
        else
            unsetenv ("NUBO_DEVICE_ROOT");
    }

    juce::String dev (const juce::String& tty) const
    {
        return root.path() + "/dev/" + tty;
    }

    static juce::StringArray pairsOf (const juce::StringPairArray& ports)
    {
        juce::StringArray pairs;
        for (int i = 0; i < ports.size(); ++i)
            pairs.add (ports.getAllKeys()[i] + " -> " + ports.getAllValues()[i]);
        return pairs;
    }

    FakeDeviceRoot root;
    CapturingLogger logger;
    std::unique_ptr<std::string> savedRoot;
    const juce::String nuboProduct { "Nubo Device" };
};
} // namespace

TEST_F (SerialPortDiscoveryTest, ListsOnlyTheDeviceAndLogsTheOthers)
{
    root.addAcmPort ("ttyACM0", "1-2", "7a3c", "0511", "0100", &nuboProduct);
    root.addUsbSerialAdapter();
    root.addNonPorts();
    root.addPnpPort();

    const auto ports = enumerateSerialPorts (1);
    EXPECT_EQ (pairsOf (ports), juce::StringArray ("Nubo Device (ttyACM0) -> " + dev ("ttyACM0")));
    EXPECT_EQ (logger.lines(), juce::StringArray ("Ignoring PNP", "Ignoring USB\\Vid_0403&Pid_6001&Rev_0600"));
}

TEST_F (SerialPortDiscoveryTest, WithoutFilterListsEveryPresentPortByName)
{
    root.addUsbSerialAdapter();
    root.addAcmPort ("ttyACM10", "1-4", "1234", "abcd", "0001", nullptr);
    root.addAcmPort ("ttyACM2", "1-2", "7A3C", "0511", "0100", &nuboProduct);
    root.addNonPorts();
    root.addPnpPort();

    const auto ports = enumerateSerialPorts (0);
    EXPECT_EQ (pairsOf (ports), juce::StringArray ("Nubo Device (ttyACM2) -> " + dev ("ttyACM2"),
                                                   "USB Serial Device (ttyACM10) -> " + dev ("ttyACM10"),
                                                   "USB Serial Device (ttyS4) -> " + dev ("ttyS4"),
                                                   "FT232R USB UART (ttyUSB0) -> " + dev ("ttyUSB0")));
    EXPECT_TRUE (logger.lines().isEmpty());

    // Upper-case hex in sysfs reads the same; the device is found either way.
    EXPECT_EQ (enumerateSerialPorts (1).size(), 1);
}

TEST_F (SerialPortDiscoveryTest, EmptyProductGetsGenericName)
{
    const juce::String empty;
    root.addAcmPort ("ttyACM0", "1-2", "7a3c", "0511", "0100", &empty);
    EXPECT_EQ (pairsOf (enumerateSerialPorts (1)), juce::StringArray ("USB Serial Device (ttyACM0) -> " + dev ("ttyACM0")));
}

TEST_F (SerialPortDiscoveryTest, OtherRevisionIsNotTheDevice)
{
    root.addAcmPort ("ttyACM0", "1-2", "7a3c", "0511", "0101", &nuboProduct);
    EXPECT_EQ (enumerateSerialPorts (1).size(), 0);
    EXPECT_EQ (logger.lines(), juce::StringArray ("Ignoring USB\\Vid_7A3C&Pid_0511&Rev_0101"));
}

TEST_F (SerialPortDiscoveryTest, MissingRootGivesNothingAndLogsNothing)
{
    setenv ("NUBO_DEVICE_ROOT", (root.path() + "/absent").toRawUTF8(), 1);
    EXPECT_EQ (enumerateSerialPorts (1).size(), 0);
    EXPECT_EQ (enumerateSerialPorts (0).size(), 0);

    // A root with a sysfs but no terminals at all.
    setenv ("NUBO_DEVICE_ROOT", root.path().toRawUTF8(), 1);
    EXPECT_EQ (enumerateSerialPorts (1).size(), 0);
    EXPECT_TRUE (logger.lines().isEmpty());
}

TEST_F (SerialPortDiscoveryTest, FilterComparesWholeTextIgnoringCase)
{
    const std::vector<PresentSerialPort> ports {
        { "A (ttyACM0)", "usb\\vid_7a3c&pid_0511&rev_0100", "/dev/ttyACM0" },
        { "B (ttyACM1)", "USB\\Vid_7A3C&Pid_0511&Rev_0100&MI_00", "/dev/ttyACM1" },
        { "C (ttyACM2)", "USB\\Vid_7A3C&Pid_0511&Rev_010", "/dev/ttyACM2" },
        { "D (ttyACM3)", "", "/dev/ttyACM3" },
    };

    EXPECT_EQ (pairsOf (selectSerialPorts (ports, 1)), juce::StringArray ("A (ttyACM0) -> /dev/ttyACM0"));
    EXPECT_EQ (logger.lines(), juce::StringArray ("Ignoring USB\\Vid_7A3C&Pid_0511&Rev_0100&MI_00",
                                                  "Ignoring USB\\Vid_7A3C&Pid_0511&Rev_010", "Ignoring "));

    logger.clear();
    EXPECT_EQ (selectSerialPorts (ports, 0).size(), 4);
    EXPECT_TRUE (logger.lines().isEmpty());
    EXPECT_FALSE (passesSerialPortFilter ("USB\\Vid_7A3C&Pid_0511&Rev_0100", 2));
}

TEST_F (SerialPortDiscoveryTest, FriendlyNamesDifferingInCaseMakeOnePair)
{
    const std::vector<PresentSerialPort> ports {
        { "Nubo Device (ttyACM0)", "USB\\Vid_7A3C&Pid_0511&Rev_0100", "/dev/ttyACM0" },
        { "Other (ttyACM1)", "USB\\Vid_7A3C&Pid_0511&Rev_0100", "/dev/ttyACM1" },
        { "NUBO DEVICE (TTYACM0)", "USB\\Vid_7A3C&Pid_0511&Rev_0100", "/dev/ttyACM7" },
    };
    const auto pairs = selectSerialPorts (ports, 1);
    EXPECT_EQ (pairsOf (pairs), juce::StringArray ("Nubo Device (ttyACM0) -> /dev/ttyACM7", "Other (ttyACM1) -> /dev/ttyACM1"));
    EXPECT_EQ (pairs["nubo device (ttyacm0)"], "/dev/ttyACM7");

    // The same from sysfs: two devices whose products and terminal names differ in case only.
    const juce::String shouting ("NUBO DEVICE");
    root.addAcmPort ("TTYACM0", "1-5", "7a3c", "0511", "0100", &shouting);
    root.addAcmPort ("ttyACM0", "1-2", "7a3c", "0511", "0100", &nuboProduct);
    EXPECT_EQ (pairsOf (enumerateSerialPorts (1)), juce::StringArray ("NUBO DEVICE (TTYACM0) -> " + dev ("ttyACM0")));
}
