#include "station/ControlServer.h"

#include "log/GlobalLog.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{
constexpr size_t readChunkBytes = 64 * 1024;
constexpr int linesPerTurn = 32;   // then the next client's turn
constexpr int acceptPauseMs = 100; // out of descriptors: the listener stays readable, so wait
constexpr const char* lineTooLong = R"({"ok":false,"error":"line too long"})";
constexpr const char* tooManyClients = R"({"ok":false,"error":"too many clients"})";
constexpr const char* noAnswer = R"({"ok":false,"error":"no answer"})";

juce::String systemReason (int error)
{
    return juce::String::fromUTF8 (std::strerror (error));
}

std::string errorAnswer (const std::string& reason)
{
    nlohmann::json answer = {{"ok", false}, {"error", reason}};
    return answer.dump (-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

/** Connects to the socket file to learn whether a server still listens there. */
enum class Probe
{
    listening,
    stale,
    gone,
    unknown
};

Probe probeSocket (const sockaddr_un& address, int& error)
{
    const int fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
    {
        error = errno;
        return Probe::unknown;
    }
    // Non-blocking: a live server whose backlog is full answers EAGAIN instead of holding us.
    const int result = ::connect (fd, reinterpret_cast<const sockaddr*> (&address), sizeof (address));
    error = result == 0 ? 0 : errno;
    ::close (fd);
    if (result == 0 || error == EAGAIN || error == EINPROGRESS)
        return Probe::listening;
    if (error == ECONNREFUSED)
        return Probe::stale;
    if (error == ENOENT)
        return Probe::gone;
    return Probe::unknown;
}
} // namespace

struct ControlServer::Client
{
    int fd = -1;
    std::string in;            // bytes received and not yet handled
    bool linesWaiting = false; // in holds a whole line its turn had no room for
    bool skippingLine = false; // inside a line too long to keep: dropped up to its end
    bool hungUp = false;       // the client sends nothing more
    std::string out;           // answers not yet sent, from outSent on
    size_t outSent = 0;
};

ControlServer::ControlServer (int listeningSocket, int wakeDescriptor, Handler commandHandler)
    : juce::Thread ("ControlServer"), handler (std::move (commandHandler)), listenFd (listeningSocket),
      wakeFd (wakeDescriptor)
{
}

ControlServer::~ControlServer()
{
    signalThreadShouldExit();
    const juce::uint64 one = 1;
    [[maybe_unused]] const auto written = ::write (wakeFd, &one, sizeof (one));
    stopThread (-1); // the handler is quick, and the wake-up ends any wait at once

    for (auto& client : clients)
        drop (*client);
    clients.clear();

    if (socketPath != juce::File())
    {
        struct stat info = {};
        const auto path = socketPath.getFullPathName().toStdString();
        if (::lstat (path.c_str(), &info) == 0 && (juce::uint64) info.st_dev == socketDevice &&
            (juce::uint64) info.st_ino == socketInode)
            ::unlink (path.c_str());
    }
    ::close (listenFd);
    ::close (wakeFd);
}

ControlServer::Started ControlServer::listenUnix (const juce::File& path, Handler handler)
{
    const auto where = "Control socket " + path.getFullPathName() + ": ";
    const auto pathText = path.getFullPathName().toStdString();

    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (pathText.empty() || pathText.size() >= sizeof (address.sun_path))
        return {nullptr, where + "the path is longer than a socket address holds (" +
                             juce::String ((int) sizeof (address.sun_path) - 1) + " bytes)"};
    std::memcpy (address.sun_path, pathText.c_str(), pathText.size() + 1);

    const auto folder = path.getParentDirectory().getFullPathName().toStdString();
    struct stat info = {};
    if (::stat (folder.c_str(), &info) != 0 || !S_ISDIR (info.st_mode))
        return {nullptr, where + "the folder is missing"};
    if (::access (folder.c_str(), W_OK | X_OK) != 0)
        return {nullptr, where + "the folder is not writable (" + systemReason (errno) + ")"};

    if (::lstat (pathText.c_str(), &info) == 0)
    {
        if (!S_ISSOCK (info.st_mode))
            return {nullptr, where + "something that is not a socket is there; it is left as it is"};

        int error = 0;
        switch (probeSocket (address, error))
        {
        case Probe::listening:
            return {nullptr, where + "another station is listening there"};
        case Probe::stale:
            if (::unlink (pathText.c_str()) != 0 && errno != ENOENT)
                return {nullptr,
                        where + "cannot remove the socket a stopped station left (" + systemReason (errno) + ")"};
            break;
        case Probe::gone:
            break;
        case Probe::unknown:
            return {nullptr, where + "cannot tell whether a station listens there (" + systemReason (error) + ")"};
        }
    }

    const int fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return {nullptr, where + "cannot make a socket (" + systemReason (errno) + ")"};

    auto fail = [&] (const char* what)
    {
        const auto reason = where + what + " (" + systemReason (errno) + ")";
        ::close (fd);
        return Started{nullptr, reason};
    };

    if (::bind (fd, reinterpret_cast<const sockaddr*> (&address), sizeof (address)) != 0)
        return fail ("cannot bind");
    // Before listen(), so that nobody outside the station's user and group ever connects.
    if (::chmod (pathText.c_str(), 0660) != 0 || ::lstat (pathText.c_str(), &info) != 0)
    {
        auto failed = fail ("cannot set the socket's mode");
        ::unlink (pathText.c_str());
        return failed;
    }
    if (::listen (fd, SOMAXCONN) != 0)
    {
        auto failed = fail ("cannot listen");
        ::unlink (pathText.c_str());
        return failed;
    }
    const int wake = ::eventfd (0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0)
    {
        auto failed = fail ("cannot make an event descriptor");
        ::unlink (pathText.c_str());
        return failed;
    }

    std::unique_ptr<ControlServer> server (new ControlServer (fd, wake, std::move (handler)));
    server->socketPath = path;
    server->socketDevice = (juce::uint64) info.st_dev;
    server->socketInode = (juce::uint64) info.st_ino;
    server->startThread();
    return {std::move (server), {}};
}

ControlServer::Started ControlServer::listenLoopback (int port, Handler handler)
{
    const auto where = "Control port " + juce::String (port) + ": ";
    if (port < 0 || port > 65535)
        return {nullptr, where + "not a TCP port"};

    const int fd = ::socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return {nullptr, where + "cannot make a socket (" + systemReason (errno) + ")"};

    auto fail = [&] (const char* what)
    {
        const auto reason = where + what + " (" + systemReason (errno) + ")";
        ::close (fd);
        return Started{nullptr, reason};
    };

    // A station restarted at once must not wait for its old connections' TIME_WAIT.
    const int yes = 1;
    ::setsockopt (fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof (yes));

    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
    address.sin_port = htons ((uint16_t) port);
    if (::bind (fd, reinterpret_cast<const sockaddr*> (&address), sizeof (address)) != 0)
        return fail ("cannot bind to 127.0.0.1");
    socklen_t length = sizeof (address);
    if (::getsockname (fd, reinterpret_cast<sockaddr*> (&address), &length) != 0)
        return fail ("cannot read the bound port");
    if (::listen (fd, SOMAXCONN) != 0)
        return fail ("cannot listen");
    const int wake = ::eventfd (0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0)
        return fail ("cannot make an event descriptor");

    std::unique_ptr<ControlServer> server (new ControlServer (fd, wake, std::move (handler)));
    server->port = ntohs (address.sin_port);
    server->startThread();
    return {std::move (server), {}};
}

int ControlServer::getPort() const
{
    return port;
}

juce::File ControlServer::getSocketPath() const
{
    return socketPath;
}

int ControlServer::getClientCount() const
{
    return clientCount.load();
}

void ControlServer::run()
{
    std::vector<pollfd> polled;
    while (!threadShouldExit())
    {
        const bool accepting = juce::Time::getMillisecondCounterHiRes() >= acceptResumesAtMs;
        bool linesWaiting = false;

        polled.clear();
        polled.push_back ({wakeFd, POLLIN, 0});
        polled.push_back ({accepting ? listenFd : -1, POLLIN, 0});
        for (auto& client : clients)
        {
            short events = 0;
            if (!client->hungUp && !client->linesWaiting)
                events |= POLLIN;
            if (client->outSent < client->out.size())
                events |= POLLOUT;
            linesWaiting = linesWaiting || client->linesWaiting;
            polled.push_back ({client->fd, events, 0});
        }

        const int timeout = linesWaiting ? 0 : (accepting ? -1 : acceptPauseMs);
        if (::poll (polled.data(), (nfds_t) polled.size(), timeout) < 0)
        {
            if (errno != EINTR)
                juce::Thread::sleep (acceptPauseMs); // the kernel is short of memory: try again later
            continue;
        }
        if (threadShouldExit())
            return;

        // Clients accepted now are polled from the next turn on, so the indices below hold.
        const auto polledClients = clients.size();
        if ((polled[1].revents & POLLIN) != 0)
            acceptClients();

        for (size_t i = 0; i < polledClients; ++i)
        {
            auto& client = *clients[i];
            const auto events = polled[i + 2].revents;
            if ((events & (POLLERR | POLLNVAL)) != 0)
                drop (client);
            const bool readable = (events & (POLLIN | POLLHUP)) != 0 && !client.hungUp && !client.linesWaiting;
            if (client.fd >= 0 && readable)
                readFrom (client);
            if (client.fd >= 0 && (readable || client.linesWaiting))
                serveLines (client);
            if (client.fd >= 0)
                sendQueued (client);
            if (client.fd >= 0 && client.hungUp && !client.linesWaiting && client.outSent == client.out.size())
                drop (client);
        }

        clients.erase (std::remove_if (clients.begin(), clients.end(), [] (auto& c) { return c->fd < 0; }),
                       clients.end());
        clientCount = (int) clients.size();
    }
}

void ControlServer::acceptClients()
{
    for (int i = 0; i < maxClients; ++i)
    {
        const int fd = ::accept4 (listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
        {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptResumesAtMs = juce::Time::getMillisecondCounterHiRes() + acceptPauseMs;
            return;
        }
        if ((int) clients.size() >= maxClients)
        {
            const std::string refusal = std::string (tooManyClients) + "\n";
            [[maybe_unused]] const auto sent = ::send (fd, refusal.data(), refusal.size(), MSG_NOSIGNAL);
            ::close (fd);
            continue;
        }
        auto client = std::make_unique<Client>();
        client->fd = fd;
        clients.push_back (std::move (client));
        clientCount = (int) clients.size();
    }
}

void ControlServer::readFrom (Client& client)
{
    char buffer[readChunkBytes];
    const auto got = ::recv (client.fd, buffer, sizeof (buffer), 0);
    if (got < 0)
    {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            drop (client);
        return;
    }
    if (got == 0)
    {
        client.hungUp = true;
        return;
    }
    client.in.append (buffer, (size_t) got);
}

void ControlServer::serveLines (Client& client)
{
    size_t start = 0;
    int served = 0;
    for (; served < linesPerTurn && client.fd >= 0 && !threadShouldExit(); ++served)
    {
        const auto end = client.in.find ('\n', start);
        if (end == std::string::npos)
            break;
        auto line = client.in.substr (start, end - start);
        start = end + 1;
        if (client.skippingLine)
        {
            client.skippingLine = false; // its error was answered when it grew too long
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (line.size() > maxLineBytes)
        {
            answer (client, lineTooLong);
            continue;
        }

        std::string text;
        try
        {
            text = handler (line);
        }
        catch (const std::exception& e)
        {
            text = errorAnswer (std::string ("internal error: ") + e.what());
        }
        catch (...)
        {
            text = errorAnswer ("internal error");
        }
        answer (client, std::move (text));
    }
    if (client.fd < 0)
        return;

    client.in.erase (0, start);
    client.linesWaiting = client.in.find ('\n') != std::string::npos;
    if (client.linesWaiting)
        return;

    if (client.hungUp || client.skippingLine)
        client.in.clear(); // the unfinished line of a client that is gone, or more of a line too long
    else if (client.in.size() > maxLineBytes + 1) // + 1: its CR may be all that came of the line end
    {
        answer (client, lineTooLong);
        client.in.clear();
        client.skippingLine = true;
    }
}

void ControlServer::answer (Client& client, std::string text)
{
    if (text.empty())
        text = noAnswer;
    // One answer, one line: a raw line end would end the answer early and desynchronise the client.
    for (auto& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    client.out += text;
    client.out += '\n';

    if (client.out.size() - client.outSent > maxQueuedBytes)
    {
        sendQueued (client);
        if (client.fd >= 0 && client.out.size() - client.outSent > maxQueuedBytes)
        {
            globalLog ("Control client disconnected: it does not read its answers");
            drop (client);
        }
    }
}

void ControlServer::sendQueued (Client& client)
{
    while (client.outSent < client.out.size())
    {
        const auto sent = ::send (client.fd, client.out.data() + client.outSent, client.out.size() - client.outSent,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0)
        {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                drop (client);
            break;
        }
        client.outSent += (size_t) sent;
    }
    if (client.fd < 0 || client.outSent == client.out.size())
    {
        client.out.clear();
        client.outSent = 0;
    }
    else if (client.outSent >= readChunkBytes && client.outSent * 2 >= client.out.size())
    {
        client.out.erase (0, client.outSent);
        client.outSent = 0;
    }
}

void ControlServer::drop (Client& client)
{
    if (client.fd < 0)
        return;
    ::close (client.fd);
    client.fd = -1;
    client.in.clear();
    client.out.clear();
    client.outSent = 0;
    client.linesWaiting = false;
}
