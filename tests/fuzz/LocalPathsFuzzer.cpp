// Names from the device as a folder fetch turns them into local paths: whatever
// the bytes, a name the check lets through names one entry directly inside the
// folder, and every other name yields no file at all.

#include "device/LocalPaths.h"
#include "protocol/ReceivedMessage.h"

#include <cstdlib>

namespace
{
/** The name exactly as the device's bytes become a string on this side. */
juce::String nameFrom (const uint8_t* data, size_t size)
{
    const auto n = (int) std::min (size, (size_t) ReceivedMessage::maxBodySize - 4);
    juce::MemoryOutputStream bytes;
    bytes.writeShort (0x0012);
    bytes.writeInt (n + 4);
    bytes.writeInt (n);
    bytes.write (data, (size_t) n);

    ReceivedMessage message;
    message.append (bytes.getData(), (int) bytes.getDataSize());
    message.readUInt16();
    message.readInt32();
    return message.readString();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    // An ordinary folder, one whose name has a space, and the root (whose path ends in "/").
    static const juce::File folders[] = {juce::File ("/tmp/nubo-fuzz/local"), juce::File ("/home/tech/my folder"),
                                         juce::File ("/")};

    const auto name = nameFrom (data, size);
    const auto safe = LocalPaths::isSafeName (name);

    // What a name must never be let through as: a path, a climb, a home folder.
    if (safe &&
        (name.isEmpty() || name == "." || name == ".." || name.containsAnyOf ("/\\") || name.startsWithChar ('~')))
        std::abort();

    for (const auto& folder : folders)
    {
        const auto child = LocalPaths::childOf (folder, name);
        if (child == juce::File())
            continue;

        // Let through: one entry, right inside the folder, under the name it was given.
        if (!safe || child.getParentDirectory() != folder || child.getFileName() != name || !child.isAChildOf (folder))
            std::abort();
    }

    return 0;
}
