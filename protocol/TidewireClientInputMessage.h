#pragma once

#include <juce_core/juce_core.h>

class ReceivedMessage;

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

/** A property ID and its value, as GetPropertyResponse and property-change
    notifications carry them: a string for the string-valued IDs, else an i32. */
class PropertyValue
{
public:
    juce::uint16 getPropertyId() const
    {
        return propertyId;
    }
    bool isString() const
    {
        return stringValued;
    }
    juce::int32 getIntValue() const
    {
        return intValue;
    }
    const juce::String& getStringValue() const
    {
        return stringValue;
    }

protected:
    /** Reads the u16 ID, then the value of the kind the ID calls for. */
    void readPropertyValue (ReceivedMessage& message);

private:
    juce::uint16 propertyId = 0;
    bool stringValued = false;
    juce::int32 intValue = 0;
    juce::String stringValue;
};
