#pragma once

#include "cli/NuboMount.h"
#include "cli/StationCommand.h"
#include "cli/SyncCommands.h"

#include <juce_core/juce_core.h>

#include <string>
#include <vector>

/** The nubo command line: parses it, chooses the ports and runs the command; returns
    the exit status. */
class NuboCli final
{
public:
    NuboCli() = default;

    int run (int argc, char** argv);

private:
    int runCommand (const std::string& command);
    int listPorts();

    // Options, filled by the parser.
    std::vector<std::string> ports;
    bool all = false, json = false, quiet = false, verbose = false;
    bool longListing = false, recursive = false, resume = false, verify = false, force = false;
    std::string remote, local, second;
    int maxEntries = 0; // --max-entries for get -r, put -r, rm -r; 0: the client's default
    std::vector<std::string> propertyPaths;
    NuboMount::Options mount;
    StationCommand::Options station;
    StationCommand::ReportOptions stationReport;
    bool stationReportChosen = false;

    // sync, check, tree, du, cat.
    SyncCommands::Options sync;
    std::string manifest;
    std::vector<std::string> excludes, includes, catPaths;
    bool pull = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (NuboCli)
};
