#include "app/MainPane.h"

#include "log/GlobalLog.h"
#include "panes/ConnectionPane.h"
#include "panes/FileSystemPane.h"
#include "panes/ProductionPane.h"

#include <cstdio>

namespace
{
void writeToStandardError (const juce::String& line)
{
    const auto text = line + "\n";
    std::fwrite (text.toRawUTF8(), 1, text.getNumBytesAsUTF8(), stderr);
    std::fflush (stderr);
}
} // namespace

MainPane::MainPane()
{
    tabs = std::make_unique<juce::TabbedComponent> (juce::TabbedButtonBar::TabsAtTop);
    addAndMakeVisible (tabs.get());
    tabs->setTabBarDepth (28);

    connectionPane = new ConnectionPane (this);
    tabs->addTab ("Connection", juce::Colours::white, connectionPane, true);
    fileSystemPane = new FileSystemPane (this);
    tabs->addTab ("File System", juce::Colours::white, fileSystemPane, true);
    productionPane = new ProductionPane (this);
    tabs->addTab ("Production", juce::Colours::white, productionPane, true);
    tabs->setCurrentTabIndex (0);

    logView = std::make_unique<LogView> ("Log");
    addAndMakeVisible (logView.get());
    logView->setMultiLine (true, true);
    logView->setReturnKeyStartsNewLine (true);
    logView->setReadOnly (false);
    logView->setScrollbarsShown (true);
    logView->setCaretVisible (true);
    logView->setPopupMenuEnabled (true);
    logView->setColour (juce::TextEditor::shadowColourId, juce::Colour (0x8a191818));
    logView->setText ({});

    setSize (600, 400);

    // Lines logged before this point (port discovery while the Connection pane
    // filled its box) were dropped by the empty slot, as intended.
    setGlobalLogger (this);
    client.addListener (this);

    // Transfers log only every 256 blocks; between exchanges the window still
    // repaints and hears a click on Close (which aborts the operation).
    client.setBetweenExchangesCallback ([] {
        auto* mm = juce::MessageManager::getInstanceWithoutCreating();
        if (mm != nullptr && mm->isThisTheMessageThread())
            mm->runDispatchLoopUntil (0);
    });

    deviceDisconnected();
}

MainPane::~MainPane()
{
    // The station's threads log here and hold ports of their own: they end first.
    if (productionPane != nullptr)
        productionPane->shutDownStation();

    // Nothing may reach this pane, its log view or the port once teardown starts:
    // leave the logger slot (waits for a line being handed over), stop hearing
    // from the client, and stop the client's streams before the port goes.
    tearingDown = true;
    if (globalLogger() == this)
        setGlobalLogger (nullptr);
    client.removeListener (this);
    client.setBetweenExchangesCallback (nullptr);
    client.disconnect();
    logFlusher.cancel();

    connectionPane = nullptr;
    fileSystemPane = nullptr;
    productionPane = nullptr;
    tabs.reset();
    logView.reset();
}

//==============================================================================
void MainPane::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour (0xffdddddd));
}

void MainPane::resized()
{
    const auto w = getWidth();
    const auto h = getHeight();
    tabs->setBounds (8, 8, w - 16, h - 146);
    logView->setBounds (16, h - 122, w - 32, 106);
}

//==============================================================================
void MainPane::log (juce::String line)
{
    // Texts from the device (names, identity, property values) arrive as they are.
    line = escapeControlCharacters (line);

    {
        const juce::ScopedLock sl (pendingLogLock);
        // Under the lock, so standard error sees the lines in the log's order.
        writeToStandardError (line);
        if (tearingDown)
        {
            pendingLogLines.clear();
            return;
        }

        // While the message thread is busy the lines wait here; the view would only keep
        // the last ones anyway.
        pendingLogLines.add (line);
        if (pendingLogLines.size() > LogView::maxLines)
            pendingLogLines.removeRange (0, pendingLogLines.size() - LogView::maxLines);
    }

    auto* mm = juce::MessageManager::getInstanceWithoutCreating();
    if (mm != nullptr && mm->isThisTheMessageThread())
    {
        // Device operations run on this thread; letting pending messages through
        // here is what keeps the window painting and answering while one runs.
        // Dispatch before touching the log view: updating it asks the X server
        // questions, and the answers pull waiting input events (a click on the
        // close button) off the socket, where JUCE's loop would no longer see them.
        mm->runDispatchLoopUntil (0);
        flushPendingLog();
    }
    else
    {
        // Never wait for the message thread: it may be the one stopping this thread.
        logFlusher.triggerAsyncUpdate();
    }
}

void MainPane::flushPendingLog()
{
    lastFlushMs = juce::Time::getMillisecondCounter();

    juce::StringArray lines;
    {
        const juce::ScopedLock sl (pendingLogLock);
        lines.swapWith (pendingLogLines);
    }

    if (!lines.isEmpty() && logView != nullptr)
        logView->addLines (lines.joinIntoString ("\n") + "\n");
}

//==============================================================================
void MainPane::eventReceived (int eventId, juce::int64 argument)
{
    log ("Event " + juce::String (eventId) + ", arg " + juce::String ((juce::int32) argument) + ".");
}

void MainPane::propertyChanged (juce::Array<juce::uint16>, int propertyId, int value)
{
    log ("Prop " + juce::String (propertyId) + ": value " + juce::String (value) + ".");
}

void MainPane::stringPropertyChanged (juce::Array<juce::uint16>, int propertyId, juce::String value)
{
    log ("Prop " + juce::String (propertyId) + ":");
    log (value);
}

void MainPane::connectionLost()
{
    juce::Component::SafePointer<MainPane> safeThis (this);
    juce::MessageManager::callAsync (
        [safeThis]
        {
            if (safeThis != nullptr)
                safeThis->handleConnectionLost();
        });
}

void MainPane::handleConnectionLost()
{
    // An operation in progress finds out through its failing exchanges and is not to lose
    // the port under it; it ends soon, and this runs again then. A loss of a connection
    // since replaced (or closed) is no longer the client's.
    if (operationRunning || tearingDown || !client.isLinkLost())
        return;

    // Released before the line: logging lets waiting messages through, this one's second
    // notice among them, which must find the loss handled.
    if (connectionPane != nullptr)
        connectionPane->releasePortAfterLoss();
    else
        client.disconnect();
    deviceDisconnected();
    log ("Device disconnected");
}

void MainPane::deviceOperationEnded()
{
    handleConnectionLost();
    if (connectionPane != nullptr)
        connectionPane->updateButtons();
}

//==============================================================================
void MainPane::deviceConnected()
{
    auto& bar = tabs->getTabbedButtonBar();
    for (int i = 0; i < bar.getNumTabs(); ++i)
        bar.getTabButton (i)->setEnabled (true);
}

void MainPane::deviceDisconnected()
{
    if (connectionPane != nullptr)
        connectionPane->closePort();

    // The Production tab has ports of its own and stays as it is.
    if (tabs->getCurrentTabIndex() == fileSystemTab)
        tabs->setCurrentTabIndex (0);
    tabs->getTabbedButtonBar().getTabButton (fileSystemTab)->setEnabled (false);
}

//==============================================================================
MainPane::DeviceOperation::DeviceOperation (MainPane& owner) : pane (owner)
{
    if (!pane.operationRunning)
        pane.operationRunning = acquired = true;
}

MainPane::DeviceOperation::~DeviceOperation()
{
    if (acquired)
    {
        pane.operationRunning = false;
        pane.deviceOperationEnded();
    }
}

//==============================================================================
ConnectionPane* MainPane::getConnectionPane() const
{
    return connectionPane;
}

FileSystemPane* MainPane::getFileSystemPane() const
{
    return fileSystemPane;
}

ProductionPane* MainPane::getProductionPane() const
{
    return productionPane;
}

juce::TabbedComponent& MainPane::getTabs() const
{
    return *tabs;
}

LogView& MainPane::getLogView() const
{
    return *logView;
}
