#include "MessageBytes.h"
#include "protocol/TidewireClientRequest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

// The counter is process-wide, so this runs in a fresh copy of the test program:
// the "threadsafe" death-test style re-executes the binary for just this test.
TEST (SerialNumbers, FirstTwoRequestsOfARunCarryZeroThenOne)
{
    GTEST_FLAG_SET (death_test_style, "threadsafe");

    EXPECT_EXIT (
        {
            WhoAmIRequest first;
            FileCloseRequest second (7);
            juce::MemoryOutputStream out;
            first.write (out);
            second.write (out);
            std::fprintf (stderr, "wrote %s\n", hexOf (out.getMemoryBlock()).toRawUTF8());
            std::fflush (stderr);
            std::_Exit (0);
        },
        testing::ExitedWithCode (0), "wrote 0000040000000000000010000c000000010000000700000000000000\n");
}
