#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <csignal>

int main (int argc, char** argv)
{
    std::signal (SIGPIPE, SIG_IGN);
    testing::InitGoogleTest (&argc, argv);
    const juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
