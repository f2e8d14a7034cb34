#include "app/HelloWorldWindow.h"

#include "app/MainPane.h"

HelloWorldWindow::HelloWorldWindow()
    : juce::DocumentWindow ("USB File Utility", juce::Colours::lightgrey, juce::DocumentWindow::allButtons, true)
{
    mainPane = new MainPane();
    setContentOwned (mainPane, false);

    setVisible (true);
    centreWithSize (500, 700);
    setResizable (true, false);
}

HelloWorldWindow::~HelloWorldWindow()
{
    mainPane = nullptr;
    clearContentComponent();
}

void HelloWorldWindow::closeButtonPressed()
{
    // A transfer or an exchange with a device that stopped answering would keep the
    // message thread busy for a long time; make them fail at once so the quit
    // message is reached within moments.
    if (mainPane != nullptr)
        mainPane->client.abortOperations();
    juce::JUCEApplication::quit();
}
