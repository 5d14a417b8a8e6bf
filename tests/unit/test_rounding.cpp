// Rounding of the download percentage, halves to the even neighbour.
#include <gtest/gtest.h>

#include "installer/uRounding.h"

TEST(Rounding, DownloadPercentHalvesGoToTheEvenNeighbour) {
    const struct {
        std::uint32_t Done, Total;
        int Expected;
    } cases[] = {
        {1, 200, 0},    // 0.5
        {3, 200, 2},    // 1.5
        {5, 200, 2},    // 2.5
        {7, 200, 4},    // 3.5
        {199, 200, 100},  // 99.5
        {2, 3, 67},
        {1, 3, 33},
        {0, 10, 0},
        {10, 10, 100},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 100},
        {0x7FFFFFFFu, 0xFFFFFFFFu, 50},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Done << "/" << c.Total);
        EXPECT_EQ(rounding::DownloadPercent(c.Done, c.Total), c.Expected);
    }
}

TEST(Rounding, WholeSecondsFromMilliseconds) {
    EXPECT_EQ(rounding::RoundHalfToEven(500, 1000), 0u);
    EXPECT_EQ(rounding::RoundHalfToEven(1500, 1000), 2u);
    EXPECT_EQ(rounding::RoundHalfToEven(2500, 1000), 2u);
    EXPECT_EQ(rounding::RoundHalfToEven(2501, 1000), 3u);
    EXPECT_EQ(rounding::RoundHalfToEven(0xFFFFFFFFull + 1000, 1000), 4'294'968u);
}
