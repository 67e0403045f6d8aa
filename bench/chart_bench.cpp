// The tempo chart after an evening of logging: 8 hours at one sample every 0.5 s is 57,600
// samples in each series. Measures one pump sample (RecordBPMData) on such a chart, and the
// same followed by a repaint of the chart, which is what the window then does on screen.
//   tempovane-chart-bench [--benchmark_* options]   (runs on Qt's offscreen platform)
// CHART_SAMPLES=N in the environment fills the chart with N samples instead.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QChartView>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineSeries>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ui/stats/statistics_form.h"

namespace {
const int kEvening = std::getenv("CHART_SAMPLES") ? std::atoi(std::getenv("CHART_SAMPLES")) : 57600;

// Filled once: the fill itself is 57,600 samples, which is the evening being measured.
TStatisticsForm& eveningChart() {
    static std::unique_ptr<TStatisticsForm> form;
    if (form) return *form;
    form = std::make_unique<TStatisticsForm>();
    form->Series2Enable->setChecked(true);
    form->Series3Enable->setChecked(true);
    form->show();
    form->RecordBPMCheckbox->setChecked(true);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kEvening; ++i) {
        const double bpm = 120 + 8 * std::sin(i * 0.01);
        form->RecordBPMData(0.5, bpm, bpm + 0.3, bpm + 0.1);
    }
    std::printf("filling %d samples: %.1f s, %.3f ms per sample on average\n", kEvening,
                timer.nsecsElapsed() * 1e-9, timer.nsecsElapsed() * 1e-6 / kEvening);
    // Every sample was taken: the window holds the evening, drawn within its point cap.
    if (form->ChartTime() != kEvening * 0.5) std::abort();
    QApplication::processEvents();
    return *form;
}

void BM_SampleOnEveningChart(benchmark::State& state) {
    TStatisticsForm& form = eveningChart();
    double bpm = 120;
    for (auto _ : state) {
        form.RecordBPMData(0.5, bpm, bpm, bpm);
        bpm = bpm > 130 ? 110 : bpm + 0.01;
    }
    state.counters["drawn_points"] = form.Series1->count();
}
BENCHMARK(BM_SampleOnEveningChart)->Unit(benchmark::kMillisecond)->Iterations(200);

void BM_SampleAndRepaintOnEveningChart(benchmark::State& state) {
    TStatisticsForm& form = eveningChart();
    double bpm = 120;
    for (auto _ : state) {
        form.RecordBPMData(0.5, bpm, bpm, bpm);
        form.ChartView->repaint();
        bpm = bpm > 130 ? 110 : bpm + 0.01;
    }
    state.counters["drawn_points"] = form.Series1->count();
}
BENCHMARK(BM_SampleAndRepaintOnEveningChart)->Unit(benchmark::kMillisecond)->Iterations(50);
}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
