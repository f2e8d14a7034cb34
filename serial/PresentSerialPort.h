#pragma once

#include <juce_core/juce_core.h>

#include <vector>

/** What the platform tells about one serial port that is present. */
struct PresentSerialPort
{
    juce::String friendlyName; ///< what the user sees, e.g. "Nubo Device (ttyACM0)"
    juce::String hardwareId;   ///< e.g. "USB\Vid_7A3C&Pid_0511&Rev_0100"
    juce::String portName;     ///< what SerialPort::open takes

    // The USB device behind the port, when it is on USB: IDs as four hex digits,
    // the serial number empty when the device reports none.
    juce::String vendorId, productId, revision, serialNumber;

    /** Where the USB device is plugged, as sysfs names it ("1-2.3": bus 1, port 2 of the
        root hub, port 3 of the hub there); the same whatever tty number the port gets.
        Empty for a port that is not on USB. */
    juce::String usbPath;

    /** Tells one appearance of the port from the next: a unit unplugged and plugged in
        again, or restarted, gets another, even where its tty name and device node are the
        same again. Empty when the platform cannot tell. */
    juce::String appearance;
};

/** The serial ports present now, in a repeatable order; empty when the platform cannot
    tell. Each platform supplies it (serial/linux/ for Linux). */
std::vector<PresentSerialPort> listPresentSerialPorts();
