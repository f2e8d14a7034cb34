#include "MessageBytes.h"
#include "protocol/SerialNumbers.h"
#include "protocol/TidewireClientRequest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

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

// Requests may be built on several threads at once: each still gets a number of its
// own, and together they are the next numbers of the run, none skipped. Several rounds,
// as a race shows only now and then.
TEST (SerialNumbers, ThreadsTakingNumbersAtOnceNeverShareOne)
{
    constexpr int numRounds = 8, numThreads = 4, perThread = 100000;

    for (int round = 0; round < numRounds; ++round)
    {
        std::vector<std::vector<int>> taken (numThreads);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (auto& numbers : taken)
            threads.emplace_back (
                [&ready, &numbers]
                {
                    numbers.reserve (perThread);
                    ++ready;
                    while (ready.load() < numThreads)
                        std::this_thread::yield();
                    for (int i = 0; i < perThread; ++i)
                        numbers.push_back (i % 1000 == 0 ? WhoAmIRequest().getSerialNumber()
                                                         : takeNextSerialNumber());
                });
        for (auto& thread : threads)
            thread.join();

        std::vector<int> all;
        for (auto& numbers : taken)
        {
            ASSERT_TRUE (std::is_sorted (numbers.begin(), numbers.end())) << "one thread's numbers only go up";
            all.insert (all.end(), numbers.begin(), numbers.end());
        }
        std::sort (all.begin(), all.end());
        ASSERT_EQ (std::adjacent_find (all.begin(), all.end()), all.end())
            << "round " << round << ": a number was handed out twice";
        ASSERT_EQ ((juce::int64) all.back() - all.front() + 1, (juce::int64) all.size())
            << "round " << round << ": numbers were skipped";
    }
}
