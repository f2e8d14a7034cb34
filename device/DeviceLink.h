#pragma once

#include <juce_core/juce_core.h>

#include <memory>

class SerialPort;
class TidewireClient;

/** One device as every front end reaches it: its port, opened with the device's line
    settings under one policy, and the client attached to it; torn down in the one safe
    order (the client's streams stop, then the port closes).

    The link either owns a client of its own (a command-line run, a worker, the
    benchmark) or attaches one that outlives it (the window keeps its client across
    connections). */
class DeviceLink final
{
public:
    /** A link with a client of its own. */
    DeviceLink();

    /** A link that attaches the given client; the caller owns it, and it outlives the link. */
    explicit DeviceLink (TidewireClient& sharedClient);

    /** Detaches the client, then closes the port. */
    ~DeviceLink();

    /** Opens the port for this program alone, applies the device's line settings and
        attaches the client. A line setting the port refuses is not fatal (a
        pseudo-terminal or an adapter may refuse hardware handshake): only an open port
        counts, and lineSettingsRefused() tells. False when the port does not open;
        getOpenFailure() then says why. A link that is open already closes first. */
    bool open (const juce::String& devicePath);

    /** Stops the client's streams, then closes the port; open() may follow. */
    void close();

    bool isOpen() const;

    /** The line that follows "Failed to open port": the device file, the system's reason
        and what to do about it; empty when the system gave no reason (no port was named)
        and after a successful open. */
    juce::String getOpenFailure() const
    {
        return openFailure;
    }

    bool lineSettingsRefused() const
    {
        return settingsRefused;
    }

    /** The device file the link last opened or tried. */
    juce::String getDevicePath() const
    {
        return devicePath;
    }

    TidewireClient& getClient() const
    {
        return client;
    }

private:
    std::unique_ptr<TidewireClient> ownClient; // empty for a shared client
    TidewireClient& client;                    // ownClient's, or the caller's (outlives the link)
    std::unique_ptr<SerialPort> port;          // declared after the client it may be attached to
    juce::String devicePath, openFailure;
    bool settingsRefused = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DeviceLink)
};
