#pragma once

#include <string>

/** nubo station: the production station on a terminal, as plain lines or as JSON events,
    with its control socket; and nubo station report, its records as CSV or JSON Lines. */
class StationCommand final
{
public:
    struct Options
    {
        std::string recipe;
        std::string stationFile;
        std::string database;     ///< empty: the default place; a PostgreSQL connection string: the line's database
        std::string journal;      ///< the station's own records with a line database; empty: the default place
        std::string operatorName;
        std::string socketPath;   ///< empty: beside the database
        int tcpPort = -1;         ///< >= 0: loopback TCP instead of the Unix socket
        bool noSocket = false;
        bool startHeld = false;   ///< units there at the start are processed at once
        bool json = false, quiet = false, verbose = false;
        std::string programVersion;
    };

    struct ReportOptions
    {
        std::string database;       ///< a records file, or the line's PostgreSQL database
        std::string stationId;      ///< only this station's records (a line's database)
        std::string format = "csv"; ///< csv or jsonl
        std::string from, to;       ///< ISO 8601 times; empty: open
        bool countsOnly = false;
    };

    /** Runs until quit, Ctrl-C or SIGTERM; the exit status. */
    static int run (const Options& options);

    static int report (const ReportOptions& options);

    /** Whether --db names a PostgreSQL database: a postgresql:// or postgres:// URI, or a
        libpq connection string (key=value ...), rather than a file. */
    static bool isLineDatabase (const std::string& database);

private:
    StationCommand() = delete;
};
