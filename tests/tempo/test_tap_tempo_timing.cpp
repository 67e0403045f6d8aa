// Tap tempo at slow tempos, near its timeout, and with every note value a tap can stand for.
#include <gtest/gtest.h>

#include "support/model_rig.h"

namespace {

struct TapTimingTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;

    void tap() { m.tap().TapButtonClick(); }
    void wait(int ms) { rig.clock.advanceMs(ms); }
};

}  // namespace

TEST_F(TapTimingTest, TapsASecondApartSetSixtyBpm) {
    tap();
    wait(1000);
    tap();
    EXPECT_EQ(m.state.TapStep.load(), 4);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 60.0);
}

TEST_F(TapTimingTest, AGapJustUnderTheTimeoutStillContinuesTheSequence) {
    m.settings.TAPTEMPOTIMEOUT = 5000;
    m.settings.BPMROUNDING = 0.001;
    tap();
    wait(4999);
    tap();
    EXPECT_EQ(m.state.TapStep.load(), 4);
    ASSERT_EQ(m.state.TempoChanges.load(), 1);
    EXPECT_NEAR(m.GetBPM(), 12.002, 0.001);  // 60000 / 4999 ms
    // Just over it, a tap begins a new sequence instead.
    m.state.TapStep = 0;
    tap();
    wait(5001);
    tap();
    EXPECT_EQ(m.state.TapStep.load(), 3);
    EXPECT_EQ(m.state.TempoChanges.load(), 1);
}

TEST_F(TapTimingTest, EveryNoteValueGivesItsShareOfTheQuarterNoteTempo) {
    // Index: 4/4, 2/4, 1/4, 1/8, 1/16, 1/32.
    const int clocks[6] = {96, 48, 24, 12, 6, 3};
    for (int index = 0; index < 6; ++index) EXPECT_EQ(TapTempo::ClocksPerTap(index), clocks[index]);
    // Half a second per tap: 120 BPM a quarter note, so a whole note is four times that.
    // (The tempo of one tap rounds half a thousandth up before it is scaled.)
    const int64_t milliBpm[6] = {480002, 240001, 120000, 60000, 30000, 15000};
    for (int index = 0; index < 6; ++index) {
        EXPECT_EQ(TapTempo::TempoFromTaps(1, 500000, TapTempo::ClocksPerTap(index)),
                  milliBpm[index])
            << "duration index " << index;
    }
    // Through the taps themselves, with limits wide enough for all six.
    m.settings.BPMMAXIMUM = 2500;
    m.settings.BPMMINIMUM = 1;
    m.settings.BPMROUNDING = 0.001;
    for (int index = 0; index < 6; ++index) {
        m.state.TapStep = 0;
        m.tap().SetDurationIndex(index);
        tap();
        wait(500);
        tap();
        EXPECT_NEAR(m.GetBPM(), milliBpm[index] / 1000.0, 1e-9) << "duration index " << index;
    }
}
