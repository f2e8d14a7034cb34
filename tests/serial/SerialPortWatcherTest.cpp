// The hot-plug watcher: under a device root it looks every second; elsewhere it uses
// udev's notices (or looks every second when udev is not there).

#include "PseudoTerminal.h"
#include "TestSupport.h"

#include "serial/SerialPortWatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

namespace
{
/** Sets or clears an environment variable for the life of the object. */
class ScopedDeviceRoot final
{
public:
    explicit ScopedDeviceRoot (const juce::String& value)
    {
        if (const char* old = std::getenv ("NUBO_DEVICE_ROOT"))
            previous = old;
        if (value.isEmpty())
            unsetenv ("NUBO_DEVICE_ROOT");
        else
            setenv ("NUBO_DEVICE_ROOT", value.toRawUTF8(), 1);
    }
    ~ScopedDeviceRoot()
    {
        if (previous.isNotEmpty())
            setenv ("NUBO_DEVICE_ROOT", previous.toRawUTF8(), 1);
        else
            unsetenv ("NUBO_DEVICE_ROOT");
    }

private:
    juce::String previous;
};
} // namespace

TEST (SerialPortWatcherTest, UnderADeviceRootNoticesAPortThatComesAndGoes)
{
    TempFolder root, fs;
    const ScopedDeviceRoot environment (root.get().getFullPathName());
    std::atomic<int> changes{0};
    auto watcher = SerialPortWatcher::create ([&] { ++changes; });
    EXPECT_TRUE (watcher->isPolling());

    juce::Thread::sleep (1500);
    EXPECT_EQ (changes.load(), 0) << "nothing changed, nothing is said";

    DeviceSimulator device;
    ASSERT_TRUE (device.start ({"--fs", fs.get().getFullPathName(), "--device-root", root.get().getFullPathName()}));
    ASSERT_TRUE (waitUntil ([&] { return changes.load() >= 1; }));

    const auto before = changes.load();
    device.stop();
    ASSERT_TRUE (waitUntil ([&] { return changes.load() > before; }));

    const auto start = juce::Time::getMillisecondCounter();
    watcher.reset();
    EXPECT_LT (juce::Time::getMillisecondCounter() - start, 5000u) << "stops within a wait slice";
}

TEST (SerialPortWatcherTest, OnTheRealSystemStartsAndStops)
{
    const ScopedDeviceRoot environment ({});
    auto watcher = SerialPortWatcher::create ([] {});
    ASSERT_NE (watcher, nullptr);
    juce::Thread::sleep (200);
    watcher.reset();
}
