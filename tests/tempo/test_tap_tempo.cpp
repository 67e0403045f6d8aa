#include <gtest/gtest.h>

#include "support/model_rig.h"

namespace {

struct TapTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;

    void tap() { m.tap().TapButtonClick(); }
    void wait(int ms) { rig.clock.advanceMs(ms); }
    // The pump's part of a completed sequence: it ends it within 50 ms.
    void pumpEndsSequence() {
        if (m.state.TapStep.load() >= 4) m.state.TapStep = 0;
    }
};

}  // namespace

TEST_F(TapTest, TwoTapsHalfASecondApartSet120AndStartOnTheNextBeat) {
    rig.openPort1();
    tap();
    EXPECT_EQ(m.state.TapStep.load(), 3);  // the first of two taps shows "Tap 3 !!"
    wait(500);
    tap();
    EXPECT_EQ(m.state.TapStep.load(), 4);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 120.0);
    EXPECT_EQ(m.state.RunState.load(), 1);
    EXPECT_TRUE(rig.port1().StartPending());
    // Start goes out after one beat of clocks, not at once.
    rig.memory->clearMessages();
    rig.ticks(24);
    const auto sent = rig.sent("synth");
    EXPECT_EQ(ModelRig::count(sent, "FA"), 1);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "FA");
}

TEST_F(TapTest, WholeNoteTapsGiveFourTimesTheTempoWhichTheLimitRefuses) {
    EXPECT_EQ(TapTempo::TempoFromTaps(1, 500000, 96), 480002);
    m.tap().SetDurationIndex(0);
    tap();
    wait(500);
    tap();
    EXPECT_EQ(m.state.TempoChanges.load(), 0);  // 480.002 BPM is above the maximum of 330
    m.settings.BPMMAXIMUM = 2500;
    m.settings.BPMROUNDING = 0.001;
    pumpEndsSequence();
    tap();
    wait(500);
    tap();
    EXPECT_DOUBLE_EQ(m.GetBPM(), 480.002);
}

TEST_F(TapTest, FourTapSequencesAverageThreeIntervals) {
    m.settings.TAPTEMPOCOUNT = 4;
    std::vector<int> steps;
    for (int i = 0; i < 4; ++i) {
        if (i) wait(500);
        tap();
        steps.push_back(m.state.TapStep.load());
    }
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_DOUBLE_EQ(m.GetBPM(), 120.0);
}

TEST_F(TapTest, ATapAfterTheTimeoutStartsANewSequence) {
    tap();
    wait(6000);
    tap();
    EXPECT_EQ(m.state.TapStep.load(), 3);
    EXPECT_EQ(m.state.TempoChanges.load(), 0);
    wait(400);
    tap();  // completes the new sequence: 150 BPM
    EXPECT_DOUBLE_EQ(m.GetBPM(), 150.0);
}

TEST_F(TapTest, ARunningClockOnlyChangesTempoUnlessLiveTapIsOn) {
    rig.openPort1();
    m.StartTransport(true, false);
    rig.ticks(30);
    tap();
    wait(500);
    tap();
    EXPECT_DOUBLE_EQ(m.GetBPM(), 120.0);
    EXPECT_EQ(m.state.TickCount.load(), 30);  // no restart
    EXPECT_FALSE(rig.port1().StartPending());

    m.settings.STARTONLIVETAP = true;
    pumpEndsSequence();
    tap();
    wait(400);
    tap();
    EXPECT_EQ(m.state.TickCount.load(), 0);  // restarted, Start on the next beat
    EXPECT_TRUE(rig.port1().StartPending());
}

TEST_F(TapTest, NothingToMeasureSetsNothing) {
    EXPECT_EQ(TapTempo::TempoFromTaps(1, 0, 24), 0);
    EXPECT_EQ(TapTempo::TempoFromTaps(0, 500000, 24), 0);
    EXPECT_EQ(TapTempo::TempoFromTaps(-1, 500000, 24), 0);
    tap();
    tap();  // no time between the taps at all
    EXPECT_EQ(m.state.TempoChanges.load(), 0);
    EXPECT_EQ(TapTempo::ClocksPerTap(5), 3);
    EXPECT_EQ(TapTempo::ClocksPerTap(9), 24);
}
