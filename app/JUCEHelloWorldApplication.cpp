#include "app/JUCEHelloWorldApplication.h"

#include "app/CommandLineModes.h"
#include "app/HelloWorldWindow.h"
#include "app/MainPane.h"
#include "app/Settings.h"

JUCEHelloWorldApplication::JUCEHelloWorldApplication() = default;

JUCEHelloWorldApplication::~JUCEHelloWorldApplication() = default;

void JUCEHelloWorldApplication::initialise (const juce::String& commandLine)
{
    juce::LookAndFeel::setDefaultLookAndFeel (&lookAndFeel);
    Settings::configure();

    // Building the window builds the main pane, the client and the Connection pane,
    // which selects the remembered port before the modes below look at it.
    mainWindow = std::make_unique<HelloWorldWindow>();

    if (const auto status = CommandLineModes::run (commandLine, *mainWindow->getMainPane()->getConnectionPane()))
    {
        setApplicationReturnValue (*status);
        quit();
    }
}

void JUCEHelloWorldApplication::shutdown()
{
    mainWindow.reset();
    Settings::close();
    juce::LookAndFeel::setDefaultLookAndFeel (nullptr);
}

const juce::String JUCEHelloWorldApplication::getApplicationName()
{
    return "Hello World for JUCE";
}

const juce::String JUCEHelloWorldApplication::getApplicationVersion()
{
    return "1.0";
}

bool JUCEHelloWorldApplication::moreThanOneInstanceAllowed()
{
    return true;
}

void JUCEHelloWorldApplication::anotherInstanceStarted (const juce::String&) {}

void JUCEHelloWorldApplication::log (juce::String) {}
