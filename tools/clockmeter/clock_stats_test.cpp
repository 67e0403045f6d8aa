#include "clock_stats.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// 120 BPM at 48 kHz: exactly 1000 frames per tick.
constexpr double kRate = 48000;
constexpr double kBpm = 120;

void AddTicks(ClockStatistics& statistics, std::initializer_list<uint64_t> frames) {
    for (uint64_t frame : frames) statistics.add({frame, kTimingClock});
}

}  // namespace

TEST(ClockStatistics, SteadyClockHasNoJitterAndNoDrift) {
    ClockStatistics statistics(kRate, kBpm);
    for (uint64_t i = 0; i < 100; ++i) statistics.add({5000 + i * 1000, kTimingClock});
    const ClockFigures figures = statistics.total();
    EXPECT_EQ(figures.ticks, 100u);
    EXPECT_EQ(figures.intervals, 99u);
    EXPECT_DOUBLE_EQ(figures.bpm, 120.0);
    EXPECT_EQ(figures.jitterMaxFrames, 0.0);
    EXPECT_TRUE(figures.driftKnown);
    EXPECT_NEAR(figures.driftPpm, 0.0, 1e-9);
    EXPECT_EQ(figures.lost, 0u);
}

TEST(ClockStatistics, JitterPercentilesAndMaxAgainstNominal) {
    ClockStatistics statistics(kRate, kBpm);
    // 100 intervals: 98 exact, one a frame long, one two frames short.
    uint64_t frame = 0;
    statistics.add({frame, kTimingClock});
    for (int i = 0; i < 100; ++i) {
        frame += i == 10 ? 1001 : i == 50 ? 998 : 1000;
        statistics.add({frame, kTimingClock});
    }
    const ClockFigures figures = statistics.total();
    EXPECT_EQ(figures.jitterP50Frames, 0.0);
    EXPECT_EQ(figures.jitterP99Frames, 1.0);
    EXPECT_EQ(figures.jitterMaxFrames, 2.0);
    // One frame in 100,000 short overall: -10 ppm.
    EXPECT_NEAR(figures.driftPpm, -10.0, 1e-6);
}

TEST(ClockStatistics, WithoutNominalJitterIsAgainstTheMeanAndDriftUnknown) {
    ClockStatistics statistics(kRate, 0);
    AddTicks(statistics, {0, 990, 1980, 2970, 3960});  // 990 frames: 121.21 BPM
    const ClockFigures figures = statistics.total();
    EXPECT_NEAR(figures.bpm, 48000.0 * 60 / (24 * 990), 1e-9);
    EXPECT_EQ(figures.jitterMaxFrames, 0.0);
    EXPECT_FALSE(figures.driftKnown);
}

TEST(ClockStatistics, LongIntervalsCountLostTicksButNotJitter) {
    ClockStatistics statistics(kRate, kBpm);
    // A gap of three intervals (two ticks missing), then one of 1.4 (late, not lost).
    AddTicks(statistics, {0, 1000, 4000, 5000, 6400});
    const ClockFigures figures = statistics.total();
    EXPECT_EQ(figures.lost, 2u);
    EXPECT_EQ(figures.intervals, 3u);
    EXPECT_EQ(figures.jitterMaxFrames, 400.0);
    // The gap still counts towards the drift: 6400 frames for 6 + 0.4 ... nominal 6 intervals.
    EXPECT_NEAR(figures.driftPpm, (6400.0 / 6000.0 - 1) * 1e6, 1e-6);
}

TEST(ClockStatistics, TicksBunchedAfterAGapWereLateNotLost) {
    ClockStatistics statistics(kRate, kBpm);
    // A stalled cycle: a gap of four intervals, then two of the three held-back ticks a frame
    // apart and the line goes on; the third never came. Then a gap no bunch follows.
    AddTicks(statistics, {0, 1000, 5000, 5001, 5002, 6000, 7000, 10000, 11000});
    const ClockFigures figures = statistics.total();
    EXPECT_EQ(figures.lost, 1u + 2u);
    // The bunched ticks are jitter: two intervals of one frame and one of 998.
    EXPECT_EQ(figures.offByMoreThanAFrame, 3u);
    EXPECT_EQ(figures.jitterMaxFrames, 999.0);
    // Nine ticks should have come over 11,000 frames at 1000 each where 12 were due: eleven
    // intervals, of which three are missing.
    EXPECT_NEAR(figures.receivedBpm, 120.0 * 8 / 11, 1e-9);
}

TEST(ClockStatistics, LateTicksCountAsReceivedHoweverTheyAreSpread) {
    ClockStatistics statistics(kRate, kBpm);
    // The ticks due at 2000 and 3000 were held back and came at 3500 and 4100, the one due at
    // 4000 never came: one tick lost, although the gap alone looks like two and the second late
    // one is no bunch.
    AddTicks(statistics, {0, 1000, 3500, 4100, 5000, 6000});
    EXPECT_EQ(statistics.total().lost, 1u);
}

TEST(ClockStatistics, LossesSlowTheReceivedTempoAndOffIntervalsAreCounted) {
    ClockStatistics statistics(kRate, kBpm);
    // Ten intervals over 10,000 frames, one of them holding a lost tick; one a frame long (on
    // the line), one two frames long and one two short (off).
    AddTicks(statistics, {0, 1000, 3000, 4001, 5003, 6001, 7000, 8000, 9000, 10000});
    const ClockFigures figures = statistics.total();
    EXPECT_EQ(figures.lost, 1u);
    EXPECT_EQ(figures.offByMoreThanAFrame, 2u);
    // Nine intervals received in 10,000 frames, where 120 BPM takes 1000 each.
    EXPECT_NEAR(figures.receivedBpm, 120.0 * 9 / 10, 1e-9);
    EXPECT_NEAR(figures.bpm, 48000.0 * 60 / (24 * 1000), 0.2);  // the others' mean: near 120
}

TEST(ClockStatistics, StopSuspendsMeasurementUntilTheNextTick) {
    ClockStatistics statistics(kRate, kBpm);
    AddTicks(statistics, {0, 1000});
    statistics.add({1500, kStop});
    statistics.add({90000, kStart});
    AddTicks(statistics, {90500, 91500});
    statistics.add({92000, kContinue});
    const ClockFigures figures = statistics.total();
    EXPECT_EQ(figures.ticks, 4u);
    EXPECT_EQ(figures.intervals, 2u);
    EXPECT_EQ(figures.lost, 0u);
    EXPECT_EQ(figures.starts, 1u);
    EXPECT_EQ(figures.stops, 1u);
    EXPECT_EQ(figures.continues, 1u);
    EXPECT_NEAR(figures.driftPpm, 0.0, 1e-9);
}

TEST(ClockStatistics, TickBeforeItsPredecessorIsNoInterval) {
    ClockStatistics statistics(kRate, kBpm);
    // The third tick was read with the next cycle's frame count: 256 frames too late.
    AddTicks(statistics, {0, 1000, 2256, 2000 + 48, 3048});
    const ClockFigures figures = statistics.total();
    EXPECT_EQ(figures.ticks, 5u);
    EXPECT_EQ(figures.intervals, 3u);  // 1000, 1256, 1000
    EXPECT_EQ(figures.jitterMaxFrames, 256.0);
    EXPECT_EQ(figures.lost, 0u);
}

TEST(ClockStatistics, WindowsRestartWhileTheTotalKeepsEverything) {
    ClockStatistics statistics(kRate, kBpm);
    AddTicks(statistics, {0, 1000, 2003});
    const ClockFigures first = statistics.takeWindow();
    EXPECT_EQ(first.ticks, 3u);
    EXPECT_EQ(first.jitterMaxFrames, 3.0);
    AddTicks(statistics, {3003});  // the interval across the window edge belongs to the new one
    const ClockFigures second = statistics.takeWindow();
    EXPECT_EQ(second.ticks, 1u);
    EXPECT_EQ(second.intervals, 1u);
    EXPECT_EQ(second.jitterMaxFrames, 0.0);
    EXPECT_EQ(statistics.total().ticks, 4u);
    EXPECT_EQ(statistics.total().intervals, 3u);
}

TEST(ClockStatistics, SummaryLineCarriesEveryField) {
    ClockStatistics statistics(kRate, kBpm);
    AddTicks(statistics, {0, 1000, 2001});
    const std::string line = SummaryLine(statistics.total(), kRate);
    EXPECT_EQ(line.rfind("SUMMARY ", 0), 0u);
    for (const char* key :
         {"bpm=", "ticks=3 ", "jitter_p50_us=", "jitter_p99_us=20.83", "jitter_max_us=20.83",
          "jitter_p50_frames=", "jitter_p99_frames=1.000", "jitter_max_frames=1.000",
          "drift_ppm=500.000", "lost=0 ", "starts=0 ", "stops=0 ", "continues=0",
          "off_over_1_frame=0 ", "received_bpm=119.9"}) {
        EXPECT_NE(line.find(key), std::string::npos) << key << " missing in " << line;
    }
    EXPECT_NE(SummaryLine(ClockStatistics(kRate, 0).total(), kRate).find("drift_ppm=nan"),
              std::string::npos);
}
