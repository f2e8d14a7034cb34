#pragma once

#include "NuboProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>
#include <memory>

/** Simulated devices under one device root, and nubo run against them as a child
    process. Device n is ttyACMn on USB port n + 2 with serial number SIM-n, on its
    own copy of the sample device. */
class NuboFixture : public ::testing::Test
{
protected:
    struct Run
    {
        int status = -1;
        juce::String out, err;
        double seconds = 0;
    };

    void SetUp() override
    {
        ASSERT_TRUE (work().createDirectory().wasOk());
        ASSERT_TRUE (root().createDirectory().wasOk());
    }

    juce::File work() const
    {
        return scratch / "work";
    }
    juce::File root() const
    {
        return scratch / "root";
    }
    juce::File deviceFolder (int n) const
    {
        return scratch / ("dev" + juce::String (n));
    }
    juce::File deviceFile (int n, const juce::String& path) const
    {
        return deviceFolder (n).getChildFile (path.trimCharactersAtStart ("/"));
    }
    juce::File requestLog (int n) const
    {
        return scratch / ("requests" + juce::String (n) + ".log");
    }
    juce::String devicePath (int n) const
    {
        return root().getFullPathName() + "/dev/ttyACM" + juce::String (n);
    }

    /** Starts device n (its file system is kept across restarts) with extra options. */
    void startDevice (int n, const juce::StringArray& options = {})
    {
        if (!deviceFolder (n).isDirectory())
        {
            ASSERT_TRUE (sampleDeviceFolder().copyDirectoryTo (deviceFolder (n)));
        }
        juce::StringArray arguments{
            "--fs",         deviceFolder (n).getFullPathName(), "--device-root", root().getFullPathName(),
            "--tty",        "ttyACM" + juce::String (n),        "--usb-port",    juce::String (n + 2),
            "--usb-serial", "SIM-" + juce::String (n),          "--log",         requestLog (n).getFullPathName()};
        arguments.addArray (options);
        auto& simulator = simulators[n];
        simulator = std::make_unique<DeviceSimulator>();
        ASSERT_TRUE (simulator->start (arguments)) << arguments.joinIntoString (" ");
    }

    void stopDevice (int n)
    {
        simulators.erase (n);
    }

    Run run (const juce::StringArray& arguments, int timeoutMs = 120000)
    {
        NuboProcess nubo (work(), root());
        Run result;
        if (!nubo.start (arguments))
            return result;
        result.status = nubo.wait (timeoutMs);
        result.out = nubo.standardOutput();
        result.err = nubo.standardError();
        result.seconds = nubo.seconds();
        return result;
    }

    /** The device's requests of one kind, as its log shows them without serial numbers. */
    juce::StringArray deviceRequests (int n, const juce::String& className) const
    {
        juce::StringArray lines, matching;
        lines.addLines (requestLog (n).loadFileAsString());
        for (auto& line : lines)
            if (line.fromFirstOccurrenceOf (" ", false, false).startsWith (className))
                matching.add (line.fromFirstOccurrenceOf (" ", false, false));
        return matching;
    }

    static juce::MemoryBlock randomBytes (size_t size, int seed)
    {
        juce::Random random (seed);
        juce::MemoryBlock data (size);
        for (size_t i = 0; i < size; ++i)
            data[i] = (char) random.nextInt (256);
        return data;
    }

    static void writeFile (const juce::File& file, const juce::MemoryBlock& data)
    {
        file.getParentDirectory().createDirectory();
        ASSERT_TRUE (file.replaceWithData (data.getData(), data.getSize()));
    }

    /** What the file takes up on its file system, in bytes. */
    static juce::int64 allocatedBytes (const juce::File& file)
    {
        struct stat st;
        return ::stat (file.getFullPathName().toRawUTF8(), &st) == 0 ? (juce::int64) st.st_blocks * 512 : -1;
    }

    static bool sameContents (const juce::File& a, const juce::File& b)
    {
        juce::MemoryBlock x, y;
        return a.loadFileAsData (x) && b.loadFileAsData (y) && x == y;
    }

    TempFolder scratch;
    std::map<int, std::unique_ptr<DeviceSimulator>> simulators;
};
