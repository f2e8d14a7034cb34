#pragma once

#include <juce_core/juce_core.h>

#include <string>

/** A PostgreSQL server of its own for a test program: a cluster made by initdb in a
    temporary folder, run as an unprivileged user (initdb and postgres refuse root),
    reachable only through a Unix socket in that folder, without fsync. Stopped and
    removed with the object, whatever the tests did to it. */
class PostgresServer final
{
public:
    PostgresServer();
    ~PostgresServer();

    /** Why no server can be run here (no server programs installed), or nothing. */
    static juce::String unavailable();

    /** Creates the cluster the first time, then starts the server; nothing, or why not. */
    juce::String start();

    /** Stops it (fast shutdown), or kills it when it does not stop. */
    void stop();

    /** SIGKILL for the postmaster and every process of its server, as a crash would. */
    void kill();

    /** "host=<socket folder> dbname=<database> user=<user>" and the extra settings. */
    std::string conninfo (const std::string& database, const std::string& extra = {},
                          const std::string& user = superuser) const;

    /** A new empty database; its name. */
    std::string createDatabase();

    /** Runs SQL as the superuser: nothing, or the server's error. */
    juce::String execute (const std::string& database, const std::string& sql) const;

    /** The first value of the first row of a query run as the superuser. */
    std::string queryValue (const std::string& database, const std::string& sql) const;

    static constexpr const char* superuser = "postgres";
    static constexpr const char* passwordUser = "nubo_station"; ///< must give a password (SCRAM)

private:
    int run (const juce::StringArray& arguments);
    int postmasterPid() const;

    juce::File folder, data;
    bool initialised = false;
    int databases = 0;

    JUCE_DECLARE_NON_COPYABLE (PostgresServer)
};
