// The settings file as the program finds it on disk: anything at all, loaded by
// the same store and read for the keys the panes use.

#include "app/Settings.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    static const juce::TemporaryFile home ("fuzz-settings");
    static const bool ready = []
    {
        juce::MessageManager::getInstance(); // this thread is the message thread, as in the program
        home.getFile().createDirectory();
        ::setenv ("XDG_CONFIG_HOME", home.getFile().getFullPathName().toRawUTF8(), 1);
        std::atexit ([] { home.getFile().deleteRecursively(); });
        return true;
    }();
    juce::ignoreUnused (ready);

    // Let go of the previous file first: the store reads a file when it opens it.
    Settings::close();
    const auto file = Settings::file();
    if (!file.getParentDirectory().createDirectory() || !file.replaceWithData (data, size))
        std::abort();
    Settings::configure();

    for (const auto* key :
         {Settings::lastPortKey, Settings::updateFileKey, Settings::remoteFolderKey, Settings::localFolderKey})
        Settings::read (key).toStdString();

    return 0;
}
