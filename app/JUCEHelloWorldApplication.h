#pragma once

#include "log/ILogger.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

class HelloWorldWindow;
class QuitSignalWatcher;
class TidewireClient;

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

    /** The program's arguments as the system handed them over (without the program
        name), for the command-line modes: JUCE's own command line is a joined string
        that loses blanks and quotes inside a path. Call before the runner starts. */
    static void setProgramArguments (const juce::StringArray& arguments);

private:
    /** On the signal watcher's thread: like closing the window, and a failure. */
    void quitOnSignal();

    static std::optional<std::vector<juce::String>>& programArguments();

    std::unique_ptr<QuitSignalWatcher> signalWatcher;    // stopped before the window goes
    std::atomic<TidewireClient*> clientToAbort{nullptr}; // the main pane's, while the window exists
    std::atomic<bool> interruptedBySignal{false};
    std::unique_ptr<HelloWorldWindow> mainWindow;
    juce::LookAndFeel_V2 lookAndFeel;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (JUCEHelloWorldApplication)
};
