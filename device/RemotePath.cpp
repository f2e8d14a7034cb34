#include "device/RemotePath.h"

#include "device/LocalPaths.h"

juce::String RemotePath::normalise (const juce::String& path)
{
    const auto absolute = path.startsWithChar ('/') ? path : juce::String (home) + "/" + path;

    juce::StringArray parts;
    for (auto& part : juce::StringArray::fromTokens (absolute, "/", {}))
    {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..")
        {
            if (!parts.isEmpty())
                parts.remove (parts.size() - 1);
            continue;
        }
        parts.add (part);
    }

    return "/" + parts.joinIntoString ("/");
}

bool RemotePath::isBlank (const juce::String& path)
{
    return path.trim().isEmpty();
}

bool RemotePath::namesFolder (const juce::String& path)
{
    return path.endsWithChar ('/');
}

bool RemotePath::holdsFileSystem (const juce::String& normalisedPath)
{
    const juce::String root (fileSystemRoot);
    return normalisedPath == "/" || normalisedPath == root || root.startsWith (normalisedPath + "/");
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
    return LocalPaths::isSafeName (name);
}

bool RemotePath::namesOneEntry (const juce::String& name)
{
    return name.isNotEmpty() && name != "." && name != ".." && !name.containsChar ('/');
}
