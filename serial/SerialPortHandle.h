#pragma once

#include "serial/SerialPortBackend.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

/** The open port as SerialPort and its stream threads share it. Shared ownership lets a
    stream thread outlive the SerialPort object; the Use rule makes closing safe: close()
    wakes every thread inside a Use and releases the platform port only once all have
    left, so no thread ever touches a released port (its descriptor number may already
    belong to the next one opened). */
class SerialPortHandle final
{
public:
    SerialPortHandle() = default;
    ~SerialPortHandle();

    /** Takes over an opened platform port; false when given none or when still open. */
    bool open (std::unique_ptr<SerialPortBackend> openedPort);
    bool configure (const SerialPortSettings& settings);

    /** The platform's close result; false when the port was not open. Waits until no
        thread is inside a Use; never call it from inside one. */
    bool close();

    bool isOpen() const;

    /** Ends the wait a stream thread is in (or its next), once; for a stream that is
        about to stop. Nothing when the port is closed. */
    void nudge();
    juce::String getDevicePath() const;

    /** Tells one opening of the port from the next; 0 while closed. A stream thread keeps
        to the opening it was created in and ends when that one is closed. */
    std::uint64_t getOpening() const;

    /** One short use of the platform port by a stream thread, for as long as the opening
        it names lasts. Hold it around waits and I/O only, never around callbacks. */
    class Use final
    {
    public:
        Use (SerialPortHandle& handle, std::uint64_t opening);
        ~Use();

        explicit operator bool() const noexcept
        {
            return port != nullptr;
        }
        SerialPortBackend* operator->() const noexcept
        {
            return port;
        }

    private:
        SerialPortHandle& owner;
        SerialPortBackend* port = nullptr;

        JUCE_DECLARE_NON_COPYABLE (Use)
    };

private:
    mutable std::mutex mutex;
    std::condition_variable usesEnded;
    std::unique_ptr<SerialPortBackend> backend;
    juce::String devicePath;
    std::uint64_t currentOpening = 0; // 0 from the moment close() starts
    std::uint64_t openingsSoFar = 0;
    int uses = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SerialPortHandle)
};
