#pragma once

#include <juce_core/juce_core.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

/** Serves the station's control commands on a Unix domain socket, or on loopback TCP when
    asked: one text command per line in (LF or CRLF), one answer line out, each client in
    turn, none able to hold up another or the station.

    Empty lines are ignored, so that a person typing at the socket may press Return freely.
    A line longer than maxLineBytes is answered with one error line and skipped up to its
    end. A client whose unread answers pass maxQueuedBytes is disconnected; one beyond
    maxClients gets an error line and is closed. A client that hangs up still has the
    commands it completed handled and answered (when it only closed its sending side);
    the part of a line it left unfinished is dropped. */
class ControlServer final : private juce::Thread
{
public:
    /** Takes one command line (without its line end; may hold any bytes) and returns the
        answer, one JSON document without a line end. Called on the server's thread, one
        call at a time; it must be quick. What it throws is answered as an error. */
    using Handler = std::function<std::string (const std::string& line)>;

    struct Started
    {
        std::unique_ptr<ControlServer> server; ///< null when it could not listen
        juce::String reason;                   ///< why not, in one line
    };

    /** Listens on a Unix socket at path, mode 0660 (the station's user and group). A
        socket file left by a station that is gone is replaced; one that answers (another
        station runs) is refused, as is a path that is not a socket (a file, a folder, a
        link to anything), a path longer than a socket address holds, a folder that is
        missing or not writable. */
    static Started listenUnix (const juce::File& path, Handler handler);

    /** Listens on 127.0.0.1:port only (0: any free port, see getPort). */
    static Started listenLoopback (int port, Handler handler);

    /** Stops the thread, closes every client and removes the socket file if it is still
        the one this server made. Once this returns the handler is not running and never
        will be. Never called from inside the handler. */
    ~ControlServer() override;

    int getPort() const;              ///< the TCP port, 0 for a Unix socket
    juce::File getSocketPath() const; ///< empty for TCP
    int getClientCount() const;       ///< thread-safe

    static constexpr size_t maxLineBytes = 64 * 1024;
    static constexpr size_t maxQueuedBytes = 8 * 1024 * 1024;
    static constexpr int maxClients = 32;

private:
    struct Client;

    ControlServer (int listeningSocket, int wakeDescriptor, Handler handler);

    void run() override;
    void acceptClients();
    void readFrom (Client& client);
    void serveLines (Client& client);
    void answer (Client& client, std::string text);
    void sendQueued (Client& client);
    void drop (Client& client);

    Handler handler;
    int listenFd = -1, wakeFd = -1; // owned: closed by the destructor once the thread has stopped
    int port = 0;
    juce::File socketPath;
    juce::uint64 socketDevice = 0, socketInode = 0; // of the file bind made, to know it is still ours
    double acceptResumesAtMs = 0;                   // on the millisecond counter, after running out of descriptors
    std::vector<std::unique_ptr<Client>> clients;   // the thread's alone while it runs
    std::atomic<int> clientCount{0};

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ControlServer)
};
