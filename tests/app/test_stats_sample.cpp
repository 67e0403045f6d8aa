#include <gtest/gtest.h>

#include "app/stats_sample.h"
#include "state/main_state.h"

TEST(StatsSample, OutputIsTheTempoWhileRunningAndZeroWhileStopped) {
    MainState state;
    state.TempoMilliBPM = 120500;
    state.RunState = 0;
    EXPECT_EQ(StatsSample::Take(state, false).mainOutput, 0.0);
    state.RunState = 1;
    const StatsSample s = StatsSample::Take(state, false);
    EXPECT_DOUBLE_EQ(s.mainOutput, 120.5);
    EXPECT_DOUBLE_EQ(s.interval, 0.5);
}

TEST(StatsSample, ClockInputWithoutNewMeasurementDrawsNothingOnceMeasured) {
    MainState state;
    // Never measured: zeros, drawn at 0 whether or not a measurement was asked for.
    for (bool requested : {false, true}) {
        const StatsSample s = StatsSample::Take(state, requested);
        EXPECT_EQ(s.rawClockIn, 0.0);
        EXPECT_EQ(s.filteredClockIn, 0.0);
    }
    state.RawClockInBPM = 121.2;
    state.FilteredClockInBPM = 120.9;
    StatsSample fresh = StatsSample::Take(state, false);
    EXPECT_DOUBLE_EQ(fresh.rawClockIn, 121.2);
    EXPECT_DOUBLE_EQ(fresh.filteredClockIn, 120.9);
    // The input clock stopped: the old values are not drawn again.
    StatsSample stale = StatsSample::Take(state, true);
    EXPECT_EQ(stale.rawClockIn, -1.0);
    EXPECT_EQ(stale.filteredClockIn, -1.0);
    // Mixed: a filtered value of 0 stays drawable at 0.
    state.FilteredClockInBPM = 0;
    stale = StatsSample::Take(state, true);
    EXPECT_EQ(stale.rawClockIn, -1.0);
    EXPECT_EQ(stale.filteredClockIn, 0.0);
}
