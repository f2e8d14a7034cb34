#include "app/Settings.h"

#include "log/GlobalLog.h"
#include "protocol/ReceivedMessage.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace
{
// JUCE only reads ~/.config/user-dirs.dirs for this folder, not the environment;
// the XDG rule is that XDG_CONFIG_HOME, when set to an absolute path, wins.
juce::File configFolder()
{
    if (const char* xdg = std::getenv ("XDG_CONFIG_HOME"))
    {
        const auto path = juce::String::fromUTF8 (xdg);
        if (juce::File::isAbsolutePath (path))
            return juce::File (path);
    }
    return juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory);
}

juce::PropertiesFile::Options storageOptions()
{
    juce::PropertiesFile::Options options;
    options.applicationName = "NuboManufacturingUSBUtility";
    options.filenameSuffix = "properties";
    // On Linux JUCE puts a relative folder name under the home folder; a full path
    // puts the file in the user's configuration folder where it belongs.
    options.folderName = configFolder().getChildFile ("tyx").getFullPathName();
    options.millisecondsBeforeSaving = 500;
    options.storageFormat = juce::PropertiesFile::storeAsXML;
    return options;
}

int elementDepth (const juce::XmlElement& element)
{
    int deepest = 0;
    for (auto* child : element.getChildIterator())
        if (!child->isTextElement())
            deepest = juce::jmax (deepest, elementDepth (*child));
    return 1 + deepest;
}

/** True when the text ends inside a hexadecimal character reference ("&#x41" and no
    ';'): JUCE's reader then steps past the end of the text. */
bool endsInsideHexReference (const juce::String& text)
{
    for (auto p = text.getCharPointer(); !p.isEmpty(); ++p)
    {
        if (*p != '&' || p[1] != '#' || (p[2] != 'x' && p[2] != 'X'))
            continue;
        auto digits = p + 3;
        while (juce::CharacterFunctions::getHexDigitValue (*digits) >= 0)
            ++digits;
        if (digits.isEmpty())
            return true;
    }
    return false;
}

/** Whether JUCE's XML reader, and the store after it, can be given these bytes. The
    reader takes the text for well-formed UTF-8 and reads past the end of text that
    is not; it loops for ever on a processing instruction ("<?...?>") followed by
    text inside an element; and it reads past the end of text that ends inside a
    character reference. The store writes a value that holds an element out as
    text on one line, and crashes when that element holds another. The files it
    writes itself have one processing instruction, the declaration at the start, and
    values as attributes, and nothing else comes near it. */
bool isSafeToParse (const juce::MemoryBlock& bytes)
{
    const auto* text = static_cast<const juce::uint8*> (bytes.getData());
    if (bytes.getSize() > (size_t) std::numeric_limits<int>::max() ||
        !ReceivedMessage::isValidUtf8 (text, (int) bytes.getSize()))
        return false;

    const auto content = juce::String::fromUTF8 (static_cast<const char*> (bytes.getData()), (int) bytes.getSize());
    const auto start = content.trimStart();
    const auto firstInstruction = content.indexOf ("<?");
    const auto declarationOnly = firstInstruction < 0 || (start.startsWith ("<?") && start.indexOf (2, "<?") < 0);
    if (!declarationOnly || endsInsideHexReference (content))
        return false;

    // The settings, their values, an element a value holds: no deeper.
    const auto xml = juce::parseXML (content);
    return xml == nullptr || elementDepth (*xml) <= 3;
}

/** A damaged file (a failing disk, a stray editor) is moved aside, its bytes kept,
    and the program starts with empty settings, as it would without a file. */
void setAsideUnreadableFile (const juce::File& file)
{
    juce::MemoryBlock bytes;
    if (!file.existsAsFile() || !file.loadFileAsData (bytes) || isSafeToParse (bytes))
        return;

    const auto aside = file.getSiblingFile (file.getFileName() + ".unreadable");
    const auto moved = (!aside.exists() || aside.deleteFile()) && file.moveFileTo (aside);
    const auto line = "Settings file " + file.getFullPathName() + " is damaged; " +
                      (moved ? "moved to " + aside.getFullPathName() + ", starting with empty settings"
                             : juce::String ("it could not be moved aside"));
    // Usually no logger is in the slot yet at start-up, so the line goes to standard error too.
    std::fprintf (stderr, "%s\n", line.toRawUTF8());
    globalLog (line);
}

void applyStorageParameters (juce::ApplicationProperties& p)
{
    const auto options = storageOptions();
    setAsideUnreadableFile (options.getDefaultFile());
    p.setStorageParameters (options);
}

// Created on first use (C++ makes that thread-safe) and released at exit; close()
// saves it before JUCE shuts down.
juce::ApplicationProperties& properties()
{
    static juce::ApplicationProperties instance;
    return instance;
}
} // namespace

void Settings::configure()
{
    auto& p = properties();
    p.closeFiles();
    applyStorageParameters (p);
}

juce::ApplicationProperties& Settings::store()
{
    auto& p = properties();
    if (p.getStorageParameters().applicationName.isEmpty())
        applyStorageParameters (p);
    return p;
}

juce::String Settings::read (const juce::String& key)
{
    if (auto* user = store().getUserSettings())
        return user->getValue (key, {});
    return {};
}

void Settings::write (const juce::String& key, const juce::String& value)
{
    if (auto* user = store().getUserSettings())
        user->setValue (key, value);
}

void Settings::writeAndSave (const juce::String& key, const juce::String& value)
{
    if (auto* user = store().getUserSettings())
    {
        user->setValue (key, value);
        user->save(); // a file that cannot be written keeps the value in memory, silently
    }
}

void Settings::close()
{
    properties().closeFiles();
}

juce::File Settings::file()
{
    return storageOptions().getDefaultFile();
}
