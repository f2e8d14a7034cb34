#include "protocol/TidewireNotification.h"

TidewireNotification::TidewireNotification (std::unique_ptr<ReceivedMessage> messageToOwn)
    : message (std::move (messageToOwn))
{
}

TidewireNotification::~TidewireNotification() = default;

bool TidewireNotification::isValid() const
{
    return !message->hasOverrun();
}

ReceivedMessage& TidewireNotification::getMessage()
{
    return *message;
}

//==============================================================================
ProcessTerminatedNotification::ProcessTerminatedNotification (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireNotification (std::move (messageToOwn))
{
    auto& m = getMessage();
    processId = m.readInt64();
    exitCode = m.readInt32();
}

TidewireEvent::TidewireEvent (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireNotification (std::move (messageToOwn))
{
    auto& m = getMessage();
    eventId = m.readInt32();
    argument = m.readInt64();
}

TidewirePropertyChangedNotification::TidewirePropertyChangedNotification (std::unique_ptr<ReceivedMessage> messageToOwn)
    : TidewireNotification (std::move (messageToOwn))
{
    auto& m = getMessage();

    // The count is one byte, so the path can hold at most 255 elements.
    const auto count = m.readUInt8();
    for (int i = 0; i < count && !m.hasOverrun(); ++i)
        path.add (m.readUInt16());

    readPropertyValue (m);
}
