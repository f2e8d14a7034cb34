// Where the settings file lives and what it looks like on disk.

#include "AppTestSupport.h"

using namespace apptest;

TEST (Settings, FileIsTheXmlPropertiesFileInTheConfigFolder)
{
    ScopedSettingsFolder settings;
    const auto expected = juce::File (juce::String (std::getenv ("XDG_CONFIG_HOME")))
                              .getChildFile ("tyx/NuboManufacturingUSBUtility.properties");
    EXPECT_EQ (Settings::file(), expected);

    Settings::writeAndSave (Settings::lastPortKey, "Nubo Device (ttyACM0)");
    Settings::write (Settings::localFolderKey, "/home/someone/images");
    ASSERT_TRUE (expected.existsAsFile()) << "saved at once";
    Settings::close();

    const auto xml = juce::parseXML (expected);
    ASSERT_NE (xml, nullptr);
    EXPECT_EQ (xml->getTagName(), "PROPERTIES");
    juce::StringPairArray values;
    for (auto* e : xml->getChildWithTagNameIterator ("VALUE"))
        values.set (e->getStringAttribute ("name"), e->getStringAttribute ("val"));
    EXPECT_EQ (values["LastPort"], "Nubo Device (ttyACM0)");
    EXPECT_EQ (values["LocalFolder"], "/home/someone/images") << "written at the latest when the store closes";

    // A later run reads them back; absent keys read as empty.
    Settings::configure();
    EXPECT_EQ (Settings::read (Settings::lastPortKey), "Nubo Device (ttyACM0)");
    EXPECT_EQ (Settings::read (Settings::remoteFolderKey), "");
}

TEST (Settings, WithoutXdgConfigHomeTheFileIsInDotConfigOfTheHomeFolder)
{
    TempFolder home;
    ScopedEnvironment homeVariable ("HOME", home.get().getFullPathName());
    ScopedEnvironment xdg ("XDG_CONFIG_HOME", "relative/paths/do/not/count");
    Settings::configure();
    EXPECT_EQ (Settings::file(), home.get().getChildFile (".config/tyx/NuboManufacturingUSBUtility.properties"));

    Settings::writeAndSave (Settings::updateFileKey, "/images/update.bin");
    EXPECT_TRUE (Settings::file().existsAsFile());
    Settings::close();
}
