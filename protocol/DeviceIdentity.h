#pragma once

#include <juce_core/juce_core.h>

#include <string>

/** Who answered a WhoAmI request. */
struct DeviceIdentity
{
    juce::uint16 familyId = 0;
    juce::uint16 deviceId = 0;
    juce::uint16 protocolVersion = 0;
    juce::uint16 firmwareVersion = 0;
    std::string text1;
    std::string text2;
};
