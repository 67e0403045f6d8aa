#include <gtest/gtest.h>

#include <QChart>
#include <QChartView>
#include <QCheckBox>
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
    EXPECT_EQ(points(form.Series1),
              (std::vector<QPointF>{{0.5, 120}, {1.0, 120}, {1.5, 120}}));
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

    // A folder that is not there: an error, not a claim of success.
    EXPECT_FALSE(form.SaveChart(dir.filePath("no/such/folder/x.bmp")).isEmpty());
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
    EXPECT_TRUE(model().MeasureRequested.load());       // asked again for the next one
    pump(9);
    EXPECT_EQ(stats.Series1->count(), 1);
    pump(1);
    EXPECT_EQ(stats.Series1->count(), 2);
}

}  // namespace
