#pragma once

#include <juce_core/juce_core.h>

/** Anything the device sends: responses and the messages it sends on its own. */
class TidewireClientInputMessage
{
public:
    /** Property IDs 0x8000..0x8018 carry a string value, every other ID a signed
        32-bit one. */
    static constexpr bool isStringProperty (juce::uint16 propertyId)
    {
        return propertyId >= 0x8000 && propertyId <= 0x8018;
    }

protected:
    TidewireClientInputMessage() = default;
};
