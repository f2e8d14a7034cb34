#pragma once

#include "protocol/ReceivedMessage.h"
#include "protocol/TidewireClientInputMessage.h"

#include <juce_core/juce_core.h>

#include <memory>

/** A message the device sends on its own: no serial number, fields from the start
    of the body. Each is built from a message whose cursor stands on the body and
    owns it. The three concrete notifications live in this file too. */
class TidewireNotification : public TidewireClientInputMessage
{
public:
    virtual ~TidewireNotification();

    /** False when a field ran past the end of the message; such a message is dropped. */
    bool isValid() const;

    ReceivedMessage& getMessage();

protected:
    explicit TidewireNotification (std::unique_ptr<ReceivedMessage> message);

private:
    std::unique_ptr<ReceivedMessage> message;

    JUCE_DECLARE_NON_COPYABLE (TidewireNotification)
};

//==============================================================================
/** A process on the device has ended. */
class ProcessTerminatedNotification final : public TidewireNotification
{
public:
    static constexpr juce::uint16 id = 0x8000;

    explicit ProcessTerminatedNotification (std::unique_ptr<ReceivedMessage> message);

    juce::int64 getProcessId() const
    {
        return processId;
    }
    juce::int32 getExitCode() const
    {
        return exitCode;
    }

private:
    juce::int64 processId;
    juce::int32 exitCode;
};

class TidewireEvent final : public TidewireNotification
{
public:
    static constexpr juce::uint16 id = 0x8002;

    explicit TidewireEvent (std::unique_ptr<ReceivedMessage> message);

    juce::int32 getEventId() const
    {
        return eventId;
    }
    juce::int64 getArgument() const
    {
        return argument;
    }

private:
    juce::int32 eventId;
    juce::int64 argument;
};

/** A property under a property path has a new value; its ID decides whether the
    value is a string (see isStringProperty). */
class TidewirePropertyChangedNotification final : public TidewireNotification,
                                                  public PropertyValue
{
public:
    static constexpr juce::uint16 id = 0x8006;

    explicit TidewirePropertyChangedNotification (std::unique_ptr<ReceivedMessage> message);

    const juce::Array<juce::uint16>& getPath() const
    {
        return path;
    }

private:
    juce::Array<juce::uint16> path;
};
