#include "serial/SerialPortDiscovery.h"

#include "log/GlobalLog.h"

#include <algorithm>

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

std::vector<PresentSerialPort> selectSerialPortDetails (const std::vector<PresentSerialPort>& ports, int deviceFilter,
                                                        bool logIgnored)
{
    std::vector<PresentSerialPort> result;
    for (auto& port : ports)
    {
        if (!passesSerialPortFilter (port.hardwareId, deviceFilter))
        {
            if (logIgnored)
                globalLog ("Ignoring " + port.hardwareId);
            continue;
        }

        // As StringPairArray::set does: the first key's text and place, the later value.
        auto same = std::find_if (result.begin(), result.end(),
                                  [&port] (const PresentSerialPort& p)
                                  { return p.friendlyName.equalsIgnoreCase (port.friendlyName); });
        if (same == result.end())
        {
            result.push_back (port);
        }
        else
        {
            const auto firstName = same->friendlyName;
            *same = port;
            same->friendlyName = firstName;
        }
    }
    return result;
}

juce::StringPairArray selectSerialPorts (const std::vector<PresentSerialPort>& ports, int deviceFilter, bool logIgnored)
{
    juce::StringPairArray result (true);
    for (auto& port : selectSerialPortDetails (ports, deviceFilter, logIgnored))
        result.set (port.friendlyName, port.portName);
    return result;
}

juce::StringPairArray enumerateSerialPorts (int deviceFilter, bool logIgnored)
{
    return selectSerialPorts (listPresentSerialPorts(), deviceFilter, logIgnored);
}

std::vector<PresentSerialPort> enumerateSerialPortDetails (int deviceFilter)
{
    return selectSerialPortDetails (listPresentSerialPorts(), deviceFilter);
}
