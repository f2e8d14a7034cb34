#pragma once

#include "serial/PresentSerialPort.h"

#include <juce_core/juce_core.h>

#include <vector>

/** A port a command is to run on. */
struct ChosenPort
{
    juce::String friendlyName; ///< empty for a path that discovery does not offer
    juce::String devicePath;   ///< what SerialPort::open takes
    juce::String label;        ///< short name for line prefixes and file names, e.g. "ttyACM0"
    juce::String usbSerial;    ///< the USB device's serial number; empty when it has none or is unknown
};

/** Picks the ports for a command from -p values and --all, with discovery's list of
    Nubo devices: a -p value may be a friendly name, a tty name or a device path. */
class PortChooser final
{
public:
    struct Choice
    {
        std::vector<ChosenPort> ports;
        juce::StringArray warnings;
        juce::String error; ///< set when no port could be chosen; several lines may follow
    };

    /** Without -p and --all, the one Nubo device present; otherwise what was asked for. */
    static Choice choose (const juce::StringArray& requested, bool all);

    /** The same, from given lists (Nubo devices, every serial port) instead of discovery. */
    static Choice choose (const juce::StringArray& requested, bool all, const std::vector<PresentSerialPort>& nubo,
                          const std::vector<PresentSerialPort>& everyPort);

    /** One line about a port: friendly name, device path, USB IDs, serial number. */
    static juce::String describe (const PresentSerialPort& port);

private:
    PortChooser() = delete;
};
