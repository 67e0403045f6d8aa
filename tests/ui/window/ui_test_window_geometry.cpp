// The window's size and place from the settings file, the compact view, and the tempo label.
#include <gtest/gtest.h>

#include <QScreen>

#include "support/window_rig.h"

namespace {

using WindowGeometryTest = MainWindowTest;

// Whether `child` lies whole inside the window's client area.
bool ShownWhole(const TKorvidMain& w, const QWidget* child) {
    return w.rect().contains(QRect(child->mapTo(&w, QPoint(0, 0)), child->size()));
}

}  // namespace

TEST_F(WindowGeometryTest, AbsurdSizesAreClampedToTheScreenAndTheWindowPaints) {
    const char* sizes[][2] = {
        {"100000000", "-2147483648"}, {"-2147483648", "100000000"}, {"2147483647", "2147483647"}};
    for (const auto& size : sizes) {
        folder.write("clockpresets.ini", std::string("[APPLICATION_PRESETS]\n") +
                                             "MAINSCREENPOSITIONWIDTH=" + size[0] + "\n" +
                                             "MAINSCREENPOSITIONHEIGHT=" + size[1] + "\n");
        TKorvidMain& w = open();
        pump();
        const QRect screen = w.screen()->availableGeometry();
        EXPECT_LE(w.WindowWidth(), std::max(screen.width(), 262)) << size[0];
        EXPECT_LE(w.WindowHeight(), std::max(screen.height(), w.CompactWindowHeight())) << size[1];
        EXPECT_GE(w.WindowWidth(), 262);
        EXPECT_GE(w.WindowHeight(), w.CompactWindowHeight());
        EXPECT_FALSE(w.grab().isNull());  // the first paint
    }
}

TEST_F(WindowGeometryTest, ZeroAndNegativeSizesGiveTheSmallestUsableWindow) {
    for (const char* size : {"0", "-1", "1", "-32768"}) {
        folder.write("clockpresets.ini", std::string("[APPLICATION_PRESETS]\n") +
                                             "MAINSCREENPOSITIONWIDTH=" + size + "\n" +
                                             "MAINSCREENPOSITIONHEIGHT=" + size + "\n");
        TKorvidMain& w = open();
        EXPECT_EQ(w.WindowWidth(), 262) << size;
        EXPECT_EQ(w.WindowHeight(), w.CompactWindowHeight()) << size;
        EXPECT_TRUE(ShownWhole(w, w.TempoTrackBar)) << size;
        EXPECT_TRUE(ShownWhole(w, w.TapButton)) << size;
        EXPECT_TRUE(ShownWhole(w, w.BPMLabel)) << size;
        // The saved size is what the window really has.
        answerSave = true;
        window->close();
        const std::string saved = folder.read("clockpresets.ini");
        EXPECT_NE(saved.find("MAINSCREENPOSITIONWIDTH=262\n"), std::string::npos) << saved;
    }
}

TEST_F(WindowGeometryTest, TheCompactViewShowsTheWholeTempoPartAndNoMore) {
    TKorvidMain& w = open();
    w.ToggleWindowHeight();
    for (const QWidget* part :
         {static_cast<QWidget*>(w.TempoTrackBar), static_cast<QWidget*>(w.TapButton),
          static_cast<QWidget*>(w.ShowMoreButton), static_cast<QWidget*>(w.StatsImage),
          static_cast<QWidget*>(w.MainButtonImage)})
        EXPECT_TRUE(ShownWhole(w, part)) << part->metaObject()->className();
    // The port boxes are what the compact view leaves out.
    EXPECT_FALSE(ShownWhole(w, w.GroupBox1));
    EXPECT_LE(w.height(), w.GroupBox1->y() + 4);
    // The window cannot be made smaller than that by hand either.
    w.resize(10, 10);
    EXPECT_TRUE(ShownWhole(w, w.TempoTrackBar));
    EXPECT_TRUE(ShownWhole(w, w.TapButton));
}

TEST_F(WindowGeometryTest, TheTempoLabelShowsEveryAllowedTempoWhole) {
    folder.write("clockpresets.ini", "[APPLICATION_PRESETS]\nBPMMINIMUM=1\nBPMMAXIMUM=2500\n");
    TKorvidMain& w = open();
    const int designPixels = w.BPMLabel->font().pixelSize();
    for (const double bpm : {2500.0, 1000.0, 1888.0, 999.0, 120.0, 1.0}) {
        model().SetBPM(bpm);
        pump();
        const QString text = w.BPMLabel->text();
        EXPECT_EQ(text, QString::number(static_cast<int>(bpm)));
        EXPECT_LE(QFontMetrics(w.BPMLabel->font()).boundingRect(text).width(),
                  w.BPMLabel->contentsRect().width())
            << bpm;
        // The design size wherever it fits, and never smaller than it needs to be.
        if (bpm < 1000) {
            EXPECT_EQ(w.BPMLabel->font().pixelSize(), designPixels) << bpm;
        } else {
            EXPECT_GE(w.BPMLabel->font().pixelSize(), designPixels * 2 / 3) << bpm;
        }
    }
}
