#include "PostgresServer.h"

#include <libpq-fe.h>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
juce::File serverBinaries()
{
    // pg_config names the folder of the server's version; without it, the newest installed.
    juce::ChildProcess config;
    if (config.start ("pg_config --bindir", juce::ChildProcess::wantStdOut))
    {
        const auto folder = juce::File (config.readAllProcessOutput().trim());
        if (folder.getChildFile ("initdb").existsAsFile() && folder.getChildFile ("postgres").existsAsFile())
            return folder;
    }
    juce::Array<juce::File> found;
    juce::File ("/usr/lib/postgresql").findChildFiles (found, juce::File::findDirectories, false);
    found.sort();
    for (int i = found.size(); --i >= 0;)
        if (found[i].getChildFile ("bin/initdb").existsAsFile() &&
            found[i].getChildFile ("bin/postgres").existsAsFile())
            return found[i].getChildFile ("bin");
    return {};
}

const passwd* unprivilegedUser()
{
    return ::getuid() == 0 ? ::getpwnam ("nobody") : nullptr;
}
} // namespace

PostgresServer::PostgresServer()
{
    char pattern[] = "/tmp/nubo-pg-XXXXXX";
    if (::mkdtemp (pattern) != nullptr)
        folder = juce::File (pattern);
    data = folder.getChildFile ("data");
    if (const auto* user = unprivilegedUser()) [[maybe_unused]]
        const auto owned = ::chown (pattern, user->pw_uid, user->pw_gid);
}

PostgresServer::~PostgresServer()
{
    stop();
    folder.deleteRecursively();
}

juce::String PostgresServer::unavailable()
{
    if (serverBinaries() == juce::File())
        return "no PostgreSQL server programs are installed (initdb, postgres)";
    if (::getuid() == 0 && unprivilegedUser() == nullptr)
        return "the tests run as root and there is no user nobody to run the server as";
    return {};
}

int PostgresServer::run (const juce::StringArray& arguments)
{
    // As the unprivileged user, with the output in the folder's log.
    const auto program = serverBinaries().getChildFile (arguments[0]).getFullPathName().toStdString();
    std::vector<std::string> words{program};
    for (int i = 1; i < arguments.size(); ++i)
        words.push_back (arguments[i].toStdString());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back (word.data());
    argv.push_back (nullptr);
    const auto log = folder.getChildFile ("commands.log").getFullPathName().toStdString();
    const auto* user = unprivilegedUser();

    const auto child = ::fork();
    if (child == 0)
    {
        const auto out = ::open (log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        ::dup2 (out, 1);
        ::dup2 (out, 2);
        if (user != nullptr &&
            (::setgroups (0, nullptr) != 0 || ::setgid (user->pw_gid) != 0 || ::setuid (user->pw_uid) != 0))
            ::_exit (126);
        ::setenv ("LC_ALL", "C", 1);
        ::execv (argv[0], argv.data());
        ::_exit (127);
    }
    int status = 0;
    if (child < 0 || ::waitpid (child, &status, 0) != child)
        return -1;
    return WIFEXITED (status) ? WEXITSTATUS (status) : -1;
}

juce::String PostgresServer::start()
{
    if (!folder.isDirectory())
        return "no temporary folder for the server";
    if (!initialised)
    {
        if (run ({"initdb", "-D", data.getFullPathName(), "-U", superuser, "-A", "trust", "-E", "UTF8", "--locale=C",
                  "--no-sync", "--no-instructions"}) != 0)
            return "initdb failed: " + folder.getChildFile ("commands.log").loadFileAsString().trim();
        data.getChildFile ("postgresql.conf")
            .appendText ("\nlisten_addresses = ''\nunix_socket_directories = '" + folder.getFullPathName() +
                         "'\nfsync = off\nsynchronous_commit = off\nfull_page_writes = off\nmax_connections = 40\n");
        data.getChildFile ("pg_hba.conf")
            .replaceWithText (juce::String ("local all ") + passwordUser + " scram-sha-256\nlocal all all trust\n");
        initialised = true;
    }
    if (run ({"pg_ctl", "-D", data.getFullPathName(), "-l", folder.getChildFile ("server.log").getFullPathName(), "-w",
              "-t", "60", "start"}) != 0)
        return "the server did not start: " + folder.getChildFile ("server.log").loadFileAsString().trim();
    return {};
}

int PostgresServer::postmasterPid() const
{
    return data.getChildFile ("postmaster.pid")
        .loadFileAsString()
        .upToFirstOccurrenceOf ("\n", false, false)
        .getIntValue();
}

void PostgresServer::stop()
{
    if (postmasterPid() > 0 &&
        run ({"pg_ctl", "-D", data.getFullPathName(), "-m", "fast", "-w", "-t", "30", "stop"}) != 0)
        kill();
}

void PostgresServer::kill()
{
    // pg_ctl starts the postmaster as the leader of a session of its own: its process
    // group holds the whole server.
    if (const auto pid = postmasterPid(); pid > 0)
    {
        ::kill (-pid, SIGKILL);
        for (int i = 0; i < 300 && ::kill (pid, 0) == 0; ++i)
        {
            const auto stat = juce::File ("/proc/" + juce::String (pid) + "/stat").loadFileAsString();
            if (stat.fromLastOccurrenceOf (")", false, false).trim().startsWith ("Z"))
                break; // dead, and nobody here reaps it
            juce::Thread::sleep (10);
        }
    }
    // The lock files of a dead server, which would name a zombie as their owner.
    data.getChildFile ("postmaster.pid").deleteFile();
    folder.getChildFile (".s.PGSQL.5432.lock").deleteFile();
}

std::string PostgresServer::conninfo (const std::string& database, const std::string& extra,
                                      const std::string& user) const
{
    return "host=" + folder.getFullPathName().toStdString() + " dbname=" + database + " user=" + user +
           (extra.empty() ? "" : " " + extra);
}

std::string PostgresServer::createDatabase()
{
    const auto name = "test" + std::to_string (++databases);
    execute ("postgres", "CREATE DATABASE " + name);
    return name;
}

juce::String PostgresServer::execute (const std::string& database, const std::string& sql) const
{
    auto* conn = PQconnectdb (conninfo (database).c_str());
    juce::String error;
    if (PQstatus (conn) != CONNECTION_OK)
        error = PQerrorMessage (conn);
    else if (auto* result = PQexec (conn, sql.c_str()))
    {
        if (PQresultStatus (result) != PGRES_COMMAND_OK && PQresultStatus (result) != PGRES_TUPLES_OK)
            error = PQresultErrorMessage (result);
        PQclear (result);
    }
    PQfinish (conn);
    return error.trim();
}

std::string PostgresServer::queryValue (const std::string& database, const std::string& sql) const
{
    auto* conn = PQconnectdb (conninfo (database).c_str());
    std::string value;
    if (auto* result = PQexec (conn, sql.c_str()))
    {
        if (PQresultStatus (result) == PGRES_TUPLES_OK && PQntuples (result) > 0)
            value = PQgetvalue (result, 0, 0);
        PQclear (result);
    }
    PQfinish (conn);
    return value;
}
