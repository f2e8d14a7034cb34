// nubo shell on a real pseudo-terminal, as a person types at it: Tab, Enter, Ctrl-C, and
// a device that is unplugged and plugged in again meanwhile.

#include "NuboFixture.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
/** nubo shell with a pseudo-terminal for its standard input, output and error: what is
    typed goes to the terminal's keyboard side, what it shows is read back as text. */
class ShellTerminal final
{
public:
    ~ShellTerminal()
    {
        if (pid > 0)
        {
            ::kill (pid, SIGKILL);
            ::waitpid (pid, nullptr, 0);
        }
        if (master >= 0)
            ::close (master);
    }

    /** "nubo shell", or with alone "nubo" with no arguments. */
    bool start (const juce::File& work, const juce::File& deviceRoot, bool alone = false)
    {
        const auto program = NuboProcess::executable().getFullPathName().toStdString();
        const auto folder = work.getFullPathName().toStdString();
        const auto root = deviceRoot.getFullPathName().toStdString();
        const auto state = work.getChildFile ("state").getFullPathName().toStdString();

        struct winsize size = {};
        size.ws_row = 24;
        size.ws_col = 100;
        pid = ::forkpty (&master, nullptr, nullptr, &size);
        if (pid == 0)
        {
            ::unsetenv ("DISPLAY");
            ::setenv ("NUBO_DEVICE_ROOT", root.c_str(), 1);
            ::setenv ("XDG_STATE_HOME", state.c_str(), 1);
            ::setenv ("TERM", "xterm", 1);
            sigset_t none;
            sigemptyset (&none);
            ::sigprocmask (SIG_SETMASK, &none, nullptr);
            if (::chdir (folder.c_str()) != 0)
                ::_exit (126);
            if (alone)
                ::execl (program.c_str(), program.c_str(), (char*) nullptr);
            else
                ::execl (program.c_str(), program.c_str(), "shell", (char*) nullptr);
            ::_exit (127);
        }
        if (pid < 0)
            return false;
        ::fcntl (master, F_SETFL, O_NONBLOCK);
        return true;
    }

    void type (const std::string& keys)
    {
        const auto written = ::write (master, keys.data(), keys.size());
        EXPECT_EQ (written, (ssize_t) keys.size());
    }

    /** Waits for the text to show up after what an earlier wait found; false (with the
        screen in the test's report) when it does not within the time. */
    bool waitFor (const juce::String& text, int timeoutMs = 20000)
    {
        const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
        for (;;)
        {
            const auto found = screen().indexOf (seen, text);
            if (found >= 0)
            {
                seen = found + text.length();
                return true;
            }
            if (juce::Time::getMillisecondCounter() > deadline || !pump (50))
            {
                ADD_FAILURE() << "no " << text.quoted() << " on the screen:\n" << screen();
                return false;
            }
        }
    }

    /** What it has shown, the terminal's control sequences and carriage returns left out. */
    juce::String screen() const
    {
        juce::String text;
        const auto raw = juce::String::fromUTF8 (bytes.data(), (int) bytes.size());
        for (auto p = raw.getCharPointer(); !p.isEmpty(); ++p)
        {
            if (*p == 0x1b && p[1] == '[')
            {
                ++p;
                while (p[1] != 0 && !(p[1] >= 0x40 && p[1] <= 0x7e))
                    ++p;
                ++p;
                continue;
            }
            if (*p != '\r' && *p != 7)
                text << juce::String::charToString (*p);
        }
        return text;
    }

    /** Ends it with "exit" and returns its exit status; -1 when it does not end. */
    int exit()
    {
        type ("exit\r");
        const auto deadline = juce::Time::getMillisecondCounter() + 20000;
        while (juce::Time::getMillisecondCounter() < deadline)
        {
            int status = 0;
            if (::waitpid (pid, &status, WNOHANG) == pid)
            {
                pid = -1;
                return WIFEXITED (status) ? WEXITSTATUS (status) : -1;
            }
            pump (50);
        }
        return -1;
    }

private:
    /** Reads what is there, waiting up to timeoutMs for it; false once the terminal is gone. */
    bool pump (int timeoutMs)
    {
        struct pollfd fd = {master, POLLIN, 0};
        if (::poll (&fd, 1, timeoutMs) <= 0)
            return true;
        char buffer[4096];
        for (;;)
        {
            const auto n = ::read (master, buffer, sizeof (buffer));
            if (n > 0)
            {
                bytes.append (buffer, (size_t) n);
                continue;
            }
            return n < 0 && errno == EAGAIN;
        }
    }

    pid_t pid = -1;
    int master = -1;
    std::string bytes;
    int seen = 0;
};

constexpr const char* home = "nubo:/mnt/nandfs/usr> ";

class NuboShellTest : public NuboFixture
{
};
} // namespace

TEST_F (NuboShellTest, CompletesRemotePathsAndGoesOnAfterCtrlC)
{
    ASSERT_TRUE (sampleDeviceFolder().copyDirectoryTo (deviceFolder (0)));
    // A file that would clear the screen, as the terminal would take it.
    writeFile (deviceFile (0, "/mnt/nandfs/usr/My Files/notes one.txt"), juce::MemoryBlock ("first line\x1b[2J\n", 15));
    // Enough for minutes at the link's rate: only a cancel ends the fetch.
    writeFile (deviceFile (0, "/mnt/nandfs/usr/big.bin"), randomBytes (2 * 1024 * 1024, 7));
    startDevice (0, {"--rate", "20000", "--unsafe-names", "--tilde-names"});

    ShellTerminal shell;
    ASSERT_TRUE (shell.start (work(), root()));
    ASSERT_TRUE (shell.waitFor (home));

    // Every name offered, and none that no one could type as one of the folder's.
    shell.type ("ls \t");
    ASSERT_TRUE (shell.waitFor ("settings.ini"));
    for (auto* unsafe : {"..", "a/b", "/abs", "~"})
        EXPECT_FALSE (shell.screen().contains (unsafe)) << unsafe << " offered:\n" << shell.screen();
    shell.type ("\x03");
    ASSERT_TRUE (shell.waitFor ("^C\n" + juce::String (home)));

    // A name with a space, completed and quoted: the folder is entered, then the file in it.
    shell.type ("cd My\t\r");
    ASSERT_TRUE (shell.waitFor ("nubo:/mnt/nandfs/usr/My Files> "));
    shell.type ("cat no\t\r");
    ASSERT_TRUE (shell.waitFor ("first line\\x1B[2J\n"));
    ASSERT_TRUE (shell.waitFor ("nubo:/mnt/nandfs/usr/My Files> "));
    shell.type ("cd\r");
    ASSERT_TRUE (shell.waitFor (home));

    // Ctrl-C in the middle of a fetch: the session is still there, and nothing has the final name.
    shell.type ("get big\t\r");
    ASSERT_TRUE (shell.waitFor ("big.bin ["));
    shell.type ("\x03");
    ASSERT_TRUE (shell.waitFor ("interrupted"));
    ASSERT_TRUE (shell.waitFor (home));
    EXPECT_FALSE (work().getChildFile ("big.bin").exists());

    // Ctrl-C at the prompt drops the line typed so far.
    shell.type ("rm -r docs");
    shell.type ("\x03");
    ASSERT_TRUE (shell.waitFor ("^C\n" + juce::String (home)));
    shell.type ("pwd\r");
    ASSERT_TRUE (shell.waitFor ("/mnt/nandfs/usr\n"));
    EXPECT_TRUE (deviceFile (0, "/mnt/nandfs/usr/docs").isDirectory());

    EXPECT_EQ (shell.exit(), 0);
}

TEST_F (NuboShellTest, WaitsForAnUnpluggedDeviceAndGoesOn)
{
    startDevice (0);
    ShellTerminal shell;
    ASSERT_TRUE (shell.start (work(), root(), true)); // at a terminal, "nubo" alone is the shell
    ASSERT_TRUE (shell.waitFor (home));
    shell.type ("ls\r");
    ASSERT_TRUE (shell.waitFor ("Readme.txt\n"));
    ASSERT_TRUE (shell.waitFor (home));

    auto& device = *simulators[0];
    ASSERT_EQ (::kill (device.processId(), SIGUSR1), 0);
    // The device takes its signal in its own time; its port goes when it has.
    for (int i = 0; i < 200 && juce::File (devicePath (0)).exists(); ++i)
        juce::Thread::sleep (50);
    ASSERT_FALSE (juce::File (devicePath (0)).exists());
    shell.type ("ls\r");
    // Whether the command started before the hang-up was seen or not, one line tells.
    ASSERT_TRUE (shell.waitFor ("waiting for it to come back (Ctrl-C to quit)\n"));

    // Several rounds of looking for it, then it is back.
    juce::Thread::sleep (1500);
    ASSERT_EQ (::kill (device.processId(), SIGUSR2), 0);
    ASSERT_TRUE (device.waitForReady (10000));
    ASSERT_TRUE (shell.waitFor ("device back"));
    shell.type ("ls\r");
    ASSERT_TRUE (shell.waitFor ("Readme.txt\n"));
    ASSERT_TRUE (shell.waitFor (home));
    shell.type ("cd docs\r");
    ASSERT_TRUE (shell.waitFor ("nubo:/mnt/nandfs/usr/docs> "));

    const auto shown = shell.screen();
    EXPECT_EQ (shown.indexOf ("unplugged"), shown.lastIndexOf ("unplugged")) << shown;
    EXPECT_EQ (shell.exit(), 0);
}

TEST_F (NuboShellTest, ReadsPipedCommandsWithoutAPrompt)
{
    startDevice (0);
    writeFile (work().getChildFile ("tree/sub/b.txt"), juce::MemoryBlock ("two", 3));
    const juce::String script = "cd \"$2\" && printf 'cd docs\\nls\\n\\n# a comment\\nget missing.txt\\nsync push "
                                "tree\\npwd\\n' | \"$1\" shell";
    juce::ChildProcess shell;
    ASSERT_TRUE (
        shell.start (juce::StringArray{"env", "NUBO_DEVICE_ROOT=" + root().getFullPathName(), "bash", "-c", script,
                                       "bash", NuboProcess::executable().getFullPathName(), work().getFullPathName()}));
    const auto output = shell.readAllProcessOutput();
    ASSERT_TRUE (shell.waitForProcessToFinish (60000));

    // The listing, the failure's line and the folder, in order, and not a prompt among them.
    EXPECT_FALSE (output.contains ("nubo:/")) << output;
    const auto listed = output.indexOf ("notes.txt\n");
    const auto failed = output.indexOf ("missing.txt");
    EXPECT_GE (listed, 0) << output;
    EXPECT_GT (failed, listed) << output;
    EXPECT_GT (output.indexOf ("/mnt/nandfs/usr/docs\n"), failed) << output;
    EXPECT_EQ (shell.getExitCode(), 1u) << "the worst of the commands' statuses";
    // sync pushed into the folder the shell was in.
    EXPECT_TRUE (
        sameContents (work().getChildFile ("tree/sub/b.txt"), deviceFile (0, "/mnt/nandfs/usr/docs/sub/b.txt")));
}
