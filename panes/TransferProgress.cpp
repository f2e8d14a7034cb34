#include "panes/TransferProgress.h"

#include "protocol/TidewireClient.h"

#include <cmath>

TransferProgress::TransferProgress (TidewireClient& clientToWatch) : client (clientToWatch)
{
    setName ("transfer progress");

    bar = std::make_unique<juce::ProgressBar> (progress);
    addAndMakeVisible (bar.get());
    bar->setName ("progress bar");

    cancelButton = std::make_unique<juce::TextButton> ("cancel button");
    addAndMakeVisible (cancelButton.get());
    cancelButton->setButtonText ("Cancel");
    cancelButton->addListener (this);

    setVisible (false);
}

TransferProgress::~TransferProgress()
{
    if (showings > 0)
        client.setTransferProgressCallback (nullptr);

    bar.reset();
    cancelButton.reset();
}

void TransferProgress::resized()
{
    const auto buttonWidth = 70;
    bar->setBounds (0, 0, juce::jmax (0, getWidth() - buttonWidth - 4), getHeight());
    cancelButton->setBounds (getWidth() - buttonWidth, 0, buttonWidth, getHeight());
}

void TransferProgress::buttonClicked (juce::Button* button)
{
    // The click arrives while the operation still runs (its exchanges let the window's
    // messages through); it ends with its next exchange.
    if (button == cancelButton.get() && showings > 0 && !cancelled)
    {
        cancelled = true;
        cancelButton->setEnabled (false);
        client.abortOperations();
    }
}

void TransferProgress::begin()
{
    if (showings++ > 0)
        return;

    cancelled = false;
    progress = 0.0;
    text.clear();
    bar->setTextToDisplay (text);
    cancelButton->setEnabled (true);
    client.setTransferProgressCallback ([this] (juce::int64 done, juce::int64 total) { show (done, total); });
    setVisible (true);
    toFront (false);
}

void TransferProgress::end()
{
    if (--showings > 0)
        return;

    client.setTransferProgressCallback (nullptr);
    setVisible (false);

    // Only what this Cancel did is undone; a close of the window keeps its abort.
    if (cancelled)
        client.resetAbort();
    cancelled = false;
}

void TransferProgress::show (juce::int64 done, juce::int64 total)
{
    // An empty file is complete as soon as it is opened.
    progress = total > 0 ? juce::jlimit (0.0, 1.0, (double) done / (double) total) : 1.0;
    text = juce::String (done) + " of " + juce::String (total) + " bytes (" +
           juce::String ((int) std::floor (progress * 100.0)) + "%)";
    bar->setTextToDisplay (text);
}

//==============================================================================
TransferProgress::Showing::Showing (TransferProgress& progress) : owner (progress)
{
    owner.begin();
}

TransferProgress::Showing::~Showing()
{
    owner.end();
}
