// The log view keeps its last lines only, wherever they are added.

#include "AppTestSupport.h"

#include "app/LogView.h"

#include <thread>

using namespace apptest;

namespace
{
juce::String numberedLines (int from, int count)
{
    juce::String text;
    for (int i = from; i < from + count; ++i)
        text << "line " << i << "\n";
    return text;
}
} // namespace

TEST (LogViewTest, KeepsTheLastLinesWhetherTheyComeOneByOneOrAllAtOnce)
{
    LogView view ("Log");
    view.setMultiLine (true, true);
    view.setSize (468, 106); // as in the window: wrapping at zero width would cost far more

    view.addLines (numberedLines (0, LogView::maxLines - 10));
    for (int i = LogView::maxLines - 10; i < LogView::maxLines + 50; ++i)
        view.addLines (numberedLines (i, 1));
    EXPECT_EQ (view.getNumLines(), LogView::maxLines);
    EXPECT_TRUE (view.getText().startsWith ("line 50\n"));
    EXPECT_TRUE (view.getText().endsWith ("line " + juce::String (LogView::maxLines + 49) + "\n"));

    // A burst longer than the view keeps its own end.
    view.addLines (numberedLines (100000, LogView::maxLines + 10));
    EXPECT_EQ (view.getNumLines(), LogView::maxLines);
    EXPECT_TRUE (view.getText().startsWith ("line 100010\n"));
    EXPECT_EQ (view.getText().retainCharacters ("\n").length(), LogView::maxLines);
}

TEST (LogViewTest, ACaretInTheMiddleStaysOnItsLineAsTheTopIsCut)
{
    LogView view ("Log");
    view.setMultiLine (true, true);
    view.setSize (468, 106);
    view.addLines (numberedLines (0, LogView::maxLines));

    // Someone clicked at the start of "line 10": new lines go there, the top goes.
    const auto lineTen = view.getText().indexOf ("line 10\n");
    view.setCaretPosition (lineTen);
    view.addLines ("inserted\n");
    EXPECT_EQ (view.getNumLines(), LogView::maxLines);
    EXPECT_TRUE (view.getText().startsWith ("line 1\n"));
    EXPECT_TRUE (view.getText().contains ("line 9\ninserted\nline 10\n"));
    view.addLines ("next\n");
    EXPECT_TRUE (view.getText().contains ("inserted\nnext\nline 10\n"));
}

TEST (LogViewTest, TheWindowsLogKeepsItsLastLinesWhileStandardErrorGetsAll)
{
    ScopedSettingsFolder settings;
    TempFolder scratch;
    ScopedEnvironment root ("NUBO_DEVICE_ROOT", (scratch / "empty-root").getFullPathName());
    Window w;

    // From another thread, faster than the window takes them.
    std::thread logger (
        [&w]
        {
            for (int i = 0; i < LogView::maxLines * 2; ++i)
                w.main().log ("flood " + juce::String (i));
        });
    logger.join();
    ASSERT_TRUE (
        pumpUntil ([&] { return w.logText().endsWith ("flood " + juce::String (LogView::maxLines * 2 - 1) + "\n"); }));
    EXPECT_LE (w.main().getLogView().getNumLines(), LogView::maxLines);
    EXPECT_EQ (w.logText().retainCharacters ("\n").length(), LogView::maxLines);
}
