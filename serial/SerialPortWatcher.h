#pragma once

#include <functional>
#include <memory>

/** Tells when serial ports appear or go, so that the port list can follow the hardware.
    Each platform supplies it (serial/linux/ for Linux). Destroying it stops its thread;
    no call comes after the destructor has returned. */
class SerialPortWatcher
{
public:
    virtual ~SerialPortWatcher() = default;

    /** Starts watching at once. onChange runs on the watcher's own thread, after ports
        came or went (perhaps also after a change that did not alter the list). */
    static std::unique_ptr<SerialPortWatcher> create (std::function<void()> onChange);

    /** True when the platform sends no notices here (a test device root, no udev) and
        changes are found by looking again every second. */
    virtual bool isPolling() const = 0;
};
