#include "station/ControlServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace
{
constexpr int patienceMs = 20000; // a loaded two-core machine

/** The other end: a blocking socket read through poll, so that nothing waits forever. */
class TestClient final
{
public:
    explicit TestClient (const juce::File& path)
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        path.getFullPathName().copyToUTF8 (address.sun_path, sizeof (address.sun_path));
        open (AF_UNIX, reinterpret_cast<const sockaddr*> (&address), sizeof (address));
    }

    explicit TestClient (int port)
    {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
        address.sin_port = htons ((uint16_t) port);
        open (AF_INET, reinterpret_cast<const sockaddr*> (&address), sizeof (address));
    }

    ~TestClient()
    {
        if (fd >= 0)
            ::close (fd);
    }

    bool isConnected() const
    {
        return fd >= 0;
    }

    /** All of it, or false when the server stopped taking it (closed, or a stall past patience). */
    bool send (const std::string& bytes)
    {
        for (size_t done = 0; done < bytes.size();)
        {
            const auto sent = ::send (fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            done += (size_t) sent;
        }
        return true;
    }

    /** The next line without its LF; nullopt at the end of the stream or after patience. */
    std::optional<std::string> readLine()
    {
        for (;;)
        {
            const auto end = pending.find ('\n');
            if (end != std::string::npos)
            {
                auto line = pending.substr (0, end);
                pending.erase (0, end + 1);
                return line;
            }
            pollfd p = {fd, POLLIN, 0};
            if (::poll (&p, 1, patienceMs) <= 0)
                return std::nullopt;
            char buffer[65536];
            const auto got = ::recv (fd, buffer, sizeof (buffer), 0);
            if (got <= 0)
                return std::nullopt;
            pending.append (buffer, (size_t) got);
        }
    }

    /** True when the server closed the connection: the end of the stream, without another line. */
    bool seesEnd()
    {
        pollfd p = {fd, POLLIN, 0};
        char byte;
        return pending.empty() && ::poll (&p, 1, patienceMs) == 1 && ::recv (fd, &byte, 1, 0) <= 0;
    }

    void stopSending()
    {
        ::shutdown (fd, SHUT_WR);
    }

private:
    void open (int family, const sockaddr* address, socklen_t length)
    {
        fd = ::socket (family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval stall = {patienceMs / 1000, 0};
        ::setsockopt (fd, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof (stall));
        if (::connect (fd, address, length) != 0)
        {
            ::close (fd);
            fd = -1;
        }
    }

    int fd = -1;
    std::string pending;
};

bool waitUntil (const std::function<bool()>& condition)
{
    for (int waited = 0; waited < patienceMs; waited += 5)
    {
        if (condition())
            return true;
        juce::Thread::sleep (5);
    }
    return condition();
}

/** A socket file as a killed server leaves it: bound, then closed without being removed. */
void leaveStaleSocket (const juce::File& path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    path.getFullPathName().copyToUTF8 (address.sun_path, sizeof (address.sun_path));
    const int fd = ::socket (AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ (::bind (fd, reinterpret_cast<const sockaddr*> (&address), sizeof (address)), 0);
    ::close (fd);
}

class ControlServerTest : public ::testing::Test
{
protected:
    /** Answers {"echo": line}, with padding when a test wants large answers. */
    ControlServer::Handler echo()
    {
        return [this] (const std::string& line)
        {
            ++calls;
            if (line == "raw")
                return std::string ("{\"a\":\r\n1}\n");
            nlohmann::json answer = {{"echo", line}, {"pad", padding}};
            return answer.dump (-1, ' ', false, nlohmann::json::error_handler_t::replace);
        };
    }

    void start()
    {
        auto started = ControlServer::listenUnix (socketPath, echo());
        ASSERT_NE (started.server, nullptr) << started.reason;
        server = std::move (started.server);
    }

    static void expectEcho (TestClient& client, const std::string& line)
    {
        const auto answer = client.readLine();
        ASSERT_TRUE (answer.has_value()) << "no answer to " << line.substr (0, 40);
        EXPECT_EQ (nlohmann::json::parse (*answer).value ("echo", "?"), line);
    }

    static void expectError (TestClient& client, const std::string& error)
    {
        const auto answer = client.readLine();
        ASSERT_TRUE (answer.has_value());
        const auto json = nlohmann::json::parse (*answer);
        EXPECT_EQ (json.value ("ok", true), false);
        EXPECT_EQ (json.value ("error", ""), error);
    }

    TempFolder folder;
    juce::File socketPath = folder / "station.sock";
    std::atomic<int> calls{0};
    std::string padding;
    std::unique_ptr<ControlServer> server;
};

TEST_F (ControlServerTest, AnswersEachLineHoweverItsBytesArrive)
{
    start();
    TestClient client (socketPath);
    ASSERT_TRUE (client.send ("one\ntwo\r\nthree\n"));
    expectEcho (client, "one");
    expectEcho (client, "two");
    expectEcho (client, "three");

    for (const char byte : std::string ("split apart\r\n"))
    {
        ASSERT_TRUE (client.send (std::string (1, byte)));
        juce::Thread::sleep (2);
    }
    expectEcho (client, "split apart");

    // Empty lines are no commands; any other byte is the handler's to judge.
    const std::string odd ("\x01nul\0tab\tesc\x1b", 13);
    ASSERT_TRUE (client.send ("\n\r\n" + odd + "\n"));
    expectEcho (client, odd);

    // A handler's raw line ends cannot break an answer in two.
    ASSERT_TRUE (client.send ("raw\nafter\n"));
    const auto raw = client.readLine();
    ASSERT_TRUE (raw.has_value());
    EXPECT_EQ (nlohmann::json::parse (*raw), nlohmann::json ({{"a", 1}}));
    expectEcho (client, "after");
    EXPECT_EQ (calls, 7);
}

TEST_F (ControlServerTest, SilentClientDoesNotDelayAnother)
{
    start();
    TestClient silent (socketPath), halfway (socketPath), talker (socketPath);
    ASSERT_TRUE (halfway.send ("stat"));
    ASSERT_TRUE (talker.send ("ping\n"));
    expectEcho (talker, "ping");
    ASSERT_TRUE (halfway.send ("us\n"));
    expectEcho (halfway, "status");
}

TEST_F (ControlServerTest, OverlongLineIsAnsweredOnceAndSkippedToItsEnd)
{
    start();
    TestClient flooder (socketPath), other (socketPath);
    const auto peakBefore = residentKilobytes ("VmHWM:");

    std::atomic<bool> sent{false}, done{false};
    std::thread writer (
        [&]
        {
            const std::string chunk (64 * 1024, 'x');
            bool ok = true;
            for (int i = 0; i < 160 && ok; ++i) // 10 MiB, no line end
                ok = flooder.send (chunk);
            sent = ok;
            done = true;
        });
    int echoes = 0;
    do
    {
        ASSERT_TRUE (other.send ("meanwhile\n"));
        expectEcho (other, "meanwhile");
        ++echoes;
    } while (!done);
    writer.join();
    ASSERT_TRUE (sent);

    ASSERT_TRUE (flooder.send ("\nping\n"));
    expectError (flooder, "line too long");
    expectEcho (flooder, "ping");
    EXPECT_EQ (calls, echoes + 1);
    if (residentMemoryIsMeaningful())
    {
        EXPECT_LT (residentKilobytes ("VmHWM:") - peakBefore, 4 * 1024); // the 10 MiB line would be more
    }

    // The bound itself: a line of maxLineBytes is a command, one byte more is not.
    const std::string longest (ControlServer::maxLineBytes, 'y');
    ASSERT_TRUE (flooder.send (longest + "\r\n" + longest + "z\nlast\n"));
    expectEcho (flooder, longest);
    expectError (flooder, "line too long");
    expectEcho (flooder, "last");
}

TEST_F (ControlServerTest, HangUpDropsTheUnfinishedLineAndAnswersTheRest)
{
    start();
    TestClient leaving (socketPath);
    ASSERT_TRUE (leaving.send ("done\nhalf"));
    leaving.stopSending();
    expectEcho (leaving, "done");
    EXPECT_TRUE (leaving.seesEnd());
    ASSERT_TRUE (waitUntil ([&] { return server->getClientCount() == 0; }));
    {
        TestClient gone (socketPath);
        ASSERT_TRUE (gone.send ("never"));
        ASSERT_TRUE (waitUntil ([&] { return server->getClientCount() == 1; }));
    }
    ASSERT_TRUE (waitUntil ([&] { return server->getClientCount() == 0; }));
    EXPECT_EQ (calls, 1);
}

TEST_F (ControlServerTest, ClientThatNeverReadsIsDisconnectedAlone)
{
    padding.assign (4096, 'p');
    start();
    TestClient flooder (socketPath), other (socketPath);

    std::atomic<bool> refused{false};
    std::thread writer (
        [&]
        {
            std::string block;
            for (int i = 0; i < 1000; ++i)
                block += "status\n";
            for (int i = 0; i < 1000 && !refused; ++i) // a million commands
                refused = !flooder.send (block);
        });
    ASSERT_TRUE (other.send ("ping\n"));
    expectEcho (other, "ping");
    writer.join();

    EXPECT_TRUE (refused);
    ASSERT_TRUE (waitUntil ([&] { return server->getClientCount() == 1; }));
    // It was cut off for its unread answers, not for a first full socket buffer.
    EXPECT_GE (calls * (padding.size() + 40), ControlServer::maxQueuedBytes);
    ASSERT_TRUE (other.send ("still here\n"));
    expectEcho (other, "still here");
}

TEST_F (ControlServerTest, ClientBeyondTheLimitIsTurnedAwayWithAnErrorLine)
{
    start();
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < ControlServer::maxClients; ++i)
        clients.push_back (std::make_unique<TestClient> (socketPath));
    ASSERT_TRUE (waitUntil ([&] { return server->getClientCount() == ControlServer::maxClients; }));

    TestClient extra (socketPath);
    expectError (extra, "too many clients");
    EXPECT_TRUE (extra.seesEnd());

    clients.front().reset();
    ASSERT_TRUE (waitUntil ([&] { return server->getClientCount() == ControlServer::maxClients - 1; }));
    TestClient next (socketPath);
    ASSERT_TRUE (next.send ("ping\n"));
    expectEcho (next, "ping");
}

TEST_F (ControlServerTest, ReplacesTheSocketFileOfAStoppedStationWithAMode0660One)
{
    leaveStaleSocket (socketPath);
    start();
    struct stat info = {};
    ASSERT_EQ (::lstat (socketPath.getFullPathName().toRawUTF8(), &info), 0);
    EXPECT_TRUE (S_ISSOCK (info.st_mode));
    EXPECT_EQ (info.st_mode & 07777, 0660u);
    TestClient client (socketPath);
    ASSERT_TRUE (client.send ("ping\n"));
    expectEcho (client, "ping");
}

TEST_F (ControlServerTest, RefusesThePathOfAStationThatRuns)
{
    start();
    const auto second = ControlServer::listenUnix (socketPath, echo());
    EXPECT_EQ (second.server, nullptr);
    EXPECT_TRUE (second.reason.contains ("another station")) << second.reason;

    TestClient client (socketPath);
    ASSERT_TRUE (client.send ("ping\n"));
    expectEcho (client, "ping");
}

TEST_F (ControlServerTest, RefusesPathsItCannotUseAndLeavesThemAlone)
{
    const auto file = folder / "file";
    ASSERT_TRUE (file.replaceWithText ("keep"));
    const auto stale = folder / "stale.sock";
    leaveStaleSocket (stale);
    const auto linkToSocket = folder / "link.sock", dangling = folder / "dangling.sock";
    ASSERT_EQ (::symlink (stale.getFullPathName().toRawUTF8(), linkToSocket.getFullPathName().toRawUTF8()), 0);
    ASSERT_EQ (::symlink ("nowhere", dangling.getFullPathName().toRawUTF8()), 0);

    for (const auto& path : {file, folder.get(), linkToSocket, dangling, (folder / "missing").getChildFile ("s.sock"),
                             folder / juce::String::repeatedString ("a", 120)})
    {
        const auto started = ControlServer::listenUnix (path, echo());
        EXPECT_EQ (started.server, nullptr) << path.getFullPathName();
        EXPECT_FALSE (started.reason.isEmpty());
    }
    EXPECT_EQ (file.loadFileAsString(), "keep");
    EXPECT_TRUE (linkToSocket.isSymbolicLink());
    EXPECT_TRUE (dangling.isSymbolicLink());
    EXPECT_TRUE (stale.exists());
}

TEST_F (ControlServerTest, DestructionClosesEveryClientAndRemovesTheSocketFile)
{
    start();
    TestClient idle (socketPath), midLine (socketPath);
    ASSERT_TRUE (midLine.send ("ping\nhal"));
    expectEcho (midLine, "ping");

    server.reset();
    EXPECT_FALSE (socketPath.exists());
    EXPECT_TRUE (idle.seesEnd());
    EXPECT_TRUE (midLine.seesEnd());
    EXPECT_FALSE (TestClient (socketPath).isConnected());
    EXPECT_EQ (calls, 1);
}

TEST_F (ControlServerTest, DestructionLeavesASocketPathThatIsNoLongerItsOwn)
{
    start();
    ASSERT_EQ (::unlink (socketPath.getFullPathName().toRawUTF8()), 0);
    ASSERT_TRUE (socketPath.replaceWithText ("someone else's"));
    server.reset();
    EXPECT_EQ (socketPath.loadFileAsString(), "someone else's");
}

TEST_F (ControlServerTest, LoopbackServesItsPortAndRefusesATakenOne)
{
    auto started = ControlServer::listenLoopback (0, echo());
    ASSERT_NE (started.server, nullptr) << started.reason;
    const auto port = started.server->getPort();
    EXPECT_GT (port, 0);
    EXPECT_EQ (started.server->getSocketPath(), juce::File());

    TestClient client (port);
    ASSERT_TRUE (client.send ("one\r\ntwo\n"));
    expectEcho (client, "one");
    expectEcho (client, "two");

    EXPECT_EQ (ControlServer::listenLoopback (port, echo()).server, nullptr);
    EXPECT_EQ (ControlServer::listenLoopback (70000, echo()).server, nullptr);
}
} // namespace
