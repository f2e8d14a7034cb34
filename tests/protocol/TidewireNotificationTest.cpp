#include "protocol/TidewireNotification.h"
#include "MessageBytes.h"

#include <gtest/gtest.h>

namespace
{
template <typename Notification> Notification parsed (const char* body, int cutBytes = 0)
{
    return Notification (cursorOnBody (received (framed (Notification::id, body, cutBytes))));
}
} // namespace

TEST (TidewireNotification, ParsesProcessTerminated)
{
    const auto n = parsed<ProcessTerminatedNotification> ("0500000000000080 FDFFFFFF");
    EXPECT_TRUE (n.isValid());
    EXPECT_EQ ((juce::uint64) n.getProcessId(), 0x8000000000000005ull);
    EXPECT_EQ (n.getExitCode(), -3);
}

TEST (TidewireNotification, ParsesEvent)
{
    const auto n = parsed<TidewireEvent> ("07000000 FFFFFFFFFFFFFF7F");
    EXPECT_TRUE (n.isValid());
    EXPECT_EQ (n.getEventId(), 7);
    EXPECT_EQ (n.getArgument(), std::numeric_limits<juce::int64>::max());
}

TEST (TidewireNotification, PropertyIdDecidesTheValueType)
{
    const struct
    {
        const char* body;
        juce::uint16 propertyId;
        bool isString;
        juce::int32 intValue;
        const char* stringValue;
    } cases[] = {
        {"02 0100 0200 0080 03000000 616263", 0x8000, true, 0, "abc"},
        {"00 1880 02000000 E978", 0x8018, true, 0, "\xc3\xa9x"},
        {"00 1980 FFFFFFFF", 0x8019, false, -1, ""},
        {"00 FF7F 2A000000", 0x7fff, false, 42, ""},
        {"01 0900 0500 2A000000", 0x0005, false, 42, ""},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.body);
        const auto n = parsed<TidewirePropertyChangedNotification> (c.body);
        EXPECT_TRUE (n.isValid());
        EXPECT_EQ (n.getPropertyId(), c.propertyId);
        EXPECT_EQ (n.isString(), c.isString);
        EXPECT_EQ (n.getIntValue(), c.intValue);
        EXPECT_EQ (n.getStringValue(), juce::String (juce::CharPointer_UTF8 (c.stringValue)));
    }

    EXPECT_EQ (parsed<TidewirePropertyChangedNotification> ("02 0100 0200 0080 00000000").getPath(),
               (juce::Array<juce::uint16>{1, 2}));
}

TEST (TidewireNotification, DropsEachNotificationOneByteShort)
{
    EXPECT_FALSE (parsed<ProcessTerminatedNotification> ("0500000000000000 FDFFFFFF", 1).isValid());
    EXPECT_FALSE (parsed<TidewireEvent> ("07000000 FFFFFFFFFFFFFF7F", 1).isValid());
    EXPECT_FALSE (parsed<TidewirePropertyChangedNotification> ("00 0080 03000000 616263", 1).isValid());
    EXPECT_FALSE (parsed<TidewirePropertyChangedNotification> ("00 0500 2A000000", 1).isValid());
    EXPECT_FALSE (parsed<TidewirePropertyChangedNotification> ("03 0100 0200 0500", 0).isValid()); // path cut short
}
