#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/model_rig.h"

namespace {

struct TempoTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;

    // Sets a tempo and tells whether SetBPM took it.
    bool accepted(double bpm) {
        const int changes = m.state.TempoChanges.load();
        m.SetBPM(bpm);
        return m.state.TempoChanges.load() != changes;
    }
};

}  // namespace

TEST_F(TempoTest, LimitsAndWholeBpmRoundingWithTheDefaults) {
    EXPECT_FALSE(accepted(0.9));  // below the rounding step of 1
    EXPECT_TRUE(accepted(120.4));
    EXPECT_DOUBLE_EQ(m.GetBPM(), 120.0);
    EXPECT_TRUE(accepted(120.5));
    EXPECT_DOUBLE_EQ(m.GetBPM(), 121.0);
    EXPECT_EQ(m.state.TempoMilliBPM.load(), 121000);
    EXPECT_TRUE(accepted(330.4));
    EXPECT_DOUBLE_EQ(m.GetBPM(), 330.0);
    EXPECT_FALSE(accepted(330.5));  // the maximum is tested on the whole BPM, before rounding
    EXPECT_DOUBLE_EQ(m.GetBPM(), 330.0);
}

TEST_F(TempoTest, FinerRoundingAndBrokenSettingsOrInput) {
    m.settings.BPMROUNDING = 0.5;
    EXPECT_TRUE(accepted(120.3));
    EXPECT_DOUBLE_EQ(m.GetBPM(), 120.5);
    EXPECT_EQ(m.state.TempoMilliBPM.load(), 120500);

    // A rounding step of 0 or less would divide by zero: it counts as the finest step.
    for (double step : {0.0, -1.0}) {
        m.settings.BPMROUNDING = step;
        EXPECT_TRUE(accepted(123.4567));
        EXPECT_DOUBLE_EQ(m.GetBPM(), 123.457);
    }
    m.settings.BPMROUNDING = 1;
    for (double junk : {std::nan(""), std::numeric_limits<double>::infinity(), 1e300, -5.0})
        EXPECT_FALSE(accepted(junk)) << junk;
    EXPECT_DOUBLE_EQ(m.GetBPM(), 123.457);
}

TEST_F(TempoTest, EveryAcceptedTempoReachesBothPorts) {
    m.SetBPM(140);
    EXPECT_DOUBLE_EQ(rig.port1().Tempo(), 140.0);
    EXPECT_DOUBLE_EQ(rig.port2().Tempo(), 140.0);
    m.SetBPM(5000);
    EXPECT_DOUBLE_EQ(rig.port2().Tempo(), 140.0);
}

TEST_F(TempoTest, RoundToTickActsOnTheTimerAlone) {
    m.SetBPM(120);
    m.tempo().BPMRoundUpToTick();
    EXPECT_TRUE(m.state.ShowTickPeriod.load());
    EXPECT_EQ(m.state.TempoMilliBPM.load(), 131578);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 120.0);
    EXPECT_DOUBLE_EQ(rig.port1().Tempo(), 120.0);

    // Store, then recall: the preset is the clock's real tempo, quantised again on recall.
    m.StorePreset(5);
    EXPECT_DOUBLE_EQ(m.settings.F5BPM.load(), 131.578);
    EXPECT_EQ(m.state.PendingStatus().text, "F5 set to 131.578 bpm");
    m.RecallPreset(5);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 132.0);
    m.settings.BPMROUNDING = 0.001;
    m.RecallPreset(5);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 131.578);
}

TEST_F(TempoTest, ActionValuesSplitIntoCodeAndThousandths) {
    m.PerformActionValue(-1, 0.4);  // code 0: nothing
    EXPECT_EQ(m.state.TempoChanges.load(), 0);
    m.settings.BPMROUNDING = 0.001;
    m.PerformActionValue(-1, 131.578);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 131.578);
    m.PerformActionValue(-1, 119.9997);  // rounds to 120.000
    EXPECT_DOUBLE_EQ(m.GetBPM(), 120.0);
    m.PerformAction(99, -1, 250);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 99.25);
    m.PerformActionValue(-1, -131.578);  // a negative code does nothing
    EXPECT_DOUBLE_EQ(m.GetBPM(), 99.25);
    m.settings.F6BPM = 0.5;  // a preset below 1 does nothing
    m.RecallPreset(6);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 99.25);
}
