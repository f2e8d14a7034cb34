#pragma once

#include "serial/SerialPortSettings.h"

#include <juce_core/juce_core.h>

#include <memory>

/** One open serial port as the operating system sees it. Each platform supplies the
    implementation (serial/linux/ for Linux); SerialPort and the streams use only this.

    Nothing here waits longer than the time-out it is given, and a waiting call returns
    at once after wake(), so a thread that waits can always be stopped. */
class SerialPortBackend
{
public:
    /** Opens a port by the name discovery listed, for this process's exclusive use, with
        the line in raw mode and both queues flushed; null when it cannot be opened, with
        the system's reason (an errno value, EBUSY when another program holds the port)
        in errorNumber when one is given. */
    static std::unique_ptr<SerialPortBackend> open (const juce::String& portName, int* errorNumber = nullptr);

    /** The device file a port name stands for; empty for an empty name. */
    static juce::String devicePathFor (const juce::String& portName);

    /** Releases the port if close() has not done so. */
    virtual ~SerialPortBackend() = default;

    enum class WaitResult
    {
        ready,
        timedOut,
        woken,
        gone ///< the device disappeared: unplugged, or the far end of a pseudo-terminal closed
    };

    virtual juce::String getDevicePath() const = 0;

    /** Applies the line settings; false (nothing changed) when the platform cannot honour them. */
    virtual bool configure (const SerialPortSettings& settings) = 0;

    /** Releases the port; the caller guarantees that no other call on it runs or follows. */
    virtual bool close() = 0;

    /** Makes every wait, present or future, return woken at once. Safe from any thread. */
    virtual void wake() = 0;

    /** Makes the wait in progress (or else the next one) return woken, once: a stream
        that is to stop need not sit out its wait slice, and the port stays usable. */
    virtual void nudge() {}

    virtual WaitResult waitUntilReadable (int timeoutMs) = 0;
    virtual WaitResult waitUntilWritable (int timeoutMs) = 0;

    /** Takes what has arrived, without waiting: the count, 0 when nothing is there yet,
        -1 when the device is gone. */
    virtual int read (void* destination, int maxBytes) = 0;

    /** Hands bytes to the driver, without waiting: the count taken (0 when its queue is
        full), -1 when the device is gone. */
    virtual int write (const void* source, int numBytes) = 0;
};
