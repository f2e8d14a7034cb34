#pragma once

#include "serial/PresentSerialPort.h"

#include <juce_core/juce_core.h>

#include <vector>

/** The present serial ports as pairs of friendly name (the key, compared ignoring case)
    and port name. deviceFilter 0 keeps every port, 1 only the device's (hardware ID
    "USB\Vid_7A3C&Pid_0511&Rev_0100"); a port the filter rejects is logged as
    "Ignoring " and its hardware ID, unless logIgnored is false (a list that follows
    the hardware is made again at every change). */
juce::StringPairArray enumerateSerialPorts (int deviceFilter, bool logIgnored = true);

/** The pairs enumerateSerialPorts makes from a list of ports: the filter, the log line and
    the rule that a later port whose friendly name repeats an earlier one (ignoring case)
    replaces its port name in place. */
juce::StringPairArray selectSerialPorts (const std::vector<PresentSerialPort>& ports, int deviceFilter,
                                         bool logIgnored = true);

/** The ports enumerateSerialPorts would offer, with everything discovery knows about
    each (device path, USB IDs and serial number): the same filter, log lines, order
    and friendly names. A later port whose friendly name repeats an earlier one
    (ignoring case) takes the earlier one's place and keeps its friendly name. */
std::vector<PresentSerialPort> enumerateSerialPortDetails (int deviceFilter);

/** The ports enumerateSerialPortDetails makes from a list of ports. */
std::vector<PresentSerialPort> selectSerialPortDetails (const std::vector<PresentSerialPort>& ports, int deviceFilter,
                                                        bool logIgnored = true);

/** Whether a port with this hardware ID passes the filter: the whole text, ignoring case.
    An unknown filter passes nothing. */
bool passesSerialPortFilter (const juce::String& hardwareId, int deviceFilter);
