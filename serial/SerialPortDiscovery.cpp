#include "serial/SerialPortDiscovery.h"

#include "log/GlobalLog.h"

namespace
{
// Indexed by the device filter; the first text is never compared.
const char* const filterTexts[] = {
    "All Devices",
    "USB\\Vid_7A3C&Pid_0511&Rev_0100",
};
} // namespace

bool passesSerialPortFilter (const juce::String& hardwareId, int deviceFilter)
{
    if (deviceFilter == 0)
        return true;
    if (deviceFilter < 0 || deviceFilter >= (int) juce::numElementsInArray (filterTexts))
        return false;
    return hardwareId.equalsIgnoreCase (filterTexts[deviceFilter]);
}

juce::StringPairArray selectSerialPorts (const std::vector<PresentSerialPort>& ports, int deviceFilter, bool logIgnored)
{
    juce::StringPairArray result (true);
    for (auto& port : ports)
    {
        if (passesSerialPortFilter (port.hardwareId, deviceFilter))
            result.set (port.friendlyName, port.portName);
        else if (logIgnored)
            globalLog ("Ignoring " + port.hardwareId);
    }
    return result;
}

juce::StringPairArray enumerateSerialPorts (int deviceFilter, bool logIgnored)
{
    return selectSerialPorts (listPresentSerialPorts(), deviceFilter, logIgnored);
}
