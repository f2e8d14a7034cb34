#include "panes/NameAssigner.h"

#include <gtest/gtest.h>

namespace
{
/** The dialog in a window of its own and its real modal loop; keys arrive through
    the window's peer as a person's would. */
class NameAssignerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        window.setSize (320, 100);
        window.addAndMakeVisible (dialog);
        dialog.setTopLeftPosition (10, 10);
        window.addToDesktop (0);
        window.setVisible (true);
    }

    /** Runs the modal loop while the actions are played into it, one message each. */
    int runWith (std::vector<std::function<void()>> actions)
    {
        for (auto& action : actions)
            juce::MessageManager::callAsync (action);
        // A dialog that never answers fails the test instead of hanging it. The
        // watchdog is stopped with the loop, so nothing is left pending at exit.
        Watchdog watchdog (dialog);
        watchdog.startTimer (20000);
        return dialog.runModalLoop();
    }

    struct Watchdog final : juce::Timer
    {
        explicit Watchdog (NameAssigner& d) : dialog (d) {}
        ~Watchdog() override { stopTimer(); }
        void timerCallback() override
        {
            stopTimer();
            if (dialog.isCurrentlyModal())
                dialog.exitModalState (-99);
        }
        NameAssigner& dialog;
    };

    std::function<void()> press (juce::KeyPress key)
    {
        return [this, key] { window.getPeer()->handleKeyPress (key); };
    }
    std::function<void()> type (juce::juce_wchar c)
    {
        return press (juce::KeyPress (c, {}, c));
    }
    std::function<void()> click (const juce::String& buttonName)
    {
        return [this, buttonName]
        {
            for (auto* c : dialog.getChildren())
                if (c->getName() == buttonName)
                    dynamic_cast<juce::Button*> (c)->triggerClick();
        };
    }

    const std::function<void()> returnKey = press (juce::KeyPress (juce::KeyPress::returnKey));
    const std::function<void()> escapeKey = press (juce::KeyPress (juce::KeyPress::escapeKey));
    juce::Component window;
    NameAssigner dialog;
};
} // namespace

TEST_F (NameAssignerTest, EveryWayOfAnsweringEndsTheLoopWithItsResult)
{
    for (bool question : {false, true})
    {
        SCOPED_TRACE (question ? "question" : "name");
        const std::vector<std::pair<std::function<void()>, int>> answers{
            {click ("_cancelButton"), 0}, {click ("cancel button"), 1}, {returnKey, 0}, {escapeKey, 1}};
        for (auto& [answer, result] : answers)
        {
            question ? dialog.setUpForQuestion ("Delete b?") : dialog.setUpForName ("b", false);
            EXPECT_EQ (runWith ({answer}), result);
        }
    }
}

TEST_F (NameAssignerTest, TypingReplacesInsertsOrIsRefusedAsSetUp)
{
    dialog.setUpForName ("NewFolder", true);
    EXPECT_EQ (runWith ({type ('x'), type ('y'), returnKey}), 0);
    EXPECT_EQ (dialog.getEnteredText(), "xy");

    dialog.setUpForName ("/mnt/a", false);
    EXPECT_EQ (runWith ({type ('x'), returnKey}), 0);
    EXPECT_EQ (dialog.getEnteredText().length(), 7);
    EXPECT_EQ (dialog.getEnteredText().removeCharacters ("x"), "/mnt/a");

    dialog.setUpForQuestion ("Delete b?");
    EXPECT_EQ (runWith ({type ('x'), returnKey}), 0);
    EXPECT_EQ (dialog.getEnteredText(), "Delete b?");

    dialog.setUpForName ("", false); // the question leaves nothing behind
    EXPECT_EQ (runWith ({type ('z'), returnKey}), 0);
    EXPECT_EQ (dialog.getEnteredText(), "z");
}
