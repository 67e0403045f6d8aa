#include <gtest/gtest.h>

#include "support/window_rig.h"

namespace {
struct ThousandthsTest : MainWindowTest {
    // Port 1 on a device that hears every tempo as a controller, so a tempo sent shows.
    TKorvidMain& openAt140() {
        folder.write("outdrv/CC.ini",
                     "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\n"
                     "device_ctrlout_enable=1\ndevice_ctrlout_midictrl=12\n");
        folder.write("clockpresets.ini",
                     "[APPLICATION_PRESETS]\nBPMROUNDING=0.001\nDEFAULTSPEED=140\n"
                     "[MIDIOUTPORT1]\nMIDIPORTINDEX=1\nMIDIPORTNAME=Memory: synth\n"
                     "DEVICETYPE=CC\n");
        TKorvidMain& w = open();
        pump();
        return w;
    }
    int tempoMessages() {
        int n = 0;
        for (const auto& m : memory->messagesFor("synth")) n += m.bytes[0] == 0xB0;
        return n;
    }
    QWidget* field() { return QApplication::focusWidget(); }
};
}  // namespace

TEST_F(ThousandthsTest, TypedDigitsCountOnlyOnceConfirmed) {
    TKorvidMain& w = openAt140();
    ASSERT_TRUE(w.TempoFractionalEdit->isVisibleTo(&w));
    const int sentBefore = tempoMessages();
    w.TempoFractionalEdit->setFocus();
    w.TempoFractionalEdit->selectAll();
    for (const char* c : {"-", "5", "0", "0"}) {
        QTest::keyClicks(field(), c);
        EXPECT_DOUBLE_EQ(model().GetBPM(), 140.0) << "after typing " << c;
        pump();  // a pass while typing leaves the digits alone
    }
    EXPECT_EQ(w.TempoFractionalEdit->text(), "-500");
    EXPECT_EQ(tempoMessages(), sentBefore);

    QTest::keyClick(field(), Qt::Key_Return);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 139.5);
    EXPECT_EQ(tempoMessages(), sentBefore + 1);
    EXPECT_FALSE(model().Timer().Enabled());  // this Enter confirmed, it did not start
    pump();
    EXPECT_EQ(w.BPMLabel->text(), "139");
    EXPECT_EQ(w.TempoFractionalEdit->value(), 500);

    // With nothing typed, Enter is start/stop again.
    QTest::keyClick(field(), Qt::Key_Return);
    EXPECT_TRUE(model().Timer().Enabled());
}

TEST_F(ThousandthsTest, ArrowsApplyAtOnceAndLeavingTheFieldConfirms) {
    TKorvidMain& w = openAt140();
    w.TempoFractionalEdit->setFocus();
    QTest::keyClick(field(), Qt::Key_Up);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 140.001);
    pump();

    w.TempoFractionalEdit->selectAll();
    QTest::keyClicks(field(), "250");
    EXPECT_DOUBLE_EQ(model().GetBPM(), 140.001);
    w.TapButton->setFocus();
    EXPECT_DOUBLE_EQ(model().GetBPM(), 140.25);
}
