#pragma once

#include "device/TransferEngine.h"

#include <juce_gui_basics/juce_gui_basics.h>

class TidewireClient;

/** A progress bar with bytes and percentage and a Cancel button, shown while a transfer
    runs. Cancel aborts the operation as closing the window does: the partial local file
    is removed and the device's file closed while the device still answers. */
class TransferProgress final : public juce::Component, private juce::Button::Listener
{
public:
    explicit TransferProgress (TidewireClient& client);
    ~TransferProgress() override;

    /** Shows the bar for the length of an operation. */
    class Showing final
    {
    public:
        explicit Showing (TransferProgress& progress);
        ~Showing();

    private:
        TransferProgress& owner;
        JUCE_DECLARE_NON_COPYABLE (Showing)
    };

    /** For the engine of the operation shown: its progress goes to the bar, and Cancel
        trips its token. While the bar is not shown, plain options with a fresh token. */
    TransferEngine::Options engineOptions() const;

    /** The fraction shown (0 to 1) and the text on the bar; both stay after the bar hides. */
    double getProgress() const noexcept
    {
        return progress;
    }
    const juce::String& getText() const noexcept
    {
        return text;
    }

    juce::Button& getCancelButton() const noexcept
    {
        return *cancelButton;
    }

    void resized() override;

private:
    void buttonClicked (juce::Button* button) override;
    void begin();
    void end();
    void show (juce::int64 done, juce::int64 total);

    TidewireClient& client; // the main pane's: outlives this
    double progress = 0.0;  // read by the bar's timer
    juce::String text;
    bool cancelled = false;
    int showings = 0;
    CancelToken cancel; // the operation's; a new one for each

    std::unique_ptr<juce::ProgressBar> bar;
    std::unique_ptr<juce::TextButton> cancelButton;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TransferProgress)
};
