#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <csignal>

int main (int argc, char** argv)
{
    // A pseudo-terminal whose other end vanishes must not kill the test program.
    std::signal (SIGPIPE, SIG_IGN);
    testing::InitGoogleTest (&argc, argv);
    const juce::ScopedJuceInitialiser_GUI juce; // juce_events' message manager, no window
    return RUN_ALL_TESTS();
}
