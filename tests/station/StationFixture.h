#pragma once

// Simulated units plugged into a device root of the test's own, and a station in this
// process watching them.

#include "TestSupport.h"

#include "device/DeviceMaintenance.h"
#include "station/Station.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace
{
inline bool waitUntil (const std::function<bool()>& condition, int timeoutMs = 20000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds (timeoutMs);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for (std::chrono::milliseconds (20));
    }
    return true;
}
} // namespace

class StationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv ("NUBO_DEVICE_ROOT", (temp / "root").getFullPathName().toRawUTF8(), 1);
        (temp / "work").createDirectory();
        juce::MemoryBlock image;
        for (int i = 0; i < 40000; ++i)
            image.append (&i, 3);
        ASSERT_TRUE ((temp / "image.bin").replaceWithData (image.getData(), image.getSize()));
        imageSize = (juce::int64) image.getSize();
    }

    void TearDown() override
    {
        if (station != nullptr)
            station->shutDown();
        station.reset();
        units.clear();
        unsetenv ("NUBO_DEVICE_ROOT");
    }

    /** A unit in USB port N (slot "1-N"), with its own file system and MAC. */
    DeviceSimulator& plug (int port, const juce::String& serial, const juce::String& mac, juce::StringArray extra = {})
    {
        const auto fs = fsOf (port);
        if (!fs.isDirectory())
            sampleDeviceFolder().copyDirectoryTo (fs);
        fs.getChildFile ("mnt/nandfs/macAddress.txt").replaceWithText (mac + "\n", false, false, "\n");
        auto& unit = units[port];
        unit = std::make_unique<DeviceSimulator>();
        extra.addArray ({"--fs", fs.getFullPathName(), "--device-root", (temp / "root").getFullPathName(), "--usb-port",
                         juce::String (port), "--tty", "ttyACM" + juce::String (port), "--usb-serial", serial});
        EXPECT_TRUE (unit->start (extra));
        return *unit;
    }

    void unplug (int port)
    {
        units[port]->stop();
    }

    juce::File fsOf (int port) const
    {
        return temp / ("fs" + juce::String (port));
    }

    bool flashed (int port) const
    {
        return fsOf (port).getChildFile ("mnt/nandfs/Nuboimage").getSize() == imageSize
               && fsOf (port).getChildFile ("mnt/nandfs/NuboimageDone").existsAsFile();
    }

    /** The unit took the image, restarted and now has the firmware. */
    bool installed (int port) const
    {
        return fsOf (port).getChildFile (juce::String (DeviceMaintenance::firmwareMarkerPath).substring (1)).existsAsFile()
               && !fsOf (port).getChildFile ("mnt/nandfs/Nuboimage").exists();
    }

    void begin (const juce::String& recipeExtras = {}, const std::string& lineDatabase = {})
    {
        (temp / "recipe.json")
            .replaceWithText ("{ \"name\": \"line test\", \"family\": 1, \"image\": \"image.bin\", "
                              "\"follow_restart\": false, \"mac_folder\": \"macs\", \"retries\": 1"
                              + recipeExtras + " }");
        auto recipe = Recipe::load (temp / "recipe.json", temp / "work");
        ASSERT_NE (recipe.recipe, nullptr) << recipe.reason;
        Station::Settings settings;
        settings.recipe = recipe.recipe;
        settings.database = temp / "station.db";
        settings.workFolder = temp / "work";
        settings.station.stationId = "test-station";
        settings.station.slots = {{"1-2", "left 1"}};
        settings.programVersion = "test";
        settings.lineDatabase = lineDatabase;
        auto created = Station::create (settings, [this] (const Station::Event& e)
                                        {
                                            const std::lock_guard<std::mutex> guard (eventsLock);
                                            events.push_back (e);
                                        });
        ASSERT_NE (created.station, nullptr) << created.reason;
        station = std::move (created.station);
        station->begin();
    }

    Station::SlotView slot (const std::string& name) const
    {
        for (auto& s : station->slots())
            if (s.slot == name)
                return s;
        return {};
    }

    /** The slot and its records, for a failure's message. */
    std::string describe (const std::string& name) const
    {
        const auto s = slot (name);
        std::string text = std::string (Station::nameOf (s.state)) + ", step " + s.step + ", reason " + s.reason
                           + (s.present ? ", present" : ", absent") + "; records:";
        for (auto& r : records())
            if (r.slot == name)
                text += std::string (" [") + StationRecords::nameOf (r.result) + " " + r.failureClass + ": "
                        + r.failureReason + "]";
        return text;
    }

    bool slotIs (const std::string& name, Station::SlotState state) const
    {
        return slot (name).state == state;
    }

    std::vector<StationRecords::Record> records() const
    {
        return station->results (0).records;
    }

    int recordsOf (const std::string& serial, StationRecords::Result result) const
    {
        int n = 0;
        for (auto& r : records())
            n += r.usbSerial == serial && r.result == result ? 1 : 0;
        return n;
    }

    TempFolder temp;
    juce::int64 imageSize = 0;
    std::map<int, std::unique_ptr<DeviceSimulator>> units;
    std::unique_ptr<Station> station;
    std::mutex eventsLock;
    std::vector<Station::Event> events;
};

