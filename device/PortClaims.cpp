#include "device/PortClaims.h"

#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>

namespace
{
std::mutex claimsLock;
struct Claim
{
    juce::String holder;
    juce::String givenPath; // as claimed: the resolved name may be gone by the release (a unit unplugged)
};

std::map<std::string, Claim>& claims()
{
    static std::map<std::string, Claim> held;
    return held;
}

std::string keyOf (const juce::String& path)
{
    char resolved[PATH_MAX];
    return ::realpath (path.toRawUTF8(), resolved) != nullptr ? std::string (resolved) : path.toStdString();
}
} // namespace

juce::String PortClaims::claim (const juce::String& devicePath, const juce::String& holder)
{
    const auto key = keyOf (devicePath);
    const std::lock_guard<std::mutex> guard (claimsLock);
    auto [it, added] = claims().emplace (key, Claim{holder, devicePath});
    return added || it->second.holder == holder ? juce::String() : it->second.holder;
}

void PortClaims::release (const juce::String& devicePath, const juce::String& holder)
{
    const auto key = keyOf (devicePath);
    const std::lock_guard<std::mutex> guard (claimsLock);
    for (auto it = claims().begin(); it != claims().end();)
    {
        if (it->second.holder == holder && (it->first == key || it->second.givenPath == devicePath))
            it = claims().erase (it);
        else
            ++it;
    }
}

juce::String PortClaims::holderOf (const juce::String& devicePath)
{
    const auto key = keyOf (devicePath);
    const std::lock_guard<std::mutex> guard (claimsLock);
    auto it = claims().find (key);
    return it != claims().end() ? it->second.holder : juce::String();
}
