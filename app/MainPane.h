#pragma once

#include "app/LogView.h"
#include "log/ILogger.h"
#include "protocol/ITidewireClientListener.h"
#include "protocol/TidewireClient.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>
#include <memory>

class ConnectionPane;
class FileSystemPane;
class ProductionPane;

/** The main window's content: the tabs above the log view, the one protocol
    client, the process-wide logger. */
class MainPane final : public juce::Component, public ILogger, public ITidewireClientListener
{
public:
    MainPane();
    ~MainPane() override;

    //==============================================================================
    void paint (juce::Graphics& g) override;
    void resized() override;

    /** Appends one line to the log view (and to standard error); any thread. */
    void log (juce::String line) override;

    void eventReceived (int eventId, juce::int64 argument) override;
    void propertyChanged (juce::Array<juce::uint16> path, int propertyId, int value) override;
    void stringPropertyChanged (juce::Array<juce::uint16> path, int propertyId, juce::String value) override;

    /** Client thread: the device went away. The window returns to its state before
        Connect on the message thread, once no device operation runs any more. */
    void connectionLost() override;

    /** Every tab enabled. */
    void deviceConnected();
    /** Port closed, the File System tab disabled (tab 0 selected if it was shown). */
    void deviceDisconnected();

    //==============================================================================
    /** Device operations run on the message thread and may be re-entered through the
        log flush; only one may run at a time. Hold one of these for the length of an
        operation: when another is already running, isRunning() is false and the
        caller must leave at once (the click is ignored). */
    class DeviceOperation final
    {
    public:
        explicit DeviceOperation (MainPane& owner);
        ~DeviceOperation();
        bool isRunning() const
        {
            return acquired;
        }

    private:
        MainPane& pane;
        bool acquired = false;
        JUCE_DECLARE_NON_COPYABLE (DeviceOperation)
    };

    bool isDeviceOperationRunning() const
    {
        return operationRunning;
    }

    ConnectionPane* getConnectionPane() const;
    FileSystemPane* getFileSystemPane() const;
    ProductionPane* getProductionPane() const;
    juce::TabbedComponent& getTabs() const;
    LogView& getLogView() const;

    /** The one protocol client of the program. */
    TidewireClient client;

private:
    /** Moves the pending text into the log view; message thread. */
    void flushPendingLog();

    /** Message thread: when the client has lost the device and no operation runs, logs
        "Device disconnected" and releases the port: Connect enabled, only tab 0. */
    void handleConnectionLost();

    /** Message thread, when a device operation ends. */
    void deviceOperationEnded();

    /** Brings lines logged on other threads to the message thread without making
        the logging thread wait, at most every flushPeriodMs: each flush costs the
        log view about the same however many lines it brings. */
    class LogFlusher final : public juce::AsyncUpdater, private juce::Timer
    {
    public:
        static constexpr juce::uint32 flushPeriodMs = 250;

        explicit LogFlusher (MainPane& owner) : pane (owner) {}
        ~LogFlusher() override
        {
            stopTimer();
        }

        void handleAsyncUpdate() override
        {
            const auto sinceLast = juce::Time::getMillisecondCounter() - pane.lastFlushMs;
            if (sinceLast >= flushPeriodMs)
                pane.flushPendingLog();
            else if (!isTimerRunning())
                startTimer ((int) (flushPeriodMs - sinceLast));
        }

        void cancel()
        {
            cancelPendingUpdate();
            stopTimer();
        }

    private:
        void timerCallback() override
        {
            stopTimer();
            pane.flushPendingLog();
        }

        MainPane& pane;
    };

    juce::StringArray pendingLogLines; // at most LogView::maxLines: older ones are only on standard error
    juce::CriticalSection pendingLogLock;
    std::unique_ptr<juce::TabbedComponent> tabs;
    std::unique_ptr<LogView> logView;
    ConnectionPane* connectionPane = nullptr; // owned by tabs, lives as long as they do
    FileSystemPane* fileSystemPane = nullptr; // owned by tabs, lives as long as they do
    ProductionPane* productionPane = nullptr; // owned by tabs, lives as long as they do
    static constexpr int fileSystemTab = 1;
    juce::uint32 lastFlushMs = 0;             // message thread
    LogFlusher logFlusher{*this};
    bool operationRunning = false;
    std::atomic<bool> tearingDown{false}; // lines logged from here on go to standard error only

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainPane)
};
