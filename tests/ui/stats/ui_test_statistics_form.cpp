#include <gtest/gtest.h>

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QImage>
#include <QLineSeries>
#include <QTemporaryDir>
#include <QValueAxis>

#include "support/window_rig.h"
#include "ui/stats/statistics_form.h"

namespace {

std::vector<QPointF> points(const QLineSeries* series) {
    const QList<QPointF> list = series->points();
    return {list.begin(), list.end()};
}

struct StatisticsFormTest : ::testing::Test {
    TStatisticsForm form;
    void startLogging() {
        form.show();
        form.RecordBPMCheckbox->setChecked(true);
    }
};

TEST_F(StatisticsFormTest, StartsWithTheBpmLineShownAndLoggingOff) {
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Statistics"));
    EXPECT_EQ(form.Chart1->title(), QStringLiteral("BPM Rate Log"));
    EXPECT_EQ(form.Series1->name(), QStringLiteral("Main BPM Output"));
    EXPECT_EQ(form.Series2->name(), QStringLiteral("Filt. Clock Input"));
    EXPECT_EQ(form.Series3->name(), QStringLiteral("Raw Clock Input"));
    EXPECT_EQ(form.Series1->color(), QColor(255, 0, 0));
    EXPECT_EQ(form.Series2->color(), QColor(0, 128, 0));
    EXPECT_EQ(form.Series3->color(), QColor(0, 0, 255));
    EXPECT_FALSE(form.RecordBPMCheckbox->isChecked());
    EXPECT_TRUE(form.Series1Enable->isChecked());
    EXPECT_FALSE(form.Series2Enable->isChecked());
    EXPECT_FALSE(form.Series3Enable->isChecked());
    EXPECT_TRUE(form.Series1->isVisible());
    EXPECT_FALSE(form.Series2->isVisible());
    EXPECT_FALSE(form.Series3->isVisible());
}

TEST_F(StatisticsFormTest, NothingIsRecordedWhileLoggingIsOffOrTheWindowHidden) {
    form.RecordBPMData(0.5, 120, 0, 0);  // hidden, logging off
    form.RecordBPMCheckbox->setChecked(true);
    form.RecordBPMData(0.5, 120, 0, 0);  // hidden, logging on
    form.show();
    form.RecordBPMCheckbox->setChecked(false);
    form.RecordBPMData(0.5, 120, 0, 0);  // shown, logging off
    EXPECT_EQ(form.Series1->count(), 0);
    EXPECT_EQ(form.ChartTime(), 0.0);
}

TEST_F(StatisticsFormTest, PointsFollowChartTimeAndNegativeClockValuesAddNone) {
    startLogging();
    form.RecordBPMData(0.5, 120, 0, 0);
    form.RecordBPMData(0.5, 120, 119.5, 119.8);
    form.RecordBPMData(0.5, 120, -1, -1);  // the input clock stopped
    ASSERT_EQ(form.Series1->count(), 3);
    EXPECT_EQ(points(form.Series1), (std::vector<QPointF>{{0.5, 120}, {1.0, 120}, {1.5, 120}}));
    EXPECT_EQ(points(form.Series2), (std::vector<QPointF>{{0.5, 0}, {1.0, 119.8}}));
    EXPECT_EQ(points(form.Series3), (std::vector<QPointF>{{0.5, 0}, {1.0, 119.5}}));
    // The axes hold every point drawn.
    auto* x = qobject_cast<QValueAxis*>(form.Chart1->axes(Qt::Horizontal).value(0));
    auto* y = qobject_cast<QValueAxis*>(form.Chart1->axes(Qt::Vertical).value(0));
    ASSERT_TRUE(x && y);
    EXPECT_GE(x->max(), 1.5);
    EXPECT_LE(y->min(), 0.0);
    EXPECT_GE(y->max(), 120.0);
}

TEST_F(StatisticsFormTest, LoggingOnAgainStartsAFreshChartAtTimeZero) {
    startLogging();
    for (int i = 0; i < 4; ++i) form.RecordBPMData(0.5, 100 + i, 1, 1);
    form.RecordBPMCheckbox->setChecked(false);
    EXPECT_EQ(form.Series1->count(), 4);  // switched off: the points stay
    form.RecordBPMCheckbox->setChecked(true);
    EXPECT_EQ(form.Series1->count(), 0);
    EXPECT_EQ(form.Series2->count(), 0);
    EXPECT_EQ(form.Series3->count(), 0);
    form.RecordBPMData(0.5, 90, -1, -1);
    EXPECT_EQ(points(form.Series1), (std::vector<QPointF>{{0.5, 90}}));
}

TEST_F(StatisticsFormTest, AHiddenLineKeepsCollectingPoints) {
    startLogging();
    form.Series1Enable->setChecked(false);
    EXPECT_FALSE(form.Series1->isVisible());
    form.RecordBPMData(0.5, 120, -1, -1);
    form.Series1Enable->setChecked(true);
    EXPECT_TRUE(form.Series1->isVisible());
    EXPECT_EQ(form.Series1->count(), 1);
    form.Series3Enable->setChecked(true);
    EXPECT_TRUE(form.Series3->isVisible());
}

TEST_F(StatisticsFormTest, ClosingHidesTheWindowAndStopsLogging) {
    startLogging();
    form.RecordBPMData(0.5, 120, -1, -1);
    form.close();
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.RecordBPMCheckbox->isChecked());
    form.show();
    EXPECT_FALSE(form.RecordBPMCheckbox->isChecked());  // showing again does not log
    EXPECT_EQ(form.Series1->count(), 1);
}

TEST_F(StatisticsFormTest, SavedChartLoadsBackAsAnImageOfTheChartsSize) {
    startLogging();
    form.RecordBPMData(0.5, 120, -1, -1);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_TRUE(form.SaveChart(dir.filePath("tempovanetrack")).isEmpty());
    QImage bmp(dir.filePath("tempovanetrack.bmp"), "BMP");
    ASSERT_FALSE(bmp.isNull());
    EXPECT_EQ(bmp.size(), form.ChartView->size());

    EXPECT_TRUE(form.SaveChart(dir.filePath("chart.png")).isEmpty());
    QImage png(dir.filePath("chart.png"), "PNG");
    ASSERT_FALSE(png.isNull());
    EXPECT_EQ(png.size(), form.ChartView->size());
    EXPECT_FALSE(QFile::exists(dir.filePath("chart.png.part")));

    // A folder that is not there: an error, not a claim of success, naming the file the user
    // chose (not a temporary one) and why.
    const QString missing = dir.filePath("no/such/folder/x.bmp");
    const QString error = form.SaveChart(missing);
    EXPECT_TRUE(error.startsWith(QStringLiteral("Cannot write ") + missing + ": "))
        << error.toStdString();
    // A name that is a folder: said so, about that name.
    ASSERT_TRUE(QDir(dir.path()).mkdir("charts.bmp"));
    const QString folder = form.SaveChart(dir.filePath("charts.bmp"));
    EXPECT_TRUE(folder.contains(dir.filePath("charts.bmp") + ": ")) << folder.toStdString();
    EXPECT_TRUE(folder.contains("directory")) << folder.toStdString();
    // Nothing but what the saves above wrote is left in the folder.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2)
        << QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).join(' ').toStdString();
}

TEST_F(StatisticsFormTest, NoControlLiesOverTheChart) {
    for (const QSize size : {QSize(792, 677), QSize(1100, 800)}) {
        form.resize(size);
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        QApplication::processEvents();
        const QRect chart = form.ChartView->geometry();
        EXPECT_GE(chart.width(), size.width() * 3 / 4 - 10);  // still most of the window
        for (QWidget* control :
             std::initializer_list<QWidget*>{form.GroupBox1, form.RecordBPMCheckbox}) {
            EXPECT_TRUE(control->isVisible());
            EXPECT_FALSE(control->geometry().intersects(chart))
                << control->objectName().toStdString();
            EXPECT_TRUE(form.rect().contains(control->geometry()));
        }
    }
}

TEST_F(StatisticsFormTest, SaveDialogOffersBitmapAndPngAndTheirExtensions) {
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    TStatisticsForm::PrepareSaveDialog(dialog);
    EXPECT_EQ(dialog.nameFilters(), (QStringList{"Windows bitmap (*.bmp)", "PNG image (*.png)"}));
    EXPECT_EQ(dialog.defaultSuffix(), "bmp");
    EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
    // The user picks the PNG filter: a name typed without an extension becomes a PNG file.
    auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(types, nullptr);
    ASSERT_EQ(types->currentIndex(), 0);
    QTest::keyClick(types, Qt::Key_Down);
    ASSERT_EQ(types->currentIndex(), 1);
    EXPECT_EQ(dialog.defaultSuffix(), "png");
    QTest::keyClick(types, Qt::Key_Up);
    EXPECT_EQ(dialog.defaultSuffix(), "bmp");
}

// The pump hands a sample to the window every tenth pass.
struct StatisticsPumpTest : MainWindowTest {
    TStatisticsForm stats;
    void TearDown() override {
        if (window) window->SetSecondaryWindows(nullptr, nullptr);
    }
};

TEST_F(StatisticsPumpTest, EveryTenthPassRecordsOneSample) {
    open();
    // The window's own 50 ms timer may already have run a few passes while the rig waited for
    // the window; stop it so only this test's passes count, and find the first sample's pass.
    window->VCLEventsTimer->stop();
    window->SetSecondaryWindows(nullptr, &stats);
    stats.show();
    stats.RecordBPMCheckbox->setChecked(true);
    model().MeasureRequested = false;
    int passes = 0;
    while (stats.Series1->count() == 0 && passes < 20) {
        pump(1);
        ++passes;
    }
    EXPECT_LE(passes, 10);
    ASSERT_EQ(stats.Series1->count(), 1);
    EXPECT_EQ(stats.Series1->at(0), QPointF(0.5, 0));  // stopped: 0 BPM
    EXPECT_TRUE(model().MeasureRequested.load());      // asked again for the next one
    pump(9);
    EXPECT_EQ(stats.Series1->count(), 1);
    pump(1);
    EXPECT_EQ(stats.Series1->count(), 2);
}

}  // namespace
