#pragma once

#include "TestSupport.h"

#include "protocol/TidewireClient.h"
#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <ostream>
#include <memory>

namespace juce
{
// Readable failure messages for the lines and names the tests compare.
inline void PrintTo (const String& text, std::ostream* os)
{
    *os << '"' << text << '"';
}

inline void PrintTo (const StringArray& lines, std::ostream* os)
{
    *os << "{";
    for (int i = 0; i < lines.size(); ++i)
        *os << (i > 0 ? ", \"" : " \"") << lines[i] << '"';
    *os << " }";
}
} // namespace juce

/** An expected list of lines or names (a braced list alone is ambiguous for StringArray). */
inline juce::StringArray strings (std::initializer_list<juce::String> items)
{
    juce::StringArray array;
    for (auto& item : items)
        array.add (item);
    return array;
}

/** A client connected to nubo-devsim over a real pseudo-terminal. The simulator's
    file system is a temporary folder; its request log tells what the device saw. */
class SimulatedDeviceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (deviceRoot.get().getChildFile ("mnt/nandfs/usr").createDirectory().wasOk());
    }

    void TearDown() override
    {
        client.disconnect();
        port.reset();
        simulator.stop();
    }

    /** Starts the simulator with the given fault options and connects the client. */
    void startDevice (const juce::StringArray& options = {})
    {
        juce::StringArray arguments { "--fs", deviceRoot.get().getFullPathName(),
                                      "--log", requestLogFile().getFullPathName() };
        arguments.addArray (options);
        ASSERT_TRUE (simulator.start (arguments)) << "nubo-devsim did not start: " << arguments.joinIntoString (" ");
        connectTo (simulator.portPath());
    }

    void connectTo (const juce::String& portPath)
    {
        SerialPortSettings settings;
        settings.flowControl = 1;
        port = std::make_unique<SerialPort> (portPath, settings);
        ASSERT_TRUE (port->isOpen()) << portPath;
        client.connect (port.get());
    }

    /** The host file that plays a device path. */
    juce::File deviceFile (const juce::String& devicePath) const
    {
        return deviceRoot.get().getChildFile (devicePath.trimCharactersAtStart ("/"));
    }

    juce::File localFile (const juce::String& relative) const
    {
        return localFolder.get().getChildFile (relative);
    }

    juce::File requestLogFile() const
    {
        return scratch.get().getChildFile ("requests.log");
    }

    /** Every request the device has seen, one line each: "<serial> <Class> fields". */
    juce::StringArray deviceRequests() const
    {
        juce::StringArray requests;
        requests.addLines (requestLogFile().loadFileAsString());
        requests.removeEmptyStrings();
        return requests;
    }

    /** The requests of one class, without their serial numbers; from the request with
        the given index on. */
    juce::StringArray deviceRequests (const juce::String& className, int from = 0) const
    {
        juce::StringArray matching;
        const auto all = deviceRequests();
        for (int i = from; i < all.size(); ++i)
        {
            const auto& line = all[i];
            const auto rest = line.fromFirstOccurrenceOf (" ", false, false);
            if (rest.upToFirstOccurrenceOf (" ", false, false) == className)
                matching.add (rest);
        }
        return matching;
    }

    /** Log lines that begin with the given text. */
    juce::StringArray linesStartingWith (const juce::String& start) const
    {
        juce::StringArray matching;
        for (auto& line : logger.lines())
            if (line.startsWith (start))
                matching.add (line);
        return matching;
    }

    static juce::MemoryBlock pattern (size_t size, int seed = 1)
    {
        juce::MemoryBlock block (size);
        juce::Random random (seed);
        for (size_t i = 0; i < size; ++i)
            block[i] = (char) random.nextInt (256);
        return block;
    }

    static void writeFile (const juce::File& file, const juce::MemoryBlock& data)
    {
        ASSERT_TRUE (file.getParentDirectory().createDirectory().wasOk());
        // (replaceWithData deletes the file when given nothing)
        ASSERT_TRUE (file.deleteFile());
        ASSERT_TRUE (file.create().wasOk());
        if (! data.isEmpty())
        {
            ASSERT_TRUE (file.replaceWithData (data.getData(), data.getSize()));
        }
    }

    static juce::MemoryBlock readFile (const juce::File& file)
    {
        juce::MemoryBlock data;
        file.loadFileAsData (data);
        return data;
    }

    CapturingLogger logger;
    TempFolder deviceRoot; // plays the device's "/"
    TempFolder localFolder;
    TempFolder scratch;
    DeviceSimulator simulator;
    std::unique_ptr<SerialPort> port;
    TidewireClient client; // declared last: gone before the port it may still hold
};
