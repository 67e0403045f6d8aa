// Runs the real BPM timer on its clock thread and reports how late each tick was raised
// against its due time, how often the thread woke, and whether any tick was lost.
//   tempovane-timer-bench [seconds per tempo] [BPM ...]      (default: 4 s at 120, 300, 2500)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/monotonic_clock.h"
#include "tempo/bpm_timer.h"

namespace {

struct Run {
    std::vector<int64_t> lateNs;
    std::vector<int64_t> dueNs;
};

double Percentile(std::vector<int64_t> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    return values[index] / 1000.0;
}

void Measure(double bpm, double seconds) {
    TBPMTimer timer;
    Run run;
    const size_t expected = static_cast<size_t>(bpm * 24 / 60 * seconds) + 16;
    run.lateNs.reserve(expected);  // the tick handler must not allocate while it measures
    run.dueNs.reserve(expected);
    timer.SetTempo(static_cast<uint32_t>(bpm * 1000 + 0.5));
    timer.SetOnTimer([&](TBPMTimer& sender, uint8_t) {
        const int64_t now = MonotonicNowNs();
        if (run.lateNs.size() < expected) {
            run.lateNs.push_back(now - sender.TickTimeNs());
            run.dueNs.push_back(sender.TickTimeNs());
        }
    });
    timer.SetEnabled(true);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    timer.SetEnabled(false);

    const double periodNs = 2.5e12 / (bpm * 1000);  // 2,500,000 / tempo ms
    size_t lost = 0;
    for (size_t i = 1; i < run.dueNs.size(); ++i) {
        const double gap = static_cast<double>(run.dueNs[i] - run.dueNs[i - 1]);
        if (gap > periodNs * 1.5) lost += static_cast<size_t>(gap / periodNs + 0.5) - 1;
    }
    const double span = run.dueNs.size() > 1 ? (run.dueNs.back() - run.dueNs.front()) / 1e9 : 0;
    std::printf(
        "%7.1f BPM  ticks %6zu  late us: median %7.1f  p99 %7.1f  max %8.1f  "
        "wake-ups/s %7.1f  lost %zu  realtime %s\n",
        bpm, run.lateNs.size(), Percentile(run.lateNs, 0.5), Percentile(run.lateNs, 0.99),
        Percentile(run.lateNs, 1.0), span > 0 ? (run.dueNs.size() - 1) / span : 0.0, lost,
        timer.RealtimePriority() ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 4;
    std::vector<double> tempos;
    if (argc > 1) seconds = std::atof(argv[1]);
    for (int i = 2; i < argc; ++i) tempos.push_back(std::atof(argv[i]));
    if (tempos.empty()) tempos = {120, 300, 2500};
    for (double bpm : tempos) Measure(bpm, seconds);
    return 0;
}
