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

TEST (Settings, DamagedFileIsMovedAsideAndReadsAsEmpty)
{
    // Found by fuzz_settings_file. Given the first, JUCE's XML reader ran past the end
    // of the text (its character and byte counts part at each 0xFF); given the second,
    // a processing instruction followed by text inside an element, it looped for ever;
    // given the third, a value holding an element with an element inside, the store
    // crashed writing that value out as text on one line; given the fourth, text that
    // ends inside a character reference, the reader read past its end.
    const juce::MemoryBlock damagedFiles[] = {
        hexBytes ("3c3f786d6c" + juce::String::repeatedString ("ff", 94) + "6f64696e673d225554462d38" +
                  juce::String::repeatedString ("ff", 29) + "6f64696e" + juce::String::repeatedString ("ff", 7) +
                  "203f3e"),
        hexBytes ("3c50524f504552544945533e 3c3f783f3e 61 3c2f50524f504552544945533e"),
        juce::MemoryBlock ("<PROPERTIES><VALUE name=\"LastPort\"><X><Y/></X></VALUE></PROPERTIES>", 67),
        juce::MemoryBlock ("<PROPERTIES>&#x2F6", 18),
    };

    for (const auto& damaged : damagedFiles)
    {
        SCOPED_TRACE (juce::String::toHexString (damaged.getData(), (int) damaged.getSize()));
        ScopedSettingsFolder settings;
        const auto file = Settings::file();
        ASSERT_TRUE (file.getParentDirectory().createDirectory());
        ASSERT_TRUE (file.replaceWithData (damaged.getData(), damaged.getSize()));

        Settings::configure();
        EXPECT_EQ (Settings::read (Settings::lastPortKey), "");

        juce::MemoryBlock kept;
        ASSERT_TRUE (file.getSiblingFile ("NuboManufacturingUSBUtility.properties.unreadable").loadFileAsData (kept));
        EXPECT_EQ (kept, damaged) << "the damaged bytes are kept, not overwritten";

        // The store works on as with no file: a new value is saved and read back.
        Settings::writeAndSave (Settings::lastPortKey, "Nubo Device (ttyACM0)");
        Settings::configure();
        EXPECT_EQ (Settings::read (Settings::lastPortKey), "Nubo Device (ttyACM0)");
    }
}

TEST (Settings, Utf8TextFileIsReadInPlace)
{
    ScopedSettingsFolder settings;
    const auto file = Settings::file();
    ASSERT_TRUE (file.getParentDirectory().createDirectory());
    ASSERT_TRUE (file.replaceWithText (
        juce::String (juce::CharPointer_UTF8 ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PROPERTIES>\n"
                                              "  <VALUE name=\"LocalFolder\" val=\"/home/t\xc3\xa9\x63h\"/>\n"
                                              "</PROPERTIES>\n"))));
    Settings::configure();
    EXPECT_EQ (Settings::read (Settings::localFolderKey),
               juce::String (juce::CharPointer_UTF8 ("/home/t\xc3\xa9\x63h")));
    EXPECT_FALSE (file.getSiblingFile ("NuboManufacturingUSBUtility.properties.unreadable").exists());
}
