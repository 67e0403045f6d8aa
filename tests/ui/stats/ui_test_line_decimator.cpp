#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "ui/stats/line_decimator.h"

namespace {
using Point = LineDecimator::Point;

TEST(LineDecimator, WhileTheSamplesFitEverySampleIsAPoint) {
    LineDecimator line(16);
    for (int i = 1; i <= 16; ++i) line.add(i * 0.5, 100 + i);
    ASSERT_EQ(line.points().size(), 16u);
    EXPECT_EQ(line.points().front(), (Point{0.5, 101}));
    EXPECT_EQ(line.points().back(), (Point{8.0, 116}));
    EXPECT_EQ(line.samplesPerBucket(), 1u);
}

TEST(LineDecimator, AnEveningStaysWithinTheCapAndKeepsEveryPeakAndDip) {
    LineDecimator line(64);
    const int samples = 57'600;
    double lowest = 1e9, highest = -1e9, lowestX = 0, highestX = 0;
    for (int i = 0; i < samples; ++i) {
        double y = 120 + 5 * std::sin(i * 0.003);
        if (i == 31'337) y = 40;   // one dropout
        if (i == 50'001) y = 300;  // one spike
        if (y < lowest) lowest = y, lowestX = i;
        if (y > highest) highest = y, highestX = i;
        line.add(i, y);
        ASSERT_LE(line.points().size(), 66u) << "after sample " << i;
    }
    const auto& p = line.points();
    ASSERT_GE(p.size(), 32u);
    EXPECT_TRUE(std::is_sorted(p.begin(), p.end(),
                               [](const Point& a, const Point& b) { return a.x < b.x; }));
    EXPECT_NE(std::find(p.begin(), p.end(), Point{lowestX, lowest}), p.end());
    EXPECT_NE(std::find(p.begin(), p.end(), Point{highestX, highest}), p.end());
    EXPECT_LT(p.front().x, static_cast<double>(line.samplesPerBucket()));  // starts in bucket 1
    // The newest samples show at once, not only when their bucket is full.
    EXPECT_GE(p.back().x, samples - 1 - static_cast<double>(line.samplesPerBucket()));
}

TEST(LineDecimator, ASteadyTempoDrawsOnePointPerBucketAndClearStartsOver) {
    LineDecimator line(8);
    for (int i = 0; i < 100; ++i) line.add(i, 120);
    for (const Point& p : line.points()) EXPECT_EQ(p.y, 120);
    EXPECT_LE(line.points().size(), 8u);
    line.clear();
    EXPECT_TRUE(line.points().empty());
    line.add(0.5, 90);
    EXPECT_EQ(line.points(), (std::vector<Point>{{0.5, 90}}));
    EXPECT_EQ(line.samplesPerBucket(), 1u);
}
}  // namespace
