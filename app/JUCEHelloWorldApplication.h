#pragma once

#include "log/ILogger.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

class HelloWorldWindow;

/** The application object: look-and-feel, settings store, main window, and the
    command-line modes of the production line. */
class JUCEHelloWorldApplication final : public juce::JUCEApplication, public ILogger
{
public:
    JUCEHelloWorldApplication();
    ~JUCEHelloWorldApplication() override;

    //==============================================================================
    void initialise (const juce::String& commandLine) override;
    void shutdown() override;
    const juce::String getApplicationName() override;
    const juce::String getApplicationVersion() override;
    bool moreThanOneInstanceAllowed() override;
    void anotherInstanceStarted (const juce::String& commandLine) override;

    /** Discards the line: the main pane is the program's logger. */
    void log (juce::String line) override;

private:
    std::unique_ptr<HelloWorldWindow> mainWindow;
    juce::LookAndFeel_V2 lookAndFeel;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (JUCEHelloWorldApplication)
};
