#pragma once

#include <juce_core/juce_core.h>

/** The far end of a fresh pseudo-terminal, played by the test itself: it reads the
    client's requests and writes whatever bytes the test wants, right or wrong. */
class ScriptedDevice final
{
public:
    ScriptedDevice();
    ~ScriptedDevice();

    bool isOpen() const
    {
        return master >= 0;
    }
    juce::String portPath() const
    {
        return path;
    }

    struct Request
    {
        juce::uint16 id = 0;
        juce::int32 serial = 0;
    };

    /** Reads the next request whole; false when none came in time. */
    bool receive (Request& request, int timeoutMs = 10000);
    void send (const juce::MemoryBlock& bytes);

    /** Header (ID, body size) and body. */
    static juce::MemoryBlock message (juce::uint16 id, const juce::MemoryBlock& body);
    /** A response: header, serial number, then the fields. */
    static juce::MemoryBlock response (juce::uint16 id, juce::int32 serial, const juce::MemoryBlock& fields = {});
    /** The device's string encoding: i32 byte count, then the bytes. */
    static juce::MemoryBlock text (const juce::String& s);

private:
    bool readExactly (void* destination, size_t numBytes, juce::uint32 deadline);

    int master = -1;
    juce::String path;
};
