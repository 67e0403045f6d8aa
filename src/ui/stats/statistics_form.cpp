#include "ui/stats/statistics_form.h"
#include "ui/adapters/message_box_qt.h"

#include <QBoxLayout>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QImageWriter>
#include <QLineSeries>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QValueAxis>
#include <algorithm>

namespace {
QLineSeries* makeSeries(QChart* chart, const QString& title, const QColor& color) {
    auto* series = new QLineSeries(chart);
    series->setName(title);
    series->setColor(color);
    QPen pen = series->pen();
    pen.setColor(color);
    pen.setWidth(1);
    series->setPen(pen);
    // A 1 x 1 square marker at every point.
    series->setPointsVisible(true);
    series->setMarkerSize(1);
    series->setPointLabelsVisible(false);
    chart->addSeries(series);
    return series;
}
}  // namespace

TStatisticsForm::TStatisticsForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("StatisticsForm"));
    setWindowTitle(QStringLiteral("Statistics"));
    // 800 x 722 outer, less a nominal frame, as the main window counts its sizes.
    resize(792, 677);

    Chart1 = new QChart();
    Chart1->setTitle(QStringLiteral("BPM Rate Log"));
    Chart1->legend()->setVisible(true);
    Chart1->setBackgroundVisible(false);  // a flat look; no filled back wall
    Chart1->setAnimationOptions(QChart::NoAnimation);
    Series1 = makeSeries(Chart1, QStringLiteral("Main BPM Output"), QColor(255, 0, 0));
    Series2 = makeSeries(Chart1, QStringLiteral("Filt. Clock Input"), QColor(0, 128, 0));
    Series3 = makeSeries(Chart1, QStringLiteral("Raw Clock Input"), QColor(0, 0, 255));

    // Axes with ranges we set ourselves: letting the chart find them would scan every point
    // of every series on each new one.
    axisX_ = new QValueAxis(Chart1);
    axisX_->setTitleText(QStringLiteral("Time (seconds)"));  // the footer, below the X axis
    axisX_->setLabelFormat(QStringLiteral("%g"));
    axisX_->setRange(0, 1);
    axisY_ = new QValueAxis(Chart1);
    axisY_->setTitleText(QStringLiteral("BPM Rate"));
    axisY_->setLabelFormat(QStringLiteral("%g"));
    axisY_->setRange(0, 1);
    Chart1->addAxis(axisX_, Qt::AlignBottom);
    Chart1->addAxis(axisY_, Qt::AlignLeft);
    for (QLineSeries* s : {Series1, Series2, Series3}) {
        s->attachAxis(axisX_);
        s->attachAxis(axisY_);
    }

    // The options stand beside the chart, not on it: a box over the plot hides its corner and
    // the grid lines that run under it. The chart takes what the window has left, and grows
    // with it.
    ChartView = new QChartView(Chart1, this);
    ChartView->setObjectName(QStringLiteral("Chart1"));
    ChartView->setMinimumSize(320, 240);

    GroupBox1 = new QGroupBox(QStringLiteral("Chart Options"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setFixedSize(153, 137);
    Series1Enable = new QCheckBox(QStringLiteral("Chart BPM Out"), GroupBox1);
    Series1Enable->setGeometry(8, 20, 137, 17);
    Series2Enable = new QCheckBox(QStringLiteral("Filtered Clock In"), GroupBox1);
    Series2Enable->setGeometry(8, 44, 137, 17);
    Series3Enable = new QCheckBox(QStringLiteral("Raw Clock In"), GroupBox1);
    Series3Enable->setGeometry(8, 68, 137, 17);
    SaveBPMChart = new QPushButton(QStringLiteral("Save Chart"), GroupBox1);
    SaveBPMChart->setGeometry(8, 100, 137, 25);

    RecordBPMCheckbox = new QCheckBox(QStringLiteral("Enable Chart Logging"), this);
    RecordBPMCheckbox->setObjectName(QStringLiteral("RecordBPMCheckbox"));

    auto* side = new QVBoxLayout;
    side->setContentsMargins(0, 24, 0, 0);
    side->addWidget(GroupBox1);
    side->addStretch();
    auto* top = new QHBoxLayout;
    top->setSpacing(8);
    top->addWidget(ChartView, 1);
    top->addLayout(side);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 15, 8);
    layout->setSpacing(3);
    layout->addLayout(top, 1);
    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(16, 0, 0, 0);
    bottom->addWidget(RecordBPMCheckbox);
    bottom->addStretch();
    layout->addLayout(bottom);

    // FormCreate: the BPM sent is shown, the clock-input lines start hidden.
    Series1->setVisible(true);
    Series2->setVisible(false);
    Series3->setVisible(false);
    Series1Enable->setChecked(Series1->isVisible());
    Series2Enable->setChecked(Series2->isVisible());
    Series3Enable->setChecked(Series3->isVisible());

    connect(RecordBPMCheckbox, &QCheckBox::toggled, this, &TStatisticsForm::RecordBPMCheckboxClick);
    connect(Series1Enable, &QCheckBox::toggled, Series1, &QLineSeries::setVisible);
    connect(Series2Enable, &QCheckBox::toggled, Series2, &QLineSeries::setVisible);
    connect(Series3Enable, &QCheckBox::toggled, Series3, &QLineSeries::setVisible);
    connect(SaveBPMChart, &QPushButton::clicked, this, &TStatisticsForm::SaveBPMChartClick);
}

void TStatisticsForm::RecordBPMCheckboxClick() {
    if (!RecordBPMCheckbox->isChecked()) return;  // switched off: the chart keeps its points
    chartTime_ = 0;
    anyPoint_ = false;
    minY_ = maxY_ = 0;
    for (QLineSeries* s : {Series1, Series2, Series3}) s->clear();
    for (LineDecimator& line : lines_) line.clear();
    axisX_->setRange(0, 1);
    axisY_->setRange(0, 1);
}

void TStatisticsForm::RecordBPMData(double interval, double mainOutput, double rawClockIn,
                                    double filteredClockIn) {
    if (!RecordBPMCheckbox->isChecked() || !isVisible()) return;
    chartTime_ += interval;
    addPoint(0, mainOutput);
    if (filteredClockIn >= 0) addPoint(1, filteredClockIn);
    if (rawClockIn >= 0) addPoint(2, rawClockIn);
    fitAxes();
}

void TStatisticsForm::fitAxes() {
    // A new range relays out the whole chart, which costs more than the points themselves, so
    // the axes grow ahead of the data in steps: a quarter more time, and a margin of values.
    // Nice numbers give round labels (0, 2, 4 ... seconds) and only ever widen the range.
    if (chartTime_ > axisX_->max()) {
        axisX_->setRange(0, std::max(1.0, chartTime_ * 1.25));
        axisX_->applyNiceNumbers();
    }
    if (minY_ < axisY_->min() || maxY_ > axisY_->max()) {
        const double margin = std::max(1.0, (maxY_ - minY_) * 0.1);
        axisY_->setRange(std::max(0.0, minY_ - margin), maxY_ + margin);
        axisY_->applyNiceNumbers();
    }
}

void TStatisticsForm::addPoint(int line, double y) {
    LineDecimator& decimator = lines_[line];
    decimator.add(chartTime_, y);
    // One replace per sample: the series redraws its (at most a few thousand) points once.
    const std::vector<LineDecimator::Point>& drawn = decimator.points();
    QList<QPointF> list;
    list.reserve(static_cast<qsizetype>(drawn.size()));
    for (const LineDecimator::Point& p : drawn) list.append(QPointF(p.x, p.y));
    QLineSeries* series[] = {Series1, Series2, Series3};
    series[line]->replace(list);
    if (!anyPoint_) {
        minY_ = maxY_ = y;
        anyPoint_ = true;
    } else {
        minY_ = std::min(minY_, y);
        maxY_ = std::max(maxY_, y);
    }
}

QString TStatisticsForm::SaveChart(const QString& fileName) {
    QString name = fileName;
    if (QFileInfo(name).suffix().isEmpty()) name += QStringLiteral(".bmp");
    const QByteArray format =
        QFileInfo(name).suffix().compare(QStringLiteral("png"), Qt::CaseInsensitive) == 0
            ? QByteArrayLiteral("PNG")
            : QByteArrayLiteral("BMP");
    // The framework's own words for what went wrong, about the file the user chose (not the
    // temporary file the chart is written into first).
    auto failed = [&name](const QString& reason) {
        return QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(name), reason);
    };
    if (QFileInfo(name).isDir()) return failed(QStringLiteral("Is a directory"));
    const QImage image = ChartView->grab().toImage();
    // Written into a temporary file that then takes the name: an older chart of that name
    // stays whole when the write fails half-way.
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly)) return failed(file.errorString());
    QImageWriter writer(&file, format);
    if (!writer.write(image)) {
        const QString reason = writer.errorString();
        file.cancelWriting();
        return failed(reason);
    }
    if (!file.commit()) return failed(file.errorString());
    return {};
}

void TStatisticsForm::SaveBPMChartClick() {
    QFileDialog dialog(this, QStringLiteral("Save BPM Chart To WMF"));
    PrepareSaveDialog(dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    const QString error = SaveChart(dialog.selectedFiles().constFirst());
    if (!error.isEmpty()) ShowMessageBox(this, QMessageBox::Warning, windowTitle(), error);
}

void TStatisticsForm::PrepareSaveDialog(QFileDialog& dialog) {
    dialog.setObjectName(QStringLiteral("SaveBPMChartDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // Both formats SaveChart writes; a name without an extension gets the chosen filter's.
    dialog.setNameFilters(
        {QStringLiteral("Windows bitmap (*.bmp)"), QStringLiteral("PNG image (*.png)")});
    dialog.setDefaultSuffix(QStringLiteral("bmp"));
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
        dialog.setDefaultSuffix(filter.contains(QStringLiteral("*.png")) ? QStringLiteral("png")
                                                                         : QStringLiteral("bmp"));
    });
    dialog.selectFile(QStringLiteral("tempovanetrack"));
}

void TStatisticsForm::closeEvent(QCloseEvent* event) {
    // Logging stops with the window; the chart keeps its points until logging is on again.
    // Closing only hides the window (it is not deleted on close).
    RecordBPMCheckbox->setChecked(false);
    QWidget::closeEvent(event);
}
