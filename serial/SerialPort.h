#pragma once

#include "serial/SerialPortBackend.h"
#include "serial/SerialPortSettings.h"

#include <juce_core/juce_core.h>

#include <memory>

class SerialPortHandle;

/** The device's serial port: opened by the name discovery lists, for this program alone.
    The owner closes it (or lets the destructor do so); the streams over it hold its
    handle, not the object, and stop using it when it closes. */
class SerialPort final
{
public:
    SerialPort();

    /** Opens and configures; the caller asks isOpen() whether that worked. */
    SerialPort (const juce::String& portName, const SerialPortSettings& settings);

    /** Closes the port. */
    ~SerialPort();

    /** Opens the port for exclusive use, raw and flushed; a port already open here is
        closed first. False when it does not exist or is in use. */
    bool open (const juce::String& portName);

    /** Takes over a port the platform layer has opened already. */
    bool open (std::unique_ptr<SerialPortBackend> openedPort);

    /** Applies the line settings; false, with the previous ones kept, when the port is
        closed or the platform cannot honour them. */
    bool configure (const SerialPortSettings& settings);

    /** Wakes both stream threads, waits until they have let go of the port, then closes
        it: the close result, or false when it was not open. */
    bool close();

    bool isOpen() const;

    /** The device file the port was last opened with, or that the last open tried. */
    juce::String getDevicePath() const;

    /** Why the last open failed: the system's error number (EACCES, EBUSY, ENOENT...);
        0 when it worked or when no port was named. */
    int getOpenError() const;

    /** What the stream threads hold on to. */
    std::shared_ptr<SerialPortHandle> getHandle() const;

private:
    std::shared_ptr<SerialPortHandle> handle;
    juce::String devicePath;
    int openError = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SerialPort)
};
