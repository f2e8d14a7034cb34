#pragma once

// Helpers shared by the application's GUI tests: a private settings folder, a
// simulated device visible through a device root, a real main window, and
// message boxes answered by the test.

#include "TestSupport.h"
#include "app/HelloWorldWindow.h"
#include "app/MainPane.h"
#include "app/MessageBoxes.h"
#include "app/Settings.h"
#include "panes/ConnectionPane.h"

#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

namespace apptest
{
constexpr int generousMs = 30000;
inline const juce::String simulatedPortName = "Nubo Device (ttyACM0)";

/** Runs the message loop until the condition holds or the time is up. */
inline bool pumpUntil (const std::function<bool()>& condition, int timeoutMs = generousMs)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
    while (!condition())
    {
        if (juce::Time::getMillisecondCounter() >= deadline)
            return false;
        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);
    }
    return true;
}

/** Lets queued messages (async notifications, repaints) run. */
inline void pump (int ms = 50)
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil (ms);
}

/** Sets an environment variable for the life of the object. */
class ScopedEnvironment final
{
public:
    ScopedEnvironment (const char* nameToSet, const juce::String& value) : name (nameToSet)
    {
        if (const char* old = std::getenv (name))
            previous = juce::String (old);
        hadPrevious = std::getenv (name) != nullptr;
        setenv (name, value.toRawUTF8(), 1);
    }

    ~ScopedEnvironment()
    {
        if (hadPrevious)
            setenv (name, previous.toRawUTF8(), 1);
        else
            unsetenv (name);
    }

private:
    const char* name;
    juce::String previous;
    bool hadPrevious = false;
};

/** A fresh XDG_CONFIG_HOME with the settings store pointed at it. */
class ScopedSettingsFolder final
{
public:
    ScopedSettingsFolder() : environment ("XDG_CONFIG_HOME", folder.get().getFullPathName())
    {
        Settings::configure();
    }

    ~ScopedSettingsFolder()
    {
        Settings::close();
    }

    /** Writes a settings file as the program would have left it. */
    void write (const std::vector<std::pair<juce::String, juce::String>>& values)
    {
        Settings::close();
        juce::XmlElement root ("PROPERTIES");
        for (auto& [key, value] : values)
        {
            auto* e = root.createNewChildElement ("VALUE");
            e->setAttribute ("name", key);
            e->setAttribute ("val", value);
        }
        file().getParentDirectory().createDirectory();
        ASSERT_TRUE (root.writeTo (file()));
        Settings::configure();
    }

    /** What the file on disk holds for key right now (empty when absent). */
    juce::String readFromDisk (const juce::String& key) const
    {
        if (auto xml = juce::parseXML (file()))
            for (auto* e : xml->getChildWithTagNameIterator ("VALUE"))
                if (e->getStringAttribute ("name") == key)
                    return e->getStringAttribute ("val");
        return {};
    }

    juce::File file() const
    {
        return folder.get().getChildFile ("tyx/NuboManufacturingUSBUtility.properties");
    }

private:
    TempFolder folder;
    ScopedEnvironment environment;
};

/** nubo-devsim on a copy of the sample device, visible to port discovery through
    NUBO_DEVICE_ROOT while the object lives. */
class SimulatedDevice final
{
public:
    explicit SimulatedDevice (const juce::StringArray& extraArguments = {}, const juce::String& tty = "ttyACM0")
        : environment ("NUBO_DEVICE_ROOT", (folder / "root").getFullPathName())
    {
        start (extraArguments, tty);
    }

    /** The file the device keeps at this device path. */
    juce::File deviceFile (const juce::String& path) const
    {
        return fsRoot().getChildFile (path.trimCharactersAtStart ("/"));
    }

    juce::File fsRoot() const
    {
        return folder / "fs";
    }
    juce::File deviceRoot() const
    {
        return folder / "root";
    }
    const juce::File& scratch() const
    {
        return folder.get();
    }
    bool isReady() const
    {
        return ready;
    }

    /** A second simulated port in the same device root. */
    bool addPort (const juce::String& tty, int usbPort, const juce::StringArray& extraArguments = {})
    {
        auto extra = std::make_unique<DeviceSimulator>();
        const auto fs = folder / ("fs-" + tty);
        sampleDeviceFolder().copyDirectoryTo (fs);
        juce::StringArray args{"--fs", fs.getFullPathName(), "--device-root", deviceRoot().getFullPathName(),
                               "--tty", tty, "--usb-port", juce::String (usbPort)};
        args.addArray (extraArguments);
        const bool ok = extra->start (args);
        others.push_back (std::move (extra));
        otherTtys.push_back (tty);
        return ok;
    }

    /** Pulls the plug: the simulator ends and its port leaves the device root. */
    void unplug()
    {
        simulator.stop();
    }

    /** Plugs the device in again: a new simulator on the same file system and port name. */
    bool replug (const juce::StringArray& extraArguments = {})
    {
        simulator.stop();
        start (extraArguments, tty);
        return ready;
    }

    /** Pulls the plug of a port added with addPort. */
    void removePort (const juce::String& ttyToRemove)
    {
        for (size_t i = 0; i < others.size(); ++i)
            if (otherTtys[i] == ttyToRemove)
            {
                others[i]->stop();
                others.erase (others.begin() + (std::ptrdiff_t) i);
                otherTtys.erase (otherTtys.begin() + (std::ptrdiff_t) i);
                return;
            }
    }

private:
    void start (const juce::StringArray& extraArguments, const juce::String& ttyToUse)
    {
        tty = ttyToUse;
        ready = fsRoot().isDirectory() || sampleDeviceFolder().copyDirectoryTo (fsRoot());
        juce::StringArray args{
            "--fs", fsRoot().getFullPathName(), "--device-root", deviceRoot().getFullPathName(), "--tty", tty};
        args.addArray (extraArguments);
        ready = ready && simulator.start (args);
    }

    TempFolder folder;
    ScopedEnvironment environment;
    DeviceSimulator simulator;
    std::vector<std::unique_ptr<DeviceSimulator>> others;
    std::vector<juce::String> otherTtys;
    juce::String tty;
    bool ready = false;
};

/** Answers every message box at once and remembers what it said. */
class AnsweredMessageBoxes final
{
public:
    struct Box
    {
        MessageBoxes::Icon icon;
        juce::String text;
    };

    AnsweredMessageBoxes()
    {
        MessageBoxes::setHandler (
            [this] (MessageBoxes::Icon icon, const juce::String& text)
            {
                shown.push_back ({icon, text});
                if (onShow)
                    onShow();
            });
    }

    ~AnsweredMessageBoxes()
    {
        MessageBoxes::setHandler ({});
    }

    std::vector<Box> shown;
    std::function<void()> onShow; // runs while the box would be on screen
};

/** The real main window, as the application builds it. */
class Window final
{
public:
    Window()
    {
        juce::LookAndFeel::setDefaultLookAndFeel (&lookAndFeel); // as the application does
        window = std::make_unique<HelloWorldWindow>();
        pump();
    }

    ~Window()
    {
        window.reset();
        pump (10);
        juce::LookAndFeel::setDefaultLookAndFeel (nullptr);
    }

    MainPane& main() const
    {
        return *window->getMainPane();
    }
    ConnectionPane& connection() const
    {
        return *main().getConnectionPane();
    }
    HelloWorldWindow& frame() const
    {
        return *window;
    }

    juce::String logText() const
    {
        return main().getLogView().getText();
    }

    juce::StringArray logLines() const
    {
        juce::StringArray lines;
        lines.addLines (logText());
        lines.removeEmptyStrings (false);
        return lines;
    }

    bool logContains (const juce::String& line) const
    {
        return logLines().contains (line);
    }

    bool tabEnabled (int index) const
    {
        return main().getTabs().getTabbedButtonBar().getTabButton (index)->isEnabled();
    }

    /** A child of the Connection pane by its component name. */
    template <typename ComponentType> ComponentType& child (const juce::String& name) const
    {
        for (auto* c : connection().getChildren())
            if (c->getName() == name)
                if (auto* typed = dynamic_cast<ComponentType*> (c))
                    return *typed;
        ADD_FAILURE() << "no child named " << name;
        static ComponentType fallback;
        return fallback;
    }

    juce::ComboBox& portBox() const
    {
        return child<juce::ComboBox> ("Com Port Box");
    }
    juce::TextButton& connectButton() const
    {
        return child<juce::TextButton> ("Connect Button");
    }
    juce::TextButton& updateButton() const
    {
        return child<juce::TextButton> ("Update Button");
    }
    juce::TextEditor& updateFileEditor() const
    {
        return child<juce::TextEditor> ("remote folder");
    }

private:
    juce::LookAndFeel_V2 lookAndFeel;
    std::unique_ptr<HelloWorldWindow> window;
};

/** Saves the window as a PNG into NUBO_SCREENSHOT_DIR (scripts/screenshots.sh sets it); nothing
    when it is not set. */
inline void saveScreenshotIfAsked (juce::Component& frame, const juce::String& name)
{
    const auto* target = std::getenv ("NUBO_SCREENSHOT_DIR");
    if (target == nullptr || *target == 0)
        return;
    const auto file = juce::File::getCurrentWorkingDirectory().getChildFile (target).getChildFile (name);
    ASSERT_TRUE (file.getParentDirectory().createDirectory());
    pump (300);
    const auto image = frame.createComponentSnapshot (frame.getLocalBounds());
    file.deleteFile();
    juce::FileOutputStream out (file);
    ASSERT_TRUE (out.openedOk()) << file.getFullPathName();
    ASSERT_TRUE (juce::PNGImageFormat().writeImageToStream (image, out));
    std::cout << "saved " << file.getFullPathName() << std::endl;
}

/** Index of the first log line equal to text at or after from, or -1. */
inline int indexOfLine (const juce::StringArray& lines, const juce::String& text, int from = 0)
{
    for (int i = from; i < lines.size(); ++i)
        if (lines[i] == text)
            return i;
    return -1;
}

/** True when the lines appear in this order (other lines may come between). */
inline bool appearInOrder (const juce::StringArray& lines, const juce::StringArray& expected)
{
    int from = 0;
    for (auto& e : expected)
    {
        const auto i = indexOfLine (lines, e, from);
        if (i < 0)
            return false;
        from = i + 1;
    }
    return true;
}

/** Random bytes in a file. */
inline juce::MemoryBlock writeRandomFile (const juce::File& file, size_t size, juce::int64 seed)
{
    juce::MemoryBlock data (size);
    juce::Random random (seed);
    for (size_t i = 0; i < size; ++i)
        static_cast<char*> (data.getData())[i] = (char) random.nextInt (256);
    file.replaceWithData (data.getData(), data.getSize());
    return data;
}

} // namespace apptest
