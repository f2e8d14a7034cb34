#include "cli/CliLogger.h"
#include "log/GlobalLog.h"

#include <gtest/gtest.h>

#include <thread>

TEST (CliLoggerTest, RemembersTheFirstTroubleOfEachThreadPastProgressLines)
{
    CliLogger logger (false);
    setGlobalLogger (&logger);
    CliLogger::beginOperation();

    for (auto* line :
         {"Getting remote file /a", "Block 0 Received.", "Folder transfer finished: 1 transferred, 0 failed",
          "File transfer completed successfully 5 bytes in 0.01 seconds - 0.00 MBit/s."})
        globalLog (line);
    EXPECT_EQ (CliLogger::firstProblem(), "");

    globalLog ("No such file: /m serial# 3");
    globalLog ("failed to open remote file");
    globalLog ("sending a as b");
    globalLog ("Timeout on serial # 9\x1b[2J");
    EXPECT_EQ (CliLogger::firstProblem(), "No such file: /m serial# 3");
    EXPECT_EQ (CliLogger::firstProblemAfter ("sending "), "Timeout on serial # 9\\x1B[2J");
    EXPECT_EQ (CliLogger::firstProblemAfter ("absent "), "");

    // Another thread's trouble is its own.
    juce::String elsewhere = "unset";
    std::thread other ([&elsewhere] { elsewhere = CliLogger::firstProblem(); });
    other.join();
    EXPECT_EQ (elsewhere, "");

    CliLogger::beginOperation();
    EXPECT_EQ (CliLogger::firstProblem(), "");
    setGlobalLogger (nullptr);
}
