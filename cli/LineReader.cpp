#include "cli/LineReader.h"

#include "cli/Console.h"
#include "cli/InterruptWatcher.h"
#include "cli/ShellWords.h"

#include <histedit.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cwchar>
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{
constexpr int historySize = 1000;

/** What the editor's own reader would read, one character at a time, and a signal's
    wake-up besides: it arrives as ^C, which is bound to end the line unused. */
constexpr wchar_t wakeCharacter = 3;

bool writeAllTo (int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size())
    {
        const auto n = ::write (fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t) n;
    }
    return true;
}

int terminalColumns()
{
    struct winsize size = {};
    if (::ioctl (STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

/** The candidates in columns, as a shell lists them under the line. */
std::string columns (const juce::StringArray& shown)
{
    int width = 1;
    for (auto& s : shown)
        width = juce::jmax (width, s.length() + 2);
    const int perRow = juce::jmax (1, terminalColumns() / width);
    juce::String text;
    for (int i = 0; i < shown.size(); ++i)
    {
        const bool endsRow = (i + 1) % perRow == 0 || i + 1 == shown.size();
        text << (endsRow ? shown[i] + "\n" : shown[i].paddedRight (' ', width));
    }
    return text.toStdString();
}

juce::String commonStart (const juce::StringArray& words)
{
    if (words.isEmpty())
        return {};
    auto common = words[0];
    for (auto& w : words)
        while (!w.startsWith (common))
            common = common.dropLastCharacters (1);
    return common;
}
} // namespace

//==============================================================================
struct LineReader::Editor
{
    explicit Editor (LineReader& r) : reader (r)
    {
        // libedit reads and writes characters of the locale; the device's names are UTF-8.
        std::setlocale (LC_CTYPE, "");
        if (juce::String (nl_langinfo (CODESET)) != "UTF-8")
            std::setlocale (LC_CTYPE, "C.UTF-8");

        history = history_init();
        HistEvent event;
        ::history (history, &event, H_SETSIZE, historySize);
        ::history (history, &event, H_SETUNIQUE, 1);
        if (reader.history.existsAsFile())
            ::history (history, &event, H_LOAD, reader.history.getFullPathName().toRawUTF8());

        // The terminal once more, for reading without blocking: a Ctrl-C throws away what
        // was typed, and a read that poll promised a byte to would then wait for the next
        // key. Its own open file, so that the flag never reaches the shell that started us.
        if (const char* name = ::ttyname (STDIN_FILENO))
            ownInput = ::open (name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        input = ownInput >= 0 ? ownInput : STDIN_FILENO;

        editLine = el_init ("nubo", stdin, stdout, stderr);
        el_set (editLine, EL_CLIENTDATA, this);
        el_set (editLine, EL_EDITOR, "emacs");
        el_set (editLine, EL_PROMPT, &Editor::promptOf);
        el_set (editLine, EL_HIST, ::history, history);
        el_set (editLine, EL_GETCFN, &Editor::readCharacter);
        // The wide form: the narrow one keeps copies of the names that el_end never frees.
        el_wset (editLine, EL_ADDFN, L"nubo-complete", L"complete a command, a path on the device or here",
                 &Editor::completeWord);
        el_set (editLine, EL_BIND, "^I", "nubo-complete", nullptr);
        el_wset (editLine, EL_ADDFN, L"nubo-cancel", L"drop the line", &Editor::cancelLine);
        el_set (editLine, EL_BIND, "^C", "nubo-cancel", nullptr);
    }

    ~Editor()
    {
        el_end (editLine);
        history_end (history);
        if (ownInput >= 0)
            ::close (ownInput);
    }

    static Editor& of (EditLine* el)
    {
        void* data = nullptr;
        el_get (el, EL_CLIENTDATA, &data);
        return *static_cast<Editor*> (data);
    }

    static char* promptOf (EditLine* el)
    {
        return of (el).prompt.data();
    }

    static int readCharacter (EditLine* el, wchar_t* c)
    {
        auto& self = of (el);
        for (;;)
        {
            if (!self.reader.waitForInput (self.input))
            {
                self.cancelled = true;
                *c = wakeCharacter;
                return 1;
            }
            char byte = 0;
            const auto n = ::read (self.input, &byte, 1);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                return n == 0 ? 0 : -1;

            wchar_t wide = 0;
            const auto used = std::mbrtowc (&wide, &byte, 1, &self.decoding);
            if (used == (size_t) -2)
                continue; // more bytes of the character to come
            if (used == (size_t) -1)
            {
                self.decoding = {}; // not a character of the locale: dropped
                continue;
            }
            *c = wide;
            return 1;
        }
    }

    static unsigned char cancelLine (EditLine* el, int)
    {
        of (el).cancelled = true;
        return CC_NEWLINE;
    }

    static unsigned char completeWord (EditLine* el, int)
    {
        auto& self = of (el);
        if (!self.reader.complete)
            return CC_REFRESH_BEEP;

        const auto* line = el_line (el);
        const auto before = juce::String::fromUTF8 (line->buffer, (int) (line->cursor - line->buffer));
        const auto found = self.reader.complete (before);
        if (found.words.isEmpty())
            return CC_REFRESH_BEEP;

        const auto typed = before.length() - found.wordStart;
        auto replace = [el, typed] (const juce::String& word)
        {
            el_deletestr (el, typed);
            el_insertstr (el, word.toRawUTF8());
            return (unsigned char) CC_REFRESH;
        };

        if (found.words.size() == 1)
        {
            const auto& word = found.words[0];
            return replace (ShellWords::quote (word) + (word.endsWithChar ('/') ? "" : " "));
        }

        const auto common = ShellWords::quote (commonStart (found.words));
        if (common != before.substring (found.wordStart))
            return replace (common);

        writeAllTo (STDOUT_FILENO, "\n" + columns (found.shown));
        return CC_REDISPLAY;
    }

    LineReader& reader;
    EditLine* editLine = nullptr;
    History* history = nullptr;
    std::string prompt;
    std::mbstate_t decoding{};
    bool cancelled = false;
    int ownInput = -1, input = STDIN_FILENO;
};

//==============================================================================
LineReader::LineReader (const juce::File& historyFile) : history (historyFile)
{
    int fds[2];
    if (::pipe2 (fds, O_CLOEXEC | O_NONBLOCK) == 0)
    {
        wakeRead = fds[0];
        wakeWrite = fds[1];
    }
    if (::isatty (STDIN_FILENO) && ::isatty (STDOUT_FILENO))
        editor = std::make_unique<Editor> (*this);
}

LineReader::~LineReader()
{
    editor.reset();
    if (wakeRead >= 0)
    {
        ::close (wakeRead);
        ::close (wakeWrite);
    }
}

bool LineReader::waitForInput (int fd)
{
    for (;;)
    {
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        const auto ready = ::poll (fds, wakeRead >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready > 0 && (fds[1].revents & POLLIN) != 0)
        {
            char drain[64];
            while (::read (wakeRead, drain, sizeof (drain)) > 0)
            {
            }
            return false;
        }
        return true; // input, its end, or an error that the read will tell
    }
}

LineReader::Outcome LineReader::read (const juce::String& prompt, juce::String& line)
{
    // A signal while this waits wakes it; one that came already wakes it at once.
    const InterruptWatcher::ScopedToken signal;
    const int wake = wakeWrite;
    signal.get().onCancel (
        [wake]
        {
            const char byte = 1;
            [[maybe_unused]] const auto written = ::write (wake, &byte, 1);
        });
    struct Unhook
    {
        const CancelToken& token;
        ~Unhook()
        {
            token.onCancel ({});
        }
    } unhook{signal.get()};

    if (editor == nullptr)
        return readPiped (line);

    editor->prompt = prompt.toStdString();
    editor->cancelled = false;
    int count = 0;
    const char* text = el_gets (editor->editLine, &count);
    if (editor->cancelled)
    {
        writeAllTo (STDOUT_FILENO, "^C\n");
        return Outcome::interrupted;
    }
    if (text == nullptr || count <= 0)
    {
        // Ctrl-D at an empty line: the next prompt goes on a line of its own.
        writeAllTo (STDOUT_FILENO, "\n");
        return Outcome::endOfInput;
    }
    line = juce::String::fromUTF8 (text, count).trimCharactersAtEnd ("\r\n");
    return Outcome::line;
}

LineReader::Outcome LineReader::readPiped (juce::String& line)
{
    for (;;)
    {
        if (const auto end = pending.find ('\n'); end != std::string::npos)
        {
            line = juce::String::fromUTF8 (pending.data(), (int) end).trimCharactersAtEnd ("\r");
            pending.erase (0, end + 1);
            return Outcome::line;
        }
        if (pipedEnded)
        {
            if (pending.empty())
                return Outcome::endOfInput;
            line = juce::String::fromUTF8 (pending.data(), (int) pending.size());
            pending.clear();
            return Outcome::line;
        }
        if (!waitForInput (STDIN_FILENO))
            return Outcome::interrupted;

        char buffer[4096];
        const auto n = ::read (STDIN_FILENO, buffer, sizeof (buffer));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            pipedEnded = true;
        else
            pending.append (buffer, (size_t) n);
    }
}

void LineReader::remember (const juce::String& line)
{
    if (editor == nullptr || line.trim().isEmpty())
        return;

    HistEvent event;
    ::history (editor->history, &event, H_ENTER, line.toRawUTF8());

    // Saved after every line: a session that ends badly keeps what was typed.
    const bool saved = history.getParentDirectory().createDirectory().wasOk() &&
                       ::history (editor->history, &event, H_SAVE, history.getFullPathName().toRawUTF8()) >= 0;
    if (!saved && !historyWarned)
    {
        historyWarned = true;
        Console::error ("can't keep the history in " + history.getFullPathName() + "; going on without it");
    }
}
