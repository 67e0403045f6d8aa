// A schedule that takes over a running clock (Link switched on while it runs) brings the tick
// count to its own place in its bar, so the port's bar lines and a Start every bar land on the
// schedule's bar lines; a new run, or a schedule without bars, leaves the count alone.
#include <gtest/gtest.h>

#include "support/model_rig.h"
#include "tempo/tick_schedule.h"

namespace {

constexpr int64_t kMs = 1'000'000;

// A grid of 10 ms ticks from the first point after the last tick, with a bar of `length`
// ticks in which that first point lies at `place`.
struct BarGrid : TickSchedule {
    int64_t firstNs = 0;
    int64_t periodNs = 10 * kMs;
    int64_t place = 0;
    int64_t length = 0;
    void BeginRun(int64_t nowNs, bool newRun, int64_t lastTickNs) override {
        firstNs = newRun ? nowNs : lastTickNs + periodNs / 2;
    }
    int64_t TickDueNs(int64_t k) override { return firstNs + k * periodNs; }
    int64_t FirstTickAtOrAfter(int64_t nowNs) override {
        return (nowNs - firstNs + periodNs - 1) / periodNs;
    }
    BarPlace FirstTickInBar() const override { return {place, length}; }
};

struct BarPlaceTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
    BarGrid grid;

    void SetUp() override {
        rig.openPort1();
        rig.writeDefinition("BarStart",
                            "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\n"
                            "device_clockoutput_startbeforeevery1=1\n");
        rig.relistTypes();
        ModelRig::chooseType(m.out1Controls, rig.port1(), "BarStart");
    }
    ~BarPlaceTest() override { m.Timer().SetSchedule(nullptr); }

    // The next tick; the first check after a schedule is set only begins it.
    bool tick() {
        for (int i = 0; i < 3; ++i)
            if (rig.tick()) return true;
        return false;
    }
    // A run of five ticks of our own, then the schedule takes over (its first tick at place 20
    // of a 96-tick bar) while the clock thread wakes 55 ms late for that first tick: ticks 0-5
    // of the schedule are gone, and the one raised is its tick 6, place 26 in the bar.
    void takeOverThroughAStall() {
        m.StartTransport(true, false);
        rig.ticks(5);
        grid.place = 20;
        grid.length = 96;
        m.Timer().SetSchedule(&grid);
        rig.clock.setNs(rig.clock.nowNs() + 60 * kMs);
        for (int ms = 0; !m.Timer().Poll(); ++ms) {
            ASSERT_LT(ms, 10'000) << "no tick within ten seconds of the schedule's start";
            rig.clock.setNs(rig.clock.nowNs() + kMs);
        }
    }
    // Ticks until the port sends a Start (at a bar line); how many ticks that took.
    int ticksToNextStart(int limit) {
        rig.memory->clearMessages();
        for (int n = 1; n <= limit; ++n) {
            if (!tick()) return -1;
            if (ModelRig::count(rig.sent("synth"), "FA") > 0) return n;
        }
        return -1;
    }
};

}  // namespace

TEST_F(BarPlaceTest, TakingOverARunningClockMovesTheCountToTheSchedulesBar) {
    m.StartTransport(true, false);
    rig.ticks(37);  // a bar and a bit of our own (bars of 96 ticks)
    ASSERT_EQ(m.state.TickCount.load(), 37);
    grid.place = 10;
    grid.length = 96;
    m.Timer().SetSchedule(&grid);
    ASSERT_TRUE(tick());
    // The first tick of the schedule counted as tick 10 of a bar: never back, so 106.
    EXPECT_EQ(m.state.TickCount.load(), 107);
    // So the next bar line, with its Start, is the schedule's: 86 ticks on.
    EXPECT_EQ(ticksToNextStart(200), 86);
    // And once only: the bars after it are whole ones.
    EXPECT_EQ(ticksToNextStart(200), 96);
}

TEST_F(BarPlaceTest, AlreadyInPlaceOrWithoutBarsTheCountGoesOn) {
    m.StartTransport(true, false);
    rig.ticks(58);
    grid.place = 58;  // our count is where the schedule's bar has it
    grid.length = 96;
    m.Timer().SetSchedule(&grid);
    ASSERT_TRUE(tick());
    EXPECT_EQ(m.state.TickCount.load(), 59);

    // A schedule with no bars (the lock onto an input clock) leaves the count as it is.
    m.Timer().SetSchedule(nullptr);
    rig.ticks(3);
    BarGrid plain;
    m.Timer().SetSchedule(&plain);
    ASSERT_TRUE(tick());
    EXPECT_EQ(m.state.TickCount.load(), 63);
    m.Timer().SetSchedule(nullptr);
}

TEST_F(BarPlaceTest, ANewRunStartsOnTheBarLineAsBefore) {
    grid.place = 40;  // only asked when taking over
    grid.length = 96;
    m.Timer().SetSchedule(&grid);
    m.StartTransport(true, false);
    ASSERT_TRUE(tick());
    EXPECT_EQ(m.state.TickCount.load(), 1);
}

TEST_F(BarPlaceTest, TicksAStallDroppedAtTheTakeOverCountFromTheSchedulesPlace) {
    takeOverThroughAStall();
    EXPECT_EQ(m.state.TickCount.load() % 96, 27);
}

TEST_F(BarPlaceTest, TheSentCountIsTheTicksRaisedWhereverTheBarCountJumps) {
    takeOverThroughAStall();
    ASSERT_EQ(m.state.TickCount.load() % 96, 27);
    EXPECT_EQ(m.state.TicksSent.load(), 6) << "five of our own and the schedule's first";
    m.PerformAction(10101, 0, 0);  // the input action that resets the bar count
    ASSERT_TRUE(tick());
    EXPECT_EQ(m.state.TickCount.load(), 1);
    EXPECT_EQ(m.state.TicksSent.load(), 7);
    m.StartTransport(true, false);
    EXPECT_EQ(m.state.TicksSent.load(), 0) << "counted from the last start";
}
