#pragma once

#include <QWidget>
#include <array>

#include "ui/stats/line_decimator.h"

class QCheckBox;
class QFileDialog;
class QChart;
class QChartView;
class QGroupBox;
class QLineSeries;
class QPushButton;
class QValueAxis;

// The tempo statistics window: a chart of the BPM sent out and, when MIDI clock comes in, the
// tempo measured from it, raw and filtered. Always a window of its own, also when given a
// parent, so it can sit beside the main window while the clock runs. Closing it only hides it.
class TStatisticsForm : public QWidget {
    Q_OBJECT

  public:
    explicit TStatisticsForm(QWidget* parent = nullptr);

    // From the pump, twice a second. Drawn only while logging is on and the window is
    // visible; clock-input values below 0 mean "no new value" and add no point.
    void RecordBPMData(double interval, double mainOutput, double rawClockIn,
                       double filteredClockIn);

    // Writes the chart as shown, at its current size: PNG for a name ending in ".png", a
    // Windows bitmap otherwise (".bmp" is added to a name without an extension). Returns the
    // error text, naming the file, empty on success.
    QString SaveChart(const QString& fileName);
    // The save dialog's title aside: filters for both formats, the default name and extension.
    static void PrepareSaveDialog(QFileDialog& dialog);

    double ChartTime() const { return chartTime_; }

    QChart* Chart1;
    QChartView* ChartView;
    QLineSeries* Series1;  // "Main BPM Output"
    QLineSeries* Series2;  // "Filt. Clock Input"
    QLineSeries* Series3;  // "Raw Clock Input"
    QCheckBox* RecordBPMCheckbox;
    QGroupBox* GroupBox1;
    QCheckBox* Series1Enable;
    QCheckBox* Series2Enable;
    QCheckBox* Series3Enable;
    QPushButton* SaveBPMChart;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void RecordBPMCheckboxClick();
    void SaveBPMChartClick();
    void addPoint(int line, double y);
    void fitAxes();

    QValueAxis* axisX_;
    QValueAxis* axisY_;
    double chartTime_ = 0;
    // The value range drawn so far: the axes follow it without rescanning the points, so a
    // long evening of logging costs the same per sample as the first minute.
    double minY_ = 0, maxY_ = 0;
    bool anyPoint_ = false;
    std::array<LineDecimator, 3> lines_;  // what Series1 .. Series3 draw
};
