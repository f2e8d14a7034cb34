#include "cli/PortChooser.h"

#include "cli/JsonOutput.h"
#include "log/GlobalLog.h"
#include "serial/SerialPortDiscovery.h"

#include <climits>
#include <cstdlib>

namespace
{
constexpr int everyPortFilter = 0;
constexpr int nuboOnlyFilter = 1;

/** The one name of the file a path leads to, so that two spellings of one device
    (ttyACM0 and /dev/./ttyACM0, or a link to it) are seen as one and it is not opened
    twice. A path that cannot be resolved is tidied as text: no ".", "..", repeated "/". */
juce::String realPathOf (const juce::String& path)
{
    char resolved[PATH_MAX];
    if (::realpath (path.toRawUTF8(), resolved) != nullptr)
        return juce::String::fromUTF8 (resolved);

    juce::StringArray parts;
    for (auto& part : juce::StringArray::fromTokens (path, "/", {}))
    {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == ".." && !parts.isEmpty() && parts[parts.size() - 1] != "..")
            parts.remove (parts.size() - 1);
        else if (part != ".." || !path.startsWithChar ('/'))
            parts.add (part);
    }
    return (path.startsWithChar ('/') ? "/" : "") + parts.joinIntoString ("/");
}

juce::String ttyNameOf (const juce::String& path)
{
    return path.fromLastOccurrenceOf ("/", false, false);
}

ChosenPort chosen (const PresentSerialPort& port)
{
    return {port.friendlyName, port.portName, ttyNameOf (port.portName), port.serialNumber};
}

const PresentSerialPort* find (const std::vector<PresentSerialPort>& ports, const juce::String& wanted)
{
    // Friendly names as the port box compares them, ignoring case; tty names and paths exactly.
    for (auto& port : ports)
        if (port.friendlyName.equalsIgnoreCase (wanted))
            return &port;
    for (auto& port : ports)
        if (ttyNameOf (port.portName) == wanted || port.portName == wanted)
            return &port;
    if (wanted.containsChar ('/'))
        for (auto& port : ports)
            if (realPathOf (port.portName) == realPathOf (wanted))
                return &port;
    return nullptr;
}

juce::String listing (const juce::String& heading, const std::vector<PresentSerialPort>& ports)
{
    juce::String text = heading;
    for (auto& port : ports)
        text << "\n  " << PortChooser::describe (port);
    return text;
}

juce::String whatWasFound (const std::vector<PresentSerialPort>& nubo, const std::vector<PresentSerialPort>& all)
{
    if (!nubo.empty())
        return listing ("Nubo devices found:", nubo);

    std::vector<PresentSerialPort> others;
    for (auto& port : all)
        if (find (nubo, port.portName) == nullptr)
            others.push_back (port);

    return others.empty() ? juce::String ("No serial ports found.") : listing ("Other serial ports found:", others);
}
} // namespace

PortChooser::Choice PortChooser::choose (const juce::StringArray& requested, bool all)
{
    const auto nubo = enumerateSerialPortDetails (nuboOnlyFilter);
    const auto everyPort = enumerateSerialPortDetails (everyPortFilter);
    return choose (requested, all, nubo, everyPort);
}

PortChooser::Choice PortChooser::choose (const juce::StringArray& requested, bool all,
                                         const std::vector<PresentSerialPort>& nubo,
                                         const std::vector<PresentSerialPort>& everyPort)
{
    Choice choice;

    auto addOnce = [&choice] (const ChosenPort& port)
    {
        const auto device = realPathOf (port.devicePath);
        for (auto& p : choice.ports)
            if (p.devicePath == port.devicePath || realPathOf (p.devicePath) == device)
                return;
        choice.ports.push_back (port);
    };

    if (all)
    {
        if (nubo.empty())
        {
            choice.error = "no Nubo device found\n" + whatWasFound (nubo, everyPort);
            return choice;
        }
        for (auto& port : nubo)
            addOnce (chosen (port));
    }

    for (auto& wanted : requested)
    {
        if (auto* port = find (nubo, wanted))
        {
            addOnce (chosen (*port));
            continue;
        }

        // A port that is there but is no Nubo device is opened only when named by its
        // path or tty name: whoever typed that meant that very port.
        const auto* other = find (everyPort, wanted);
        const bool isPath = wanted.startsWithChar ('/');
        if (other != nullptr && !other->friendlyName.equalsIgnoreCase (wanted))
        {
            choice.warnings.add ("warning: " + escapeControlCharacters (other->portName) + " is not a Nubo device (" +
                                 escapeControlCharacters (other->hardwareId) + "); opening it anyway");
            addOnce ({other->friendlyName, other->portName, ttyNameOf (other->portName), other->serialNumber});
            continue;
        }

        if (isPath && other == nullptr)
        {
            choice.warnings.add ("warning: " + escapeControlCharacters (wanted) +
                                 " is not a listed Nubo device; opening it anyway");
            addOnce ({{}, wanted, ttyNameOf (wanted), {}});
            continue;
        }

        choice.ports.clear();
        choice.error = "no Nubo device \"" + escapeControlCharacters (wanted) + "\"\n" + whatWasFound (nubo, everyPort);
        return choice;
    }

    if (requested.isEmpty() && !all)
    {
        if (nubo.size() == 1)
            addOnce (chosen (nubo.front()));
        else if (nubo.empty())
            choice.error = "no Nubo device found\n" + whatWasFound (nubo, everyPort);
        else
            choice.error =
                "several Nubo devices found; choose one with -p, or use --all\n" + whatWasFound (nubo, everyPort);
    }

    return choice;
}

juce::String PortChooser::describe (const PresentSerialPort& port)
{
    // The USB texts are the device's: escaped, no field can hold a TAB or end the
    // line, and none can drive the terminal. Discovery keeps their bytes as they are,
    // UTF-8 or not; bytes that are not become U+FFFD rather than whatever a lenient
    // decoder makes of them.
    auto field = [] (const juce::String& text)
    {
        const auto bytes = text.toStdString();
        return escapeControlCharacters (JsonOutput::textWithReplacements (bytes.data(), bytes.size()));
    };

    juce::String line = field (port.friendlyName) + "\t" + field (port.portName);
    if (port.vendorId.isNotEmpty())
        line << "\t" << field (port.vendorId) << ":" << field (port.productId) << ":" << field (port.revision);
    if (port.serialNumber.isNotEmpty())
        line << "\t" << field (port.serialNumber);
    return line;
}
