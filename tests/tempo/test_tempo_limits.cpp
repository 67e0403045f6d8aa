// Rounding steps too fine to count, tempos brought within the limits, and a tap that starts the
// clock at the tapped tempo.
#include <gtest/gtest.h>

#include <cmath>

#include "support/model_rig.h"

namespace {

struct TempoLimitsTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
};

}  // namespace

TEST_F(TempoLimitsTest, AStepTooFineToCountTheTempoActsAsTheFinestStep) {
    for (double step : {1e-8, 1e-300, 3e-8}) {
        SCOPED_TRACE(step);
        m.settings.BPMROUNDING = step;
        m.SetBPM(120);
        EXPECT_DOUBLE_EQ(m.GetBPM(), 120.0);
        EXPECT_EQ(m.state.TempoMilliBPM.load(), 120000);
        m.SetBPM(87.65432);
        EXPECT_NEAR(m.GetBPM(), 87.654, 1e-9);
        EXPECT_DOUBLE_EQ(rig.port1().Tempo(), m.GetBPM());
    }
    // A fine step that still counts the tempo stays in force.
    m.settings.BPMROUNDING = 1e-5;
    m.SetBPM(87.65432);
    EXPECT_NEAR(m.GetBPM(), 87.65432, 1e-9);
}

TEST_F(TempoLimitsTest, WithinLimitsGivesATempoSetBpmTakes) {
    TempoModel& t = m.tempo();
    EXPECT_DOUBLE_EQ(t.WithinLimits(120), 120);
    EXPECT_DOUBLE_EQ(t.WithinLimits(400), 330);
    EXPECT_DOUBLE_EQ(t.WithinLimits(0.2), 1);  // the rounding step is the lowest tempo
    m.settings.BPMMAXIMUM = 330.7;             // the whole BPM is tested: 330.5 and up are refused
    const double top = t.WithinLimits(1000);
    EXPECT_LT(top, 330.5);
    EXPECT_GT(top, 330.49);
    m.SetBPM(top);
    EXPECT_EQ(m.GetBPM(), 330);
    m.settings.BPMMINIMUM = 50;
    EXPECT_DOUBLE_EQ(t.WithinLimits(10), 50);
    EXPECT_TRUE(std::isnan(t.WithinLimits(std::nan(""))));
    // Limits that leave no tempo at all: nothing to move to.
    m.settings.BPMROUNDING = 500;
    EXPECT_DOUBLE_EQ(t.WithinLimits(120), 120);
}

TEST_F(TempoLimitsTest, ATapThatStartsTheClockRunsAtTheTappedTempoFromTheFirstClock) {
    rig.openPort1();
    m.SetBPM(120);
    m.Timer().SetTempo(120000);  // what the pump has given the timer so far
    rig.memory->clearMessages();
    // Two taps 400 ms apart: 150 BPM, and the stopped clock starts.
    m.tap().TapButtonClick();
    rig.clock.advanceNs(400'000'000);
    m.tap().TapButtonClick();
    ASSERT_TRUE(m.Timer().Enabled());
    rig.ticks(4);
    std::vector<int64_t> clockTimes;
    for (const auto& message : rig.memory->messagesFor("synth"))
        if (message.bytes == std::vector<uint8_t>{0xF8}) clockTimes.push_back(message.timeNs);
    ASSERT_EQ(clockTimes.size(), 4u);
    // 150 BPM is 24 clocks in 400 ms: 16.667 ms apart, from the first clock on.
    for (size_t i = 1; i < clockTimes.size(); ++i)
        EXPECT_NEAR(clockTimes[i] - clockTimes[i - 1], 16'666'667, 1000) << i;
}
