#include "app/Settings.h"

#include <cstdlib>

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
    p.setStorageParameters (storageOptions());
}

juce::ApplicationProperties& Settings::store()
{
    auto& p = properties();
    if (p.getStorageParameters().applicationName.isEmpty())
        p.setStorageParameters (storageOptions());
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
