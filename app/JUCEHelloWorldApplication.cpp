#include "app/JUCEHelloWorldApplication.h"

#include "app/CommandLineModes.h"
#include "app/HelloWorldWindow.h"
#include "app/MainPane.h"
#include "device/QuitSignalWatcher.h"
#include "app/Settings.h"

JUCEHelloWorldApplication::JUCEHelloWorldApplication() = default;

JUCEHelloWorldApplication::~JUCEHelloWorldApplication() = default;

void JUCEHelloWorldApplication::initialise (const juce::String& commandLine)
{
    // After JUCE's own SIGINT handler, which only notes the key press.
    signalWatcher = std::make_unique<QuitSignalWatcher> ([this] (int) { quitOnSignal(); });

    juce::LookAndFeel::setDefaultLookAndFeel (&lookAndFeel);
    Settings::configure();

    // Building the window builds the main pane, the client and the Connection pane,
    // which selects the remembered port before the modes below look at it.
    mainWindow = std::make_unique<HelloWorldWindow>();
    clientToAbort = &mainWindow->getMainPane()->client;
    if (interruptedBySignal) // arrived while the window was being built
        mainWindow->getMainPane()->client.abortOperations();

    auto& pane = *mainWindow->getMainPane()->getConnectionPane();
    std::optional<int> status;
    if (const auto& arguments = programArguments())
        status = CommandLineModes::runArguments (juce::StringArray (arguments->data(), (int) arguments->size()), pane);
    else
        status = CommandLineModes::run (commandLine, pane);
    if (status.has_value())
    {
        setApplicationReturnValue (interruptedBySignal ? -1 : *status);
        quit();
    }
}

void JUCEHelloWorldApplication::quitOnSignal()
{
    // The flag first: initialise looks at it after publishing the client.
    interruptedBySignal = true;
    // The message thread may be waiting for the device: make that end now.
    if (auto* client = clientToAbort.load())
        client->abortOperations();

    juce::MessageManager::callAsync (
        []
        {
            if (auto* app = juce::JUCEApplicationBase::getInstance())
                app->setApplicationReturnValue (-1);
            juce::JUCEApplicationBase::quit();
        });
}

void JUCEHelloWorldApplication::setProgramArguments (const juce::StringArray& arguments)
{
    programArguments() = std::vector<juce::String> (arguments.begin(), arguments.end());
}

std::optional<std::vector<juce::String>>& JUCEHelloWorldApplication::programArguments()
{
    static std::optional<std::vector<juce::String>> arguments;
    return arguments;
}

void JUCEHelloWorldApplication::shutdown()
{
    signalWatcher.reset();
    clientToAbort = nullptr;
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
