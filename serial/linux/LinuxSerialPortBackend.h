#pragma once

#include "serial/SerialPortBackend.h"

#include <termios.h>

/** A serial port on Linux: a terminal device opened non-blocking, held with flock and
    TIOCEXCL, plus an eventfd that wakes whoever polls it. */
class LinuxSerialPortBackend final : public SerialPortBackend
{
public:
    /** Takes over an open, locked terminal descriptor and the eventfd used to wake waits. */
    LinuxSerialPortBackend (int portDescriptor, int wakeDescriptor, juce::String path);
    ~LinuxSerialPortBackend() override;

    /** The port's device file: the name itself when it is a path, otherwise under /dev. */
    static juce::String devicePathFor (const juce::String& portName);

    /** Turns line settings into a terminal's control flags and speed, starting from the
        current ones; false when Linux has no equivalent (unknown speed, character size,
        one and a half stop bits). */
    static bool applySettings (const SerialPortSettings& settings, termios& attributes);

    juce::String getDevicePath() const override;
    bool configure (const SerialPortSettings& settings) override;
    bool close() override;
    void wake() override;
    void nudge() override;
    WaitResult waitUntilReadable (int timeoutMs) override;
    WaitResult waitUntilWritable (int timeoutMs) override;
    int read (void* destination, int maxBytes) override;
    int write (const void* source, int numBytes) override;

private:
    WaitResult waitFor (short events, int timeoutMs);

    int fd;
    int wakeFd;
    int nudgeFd; // one wake, taken by the wait it ends; -1 when none could be made
    juce::String devicePath;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LinuxSerialPortBackend)
};
