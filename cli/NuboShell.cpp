#include "cli/NuboShell.h"

#include "cli/Console.h"
#include "cli/DeviceCommands.h"
#include "cli/DeviceSession.h"
#include "cli/FileCommands.h"
#include "cli/InterruptWatcher.h"
#include "cli/MultiDeviceRun.h"
#include "cli/ProgressBar.h"
#include "cli/ShellWords.h"
#include "cli/SyncCommands.h"
#include "cli/TransferSupport.h"
#include "device/FolderTransfer.h"
#include "device/LocalPaths.h"
#include "device/RemotePath.h"
#include "log/GlobalLog.h"
#include "protocol/ReceivedMessage.h"
#include "serial/SerialPortDiscovery.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace
{
/** How long a folder's names serve completion before the device is asked again. */
constexpr juce::uint32 listingLifetimeMs = 5000;

/** How often discovery is asked whether an unplugged device is back. */
constexpr int replugPollMs = 500;

const char* const commandNames[] = {"cat",   "cd", "exit", "get", "help", "lcd", "lls", "ls",
                                    "mkdir", "mv", "put",  "pwd", "quit", "rm",  "sync"};

bool usesDevice (const juce::String& command)
{
    return command == "ls" || command == "cd" || command == "get" || command == "put" || command == "rm" ||
           command == "mkdir" || command == "mv" || command == "cat" || command == "sync";
}

/** The commands whose arguments are paths: which on the device ('r'), which here ('l');
    'w' is a word of the command's own (sync's push or pull). */
juce::String argumentKinds (const juce::String& command, const juce::String& firstArgument)
{
    if (command == "sync")
        return firstArgument == "pull" ? "wrl" : "wlr";
    if (command == "ls" || command == "cd" || command == "rm" || command == "mkdir" || command == "cat")
        return "r";
    if (command == "mv")
        return "rr";
    if (command == "get")
        return "rl";
    if (command == "put")
        return "lr";
    if (command == "lcd" || command == "lls")
        return "l";
    return {};
}

juce::String historyPath()
{
    auto state = juce::SystemStats::getEnvironmentVariable ("XDG_STATE_HOME", {});
    if (!juce::File::isAbsolutePath (state))
        state = juce::SystemStats::getEnvironmentVariable ("HOME", {}) + "/.local/state";
    return state + "/nubo/shell_history";
}

/** The long options the shell takes, each standing for its first letter. */
constexpr const char* longOptions = " --continue --verify --recursive ";

/** The flags a command was given (each letter once) and its other words. "--" ends the
    flags, so that a path may start with "-". */
bool takeFlags (const juce::StringArray& words, const juce::String& allowed, juce::String& flags,
                juce::StringArray& arguments, juce::String& error)
{
    bool flagsEnded = false;
    for (int i = 1; i < words.size(); ++i)
    {
        const auto& w = words[i];
        if (!flagsEnded && w == "--")
        {
            flagsEnded = true;
            continue;
        }
        if (!flagsEnded && w.startsWith ("--"))
        {
            // The long spellings of the command line's options: --continue for c, ...
            const auto letter = w.substring (2, 3);
            if (!allowed.contains (letter) || !juce::String (longOptions).contains (" " + w + " "))
            {
                error = words[0] + ": no option " + escapeControlCharacters (w).quoted();
                return false;
            }
            if (!flags.contains (letter))
                flags += letter;
            continue;
        }
        if (!flagsEnded && w.length() > 1 && w.startsWithChar ('-'))
        {
            for (auto p = w.getCharPointer() + 1; !p.isEmpty(); ++p)
            {
                if (!allowed.containsChar (*p))
                {
                    error = words[0] + ": no option " + escapeControlCharacters (w).quoted();
                    return false;
                }
                if (!flags.containsChar (*p))
                    flags += juce::String::charToString (*p);
            }
            continue;
        }
        arguments.add (w);
    }
    return true;
}

/** A command given wrongly: the option it does not take, or how it is written. */
CommandResult usage (const juce::String& text, const juce::String& optionError = {})
{
    return CommandResult::failure (ExitStatus::usage, optionError.isNotEmpty() ? optionError : "usage: " + text);
}

bool isSafeToInsert (const juce::String& name)
{
    return LocalPaths::isSafeName (name);
}

void addMatches (const juce::String& typedFolder, const juce::String& prefix, const juce::StringArray& names,
                 bool areFolders, LineReader::Completion& into)
{
    // Hidden names only when asked for, as a shell does.
    const bool hidden = prefix.startsWithChar ('.');
    for (auto& name : names)
    {
        if (!isSafeToInsert (name) || !name.startsWith (prefix) || (name.startsWithChar ('.') && !hidden))
            continue;
        const auto ending = areFolders ? "/" : "";
        into.words.add (typedFolder + name + ending);
        into.shown.add (name + ending);
    }
}
} // namespace

//==============================================================================
NuboShell::NuboShell (ChosenPort chosen)
    : port (std::move (chosen)), folder (RemotePath::home), reader (juce::File (historyPath()))
{
    reader.setCompleter ([this] (const juce::String& text) { return completeLine (text); });
}

NuboShell::~NuboShell() = default;

int NuboShell::run()
{
    for (auto& present : enumerateSerialPortDetails (1))
        if (present.portName == port.devicePath)
            usbSerial = present.serialNumber;

    juce::String error;
    if (!connect (error))
    {
        Console::error (escapeControlCharacters (error));
        return ExitStatus::noPort;
    }
    if (reader.isInteractive())
        Console::err ("nubo shell on " + escapeControlCharacters (port.label) +
                      "; 'help' lists the commands, 'exit' or Ctrl-D ends it");

    int worst = ExitStatus::success;
    for (;;)
    {
        juce::String line;
        const auto got = reader.read (prompt(), line);
        if (got == LineReader::Outcome::endOfInput)
            break;
        if (got == LineReader::Outcome::interrupted)
        {
            // Ctrl-C at the prompt drops the line; SIGTERM or SIGHUP ends the session.
            if (InterruptWatcher::lastSignal() != SIGINT || !reader.isInteractive())
                return ExitStatus::interrupted;
            InterruptWatcher::listenAgain();
            continue;
        }

        reader.remember (line);
        const auto split = ShellWords::split (line);
        if (split.unfinished)
        {
            Console::error ("unfinished quote or escape at the end of the line");
            worst = MultiDeviceRun::combine (worst, ExitStatus::usage);
            continue;
        }
        if (split.words.isEmpty())
            continue;

        // A device that went while the prompt waited is waited for before its command.
        if (usesDevice (split.words[0]) && (session == nullptr || session->getClient().isLinkLost()))
            if (!waitForDevice ("device unplugged"))
                return ExitStatus::interrupted;

        bool quit = false;
        const auto result = execute (split.words, quit);
        if (quit)
            break;

        const auto signal = InterruptWatcher::lastSignal();
        if (session != nullptr && session->getClient().isLinkLost())
        {
            if (!waitForDevice ("device unplugged; '" + escapeControlCharacters (split.words[0]) + "' did not finish"))
                return ExitStatus::interrupted;
        }
        else if (result.status != ExitStatus::success)
        {
            Console::error (escapeControlCharacters (result.message));
        }
        worst = MultiDeviceRun::combine (worst, result.status);

        if (signal != 0)
        {
            // A script piped in stops at a Ctrl-C; a person goes on typing.
            if (signal != SIGINT || !reader.isInteractive())
                return ExitStatus::interrupted;
            InterruptWatcher::listenAgain();
        }
    }
    return reader.isInteractive() ? ExitStatus::success : worst;
}

bool NuboShell::connect (juce::String& error)
{
    session.reset();
    listings.clear();
    auto opened = std::make_unique<DeviceSession> (port);
    if (!opened->open (error))
        return false;
    session = std::move (opened);
    return true;
}

bool NuboShell::waitForDevice (const juce::String& why)
{
    session.reset(); // lets go of the port at once
    listings.clear();
    Console::error (why + "; waiting for it to come back (Ctrl-C to quit)");

    int wake[2];
    if (::pipe2 (wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    const InterruptWatcher::ScopedToken signal;
    const int wakeWrite = wake[1];
    signal.get().onCancel (
        [wakeWrite]
        {
            const char byte = 1;
            [[maybe_unused]] const auto written = ::write (wakeWrite, &byte, 1);
        });

    bool back = false;
    while (!signal.get().isCancelled())
    {
        bool present = false;
        for (auto& p : enumerateSerialPortDetails (1))
            if ((usbSerial.isNotEmpty() && p.serialNumber == usbSerial) || p.portName == port.devicePath)
            {
                port.devicePath = p.portName;
                present = true;
            }
        // A path that discovery does not offer is tried as it is.
        present = present || juce::File (port.devicePath).exists();

        juce::String error;
        if (present && connect (error))
        {
            back = true;
            break;
        }

        struct pollfd fd = {wake[0], POLLIN, 0};
        ::poll (&fd, 1, replugPollMs);
    }
    signal.get().onCancel ({});
    ::close (wake[0]);
    ::close (wake[1]);

    if (back)
        Console::err ("device back on " + escapeControlCharacters (port.devicePath));
    return back;
}

juce::String NuboShell::remote (const juce::String& typed) const
{
    if (typed.startsWithChar ('/') || RemotePath::isBlank (typed))
        return typed;
    return RemotePath::childOf (folder, typed);
}

juce::String NuboShell::prompt() const
{
    return "nubo:" + escapeControlCharacters (folder) + "> ";
}

//==============================================================================
CommandResult NuboShell::execute (const juce::StringArray& words, bool& quit)
{
    const auto& command = words[0];
    juce::String flags, error;
    juce::StringArray args;
    auto parse = [&] (const juce::String& allowed) { return takeFlags (words, allowed, flags, args, error); };

    RunContext context;
    context.showProgress = Console::isErrorTerminal();
    context.maxEntries = FolderTransfer::defaultMaxEntries;

    if (command == "exit" || command == "quit")
    {
        quit = true;
        return CommandResult::ok ({});
    }
    if (command == "help")
    {
        printHelp();
        return CommandResult::ok ({});
    }
    if (command == "pwd")
    {
        Console::out (escapeControlCharacters (folder));
        return CommandResult::ok ({});
    }
    if (command == "cd")
        return parse ("") ? changeFolder (args) : usage ({}, error);
    if (command == "lcd")
        return parse ("") ? changeLocalFolder (args) : usage ({}, error);
    if (command == "lls")
        return parse ("") ? listLocal (args) : usage ({}, error);
    if (command == "cat")
    {
        if (!parse ("") || args.isEmpty())
            return usage ("cat PATH...", error);
        return showFiles (args, context);
    }

    if (command == "ls")
    {
        if (!parse ("l") || args.size() > 1)
            return usage ("ls [-l] [PATH]", error);
        return FileCommands::list (*session, context, args.isEmpty() ? folder : remote (args[0]),
                                   flags.containsChar ('l'));
    }
    if (command == "mkdir")
    {
        if (!parse ("") || args.size() != 1)
            return usage ("mkdir PATH", error);
        listings.clear();
        return FileCommands::makeFolder (*session, remote (args[0]));
    }
    if (command == "mv")
    {
        if (!parse ("") || args.size() != 2)
            return usage ("mv OLD NEW", error);
        listings.clear();
        return FileCommands::move (*session, remote (args[0]), remote (args[1]));
    }
    if (command == "rm")
    {
        if (!parse ("r") || args.size() != 1)
            return usage ("rm [-r] PATH", error);
        listings.clear();
        return FileCommands::remove (*session, context, remote (args[0]), flags.containsChar ('r'));
    }

    if (command == "sync")
    {
        const bool parsed = parse ("n");
        const auto direction = args[0];
        if (!parsed || (direction != "push" && direction != "pull") || args.size() > 3 ||
            (direction == "push" && args.size() < 2))
            return usage ("sync [-n] push LOCAL [REMOTE], sync [-n] pull [REMOTE] [LOCAL]", error);
        const bool pull = direction == "pull";

        SyncCommands::Options options;
        options.direction = pull ? FolderSync::Direction::pull : FolderSync::Direction::push;
        const auto remoteGiven = pull ? args[1] : args[2];
        options.remotePath = args.size() > (pull ? 1 : 2) ? remote (remoteGiven) : folder;
        options.localPath = pull ? (args.size() > 2 ? args[2] : juce::String (".")) : args[1];
        options.dryRun = flags.containsChar ('n');

        context.progressLabel = "sync";
        ProgressBar bar (context.progressLabel, context.showProgress);
        if (context.showProgress)
            context.progress = [&bar] (juce::int64 done, juce::int64 total) { bar.update (done, total); };
        listings.clear();
        const auto result = SyncCommands::sync (*session, context, options);
        bar.finish();
        return result;
    }
    if (command == "get" || command == "put")
    {
        const bool isGet = command == "get";
        if (!parse (isGet ? "rcv" : "rv") || args.isEmpty() || args.size() > 2)
            return usage (isGet ? "get [-r] [--continue] [--verify] REMOTE [LOCAL]"
                                : "put [-r] [--verify] LOCAL [REMOTE]",
                          error);
        const bool recursive = flags.containsChar ('r'), verify = flags.containsChar ('v');
        const bool resume = flags.containsChar ('c');
        if (recursive && (resume || verify))
            return CommandResult::failure (ExitStatus::usage,
                                           "--continue and --verify work on single files, not with -r");

        const auto remotePath = isGet ? remote (args[0]) : (args.size() > 1 ? remote (args[1]) : folder);
        const auto localPath = isGet ? args[1] : args[0];
        if (!isGet)
        {
            const auto file = localFile (localPath);
            if (recursive && !file.isDirectory())
                return CommandResult::failure (ExitStatus::failed, "no folder " + file.getFullPathName());
            if (!recursive && file.isDirectory())
                return CommandResult::failure (ExitStatus::failed,
                                               "can't send " + file.getFullPathName() + ": it is a folder (use -r)");
            if (!recursive && !file.existsAsFile())
                return CommandResult::failure (ExitStatus::failed,
                                               "can't read " + file.getFullPathName() + ": no such file");
        }

        context.progressLabel = isGet ? RemotePath::nameOf (remotePath) : localFile (localPath).getFileName();
        ProgressBar bar (context.progressLabel, context.showProgress);
        if (context.showProgress)
            context.progress = [&bar] (juce::int64 done, juce::int64 total) { bar.update (done, total); };

        CommandResult result;
        if (isGet)
        {
            result = FileCommands::get (*session, context, remotePath, localPath, recursive, resume, verify);
        }
        else
        {
            listings.clear();
            result = DeviceCommands::put (*session, context, localPath, remotePath, recursive, verify);
        }
        bar.finish();
        return result;
    }

    return CommandResult::failure (ExitStatus::usage,
                                   "unknown command " + escapeControlCharacters (command).quoted() + "; try 'help'");
}

CommandResult NuboShell::changeFolder (const juce::StringArray& arguments)
{
    if (arguments.size() > 1)
        return usage ("cd [PATH]");

    const auto target =
        RemotePath::normalise (arguments.isEmpty() ? juce::String (RemotePath::home) : remote (arguments[0]));
    if (!arguments.isEmpty() && RemotePath::isBlank (arguments[0]))
        return CommandResult::failure (ExitStatus::usage, "empty folder path; name a folder on the device");

    auto& client = session->getClient();
    if (client.getFolderContents (target, nullptr, nullptr) != 0)
        return CommandResult::failure (InterruptWatcher::isInterrupted() ? ExitStatus::interrupted : ExitStatus::failed,
                                       "no folder " + escapeControlCharacters (target) + " on the device" +
                                           deviceReason (client));
    folder = target;
    return CommandResult::ok ({});
}

CommandResult NuboShell::changeLocalFolder (const juce::StringArray& arguments)
{
    if (arguments.size() > 1)
        return usage ("lcd [PATH]");
    const auto target =
        arguments.isEmpty() ? juce::File::getSpecialLocation (juce::File::userHomeDirectory) : localFile (arguments[0]);
    if (!target.isDirectory())
        return CommandResult::failure (ExitStatus::failed,
                                       "no folder " + escapeControlCharacters (target.getFullPathName()));
    if (::chdir (target.getFullPathName().toRawUTF8()) != 0)
        return CommandResult::failure (ExitStatus::failed, "can't enter " +
                                                               escapeControlCharacters (target.getFullPathName()) +
                                                               ": " + juce::String (std::strerror (errno)));
    Console::out (escapeControlCharacters (target.getFullPathName()));
    return CommandResult::ok ({});
}

CommandResult NuboShell::listLocal (const juce::StringArray& arguments)
{
    if (arguments.size() > 1)
        return usage ("lls [PATH]");
    const auto target = localFile (arguments.isEmpty() ? juce::String() : arguments[0]);
    if (!target.isDirectory())
    {
        if (target.exists())
        {
            Console::out (escapeControlCharacters (target.getFileName()));
            return CommandResult::ok ({});
        }
        return CommandResult::failure (ExitStatus::failed,
                                       "no such file or folder " + escapeControlCharacters (target.getFullPathName()));
    }

    juce::StringArray folders, files;
    for (const auto& entry : juce::RangedDirectoryIterator (target, false, "*", juce::File::findFilesAndDirectories))
        (entry.isDirectory() ? folders : files).add (entry.getFile().getFileName());
    folders.sortNatural();
    files.sortNatural();
    for (auto& name : folders)
        Console::out (escapeControlCharacters (name) + "/");
    for (auto& name : files)
        Console::out (escapeControlCharacters (name));
    return CommandResult::ok ({});
}

CommandResult NuboShell::showFiles (const juce::StringArray& arguments, const RunContext& context)
{
    juce::StringArray paths;
    for (auto& given : arguments)
        paths.add (remote (given));

    return SyncCommands::cat (*session, context, paths);
}

void NuboShell::printHelp() const
{
    const char* const help =
        "ls [-l] [PATH]          list a folder on the device (folders end in /)\n"
        "cd [PATH]               change the folder on the device (default: the home folder)\n"
        "pwd                     show the folder on the device\n"
        "get [-r] REMOTE [LOCAL] fetch a file (-r: a folder) into LOCAL or the local folder;\n"
        "                        --continue resumes a fetch, --verify reads the copy back\n"
        "put [-r] LOCAL [REMOTE] send a file (-r: a folder) into REMOTE or the folder on the device;\n"
        "                        --verify reads the copy back\n"
        "rm [-r] PATH            remove an entry (-r: a folder and what it holds)\n"
        "mkdir PATH              create a folder on the device\n"
        "mv OLD NEW              rename or move an entry; a folder as NEW receives it\n"
        "cat PATH...             show files of the device\n"
        "lcd [PATH]              change the local folder\n"
        "lls [PATH]              list a local folder\n"
        "sync [-n] push LOCAL [REMOTE]\n"
        "                        make REMOTE (default: the folder on the device) like LOCAL\n"
        "sync [-n] pull [REMOTE] [LOCAL]\n"
        "                        make LOCAL (default: the local folder) like REMOTE (default: the\n"
        "                        folder on the device); -n only says what would be done\n"
        "help                    this list\n"
        "exit, quit, Ctrl-D      end the session\n"
        "\n"
        "Paths on the device are taken from the folder on the device, local ones from the\n"
        "local folder. Quote a name with spaces ('my file', \"my file\" or my\\ file).\n"
        "Tab completes commands and paths; Ctrl-C stops the running command.";
    for (auto& line : juce::StringArray::fromLines (help))
        Console::out (line);
}

//==============================================================================
LineReader::Completion NuboShell::completeLine (const juce::String& textBeforeCursor)
{
    const auto split = ShellWords::split (textBeforeCursor);
    LineReader::Completion completion;
    auto words = split.words;
    juce::String typed;
    if (split.lastWordOpen)
    {
        typed = words[words.size() - 1];
        words.remove (words.size() - 1);
        completion.wordStart = split.lastWordStart;
    }
    else
    {
        completion.wordStart = textBeforeCursor.length();
    }

    if (words.isEmpty())
    {
        for (auto* name : commandNames)
            if (juce::String (name).startsWith (typed))
            {
                completion.words.add (name);
                completion.shown.add (name);
            }
        return completion;
    }
    if (typed.startsWithChar ('-'))
        return completion;

    int position = 0;
    juce::String firstArgument;
    for (int i = 1; i < words.size(); ++i)
        if (!words[i].startsWithChar ('-'))
            if (position++ == 0)
                firstArgument = words[i];
    const auto kinds = argumentKinds (words[0], firstArgument);
    if (words[0] == "cat")
        position = 0; // every argument is a file on the device
    if (position >= kinds.length())
        return completion;

    if (kinds[position] == 'w')
    {
        for (auto* word : {"push", "pull"})
            if (juce::String (word).startsWith (typed))
            {
                completion.words.add (word);
                completion.shown.add (word);
            }
        return completion;
    }

    const bool foldersOnly = words[0] == "cd" || words[0] == "lcd";
    if (kinds[position] == 'r')
        completeRemote (typed, foldersOnly, completion);
    else
        completeLocal (typed, foldersOnly, completion);
    return completion;
}

void NuboShell::completeRemote (const juce::String& typed, bool foldersOnly, LineReader::Completion& into)
{
    const auto typedFolder = typed.containsChar ('/') ? typed.upToLastOccurrenceOf ("/", true, false) : juce::String();
    const auto prefix = typed.substring (typedFolder.length());
    const auto listed = RemotePath::normalise (typedFolder.isEmpty() ? folder : remote (typedFolder));
    if (const auto* listing = listingOf (listed))
    {
        addMatches (typedFolder, prefix, listing->folders, true, into);
        if (!foldersOnly)
            addMatches (typedFolder, prefix, listing->files, false, into);
    }
}

void NuboShell::completeLocal (const juce::String& typed, bool foldersOnly, LineReader::Completion& into)
{
    const auto typedFolder = typed.containsChar ('/') ? typed.upToLastOccurrenceOf ("/", true, false) : juce::String();
    const auto prefix = typed.substring (typedFolder.length());
    const auto where = localFile (typedFolder);
    if (!where.isDirectory())
        return;

    juce::StringArray folders, files;
    for (const auto& entry : juce::RangedDirectoryIterator (where, false, "*", juce::File::findFilesAndDirectories))
        (entry.isDirectory() ? folders : files).add (entry.getFile().getFileName());
    folders.sortNatural();
    files.sortNatural();
    addMatches (typedFolder, prefix, folders, true, into);
    if (!foldersOnly)
        addMatches (typedFolder, prefix, files, false, into);
}

const NuboShell::Listing* NuboShell::listingOf (const juce::String& listed)
{
    const auto now = juce::Time::getMillisecondCounter();
    if (auto found = listings.find (listed); found != listings.end() && now - found->second.takenAt < listingLifetimeMs)
        return &found->second;

    listings.erase (listed);
    if (session == nullptr || session->getClient().isLinkLost())
        return nullptr;

    // Names that are not UTF-8 would be asked for under another name: never offered.
    Listing listing;
    juce::StringArray files, folders;
    juce::Array<juce::MemoryBlock> fileBytes, folderBytes;
    if (session->getClient().getFolderContents (listed, &files, &folders, &fileBytes, &folderBytes) != 0)
        return nullptr;
    auto keepUtf8 =
        [] (const juce::StringArray& names, const juce::Array<juce::MemoryBlock>& bytes, juce::StringArray& into)
    {
        for (int i = 0; i < names.size(); ++i)
            if (ReceivedMessage::isValidUtf8 (static_cast<const juce::uint8*> (bytes[i].getData()),
                                              (int) bytes[i].getSize()))
                into.add (names[i]);
        into.sortNatural();
    };
    keepUtf8 (files, fileBytes, listing.files);
    keepUtf8 (folders, folderBytes, listing.folders);
    listing.takenAt = now;
    return &(listings[listed] = listing);
}
