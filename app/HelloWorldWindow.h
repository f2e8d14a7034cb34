#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

class MainPane;

/** The program's only top-level window, "USB File Utility"; its content is the main pane. */
class HelloWorldWindow final : public juce::DocumentWindow
{
public:
    HelloWorldWindow();
    ~HelloWorldWindow() override;

    /** Stops whatever the device is doing and quits the application. */
    void closeButtonPressed() override;

    MainPane* getMainPane() const
    {
        return mainPane;
    }

private:
    MainPane* mainPane = nullptr; // owned by the window as its content; lives as long as the window

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (HelloWorldWindow)
};
