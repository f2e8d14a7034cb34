// Not a check but a picture for review: scripts/screenshots.sh runs this with
// NUBO_SCREENSHOT_DIR set, and it saves the main window on each tab as PNG,
// connected to nubo-devsim so that the File System tab shows a folder.

#include "AppTestSupport.h"

#include "panes/FileSystemPane.h"

using namespace apptest;

TEST (Screenshots, MainWindowOnEachTab)
{
    const auto* target = std::getenv ("NUBO_SCREENSHOT_DIR");
    if (target == nullptr || *target == 0)
        GTEST_SKIP() << "set NUBO_SCREENSHOT_DIR to save screenshots";
    const juce::File folder (juce::File::getCurrentWorkingDirectory().getChildFile (target));
    ASSERT_TRUE (folder.createDirectory());

    SimulatedDevice device;
    ASSERT_TRUE (device.isReady());
    ScopedSettingsFolder settings;
    TempFolder local;
    settings.write ({{Settings::lastPortKey, simulatedPortName},
                     {Settings::updateFileKey, (local / "nubo-update.bin").getFullPathName()}});
    AnsweredMessageBoxes boxes;

    Window w;
    ASSERT_TRUE (w.connection().connect()) << w.logText();

    auto save = [&] (const juce::String& name)
    {
        pump (300);
        auto& frame = w.frame();
        const auto image = frame.createComponentSnapshot (frame.getLocalBounds());
        const auto file = folder.getChildFile (name);
        file.deleteFile();
        juce::FileOutputStream out (file);
        ASSERT_TRUE (out.openedOk()) << file.getFullPathName();
        ASSERT_TRUE (juce::PNGImageFormat().writeImageToStream (image, out));
        std::cout << "saved " << file.getFullPathName() << std::endl;
    };

    save ("connection-tab.png");

    w.main().getTabs().setCurrentTabIndex (1);
    auto* files = w.main().getFileSystemPane();
    ASSERT_NE (files, nullptr);
    pumpUntil ([&] { return files->getTree().getNumRowsInTree() > 1; }, 10000);
    save ("file-system-tab.png");
}
