// The timing statistics the round-trip tool and the timing harness report from.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tools/Statistics.h"

namespace {

using toolsupport::fitLine;
using toolsupport::spreadOf;

TEST(Statistics, SpreadTakesNearestRankPercentilesInAnyOrder)
{
    const auto none = spreadOf({});
    EXPECT_EQ(none.p50, 0);
    EXPECT_EQ(none.max, 0);

    const auto one = spreadOf({7});
    EXPECT_EQ(one.p50, 7);
    EXPECT_EQ(one.p99, 7);
    EXPECT_EQ(one.max, 7);

    // 0..100 shuffled: ranks fall on the values themselves.
    std::vector<double> values;
    for (int i = 0; i <= 100; ++i)
        values.push_back(double((i * 37) % 101));
    const auto s = spreadOf(values);
    EXPECT_EQ(s.p50, 50);
    EXPECT_EQ(s.p99, 99);
    EXPECT_EQ(s.max, 100);
}

TEST(Statistics, LineFitFindsTheSlopeAndTheDistanceOfEachPointOrRefuses)
{
    // y = 3x + 10 with the middle point lifted by 4, which raises the line by 4/5 without
    // tilting it: the others lie 0.8 below it, the lifted one 3.2 above.
    const auto bumped = fitLine({0, 1, 2, 3, 4}, {10, 13, 20, 19, 22});
    ASSERT_TRUE(bumped.valid);
    EXPECT_NEAR(bumped.slope, 3.0, 1e-12);
    EXPECT_NEAR(bumped.deviation.max, 3.2, 1e-12);
    EXPECT_NEAR(bumped.deviation.p50, 0.8, 1e-12);

    EXPECT_FALSE(fitLine({0, 1}, {0, 1}).valid);
    EXPECT_FALSE(fitLine({2, 2, 2}, {0, 1, 2}).valid); // all at one x: no slope
    EXPECT_FALSE(fitLine({0, 1, 2}, {0, 1}).valid);    // only the pairs count
    EXPECT_DOUBLE_EQ(fitLine({0, 1, 2, 3}, {5, 4, 3}).slope, -1.0);
}

} // namespace
