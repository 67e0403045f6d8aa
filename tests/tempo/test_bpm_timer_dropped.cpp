// The count of ticks the stall rule dropped: what a receiver misses that was never sent, so that
// a soak can tell those from ticks lost on the way.
#include <gtest/gtest.h>

#include "platform/monotonic_clock.h"
#include "tempo/bpm_timer.h"

TEST(BPMTimerDropped, CountsTheTicksAStallSkipsAndStartsAgainWithEachRun) {
    ManualClock clock;
    TBPMTimer timer{clock, TBPMTimer::Drive::Manual};
    int raised = 0;
    timer.SetOnTimer([&raised](TBPMTimer&, uint8_t) { ++raised; });  // 120 BPM: 20.83 ms
    timer.SetEnabled(true);
    EXPECT_TRUE(timer.Poll());
    // Checks later and later, but within a period, lose nothing: eleven ticks up to 210 ms.
    for (int i = 0; i < 10; ++i) {
        clock.advanceMs(21);
        timer.Poll();
    }
    EXPECT_EQ(raised, 11);
    EXPECT_EQ(timer.DroppedTicks(), 0);
    // No check from 215 to 310 ms: the ticks due at 229.2, 250, 270.8 and 291.7 ms are all
    // missed; one is raised now, late, and three never come.
    const int before = raised;
    clock.advanceMs(5);
    timer.Poll();
    ASSERT_EQ(raised, before);
    clock.advanceMs(95);
    EXPECT_TRUE(timer.Poll());
    EXPECT_EQ(raised, before + 1);
    EXPECT_EQ(timer.DroppedTicks(), 3);
    // A second stall adds to the first: two and a half periods past the next due time.
    clock.advanceMs(20.8333333 * 3.5);
    EXPECT_TRUE(timer.Poll());
    EXPECT_EQ(timer.DroppedTicks(), 5);
    // Stopping keeps the figure for whoever reports the run; the next run starts from none.
    timer.SetEnabled(false);
    EXPECT_EQ(timer.DroppedTicks(), 5);
    timer.SetEnabled(true);
    EXPECT_EQ(timer.DroppedTicks(), 0);
}
