// Hot-plug notices from udev; under NUBO_DEVICE_ROOT (a tree the device simulator builds,
// which udev knows nothing of) or without udev, a look at the present ports every second.

#include "serial/PresentSerialPort.h"
#include "serial/SerialPortWatcher.h"

#include <juce_core/juce_core.h>

#include <libudev.h>
#include <poll.h>

#include <cstdlib>

namespace
{
constexpr int waitSliceMs = 100;
constexpr int pollingPeriodMs = 1000;

juce::String describePresentPorts()
{
    juce::String text;
    for (auto& port : listPresentSerialPorts())
        text << port.friendlyName << '\t' << port.hardwareId << '\t' << port.portName << '\n';
    return text;
}

class LinuxSerialPortWatcher final : public SerialPortWatcher, private juce::Thread
{
public:
    explicit LinuxSerialPortWatcher (std::function<void()> callback)
        : juce::Thread ("SerialPortWatcher"), onChange (std::move (callback))
    {
        const char* root = std::getenv ("NUBO_DEVICE_ROOT");
        if (root == nullptr || *root == '\0')
            openMonitor();

        if (monitor == nullptr)
            lastSeen = describePresentPorts();

        startThread();
    }

    ~LinuxSerialPortWatcher() override
    {
        // Within one wait slice; the callback in progress, if any, is waited for.
        stopThread (-1);

        if (monitor != nullptr)
            udev_monitor_unref (monitor);
        if (udevContext != nullptr)
            udev_unref (udevContext);
    }

    bool isPolling() const override
    {
        return monitor == nullptr;
    }

private:
    void openMonitor()
    {
        udevContext = udev_new();
        if (udevContext == nullptr)
            return;

        monitor = udev_monitor_new_from_netlink (udevContext, "udev");
        if (monitor != nullptr && udev_monitor_filter_add_match_subsystem_devtype (monitor, "tty", nullptr) >= 0 &&
            udev_monitor_enable_receiving (monitor) >= 0)
            return;

        if (monitor != nullptr)
            udev_monitor_unref (monitor);
        monitor = nullptr;
    }

    void run() override
    {
        if (monitor != nullptr)
            watchMonitor();
        else
            poll();
    }

    void watchMonitor()
    {
        const auto fd = udev_monitor_get_fd (monitor);

        while (!threadShouldExit())
        {
            pollfd wait{fd, POLLIN, 0};
            if (::poll (&wait, 1, waitSliceMs) <= 0 || (wait.revents & POLLIN) == 0)
                continue;

            // Every notice waiting is taken; one call covers them all.
            bool changed = false;
            while (auto* device = udev_monitor_receive_device (monitor))
            {
                udev_device_unref (device);
                changed = true;
            }

            if (changed && onChange)
                onChange();
        }
    }

    void poll()
    {
        while (!threadShouldExit())
        {
            if (wait (pollingPeriodMs))
                continue; // woken by stopThread

            auto now = describePresentPorts();
            if (now != lastSeen)
            {
                lastSeen = std::move (now);
                if (onChange)
                    onChange();
            }
        }
    }

    std::function<void()> onChange;
    udev* udevContext = nullptr;
    udev_monitor* monitor = nullptr;
    juce::String lastSeen; // polling only: the ports at the last look

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LinuxSerialPortWatcher)
};
} // namespace

std::unique_ptr<SerialPortWatcher> SerialPortWatcher::create (std::function<void()> onChange)
{
    return std::make_unique<LinuxSerialPortWatcher> (std::move (onChange));
}
