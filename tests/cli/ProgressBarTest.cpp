#include "cli/ProgressBar.h"

#include <gtest/gtest.h>

TEST (ProgressBarTest, ShowsBytesPercentRateAndTimeLeftWithinTheWidth)
{
    const auto half = ProgressBar::render ("big.bin", 1024 * 1024, 2 * 1024 * 1024, 2.0, 120);
    EXPECT_EQ (half, "big.bin [####################....................]  1.0 MiB / 2.0 MiB  50%  512.0 KiB/s  0:02 "
                     "left");

    const auto usual = ProgressBar::render ("big.bin", 1024 * 1024, 2 * 1024 * 1024, 2.0, 80);
    EXPECT_EQ (usual.length(), 79);
    EXPECT_TRUE (usual.startsWith ("big.bin [##########...........]  1.0 MiB")) << usual;

    // Narrow terminals lose the bar first, and nothing is wider than the terminal.
    const auto narrow = ProgressBar::render ("a-very-long-file-name-indeed.bin", 10, 1000, 1.0, 40);
    EXPECT_LT (narrow.length(), 40);
    EXPECT_FALSE (narrow.contains ("["));

    // Done: no time left; an empty file is complete at once.
    EXPECT_FALSE (ProgressBar::render ("x", 5000, 5000, 1.0, 80).contains ("left"));
    EXPECT_TRUE (ProgressBar::render ("x", 0, 0, 0.0, 80).contains ("100%"));
    EXPECT_EQ (ProgressBar::formatBytes (1536), "1.5 KiB");
}
