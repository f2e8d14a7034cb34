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
        cancel.cancel();
        client.abortOperations();
    }
}

void TransferProgress::begin()
{
    if (showings++ > 0)
        return;

    cancelled = false;
    cancel = CancelToken();
    progress = 0.0;
    text.clear();
    bar->setTextToDisplay (text);
    cancelButton->setEnabled (true);
    setVisible (true);
    toFront (false);
}

void TransferProgress::end()
{
    if (--showings > 0)
        return;

    setVisible (false);

    // Only what this Cancel did is undone; a close of the window keeps its abort.
    if (cancelled)
        client.resetAbort();
    cancelled = false;
}

TransferEngine::Options TransferProgress::engineOptions() const
{
    TransferEngine::Options options;
    // Not shown, there is no Cancel to press: a token of its own, never the last one's.
    if (showings == 0)
        return options;

    options.cancel = cancel;
    // The bar hears only the operation it is shown for.
    options.progress = [this, showing = cancel] (juce::int64 done, juce::int64 total)
    {
        if (showings > 0 && !showing.isCancelled())
            const_cast<TransferProgress*> (this)->show (done, total);
    };
    return options;
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
