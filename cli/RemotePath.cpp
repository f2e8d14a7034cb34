#include "cli/RemotePath.h"

#include "log/GlobalLog.h"

juce::String RemotePath::normalise (const juce::String& path)
{
    auto result = path.startsWithChar ('/') ? path : juce::String (home) + "/" + path;
    while (result.length() > 1 && result.endsWithChar ('/'))
        result = result.dropLastCharacters (1);
    return result;
}

juce::String RemotePath::nameOf (const juce::String& path)
{
    return normalise (path).fromLastOccurrenceOf ("/", false, false);
}

juce::String RemotePath::childOf (const juce::String& folder, const juce::String& name)
{
    return (folder == "/" ? juce::String() : folder) + "/" + name;
}

bool RemotePath::isSafeName (const juce::String& name)
{
    if (name.isEmpty() || name == "." || name == ".." || name.containsAnyOf ("/\\") || name.getNumBytesAsUTF8() > 255)
        return false;

    for (auto p = name.getCharPointer(); !p.isEmpty(); ++p)
        if (isControlCharacter (*p))
            return false;

    return true;
}
