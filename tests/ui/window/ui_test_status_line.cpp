#include <gtest/gtest.h>

#include <QFontMetrics>
#include <filesystem>

#include "support/window_rig.h"

namespace {
struct StatusLineTest : MainWindowTest {
    // The shown text is whole inside the label, and the label stops before the track bar.
    void expectReadable() {
        const QLabel* label = window->StatusLabel;
        EXPECT_LE(QFontMetrics(label->font()).horizontalAdvance(label->text()),
                  label->contentsRect().width())
            << label->text().toStdString();
        EXPECT_LT(label->geometry().right(), window->TempoTrackBar->x());
    }
};
}  // namespace

TEST_F(StatusLineTest, LongMessagesAreReadableAndTheTooltipHasTheWholeText) {
    TKorvidMain& w = open();
    const QString detail =
        "Settings not saved: could not write /home/me/clockpresets.ini: "
        "Permission denied";
    model().PostStatus("Settings not saved: folder is read-only", StatusColors::red,
                       detail.toStdString());
    pump();
    EXPECT_EQ(status(), "Settings not saved: folder is read-only");
    expectReadable();
    EXPECT_EQ(w.StatusLabel->toolTip(), detail);

    // Too long for any readable font: cut where it shows, whole in the tooltip.
    const QString lost =
        "MIDI Port lost: JACK: a2j:Midi Through [14] (playback): Midi Through Port-0";
    model().PostStatus(lost.toStdString(), StatusColors::red);
    pump();
    expectReadable();
    ASSERT_TRUE(status().endsWith(QChar(0x2026))) << status().toStdString();
    EXPECT_TRUE(lost.startsWith(status().chopped(1)));
    EXPECT_EQ(w.StatusLabel->toolTip(), lost);

    // A short one is shown in the design font again.
    model().PostStatus("Running ...", StatusColors::green);
    pump();
    EXPECT_EQ(status(), "Running ...");
    EXPECT_EQ(w.StatusLabel->font().pixelSize(), 17);
    EXPECT_EQ(w.StatusLabel->toolTip(), "Running ...");
}

TEST_F(StatusLineTest, AFailedSaveSaysWhyInAFewWords) {
    TempFolder elsewhere;
    const std::string path = elsewhere.file("clockpresets.ini");
    elsewhere.write("clockpresets.ini", "[APPLICATION_PRESETS]\n");
    TKorvidMain& w = open(QString::fromStdString(path));
    std::filesystem::remove_all(elsewhere.path());  // the folder is gone, e.g. a USB stick
    window->RunCommand("SaveSettings");
    pump();
    EXPECT_EQ(status(), "Settings not saved: folder is missing");
    expectReadable();
    EXPECT_TRUE(w.StatusLabel->toolTip().contains(QString::fromStdString(path)));
}

TEST_F(StatusLineTest, AFailedSaveAtCloseSaysWhyAndTheUserMayStay) {
    TempFolder elsewhere;
    const std::string path = elsewhere.file("clockpresets.ini");
    elsewhere.write("clockpresets.ini", "[APPLICATION_PRESETS]\n");
    open(QString::fromStdString(path));
    openPort1();
    key(Qt::Key_F1);  // the clock runs
    std::filesystem::remove_all(elsewhere.path());

    answerSave = true;
    answerQuestion = false;  // "Close without saving?" No
    EXPECT_FALSE(window->close());
    ASSERT_EQ(askedQuestions.size(), 1);
    EXPECT_TRUE(askedQuestions[0].contains("Settings not saved: folder is missing"));
    EXPECT_TRUE(askedQuestions[0].contains(QString::fromStdString(path)));
    // Nothing was torn down: the clock still runs and the ports are there.
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(model().Timer().Enabled());
    EXPECT_TRUE(window->MIDIInEnable1->isChecked());
    ASSERT_NE(model().OutPort1(), nullptr);
    EXPECT_TRUE(tick());
    pump();
    EXPECT_EQ(status(), "Settings not saved: folder is missing");

    // The folder is back: the same close saves and closes.
    elsewhere.write("clockpresets.ini", "[APPLICATION_PRESETS]\n");
    EXPECT_TRUE(window->close());
    EXPECT_EQ(askedQuestions.size(), 1);
    EXPECT_NE(elsewhere.read("clockpresets.ini").find("DEFAULTSPEED=120"), std::string::npos);
    EXPECT_FALSE(model().Timer().Enabled());
}

TEST_F(StatusLineTest, ClosingWithoutSavingAfterAFailureCloses) {
    TempFolder elsewhere;
    elsewhere.write("clockpresets.ini", "[APPLICATION_PRESETS]\n");
    open(QString::fromStdString(elsewhere.file("clockpresets.ini")));
    std::filesystem::remove_all(elsewhere.path());
    answerSave = true;
    answerQuestion = true;  // "Close without saving?" Yes
    EXPECT_TRUE(window->close());
    EXPECT_EQ(askedQuestions.size(), 1);
    EXPECT_FALSE(model().Timer().Enabled());
}
