// The lock against the two ways a master's clock errs: stamps displaced from its own grid (the
// next one is back on it) and a phase that walks (every interval carries its own error, as
// jack_midi_clock -J does), and the schedule our ticks take from it. Bounds are about three
// standard deviations of what each kind of error lets any follower know.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "midiin/clock_lock.h"

namespace {

constexpr double kFrameNs = 1e9 / 48000;

double PeriodNs(double bpm) {
    return 60e9 / (24.0 * bpm);
}

// A master at a set tempo whose stamps err by up to `jitter` of a period either way, uniformly:
// off its grid (Grid) or added to each interval (Walk).
class Noisy {
  public:
    enum Kind { Grid, Walk };
    Noisy(Kind kind, double bpm, double jitter, unsigned seed)
        : kind_(kind), period_(PeriodNs(bpm)), jitter_(jitter), random_(seed) {}
    int64_t next() {
        std::uniform_real_distribution<double> error(-jitter_, jitter_);
        double stamp;
        if (kind_ == Grid) {
            stamp = grid_ + error(random_) * period_;
            grid_ += period_;
        } else {
            walk_ += period_ * (1 + error(random_));
            stamp = walk_;
        }
        last_ = static_cast<int64_t>(std::llround(stamp));
        return last_;
    }
    void setBpm(double bpm) { period_ = PeriodNs(bpm); }
    double gridTime() const { return grid_; }  // where the next grid tick belongs
    int64_t last() const { return last_; }

  private:
    Kind kind_;
    double period_;
    double jitter_;
    std::mt19937 random_;
    double grid_ = 5e9;
    double walk_ = 5e9;
    int64_t last_ = 0;
};

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const size_t rank =
        static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::max<size_t>(1, rank) - 1];
}

}  // namespace

TEST(ClockLockNoise, TellsDisplacedStampsFromAWalkingPhase) {
    // Uniform +-10 % of a tick: 1.128 ms rms at 128 BPM.
    const double rms = 0.10 * PeriodNs(128) / std::sqrt(3.0);
    for (unsigned seed : {1u, 2u, 3u}) {
        ClockLock grid, walk;
        Noisy g(Noisy::Grid, 128, 0.10, seed), w(Noisy::Walk, 128, 0.10, seed);
        for (int i = 0; i < 500; ++i) {
            grid.Clock(g.next());
            walk.Clock(w.next());
        }
        const ClockLock::Estimate eg = grid.Current(), ew = walk.Current();
        EXPECT_NEAR(eg.gridNs, rms, 0.15 * rms) << "seed " << seed;
        EXPECT_LT(eg.walkNs, 0.4 * rms) << "seed " << seed;
        EXPECT_NEAR(ew.walkNs, rms, 0.2 * rms) << "seed " << seed;
        EXPECT_LT(ew.gridNs, 0.6 * rms) << "seed " << seed;
    }
}

TEST(ClockLockNoise, WalkingMasterIsFollowedFromItsNewestTick) {
    // A walking master's best guess for the next tick is its newest one plus the mean interval;
    // a line through seconds of its ticks would lag the walk by milliseconds. Its tempo is known
    // only as well as the mean of the intervals heard: after 4 s (205 ticks) 0.52 BPM rms, after
    // the full window (384 ticks) 0.38 BPM.
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
        ClockLock lock;
        Noisy master(Noisy::Walk, 128, 0.10, seed);
        std::vector<int64_t> stamps;
        for (int i = 0; i < 205; ++i) {
            stamps.push_back(master.next());
            lock.Clock(stamps.back());
        }
        ClockLock::Estimate e = lock.Current();
        ASSERT_TRUE(e.valid);
        EXPECT_NEAR(e.Bpm(), 128, 1.6) << "seed " << seed;
        for (int i = 0; i < 3000; ++i) {
            stamps.push_back(master.next());
            lock.Clock(stamps.back());
        }
        e = lock.Current();
        EXPECT_EQ(e.steps, 0u) << "a walk is not a string of tempo steps; seed " << seed;
        EXPECT_NEAR(e.Bpm(), 128, 1.2) << "seed " << seed;
        // The tempo is the one the window's ticks delivered ...
        ASSERT_GE(stamps.size(), static_cast<size_t>(ClockLock::kWindow));
        const double delivered =
            static_cast<double>(stamps.back() - stamps[stamps.size() - ClockLock::kWindow]) /
            (ClockLock::kWindow - 1);
        EXPECT_NEAR(e.periodNs, delivered, 0.002 * delivered) << "seed " << seed;
        // ... and the line runs through the newest tick, not seconds behind it.
        EXPECT_NEAR(e.TimeOf(e.lastIndex), static_cast<double>(stamps.back()), 0.5 * e.walkNs)
            << "seed " << seed;
    }
}

TEST(ClockLockNoise, StepOfAWalkingMasterIsRecognisedWithinABeat) {
    // 128 to 140 BPM: 80 frames shorter per tick against a walk of 54 frames rms per tick. Two
    // beats after the step its new tempo is known to 1.3 BPM rms (the mean of 48 intervals).
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
        ClockLock lock;
        Noisy master(Noisy::Walk, 128, 0.10, seed);
        for (int i = 0; i < 1000; ++i) lock.Clock(master.next());
        ASSERT_EQ(lock.Current().steps, 0u) << "seed " << seed;
        master.setBpm(140);
        int recognisedAfter = -1;
        for (int i = 1; i <= 48; ++i) {
            lock.Clock(master.next());
            if (recognisedAfter < 0 && lock.Current().steps > 0) recognisedAfter = i;
        }
        EXPECT_GE(recognisedAfter, 3) << "seed " << seed;
        EXPECT_LE(recognisedAfter, 24) << "seed " << seed;
        EXPECT_NEAR(lock.Current().Bpm(), 140, 4) << "seed " << seed;
    }
}

TEST(ClockLockNoise, PhaseJumpOfACleanMasterIsNoStep) {
    // JACK's time line moved against its frames (an xrun): every stamp from here on is 2 ms
    // later. The tempo stays (within 0.002 BPM: the few ticks before the jump was recognised tilt
    // the line a little); the phase is taken within a few ticks.
    ClockLock lock;
    const double period = PeriodNs(128);
    for (int i = 0; i < 200; ++i) lock.Clock(static_cast<int64_t>(5e9 + i * period));
    for (int i = 200; i < 210; ++i) lock.Clock(static_cast<int64_t>(5e9 + i * period + 2e6));
    const ClockLock::Estimate e = lock.Current();
    EXPECT_EQ(e.steps, 0u);
    EXPECT_NEAR(e.Bpm(), 128, 0.002);
    EXPECT_NEAR(e.TimeOf(210), 5e9 + 210 * period + 2e6, 10'000);
}

TEST(ClockLockNoise, DroppedTicksOfAWalkingMasterKeepTheCount) {
    ClockLock lock;
    Noisy master(Noisy::Walk, 110, 0.05, 9);
    for (int i = 0; i <= 600; ++i) {  // the last one, 600, is heard
        const int64_t stamp = master.next();
        if (i % 11 == 5 || (i > 300 && i < 303)) continue;
        lock.Clock(stamp);
    }
    const ClockLock::Estimate e = lock.Current();
    ASSERT_TRUE(e.valid);
    EXPECT_EQ(e.lastIndex, 600);
    EXPECT_EQ(e.steps, 0u);
    EXPECT_NEAR(e.Bpm(), 110, 1.0);
}

// --- our ticks --------------------------------------------------------------------------------

namespace {

struct Played {
    std::vector<double> due;     // our ticks
    std::vector<double> master;  // the master's tick each of ours belongs to (same number)
};

// Plays the master and the clock thread together: before each master tick arrives, every tick of
// ours due by then is taken (as the clock thread would), then the master's tick reaches the lock.
Played Play(ClockLock& lock, Noisy& master, int ticks, double stepBpmAt = -1, double stepBpm = 0) {
    Played run;
    const int64_t first = master.next();
    lock.Clock(first);
    lock.BeginRun(first + 1000, false, first);
    std::vector<int64_t> stamps{first};
    int64_t k = 0;
    for (int i = 1; i < ticks; ++i) {
        if (i == stepBpmAt) master.setBpm(stepBpm);
        const int64_t stamp = master.next();
        stamps.push_back(stamp);
        for (int64_t due = lock.TickDueNs(k); due <= stamp; due = lock.TickDueNs(++k))
            run.due.push_back(static_cast<double>(due));
        lock.Clock(stamp);
    }
    // Our tick k is the master's tick k + offset: the first of ours is the master's second.
    for (size_t j = 0; j < run.due.size() && j + 1 < stamps.size(); ++j)
        run.master.push_back(static_cast<double>(stamps[j + 1]));
    run.due.resize(run.master.size());
    return run;
}

}  // namespace

TEST(ClockLockSmooth, OurIntervalsStayCleanWhateverTheMastersJitter) {
    // The master's intervals change by up to 3.9 ms from one to the next; ours by a fraction of
    // a frame (one frame at 48 kHz is 20.8 us).
    for (const Noisy::Kind kind : {Noisy::Grid, Noisy::Walk}) {
        ClockLock lock;
        Noisy master(kind, 128, 0.10, 11);
        const Played run = Play(lock, master, 3000);
        ASSERT_GT(run.due.size(), 2500u);
        std::vector<double> change;
        for (size_t i = 600; i + 2 < run.due.size(); ++i)
            change.push_back(
                std::fabs((run.due[i + 2] - run.due[i + 1]) - (run.due[i + 1] - run.due[i])));
        EXPECT_LE(Percentile(change, 0.99), kFrameNs) << "kind " << kind;
    }
}

TEST(ClockLockSmooth, OurBeatStaysWithTheMasters) {
    // Displaced stamps: the master's grid is known to a fraction of a millisecond, so ours sits
    // on it within half a millisecond. A walking phase: ours follows it over two beats, so the
    // distance wanders by milliseconds (the walk itself moves 8.7 ms rms in two beats) but never
    // runs away.
    {
        ClockLock lock;
        Noisy master(Noisy::Grid, 128, 0.10, 12);
        const Played run = Play(lock, master, 3000);
        ASSERT_GT(run.due.size(), 2500u);
        std::vector<double> offGrid;
        const double period = PeriodNs(128);
        for (size_t i = 600; i < run.due.size(); ++i) {
            const double ideal = 5e9 + static_cast<double>(i + 1) * period;
            offGrid.push_back(std::fabs(run.due[i] - ideal));
        }
        EXPECT_LT(Percentile(offGrid, 0.99), 500'000);
    }
    {
        ClockLock lock;
        Noisy master(Noisy::Walk, 128, 0.10, 13);
        const Played run = Play(lock, master, 3000);
        ASSERT_GT(run.due.size(), 2500u);
        std::vector<double> offset, distance;
        for (size_t i = 600; i < run.due.size(); ++i) {
            offset.push_back(run.due[i] - run.master[i]);
            distance.push_back(std::fabs(offset.back()));
        }
        EXPECT_LT(std::fabs(Percentile(offset, 0.5)), 3e6);
        EXPECT_LT(Percentile(distance, 0.99), 25e6);
    }
}

TEST(ClockLockSmooth, StepChangesOurTempoAtOnce) {
    ClockLock lock;
    Noisy master(Noisy::Grid, 128, 0, 14);
    const Played run = Play(lock, master, 400, 300, 140);
    ASSERT_GT(run.due.size(), 390u);
    // A few ticks after the step our intervals are the new tempo's, to the nanosecond.
    for (size_t i = 310; i + 1 < run.due.size(); ++i)
        ASSERT_NEAR(run.due[i + 1] - run.due[i], PeriodNs(140), 2) << "tick " << i;
    EXPECT_NEAR(run.due.back(), run.master.back(), 2);
}
