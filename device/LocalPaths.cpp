#include "device/LocalPaths.h"

#include "log/GlobalLog.h"

#include <climits>

bool LocalPaths::isSafeName (const juce::String& name)
{
    if (name.isEmpty() || name == "." || name == ".." || name.startsWithChar ('~') || name.containsAnyOf ("/\\"))
        return false;

    if (name.getNumBytesAsUTF8() > (size_t) NAME_MAX)
        return false;

    for (auto p = name.getCharPointer(); !p.isEmpty(); ++p)
        if (isControlCharacter (*p))
            return false;

    return true;
}

juce::File LocalPaths::childOf (const juce::File& folder, const juce::String& name)
{
    if (folder == juce::File() || !isSafeName (name))
        return {};

    // Joined as text onto an absolute path, so that JUCE has nothing left to interpret;
    // checked all the same, should it ever normalise something away.
    const auto base = folder.getFullPathName();
    const juce::File child (base.endsWithChar ('/') ? base + name : base + "/" + name);

    if (child.getParentDirectory() != folder || child.getFileName() != name)
        return {};
    return child;
}

juce::File LocalPaths::resolve (const juce::String& path)
{
    if (path.isEmpty())
        return {};

    // JUCE's File and getChildFile take a leading "~" for a home folder.
    if (path.startsWithChar ('/'))
        return juce::File (path);

    return juce::File (juce::File::getCurrentWorkingDirectory().getFullPathName() + "/" + path);
}

bool LocalPaths::fitsSystemLimits (const juce::File& file)
{
    const auto path = file.getFullPathName();
    if (path.getNumBytesAsUTF8() >= (size_t) PATH_MAX)
        return false;

    for (auto& name : juce::StringArray::fromTokens (path, "/", {}))
        if (name.getNumBytesAsUTF8() > (size_t) NAME_MAX)
            return false;

    return true;
}
