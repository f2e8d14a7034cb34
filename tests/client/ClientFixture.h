#pragma once

#include "ScriptedDevice.h"
#include "TestSupport.h"

#include "protocol/TidewireClient.h"
#include "protocol/TidewireClientRequest.h"
#include "protocol/TidewireClientResponse.h"
#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <ostream>
#include <stdlib.h>
#include <thread>

namespace juce
{
// Readable failure messages for the lines and names the tests compare.
inline void PrintTo (const String& text, std::ostream* os)
{
    *os << '"' << text << '"';
}

inline void PrintTo (const StringArray& lines, std::ostream* os)
{
    *os << "{ \"" << lines.joinIntoString ("\", \"") << "\" }";
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

inline juce::String serialOf (const TidewireClientRequest& request)
{
    return juce::String (request.getSerialNumber());
}

inline juce::StringArray timeOutLines (const TidewireClientRequest& request)
{
    return strings ({"Timeout on serial # " + serialOf (request),
                     "Failed to get valid response to serial # " + serialOf (request)});
}

/** A fresh empty folder, removed with the object. Made with mkdtemp, so test programs
    that run side by side never share one. */
class UniqueFolder final
{
public:
    UniqueFolder()
    {
        auto pattern = juce::File::getSpecialLocation (juce::File::tempDirectory)
                           .getChildFile ("nubo-client-XXXXXX")
                           .getFullPathName()
                           .toStdString();
        if (::mkdtemp (pattern.data()) != nullptr)
            folder = juce::File (pattern);
    }

    ~UniqueFolder()
    {
        if (folder != juce::File())
            folder.deleteRecursively (false);
    }

    const juce::File& get() const
    {
        return folder;
    }

private:
    juce::File folder;
};

/** A client connected to nubo-devsim over a real pseudo-terminal. The simulator's
    file system is a temporary folder; its request log tells what the device saw. */
class SimulatedDeviceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (deviceFile (usr).createDirectory().wasOk());
    }

    void TearDown() override
    {
        client.disconnect();
    }

    /** Starts the simulator with the given fault options and connects the client. */
    void startDevice (const juce::StringArray& options = {})
    {
        client.disconnect();
        juce::StringArray arguments{"--fs", deviceRoot.get().getFullPathName(), "--log",
                                    requestLog().getFullPathName()};
        arguments.addArray (options);
        ASSERT_TRUE (simulator.start (arguments)) << arguments.joinIntoString (" ");
        reconnect();
    }

    /** Connects the client to the simulator's port anew (it comes back on a new one after
        a restart or a replug). */
    void reconnect()
    {
        client.disconnect();
        port = std::make_unique<SerialPort> (simulator.portPath(), SerialPortSettings{115200, 8, 0, 0, 1});
        ASSERT_TRUE (port->isOpen());
        client.connect (port.get());
    }

    juce::File deviceFile (const juce::String& devicePath) const
    {
        return deviceRoot.get().getChildFile (devicePath.trimCharactersAtStart ("/"));
    }

    juce::File localFile (const juce::String& relative) const
    {
        return localFolder.get().getChildFile (relative);
    }
    juce::File requestLog() const
    {
        return scratch.get().getChildFile ("requests.log");
    }

    /** What the device saw, one line per request, from the request with the given index
        on; with a class name, only those requests, without their serial numbers. */
    juce::StringArray deviceRequests (const juce::String& className = {}, int from = 0) const
    {
        juce::StringArray all, matching;
        all.addLines (requestLog().loadFileAsString());
        all.removeEmptyStrings();
        for (int i = from; i < all.size(); ++i)
        {
            const auto rest = all[i].fromFirstOccurrenceOf (" ", false, false);
            if (className.isEmpty())
                matching.add (all[i]);
            else if (rest.upToFirstOccurrenceOf (" ", false, false) == className)
                matching.add (rest);
        }
        return matching;
    }

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
        // (replaceWithData deletes the file when given nothing)
        ASSERT_TRUE (file.getParentDirectory().createDirectory().wasOk() && file.create().wasOk());
        ASSERT_TRUE (data.isEmpty() || file.replaceWithData (data.getData(), data.getSize()));
    }

    static juce::MemoryBlock readFile (const juce::File& file)
    {
        juce::MemoryBlock data;
        file.loadFileAsData (data);
        return data;
    }

    static juce::StringArray namesIn (const juce::File& folder)
    {
        juce::StringArray names;
        for (auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, false, "*"))
            names.add (f.getFileName());
        names.sort (false);
        return names;
    }

    const juce::String usr = "/mnt/nandfs/usr";
    CapturingLogger logger;
    UniqueFolder deviceRoot; // plays the device's "/"
    UniqueFolder localFolder, scratch;
    DeviceSimulator simulator;
    std::unique_ptr<SerialPort> port;
    TidewireClient client; // declared last: gone before the port it may hold
};

/** For what the simulator never does: the test plays the device byte by byte. */
class ScriptedDeviceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (device.isOpen());
        port = std::make_unique<SerialPort> (device.portPath(), SerialPortSettings());
        ASSERT_TRUE (port->isOpen());
        client = std::make_unique<TidewireClient>();
        client->connect (port.get());
    }

    void TearDown() override
    {
        if (player.joinable())
            player.join();
        client.reset();
    }

    /** Answers the next `count` requests with what the function makes of each, on a
        thread of its own; requestIds() then lists the IDs the device saw. */
    void play (int count, std::function<juce::MemoryBlock (const ScriptedDevice::Request&)> answer)
    {
        player = std::thread (
            [this, count, answer]
            {
                ScriptedDevice::Request request;
                for (int i = 0; i < count && device.receive (request); ++i)
                {
                    seen.add (juce::String (request.id));
                    device.send (answer (request));
                }
            });
    }

    juce::StringArray requestIds()
    {
        if (player.joinable())
            player.join();
        return seen;
    }

    static juce::MemoryBlock success (const ScriptedDevice::Request& r)
    {
        return ScriptedDevice::response (SuccessResponse::id, r.serial);
    }

    static juce::MemoryBlock failure (const ScriptedDevice::Request& r, const juce::String& text)
    {
        return ScriptedDevice::response (FailureResponse::id, r.serial, ScriptedDevice::text (text));
    }

    CapturingLogger logger;
    ScriptedDevice device;
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<TidewireClient> client;
    std::thread player;
    juce::StringArray seen; // written by the player thread only until it is joined
};
