// The "Pulse Output" box: its controls edit the output chosen in its first list, and show what
// the settings file set.
#include <gtest/gtest.h>

#include "midiout/pulse_output.h"
#include "support/window_rig.h"

TEST_F(MainWindowTest, PulseBoxEditsTheChosenOutputAndShowsTheSettingsFiles) {
    folder.write("clockpresets.ini",
                 "[PULSEOUT2]\nENABLED=1\nRUN=1\n[PULSEOUT1]\nPPQ=24\nWIDTH=2.5\n");
    TKorvidMain& w = open();
    ASSERT_NE(w.PulseOutputBox, nullptr);
    EXPECT_EQ(w.PulseOutputBox->title(), "Pulse Output");
    // Below the General Settings box, inside the whole window that "..." shows.
    EXPECT_GE(w.PulseOutputBox->y(), w.GeneralOptionBox->y() + w.GeneralOptionBox->height());
    PulseOutputs& pulses = *model().Pulses();
    EXPECT_EQ(w.PulseOutputSelector->currentText(), "pulse_1");
    EXPECT_EQ(w.PulsePpq->currentText(), "24");
    EXPECT_DOUBLE_EQ(w.PulseWidth->value(), 2.5);
    EXPECT_FALSE(w.PulseEnable->isChecked());
    EXPECT_FALSE(w.PulseRun->isEnabled()) << "only pulse_2 can be the run line";

    // Output 1 for a Volca.
    w.PulsePpq->setCurrentIndex(w.PulsePpq->findText("2"));
    w.PulseShift->setValue(-3);
    QTest::mouseClick(w.PulseEnable, Qt::LeftButton);
    PulseOutputSettings one = pulses.Settings(1);
    EXPECT_TRUE(one.enabled);
    EXPECT_EQ(one.ppq, 2);
    EXPECT_DOUBLE_EQ(one.shiftMs, -3);
    EXPECT_DOUBLE_EQ(one.widthMs, 2.5);
    EXPECT_TRUE(pulses.IsOpen(1));

    // Output 2 shows its own: the run line from the file.
    w.PulseOutputSelector->setCurrentIndex(1);
    EXPECT_TRUE(w.PulseEnable->isChecked());
    EXPECT_TRUE(w.PulseRun->isEnabled());
    EXPECT_TRUE(w.PulseRun->isChecked());
    EXPECT_FALSE(w.PulsePpq->isEnabled()) << "a run line has no pulses to count";
    QTest::mouseClick(w.PulseRun, Qt::LeftButton);
    EXPECT_FALSE(pulses.Settings(2).run);
    EXPECT_EQ(pulses.Settings(1), one) << "output 1 untouched";
}
