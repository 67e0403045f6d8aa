// Priority inversion on the clock path. The real BPM timer runs on its clock thread; a CPU hog at
// a real-time priority below the clock's works in bursts on the same core; and, in the second
// run of each pair, an ordinary (SCHED_OTHER) thread on that core calls the timer's tempo
// setters and getters in a loop. Should the clock thread ever wait for something the ordinary
// thread holds, the hog, which preempts that thread, holds the clock up too: the ticks come late
// by up to a burst. Reports how late the clock thread raised its ticks, without and with the
// setters; the two should not differ.
//
// Two workloads. "own period": the timer runs at its own tempo; the setters nudge the tempo by a
// thousandth of a BPM and back (which moves no tick: a real speed-up makes a tick due at once,
// whose lateness would be the clock's reaction to being woken, not its timing) and clear a
// schedule that is not set. "schedule": the ticks follow an outside grid, so that round to tick
// (a whole millisecond faster, then slower) may run too: under a schedule the own period only
// decides how late a tick may be; the setters also set the schedule that is already set.
// On a shared machine other real-time threads come and go; --rounds repeats every pair (off and
// on next to each other) and ends with the medians over the rounds, and the worst.
//   tempovane-inversion-bench [--seconds S] [--rounds N] [--bpm B]... [--cpu N]
//                             [--hog-priority P] [--busy-ms M] [--idle-ms M]
// Defaults: 10 s a run, 1 round, at 300 and 2500 BPM, core 0, the hog at SCHED_FIFO 10 busy
// 2 ms of 4.
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/monotonic_clock.h"
#include "tempo/bpm_timer.h"
#include "tempo/tick_schedule.h"

namespace {

struct Options {
    double seconds = 10;
    int rounds = 1;
    std::vector<double> tempos;
    int cpu = 0;
    int hogPriority = 10;
    double busyMs = 2;
    double idleMs = 2;
};

double Percentile(std::vector<int64_t> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    return values[index] / 1000.0;
}

bool PinToCpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;  // 0: the calling thread
}

void UnpinAll() {
    cpu_set_t set;
    CPU_ZERO(&set);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned c = 0; c < cores; ++c) CPU_SET(c, &set);
    sched_setaffinity(0, sizeof set, &set);
}

void SleepUntil(int64_t ns) {
    timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Busy for busyMs, asleep for idleMs, over and over, at SCHED_FIFO hogPriority where allowed.
class Hog {
  public:
    Hog(const Options& o) : options_(o) {
        thread_ = std::thread([this] { run(); });
        while (!ready_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Hog() {
        stop_.store(true);
        thread_.join();
    }
    bool realtime() const { return realtime_.load(); }

  private:
    void run() {
        PinToCpu(options_.cpu);
        sched_param param{};
        param.sched_priority = options_.hogPriority;
        realtime_.store(pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0);
        pthread_setname_np(pthread_self(), "bench-hog");
        ready_.store(true);
        const auto busy = static_cast<int64_t>(options_.busyMs * 1e6);
        const auto idle = static_cast<int64_t>(options_.idleMs * 1e6);
        int64_t next = MonotonicNowNs();
        while (!stop_.load(std::memory_order_relaxed)) {
            const int64_t until = next + busy;
            while (MonotonicNowNs() < until) {
            }
            next = until + idle;
            SleepUntil(next);
        }
    }
    const Options& options_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ready_{false};
    std::atomic<bool> realtime_{false};
    std::thread thread_;
};

// Ticks every periodNs from the start of the run.
struct Grid final : TickSchedule {
    explicit Grid(int64_t period) : periodNs(period) {}
    void BeginRun(int64_t nowNs, bool, int64_t) override { firstNs = nowNs; }
    int64_t TickDueNs(int64_t k) override { return firstNs + k * periodNs; }
    int64_t FirstTickAtOrAfter(int64_t nowNs) override {
        return (nowNs - firstNs + periodNs - 1) / periodNs;
    }
    int64_t firstNs = 0;
    const int64_t periodNs;
};

// What the UI and the input thread do to the timer, as fast as the core lets it.
class Setters {
  public:
    Setters(TBPMTimer& timer, uint32_t milliBpm, Grid* grid, int cpu)
        : timer_(timer), milliBpm_(milliBpm), grid_(grid) {
        thread_ = std::thread([this, cpu] {
            PinToCpu(cpu);
            pthread_setname_np(pthread_self(), "bench-setters");
            run();
        });
    }
    ~Setters() { stop(); }
    void stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    uint64_t rounds() const { return rounds_.load(); }

  private:
    void run() {
        volatile long double sink = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
            timer_.SetTempo(milliBpm_ - 1);  // slower by a thousandth of a BPM
            sink = sink + timer_.Period() + timer_.Tempo();
            timer_.SetSchedule(grid_);  // as it is: none, or the grid
            if (grid_) {
                timer_.RoundUpToTick();
                timer_.RoundDownToTick();
            }
            sink = sink + timer_.Enabled() + timer_.HasSchedule();
            timer_.SetTempo(milliBpm_);
            rounds_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    TBPMTimer& timer_;
    const uint32_t milliBpm_;
    Grid* const grid_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> rounds_{0};
    std::thread thread_;
};

struct Figures {
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    int64_t dropped = 0;
};

Figures Measure(const Options& o, double bpm, bool scheduled, bool withSetters) {
    // The clock thread takes the core of the thread that makes it.
    PinToCpu(o.cpu);
    TBPMTimer timer;
    UnpinAll();
    const uint32_t milliBpm = static_cast<uint32_t>(bpm * 1000 + 0.5);
    const size_t expected = static_cast<size_t>(bpm * 24 / 60 * o.seconds * 1.2) + 64;
    std::vector<int64_t> late;
    late.reserve(expected);  // the tick handler must not allocate while it measures
    std::atomic<bool> measuring{false};
    timer.SetTempo(milliBpm);
    Grid grid(std::llround(2.5e12 / milliBpm));
    if (scheduled) timer.SetSchedule(&grid);
    timer.SetOnTimer([&](TBPMTimer& sender, uint8_t) {
        const int64_t now = MonotonicNowNs();
        if (measuring.load(std::memory_order_relaxed) && late.size() < expected)
            late.push_back(now - sender.TickTimeNs());
    });

    Hog hog(o);
    timer.SetEnabled(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settled
    measuring.store(true);
    uint64_t rounds = 0;
    const auto start = std::chrono::steady_clock::now();
    if (withSetters) {
        Setters setters(timer, milliBpm, scheduled ? &grid : nullptr, o.cpu);
        std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
        setters.stop();
        rounds = setters.rounds();
    } else {
        std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    measuring.store(false);
    timer.SetEnabled(false);
    timer.SetSchedule(nullptr);

    const Figures figures{Percentile(late, 0.5), Percentile(late, 0.99), Percentile(late, 1.0),
                          timer.DroppedTicks()};
    char setters[64] = "setters off";
    if (withSetters)
        std::snprintf(setters, sizeof setters, "setters on (%.0f rounds/s)", rounds / elapsed);
    std::printf(
        "%7.1f BPM  %-11s  %-28s ticks %6zu  late us: p50 %7.1f  p99 %7.1f  max %8.1f  "
        "dropped %lld  clock realtime %s, hog %s\n",
        bpm, scheduled ? "schedule" : "own period", setters, late.size(), figures.p50, figures.p99,
        figures.max, static_cast<long long>(figures.dropped),
        timer.RealtimePriority() ? "yes" : "no",
        hog.realtime() ? "SCHED_FIFO" : "SCHED_OTHER (no real-time permission)");
    std::fflush(stdout);
    return figures;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value) {
            std::fprintf(stderr, "%s wants a value\n", arg.c_str());
            return 2;
        }
        ++i;
        if (arg == "--seconds")
            o.seconds = std::atof(value);
        else if (arg == "--rounds")
            o.rounds = std::max(1, std::atoi(value));
        else if (arg == "--bpm")
            o.tempos.push_back(std::atof(value));
        else if (arg == "--cpu")
            o.cpu = std::atoi(value);
        else if (arg == "--hog-priority")
            o.hogPriority = std::atoi(value);
        else if (arg == "--busy-ms")
            o.busyMs = std::atof(value);
        else if (arg == "--idle-ms")
            o.idleMs = std::atof(value);
        else {
            std::fprintf(stderr, "unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    if (o.tempos.empty()) o.tempos = {300, 2500};
    std::printf(
        "core %d, hog at priority %d busy %.1f ms of every %.1f, %.0f s a run, %d round(s)\n",
        o.cpu, o.hogPriority, o.busyMs, o.busyMs + o.idleMs, o.seconds, o.rounds);
    using Key = std::tuple<bool, double, bool>;  // schedule, BPM, setters
    std::map<Key, std::vector<Figures>> all;
    for (int round = 0; round < o.rounds; ++round) {
        for (bool scheduled : {false, true}) {
            for (double bpm : o.tempos) {
                for (bool setters : {false, true})
                    all[{scheduled, bpm, setters}].push_back(Measure(o, bpm, scheduled, setters));
            }
        }
    }
    if (o.rounds < 2) return 0;
    std::printf("medians over %d rounds (worst max, dropped in all):\n", o.rounds);
    for (const auto& [key, runs] : all) {
        std::vector<double> p50, p99, max;
        int64_t dropped = 0;
        for (const Figures& f : runs) {
            p50.push_back(f.p50);
            p99.push_back(f.p99);
            max.push_back(f.max);
            dropped += f.dropped;
        }
        std::printf(
            "%7.1f BPM  %-11s  setters %-3s  late us: p50 %7.1f  p99 %7.1f  max %8.1f "
            "(worst %8.1f)  dropped %lld\n",
            std::get<1>(key), std::get<0>(key) ? "schedule" : "own period",
            std::get<2>(key) ? "on" : "off", Median(p50), Median(p99), Median(max),
            *std::max_element(max.begin(), max.end()), static_cast<long long>(dropped));
    }
    return 0;
}
