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
};

/** The serial ports present now, in a repeatable order; empty when the platform cannot
    tell. Each platform supplies it (serial/linux/ for Linux). */
std::vector<PresentSerialPort> listPresentSerialPorts();
