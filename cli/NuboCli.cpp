#include "cli/NuboCli.h"

#include "cli/CliLogger.h"
#include "cli/CommandResult.h"
#include "cli/Console.h"
#include "cli/DeviceCommands.h"
#include "cli/DeviceSession.h"
#include "cli/FileCommands.h"
#include "cli/JsonOutput.h"
#include "cli/MultiDeviceRun.h"
#include "cli/NuboMount.h"
#include "cli/NuboShell.h"
#include "cli/PortChooser.h"
#include "cli/SyncCommands.h"
#include "cli/TransferSupport.h"
#include "device/FolderTransfer.h"
#include "device/LocalPaths.h"
#include "device/RemotePath.h"
#include "log/GlobalLog.h"
#include "protocol/TidewireClient.h"
#include "serial/SerialPortDiscovery.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <limits>
#include <sstream>
#include <unistd.h>

namespace
{
constexpr const char* version = "1.0";

const char* const multiDeviceCommands[] = {"info", "flash", "getmac", "put", "props"};

bool runsOnSeveralDevices (const std::string& command)
{
    for (auto* c : multiDeviceCommands)
        if (command == c)
            return true;
    return false;
}

juce::String text (const std::string& s)
{
    return juce::String::fromUTF8 (s.c_str());
}

/** The options every command that talks to a device takes. */
void addPortOptions (CLI::App& command, std::vector<std::string>& ports, bool& all, bool severalAllowed)
{
    command
        .add_option ("-p,--port", ports,
                     severalAllowed ? "port: a friendly name, a tty name (ttyACM0) or a device path; repeat for "
                                      "several devices"
                                    : "port: a friendly name, a tty name (ttyACM0) or a device path")
        ->type_name ("PORT")
        ->allow_extra_args (false);
    if (severalAllowed)
        command.add_flag ("--all", all, "every Nubo device present, all at the same time");
}

/** Whether the name is one of the program's commands. */
bool isCommand (CLI::App& app, const std::string& name)
{
    for (auto* command : app.get_subcommands ({}))
        if (command->get_name() == name)
            return true;
    return false;
}

/** Whether the option reads a value (-p PORT) rather than being a flag. */
bool takesValue (const CLI::Option* option)
{
    return option != nullptr && option->get_items_expected_max() > 0;
}

/** Where the command's name stands among the arguments: the first one that is neither
    an option of the whole program nor the value of one (-p ls info, -qp ttyACM0 info,
    --port ls info); argc when there is none. The values are judged by the program's
    own options, so that a value never passes for the command. */
int commandIndex (CLI::App& app, int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg (argv[i]);
        if (arg == "--")
            return argc; // what follows is no option; the parser says what is wrong
        if (arg.size() < 2 || arg[0] != '-')
            return i;
        if (arg[1] == '-')
        {
            if (arg.find ('=') == std::string::npos && takesValue (app.get_option_no_throw (arg)))
                ++i;
            continue;
        }
        // Short options, several in one argument perhaps; the first that reads a value
        // takes the rest of the argument, or the next argument when nothing is left.
        for (size_t c = 1; c < arg.size(); ++c)
        {
            if (takesValue (app.get_option_no_throw (std::string{'-', arg[c]})))
            {
                if (c + 1 == arg.size())
                    ++i;
                break;
            }
        }
    }
    return argc;
}

/** The --exclude and --include globs in the order they were given: the first that
    matches decides, so the order between the two options matters. */
std::vector<std::pair<juce::String, bool>> filtersInOrder (int argc, char** argv)
{
    std::vector<std::pair<juce::String, bool>> filters;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg (argv[i]);
        if (arg == "--")
            break;
        for (auto [name, include] : {std::pair<std::string, bool>{"--exclude", false}, {"--include", true}})
        {
            if (arg == name && i + 1 < argc)
                filters.emplace_back (text (argv[++i]), include);
            else if (arg.rfind (name + "=", 0) == 0)
                filters.emplace_back (text (arg.substr (name.size() + 1)), include);
        }
    }
    return filters;
}
} // namespace

int NuboCli::run (int argc, char** argv)
{
    CLI::App app ("Nubo USB File Utility on the command line: lists, moves and updates files on Nubo devices "
                  "over their USB serial port.",
                  "nubo");
    app.set_version_flag ("--version", std::string ("nubo ") + version);
    app.require_subcommand (1, 1);
    app.add_flag ("-v,--verbose", verbose, "write the protocol log to standard error");
    app.add_flag ("-q,--quiet", quiet, "no progress bar, no notes on standard error");
    app.add_flag ("--json", json,
                  "one JSON document on standard output (ports, info, ls, props; put, flash and "
                  "getmac on several devices)");
    addPortOptions (app, ports, all, true);
    // The options of the whole program go before the command or after it alike. The
    // ports named after it are kept apart, or they would replace those named before.
    std::vector<std::string> portsAfterCommand;
    app.footer ("Exit status: 0 success, 1 the device refused or a transfer failed, 2 usage error,\n"
                "3 no device / several without a choice / the port could not be opened, 130 interrupted.\n"
                "Run 'nubo COMMAND --help' for a command's options.");

    const std::string remoteHelp = std::string ("path on the device; relative paths start at ") + "/mnt/nandfs/usr";
    // The remote paths given, to be checked once parsed.
    std::vector<CLI::Option*> remoteArguments;

    auto* portsCommand = app.add_subcommand ("ports", "list the Nubo devices present");
    portsCommand->add_flag ("--json", json, "one JSON document on standard output");

    auto* infoCommand = app.add_subcommand ("info", "show who the device is: family, device, versions, texts");
    addPortOptions (*infoCommand, portsAfterCommand, all, true);
    infoCommand->add_flag ("--json", json, "one JSON document on standard output");

    auto* lsCommand = app.add_subcommand ("ls", "list a folder on the device (folders end in /)");
    addPortOptions (*lsCommand, portsAfterCommand, all, false);
    lsCommand->add_flag ("-l", longListing, "add size and modification time");
    lsCommand->add_flag ("--json", json, "one JSON document on standard output");
    remoteArguments.push_back (lsCommand->add_option ("REMOTE", remote, remoteHelp + " (default: that folder)"));
    const auto maxEntriesHelp =
        "stop a tree after this many entries (default: " + std::to_string (FolderTransfer::defaultMaxEntries) + ")";

    auto* getCommand = app.add_subcommand ("get", "fetch a file (or with -r a folder) from the device");
    addPortOptions (*getCommand, portsAfterCommand, all, false);
    getCommand->add_flag ("-r,--recursive", recursive, "fetch a whole folder");
    getCommand->add_flag ("--continue", resume, "resume an interrupted fetch from its .nubo-partial file");
    getCommand->add_flag ("--verify", verify, "read the file back and compare SHA-256");
    getCommand->add_option ("--max-entries", maxEntries, "with -r, " + maxEntriesHelp)
        ->type_name ("N")
        ->check (CLI::Range (1, std::numeric_limits<int>::max()));
    remoteArguments.push_back (getCommand->add_option ("REMOTE", remote, remoteHelp)->required());
    getCommand->add_option ("LOCAL", local, "local file or folder (default: the current folder)");

    auto* putCommand = app.add_subcommand ("put", "send a file (or with -r a folder) to the device");
    addPortOptions (*putCommand, portsAfterCommand, all, true);
    putCommand->add_flag ("-r,--recursive", recursive, "send a whole folder");
    putCommand->add_flag ("--verify", verify, "read the file back and compare SHA-256");
    putCommand->add_option ("--max-entries", maxEntries, "with -r, " + maxEntriesHelp)
        ->type_name ("N")
        ->check (CLI::Range (1, std::numeric_limits<int>::max()));
    putCommand->add_flag ("--json", json, "the summary of every device's result as one JSON document");
    putCommand->add_option ("LOCAL", local, "local file or folder")->required();
    remoteArguments.push_back (putCommand->add_option ("REMOTE", remote, remoteHelp + " (default: that folder)"));

    auto* mkdirCommand = app.add_subcommand ("mkdir", "create a folder on the device");
    addPortOptions (*mkdirCommand, portsAfterCommand, all, false);
    remoteArguments.push_back (mkdirCommand->add_option ("REMOTE", remote, remoteHelp)->required());

    auto* mvCommand = app.add_subcommand ("mv", "rename or move an entry on the device");
    addPortOptions (*mvCommand, portsAfterCommand, all, false);
    remoteArguments.push_back (mvCommand->add_option ("OLD", remote, remoteHelp)->required());
    remoteArguments.push_back (
        mvCommand->add_option ("NEW", second, "new path; an existing folder receives the entry under its own name")
            ->required());

    auto* rmCommand = app.add_subcommand ("rm", "remove an entry on the device");
    addPortOptions (*rmCommand, portsAfterCommand, all, false);
    rmCommand->add_flag ("-r,--recursive", recursive, "empty a folder first, deepest entries first");
    rmCommand->add_option ("--max-entries", maxEntries, "with -r, " + maxEntriesHelp)
        ->type_name ("N")
        ->check (CLI::Range (1, std::numeric_limits<int>::max()));
    remoteArguments.push_back (rmCommand->add_option ("REMOTE", remote, remoteHelp)->required());

    auto* mountCommand =
        app.add_subcommand ("mount", "show a folder of the device as a local folder (FUSE), until it is unmounted");
    addPortOptions (*mountCommand, portsAfterCommand, all, false);
    remoteArguments.push_back (mountCommand->add_option ("REMOTE", remote, remoteHelp)->required());
    mountCommand->add_option ("MOUNTPOINT", local, "an empty local folder")->required();
    mountCommand->add_flag ("--read-only", mount.readOnly, "refuse every change (EROFS)");
    mountCommand->add_option ("--cache-dir", mount.cacheFolder,
                              "where written files wait until they are sent (default: $XDG_CACHE_HOME/nubo/mount "
                              "or ~/.cache/nubo/mount, made 0700)")
        ->type_name ("DIR");
    mountCommand->add_option ("--attr-timeout", mount.attributeTimeout,
                              "seconds a file's size and time are kept before the device is asked again (default: 10)")
        ->type_name ("S")
        ->check (CLI::Range (0.0, 86400.0));
    mountCommand->add_option ("--dir-timeout", mount.listingTimeout,
                              "seconds a folder's listing is kept before the device is asked again (default: 10)")
        ->type_name ("S")
        ->check (CLI::Range (0.0, 86400.0));
    mountCommand->footer (
        "Runs in the foreground, one request at a time. A written file is kept in the cache folder and sent\n"
        "when it is closed (or fsync'd); a failed send leaves the device's file as it was and close or fsync\n"
        "fails with EIO. Names the device gives that can't be local names are hidden (counted on standard\n"
        "error). While the device is unplugged the mount answers EIO; it is used again once it is back.\n"
        "Unmount with 'fusermount3 -u MOUNTPOINT' (exit status 0), Ctrl-C or SIGTERM (exit status 130).");

    auto* flashCommand = app.add_subcommand ("flash", "update the firmware: send IMAGE unless it is installed, then "
                                                      "trigger the update");
    addPortOptions (*flashCommand, portsAfterCommand, all, true);
    flashCommand->add_flag ("--force", force, "send the image even when firmware is installed");
    flashCommand->add_flag ("--verify", verify, "read the image back and compare SHA-256");
    flashCommand->add_flag ("--json", json, "the summary of every device's result as one JSON document");
    flashCommand->add_option ("IMAGE", local, "the firmware update file")->required();

    auto* getmacCommand = app.add_subcommand ("getmac", "fetch the device's MAC-address file");
    addPortOptions (*getmacCommand, portsAfterCommand, all, true);
    getmacCommand->add_flag ("--json", json, "with several devices, the summary as one JSON document");
    getmacCommand->add_option ("LOCAL", local,
                               "where to store it (default: standard output); with several devices the port's "
                               "name goes before the extension");

    auto* propsCommand = app.add_subcommand ("props", "show the device's properties");
    addPortOptions (*propsCommand, portsAfterCommand, all, true);
    propsCommand->add_flag ("--json", json, "one JSON document on standard output");
    propsCommand->add_option ("PATH", propertyPaths, "property paths, numbers between commas (default: the top)");

    const auto modifyWindowHelp = std::string (
        "without a manifest record, files of the same size count as unchanged when their times are at most S "
        "seconds apart beyond the device's minute (default 60; the device keeps times to the minute, by its own "
        "clock)");
    const auto checksumHelp = std::string (
        "compare SHA-256 instead of size and time: every file on both sides is read through, the device's over "
        "the link (as long as fetching it)");
    const auto manifestHelp = std::string ("the sync manifest to use (default: one per device USB serial and remote "
                                           "folder under $XDG_STATE_HOME or ~/.local/state/nubo/sync)");

    auto* syncCommand = app.add_subcommand (
        "sync", "make a folder tree on the device like a local one (push), or a local one like the device's (pull)");
    addPortOptions (*syncCommand, portsAfterCommand, all, false);
    auto* pushCommand = syncCommand->add_subcommand ("push", "make REMOTE like LOCAL");
    pushCommand->add_option ("LOCAL", local, "local folder")->required();
    remoteArguments.push_back (pushCommand->add_option ("REMOTE", remote, remoteHelp)->required());
    auto* pullCommand = syncCommand->add_subcommand ("pull", "make LOCAL like REMOTE");
    remoteArguments.push_back (pullCommand->add_option ("REMOTE", remote, remoteHelp)->required());
    pullCommand->add_option ("LOCAL", local, "local folder (made when missing)")->required();
    pushCommand->fallthrough();
    pullCommand->fallthrough();
    for (auto* direction : {pushCommand, pullCommand})
        direction->footer ("The options of 'nubo sync --help' go before or after " + direction->get_name() + ".");
    syncCommand->require_subcommand (1, 1);
    syncCommand->add_flag ("-n,--dry-run", sync.dryRun, "only say what would be done, one line per file");
    syncCommand->add_flag ("--json", json, "the plan, or what was done, as one JSON document");
    syncCommand->add_flag ("--delete", sync.deleteExtra,
                           "delete files the source does not have (never when a transfer failed, never excluded "
                           "ones; pull deletes only regular files)");
    syncCommand->add_option ("--max-delete", sync.maxDelete, "with --delete, delete nothing when more than N would go")
        ->type_name ("N")
        ->check (CLI::Range (0, std::numeric_limits<int>::max()));
    syncCommand->add_option ("--exclude", excludes, "leave out files and folders matching the glob (repeatable; "
                                                    "with a / it matches the path, else the name)")
        ->type_name ("GLOB")->allow_extra_args (false);
    syncCommand->add_option ("--include", includes, "take matching files even when a later glob excludes them "
                                                    "(repeatable; the first glob that matches decides)")
        ->type_name ("GLOB")->allow_extra_args (false);
    syncCommand->add_flag ("--checksum", sync.checksum, checksumHelp);
    syncCommand->add_option ("--modify-window", sync.modifyWindowSeconds, modifyWindowHelp)
        ->type_name ("S")
        ->check (CLI::Range (0, 100000000));
    syncCommand->add_option ("--manifest", manifest, manifestHelp)->type_name ("FILE");
    syncCommand->add_option ("--max-entries", maxEntries, maxEntriesHelp)
        ->type_name ("N")
        ->check (CLI::Range (1, std::numeric_limits<int>::max()));
    syncCommand->footer ("A local .nuboignore holds more globs, one a line (# comments, !GLOB includes), after the "
                         "command line's;\nit is never synced itself. Exit status 1 when any file failed, a name was "
                         "unsafe or deletions were held back.");

    auto* checkCommand = app.add_subcommand (
        "check", "compare a local folder tree with one on the device (exit status 0 only when all match)");
    addPortOptions (*checkCommand, portsAfterCommand, all, false);
    checkCommand->add_option ("LOCAL", local, "local folder")->required();
    remoteArguments.push_back (checkCommand->add_option ("REMOTE", remote, remoteHelp)->required());
    checkCommand->add_flag ("--checksum", sync.checksum, checksumHelp);
    checkCommand->add_flag ("--json", json, "every file's result as one JSON document");
    checkCommand->add_option ("--modify-window", sync.modifyWindowSeconds, modifyWindowHelp)
        ->type_name ("S")
        ->check (CLI::Range (0, 100000000));
    checkCommand->add_option ("--exclude", excludes, "leave out what matches the glob (repeatable)")->type_name ("GLOB")->allow_extra_args (false);
    checkCommand->add_option ("--include", includes, "take what matches the glob (repeatable)")->type_name ("GLOB")->allow_extra_args (false);
    checkCommand->add_option ("--manifest", manifest, manifestHelp)->type_name ("FILE");

    auto* treeCommand = app.add_subcommand ("tree", "show a folder tree on the device, indented (folders end in /)");
    addPortOptions (*treeCommand, portsAfterCommand, all, false);
    treeCommand->add_flag ("--json", json, "one JSON document on standard output");
    treeCommand->add_option ("--max-entries", maxEntries, maxEntriesHelp)
        ->type_name ("N")
        ->check (CLI::Range (1, std::numeric_limits<int>::max()));
    remoteArguments.push_back (treeCommand->add_option ("REMOTE", remote, remoteHelp + " (default: that folder)"));

    auto* duCommand = app.add_subcommand ("du", "show the bytes of the files below each folder on the device, and in all");
    addPortOptions (*duCommand, portsAfterCommand, all, false);
    duCommand->add_flag ("--json", json, "one JSON document on standard output");
    duCommand->add_option ("--max-entries", maxEntries, maxEntriesHelp)
        ->type_name ("N")
        ->check (CLI::Range (1, std::numeric_limits<int>::max()));
    remoteArguments.push_back (duCommand->add_option ("REMOTE", remote, remoteHelp + " (default: that folder)"));

    auto* catCommand = app.add_subcommand ("cat", "write files on the device to standard output, one after another");
    addPortOptions (*catCommand, portsAfterCommand, all, false);
    remoteArguments.push_back (catCommand->add_option ("REMOTE", catPaths, remoteHelp)->required());

    auto* shellCommand = app.add_subcommand (
        "shell", "work on one device at a prompt: ls, cd, get, put, rm, mkdir, mv, cat, sync, lcd, lls (what 'nubo' "
                 "alone starts at a terminal)");
    addPortOptions (*shellCommand, portsAfterCommand, all, false);
    shellCommand->footer ("Without a terminal it reads commands line by line from standard input, with no prompt.");

    auto* stationCommand = app.add_subcommand (
        "station", "run a production station: every unit plugged into a USB slot is identified, flashed, "
                   "followed through its restart, checked and recorded (see 'nubo station --help')");
    stationCommand->add_option ("RECIPE", station.recipe, "the recipe: a JSON file naming the image and the steps")
        ->type_name ("RECIPE");
    stationCommand->add_option ("--station", station.stationFile, "the station file: its ID, slot nicknames, slots used")
        ->type_name ("FILE");
    stationCommand->add_option ("--db", station.database,
                                "the records: a file (SQLite; default ~/.local/share/nubo/station.db), or the line's "
                                "PostgreSQL database (postgresql://... or a libpq connection string; the password from "
                                "~/.pgpass or PGPASSWORD)")
        ->type_name ("FILE|URI");
    stationCommand->add_option ("--journal", station.journal,
                                "with a line's database: the station's own records, which wait there while the "
                                "line's database is away (default ~/.local/share/nubo/station.db)")
        ->type_name ("FILE");
    stationCommand->add_option ("--operator", station.operatorName, "the operator's name, kept in every record")
        ->type_name ("NAME");
    stationCommand->add_option ("--socket", station.socketPath, "the control socket (default: the database's path and .sock)")
        ->type_name ("PATH");
    stationCommand->add_option ("--tcp", station.tcpPort, "control on 127.0.0.1:PORT instead of the Unix socket")
        ->type_name ("PORT")
        ->check (CLI::Range (0, 65535));
    stationCommand->add_flag ("--no-socket", station.noSocket, "no control socket");
    stationCommand->add_flag ("--start-present", station.startHeld,
                              "process the units already plugged in at the start (they are held otherwise)");
    stationCommand->add_flag ("--json", json, "one JSON object per line and event on standard output, nothing else");
    stationCommand->footer ("A terminal shows a table redrawn in place; without one, one line per event.\n"
                            "Ctrl-C or SIGTERM brings the running units to a safe stop (exit status 130).");
    auto* reportCommand = stationCommand->add_subcommand ("report", "write the station's records, with counts on standard error");
    reportCommand->add_option ("--db", stationReport.database,
                               "the records: a station's file (default ~/.local/share/nubo/station.db) or the line's "
                               "PostgreSQL database")
        ->type_name ("FILE|URI");
    reportCommand->add_option ("--station-id", stationReport.stationId, "only this station's records (a line's database)")
        ->type_name ("ID");
    reportCommand->add_option ("--format", stationReport.format, "csv (default) or jsonl")->type_name ("FORMAT");
    reportCommand->add_option ("--from", stationReport.from, "attempts that started at or after this time (2024-05-01, ISO 8601)")
        ->type_name ("TIME");
    reportCommand->add_option ("--to", stationReport.to, "attempts that started before this time")->type_name ("TIME");
    reportCommand->add_flag ("--counts", stationReport.countsOnly, "only the counts, on standard output");
    reportCommand->fallthrough();
    stationCommand->require_subcommand (0, 1);

    // Global flags may follow the command too.
    for (auto* command : app.get_subcommands ({}))
        command->fallthrough();

    // At a terminal, "nubo" alone is the shell; elsewhere a command is missing.
    if (argc == 1 && ::isatty (STDIN_FILENO) && ::isatty (STDOUT_FILENO))
        return runCommand ("shell");

    // A mistyped command would otherwise be reported as a stray argument.
    if (const auto named = commandIndex (app, argc, argv); named < argc && !isCommand (app, argv[named]))
    {
        Console::error ("unknown command '" + text (argv[named]) + "'");
        Console::err ("Run 'nubo --help' for the commands.");
        return ExitStatus::usage;
    }

    try
    {
        app.parse (argc, argv);
    }
    catch (const CLI::ParseError& e)
    {
        std::ostringstream out, err;
        const auto status = app.exit (e, out, err);
        if (status == 0)
        {
            const auto help = out.str();
            Console::outRaw (help.data(), help.size());
            return ExitStatus::success;
        }
        Console::error (text (e.what()));
        Console::err ("Run 'nubo --help' for the commands, 'nubo COMMAND --help' for their options.");
        return ExitStatus::usage;
    }

    // "" (an unset shell variable) must not become the home folder: rm -r "" would empty it.
    for (auto* argument : remoteArguments)
        for (auto& given : argument->results())
            if (RemotePath::isBlank (text (given)))
            {
                Console::error ("empty " + text (argument->get_name()) + " path; name a path on the device");
                return ExitStatus::usage;
            }

    // The same for a local path: "" would be the current folder, for a sync to fill or empty.
    std::function<bool (CLI::App&)> blankLocal = [&] (CLI::App& command)
    {
        for (auto* option : command.get_options())
            if (option->get_name() == "LOCAL" || option->get_name() == "IMAGE" || option->get_name() == "MOUNTPOINT")
                for (auto& given : option->results())
                    if (RemotePath::isBlank (text (given)))
                    {
                        Console::error ("empty " + text (option->get_name()) + " path; name a local path");
                        return true;
                    }
        for (auto* sub : command.get_subcommands())
            if (blankLocal (*sub))
                return true;
        return false;
    };
    if (blankLocal (app))
        return ExitStatus::usage;

    auto* selected = app.get_subcommands().front();
    if (selected == stationCommand)
    {
        if (!ports.empty() || !portsAfterCommand.empty() || all)
        {
            Console::error ("station takes no -p or --all; its slots are the USB ports");
            return ExitStatus::usage;
        }
        if (reportCommand->parsed())
            return StationCommand::report (stationReport);
        if (station.recipe.empty())
        {
            Console::error ("station needs a RECIPE (or 'report')");
            Console::err ("Run 'nubo station --help' for its options.");
            return ExitStatus::usage;
        }
        station.json = json;
        station.quiet = quiet;
        station.verbose = verbose;
        station.programVersion = version;
        return StationCommand::run (station);
    }
    ports.insert (ports.end(), portsAfterCommand.begin(), portsAfterCommand.end());

    // An option that the command has no use for is refused wherever it stands, as the
    // parser refuses the command's own unknown options.
    if (json && selected->get_option_no_throw ("--json") == nullptr)
    {
        std::string commands;
        for (auto* command : app.get_subcommands ({}))
            if (command->get_option_no_throw ("--json") != nullptr)
                commands += (commands.empty() ? "" : ", ") + command->get_name();
        Console::error (text (selected->get_name()) + " has no JSON output; --json works with " + text (commands));
        Console::err ("Run 'nubo --help' for the commands, 'nubo COMMAND --help' for their options.");
        return ExitStatus::usage;
    }
    if ((!ports.empty() || all) && selected->get_option_no_throw ("--port") == nullptr)
    {
        Console::error (text (selected->get_name()) + " takes no -p or --all");
        Console::err ("Run 'nubo --help' for the commands, 'nubo COMMAND --help' for their options.");
        return ExitStatus::usage;
    }

    pull = pullCommand->parsed();
    sync.filters = filtersInOrder (argc, argv);
    sync.manifestPath = text (manifest);
    return runCommand (selected->get_name());
}

int NuboCli::listPorts()
{
    const auto found = enumerateSerialPortDetails (1);

    if (json)
    {
        juce::Array<juce::var> list;
        for (auto& port : found)
        {
            auto* object = new juce::DynamicObject();
            object->setProperty ("name", port.friendlyName);
            object->setProperty ("path", port.portName);
            object->setProperty ("vendorId", port.vendorId);
            object->setProperty ("productId", port.productId);
            object->setProperty ("revision", port.revision);
            object->setProperty ("serial", port.serialNumber.isEmpty() ? juce::var() : juce::var (port.serialNumber));
            list.add (juce::var (object));
        }
        JsonOutput::print (juce::var (list));
        return ExitStatus::success;
    }

    for (auto& port : found)
        Console::out (PortChooser::describe (port));
    if (found.empty() && !quiet)
        Console::err ("no Nubo device found");
    return ExitStatus::success;
}

int NuboCli::runCommand (const std::string& command)
{
    CliLogger logger (verbose);
    setGlobalLogger (&logger);
    struct SlotEmptier
    {
        ~SlotEmptier()
        {
            setGlobalLogger (nullptr);
        }
    } emptySlotOnReturn;

    if (command == "ports")
        return listPorts();

    // What can be checked before any device is touched.
    if (command == "flash" || (command == "put" && !recursive))
    {
        const auto file = localFile (text (local));
        if (!file.existsAsFile())
        {
            Console::error ("can't read " + file.getFullPathName() + ": " +
                            (file.isDirectory() ? "it is a folder" + juce::String (command == "put" ? " (use -r)" : "")
                                                : juce::String ("no such file")));
            return ExitStatus::failed;
        }
        if (!file.hasReadAccess())
        {
            Console::error ("can't read " + file.getFullPathName() + ": permission denied");
            return ExitStatus::failed;
        }
    }
    if (command == "put" && recursive && !localFile (text (local)).isDirectory())
    {
        Console::error ("no folder " + text (local));
        return ExitStatus::failed;
    }
    if (command == "mount")
        if (const auto problem = NuboMount::checkMountPoint (text (local)); problem.isNotEmpty())
        {
            Console::error (problem);
            return ExitStatus::usage;
        }
    if (command == "get" && recursive && (resume || verify))
    {
        Console::error ("--continue and --verify work on single files, not with -r");
        return ExitStatus::usage;
    }
    if (command == "put" && recursive && verify)
    {
        Console::error ("--verify works on single files, not with -r");
        return ExitStatus::usage;
    }
    juce::StringArray paths;
    for (auto& p : propertyPaths)
    {
        juce::Array<juce::uint16> parsed;
        if (!DeviceCommands::parsePropertyPath (text (p), parsed))
        {
            Console::error ("not a property path: " + text (p).quoted() + " (numbers between commas, e.g. 1,2)");
            return ExitStatus::usage;
        }
        paths.add (text (p));
    }

    juce::StringArray requested;
    for (auto& p : ports)
        requested.add (text (p));

    const auto choice = PortChooser::choose (requested, all);
    if (choice.error.isNotEmpty())
    {
        Console::error (choice.error);
        return ExitStatus::noPort;
    }
    for (auto& warning : choice.warnings)
        Console::error (warning);

    if (choice.ports.size() > 1 && !runsOnSeveralDevices (command))
    {
        Console::error (juce::String (command) + " works on one device at a time; choose one with -p");
        return ExitStatus::usage;
    }

    if (command == "shell")
    {
        NuboShell shell (choice.ports.front());
        return shell.run();
    }

    RunContext context;
    context.json = json;
    context.quiet = quiet;
    // cat's bytes go to the terminal the bar would be drawn on.
    context.showProgress = !quiet && Console::isErrorTerminal() && command != "cat";
    context.progressLabel =
        command == "get" ? RemotePath::nameOf (text (remote)) : localFile (text (local)).getFileName();
    context.maxEntries = maxEntries > 0 ? maxEntries : FolderTransfer::defaultMaxEntries;

    const auto remotePath = text (remote), localPath = text (local), secondPath = text (second);

    if (command == "mount")
    {
        mount.remoteFolder = text (remote);
        mount.mountPoint = text (local);
        mount.quiet = quiet;
        return NuboMount::run (choice.ports.front(), mount);
    }

    MultiDeviceRun::Task task;
    if (command == "info")
        task = [] (DeviceSession& s, const RunContext& c) { return DeviceCommands::info (s, c); };
    else if (command == "flash")
        task = [&] (DeviceSession& s, const RunContext& c)
        { return DeviceCommands::flash (s, c, localPath, force, verify); };
    else if (command == "getmac")
        task = [&] (DeviceSession& s, const RunContext& c) { return DeviceCommands::getMac (s, c, localPath); };
    else if (command == "props")
        task = [&] (DeviceSession& s, const RunContext& c) { return DeviceCommands::props (s, c, paths); };
    else if (command == "put")
        task = [&] (DeviceSession& s, const RunContext& c)
        {
            return DeviceCommands::put (s, c, localPath,
                                        remotePath.isEmpty() ? juce::String (RemotePath::home) : remotePath, recursive,
                                        verify);
        };
    else if (command == "ls")
        task = [&] (DeviceSession& s, const RunContext& c) {
            return FileCommands::list (s, c, remotePath.isEmpty() ? juce::String (RemotePath::home) : remotePath,
                                       longListing);
        };
    else if (command == "get")
        task = [&] (DeviceSession& s, const RunContext& c)
        { return FileCommands::get (s, c, remotePath, localPath, recursive, resume, verify); };
    else if (command == "mkdir")
        task = [&] (DeviceSession& s, const RunContext&) { return FileCommands::makeFolder (s, remotePath); };
    else if (command == "mv")
        task = [&] (DeviceSession& s, const RunContext&) { return FileCommands::move (s, remotePath, secondPath); };
    else if (command == "sync" || command == "check")
    {
        sync.direction = pull ? FolderSync::Direction::pull : FolderSync::Direction::push;
        sync.localPath = localPath;
        sync.remotePath = remotePath;
        if (command == "sync")
            task = [this] (DeviceSession& s, const RunContext& c) { return SyncCommands::sync (s, c, sync); };
        else
            task = [this] (DeviceSession& s, const RunContext& c) { return SyncCommands::check (s, c, sync); };
    }
    else if (command == "tree" || command == "du")
        task = [&] (DeviceSession& s, const RunContext& c)
        {
            const auto folder = remotePath.isEmpty() ? juce::String (RemotePath::home) : remotePath;
            return command == "tree" ? SyncCommands::tree (s, c, folder) : SyncCommands::du (s, c, folder);
        };
    else if (command == "cat")
    {
        juce::StringArray files;
        for (auto& p : catPaths)
            files.add (text (p));
        task = [files] (DeviceSession& s, const RunContext& c) { return SyncCommands::cat (s, c, files); };
    }
    else if (command == "rm")
        task = [&] (DeviceSession& s, const RunContext& c)
        { return FileCommands::remove (s, c, remotePath, recursive); };
    else
        return ExitStatus::usage;

    return MultiDeviceRun::run (choice.ports, juce::String (command), context, task);
}
