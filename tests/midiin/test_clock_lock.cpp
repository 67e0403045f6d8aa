// The lock onto an incoming clock, on synthetic time stamps: a master with jitter, drift, tempo
// steps and lost ticks, and the schedule our ticks take from it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <future>
#include <random>
#include <vector>

#include "midiin/clock_lock.h"
#include "tempo/bpm_timer.h"

namespace {

constexpr int64_t kStartNs = 5'000'000'000;

double PeriodNs(double bpm) {
    return 60e9 / (24.0 * bpm);
}

// A master clock: ideal tick times, each sent with a random error of up to jitter x period
// either way (as jack_midi_clock -J does), and the ideal times kept for comparison.
class Master {
  public:
    Master(double bpm, double jitter, unsigned seed = 7)
        : period_(PeriodNs(bpm)), jitter_(jitter), random_(seed) {}

    // The next tick's stamp as received; ideal() is where it belonged.
    int64_t next() {
        ideal_ = nextIdeal_;
        nextIdeal_ += period_;
        std::uniform_real_distribution<double> error(-jitter_, jitter_);
        return static_cast<int64_t>(std::llround(ideal_ + error(random_) * period_));
    }
    double ideal() const { return ideal_; }
    double nextIdeal() const { return nextIdeal_; }
    void setBpm(double bpm) { period_ = PeriodNs(bpm); }
    void skip(int ticks) { nextIdeal_ += ticks * period_; }

  private:
    double period_;
    double jitter_;
    std::mt19937 random_;
    double ideal_ = kStartNs;
    double nextIdeal_ = kStartNs;
};

void Feed(ClockLock& lock, Master& master, int ticks) {
    for (int i = 0; i < ticks; ++i) lock.Clock(master.next());
}

class FixedLatency : public TickLookahead {
  public:
    explicit FixedLatency(int64_t ns) : ns_(ns) {}
    int64_t TickLookaheadNs() const override { return ns_; }

  private:
    int64_t ns_;
};

}  // namespace

TEST(ClockLock, CleanClockGivesTempoAndPhaseAtOnce) {
    ClockLock lock;
    Master master(128, 0);
    Feed(lock, master, 3);
    const ClockLock::Estimate e = lock.Current();
    ASSERT_TRUE(e.valid);
    EXPECT_NEAR(e.Bpm(), 128, 1e-6);
    EXPECT_NEAR(e.TimeOf(e.lastIndex + 1), master.nextIdeal(), 2);
}

TEST(ClockLock, JitteredClockAveragesToTempoAndPhase) {
    // 10 % jitter either way (single stamps up to 2 ms off at 128 BPM): after 4 s the tempo is
    // within a few hundredths of a BPM and the next tick within half a millisecond; once the fit
    // holds its full window, within 0.01 BPM and a fifth of a millisecond. (Bounds at about
    // three standard deviations of a least-squares line through uniform jitter.)
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        ClockLock lock;
        Master master(128, 0.10, seed);
        Feed(lock, master, 205);
        ClockLock::Estimate e = lock.Current();
        ASSERT_TRUE(e.valid);
        EXPECT_NEAR(e.Bpm(), 128, 0.03) << "seed " << seed;
        EXPECT_NEAR(e.TimeOf(e.lastIndex + 1), master.nextIdeal(), 500'000) << "seed " << seed;
        Feed(lock, master, 400);
        e = lock.Current();
        EXPECT_EQ(e.fitTicks, ClockLock::kWindow);
        EXPECT_NEAR(e.Bpm(), 128, 0.01) << "seed " << seed;
        EXPECT_NEAR(e.TimeOf(e.lastIndex + 1), master.nextIdeal(), 200'000) << "seed " << seed;
        EXPECT_EQ(e.steps, 0u) << "jitter alone must never look like a new tempo";
    }
}

TEST(ClockLock, FollowsASlowDrift) {
    // A master that drifts: 120 to 121 BPM over a minute. The line's tempo is the one in the
    // middle of its window (four seconds back: 0.07 BPM less); the phase stays close.
    ClockLock lock;
    Master master(120, 0.02);
    const int ticks = 60 * 48;
    for (int i = 0; i < ticks; ++i) {
        master.setBpm(120 + static_cast<double>(i) / ticks);
        lock.Clock(master.next());
    }
    const ClockLock::Estimate e = lock.Current();
    ASSERT_TRUE(e.valid);
    EXPECT_NEAR(e.Bpm(), 121, 0.1);
    EXPECT_NEAR(e.TimeOf(e.lastIndex + 1), master.nextIdeal(), 1'000'000);
}

TEST(ClockLock, TempoStepIsTakenWithinTwoBeats) {
    for (double jitter : {0.0, 0.10}) {
        ClockLock lock;
        Master master(128, jitter);
        Feed(lock, master, 400);
        master.setBpm(140);
        Feed(lock, master, 48);
        const ClockLock::Estimate e = lock.Current();
        ASSERT_TRUE(e.valid);
        EXPECT_GE(e.steps, 1u) << "jitter " << jitter;
        EXPECT_NEAR(e.Bpm(), 140, jitter == 0 ? 0.001 : 0.3) << "jitter " << jitter;
        EXPECT_NEAR(e.TimeOf(e.lastIndex + 1), master.nextIdeal(), jitter == 0 ? 1000 : 500'000);
    }
}

TEST(ClockLock, CleanStepIsTakenWithinAFewTicks) {
    ClockLock lock;
    Master master(128, 0);
    Feed(lock, master, 100);
    master.setBpm(140);
    Feed(lock, master, 14);  // well within two beats
    EXPECT_NEAR(lock.Current().Bpm(), 140, 0.001);
}

TEST(ClockLock, DroppedTicksKeepTheCountAndTheTempo) {
    ClockLock lock;
    Master master(100, 0.05);
    int sent = 0;
    for (int i = 0; i < 300; ++i) {
        const int64_t stamp = master.next();
        if (i % 7 == 3 || (i > 100 && i < 104))
            continue;  // lost on the way, one and three in a row
        lock.Clock(stamp);
        ++sent;
    }
    const ClockLock::Estimate e = lock.Current();
    ASSERT_TRUE(e.valid);
    EXPECT_LT(sent, 300);
    EXPECT_EQ(e.lastIndex, 299) << "lost ticks still count";
    EXPECT_NEAR(e.Bpm(), 100, 0.01);
    EXPECT_EQ(e.steps, 0u);
}

TEST(ClockLock, LostAfterTwoBeatsOfSilence) {
    ClockLock lock;
    Master master(120, 0);
    Feed(lock, master, 50);
    const int64_t last = static_cast<int64_t>(master.ideal());
    const int64_t twoBeats = static_cast<int64_t>(48 * PeriodNs(120));
    EXPECT_TRUE(lock.Locked(last + twoBeats - 1'000'000));
    EXPECT_FALSE(lock.Lost(last + twoBeats - 1'000'000));
    EXPECT_TRUE(lock.Lost(last + twoBeats + 1'000'000));
    EXPECT_FALSE(lock.Locked(last + twoBeats + 1'000'000));
    ClockLock fresh;
    EXPECT_FALSE(fresh.Lost(last)) << "never locked is not lost";
}

TEST(ClockLock, ComingBackAfterSilenceKeepsTempoAndTakesTheNewPhase) {
    ClockLock lock;
    Master master(120, 0);
    Feed(lock, master, 100);
    master.skip(500);  // ten seconds away, then back a third of a tick later than the grid
    const int64_t shift = static_cast<int64_t>(PeriodNs(120) / 3);
    const int64_t back = static_cast<int64_t>(master.nextIdeal()) + shift;
    lock.Clock(back);
    const ClockLock::Estimate e = lock.Current();
    ASSERT_TRUE(e.valid);
    EXPECT_NEAR(e.Bpm(), 120, 1e-6) << "one tick says nothing about the tempo: the old one stays";
    EXPECT_NEAR(e.TimeOf(e.lastIndex), static_cast<double>(back), 2);
}

// --- the schedule our ticks take -------------------------------------------------------------

TEST(ClockLockSchedule, StartedByTheMasterBeginsOnItsNextTick) {
    ClockLock lock;
    FixedLatency latency(2'000'000);
    lock.SetLatency(&latency);
    Master master(120, 0);
    Feed(lock, master, 30);
    lock.Start();
    const int64_t now = static_cast<int64_t>(master.ideal()) + 1'000'000;
    lock.BeginRun(now, true, 0);
    // Due early by the output's latency, so that it reaches the receiver with the master's.
    EXPECT_NEAR(static_cast<double>(lock.TickDueNs(0)), master.nextIdeal() - 2e6, 2);
    EXPECT_NEAR(static_cast<double>(lock.TickDueNs(24) - lock.TickDueNs(0)), 24 * PeriodNs(120), 2);
    lock.Clock(master.next());
    EXPECT_EQ(lock.Current().songStart, lock.Current().lastIndex);
}

TEST(ClockLockSchedule, StartedHereJoinsTheMastersNextBeat) {
    ClockLock lock;
    Master master(120, 0);
    Feed(lock, master, 5);
    lock.Start();
    Feed(lock, master, 30);  // song tick 0 was the 6th; 29 ticks into the song now
    const ClockLock::Estimate e = lock.Current();
    lock.BeginRun(static_cast<int64_t>(master.ideal()) + 1000, true, 0);
    const double first = static_cast<double>(lock.TickDueNs(0));
    EXPECT_NEAR(first, e.TimeOf(e.songStart + 48), 2) << "the song's third beat is the next one";
}

TEST(ClockLockSchedule, TakingOverARunningClockNeverRepeatsATick) {
    ClockLock lock;
    Master master(120, 0);
    Feed(lock, master, 10);
    // Our own last tick went out a quarter tick before the master's latest.
    const int64_t ourLast = static_cast<int64_t>(master.ideal() - PeriodNs(120) / 4);
    lock.BeginRun(ourLast + 1000, false, ourLast);
    const int64_t due = lock.TickDueNs(0);
    EXPECT_GT(due, ourLast + static_cast<int64_t>(PeriodNs(120) / 2));
    EXPECT_NEAR(static_cast<double>(due), master.nextIdeal(), 2);
}

TEST(ClockLockSchedule, AfterSilenceWaitsForTheMastersFirstClock) {
    ClockLock lock;
    Master master(120, 0);
    Feed(lock, master, 50);
    master.skip(200);
    const int64_t now = static_cast<int64_t>(master.nextIdeal()) - 50'000'000;
    lock.Start();
    lock.BeginRun(now, true, 0);
    EXPECT_GT(lock.TickDueNs(0), now + 3'600'000'000LL) << "no time to tick at before it comes";
    EXPECT_EQ(lock.FirstTickAtOrAfter(now), 0);
    const int64_t first = master.next();
    lock.Clock(first);
    EXPECT_EQ(lock.TickDueNs(0), first);
    EXPECT_NEAR(static_cast<double>(lock.TickDueNs(1) - first), PeriodNs(120), 2);
}

TEST(ClockLockSchedule, LostInputRunsOnAtTheLastTempo) {
    ClockLock lock;
    Master master(126, 0.05);
    Feed(lock, master, 300);
    lock.BeginRun(static_cast<int64_t>(master.ideal()), false,
                  static_cast<int64_t>(master.ideal()));
    const double period = lock.Current().periodNs;
    // Well past the last clock: the ticks go on, evenly, at the tempo the lock had.
    for (int64_t k = 200; k < 203; ++k)
        EXPECT_NEAR(static_cast<double>(lock.TickDueNs(k + 1) - lock.TickDueNs(k)), period, 1);
    EXPECT_NEAR(60e9 / (24 * period), 126, 0.01);
    const int64_t later = lock.TickDueNs(0) + static_cast<int64_t>(500 * period);
    EXPECT_GE(lock.TickDueNs(lock.FirstTickAtOrAfter(later)), later);
    EXPECT_LT(lock.TickDueNs(lock.FirstTickAtOrAfter(later) - 1), later);
}

// Reaches into the lock to stop its writer between the two copies of an estimate, as an input
// thread preempted in the middle of publishing would be.
struct ClockLockPublishing {
    static void FirstCopyOfANewEstimate(ClockLock& lock, int64_t lastIndex) {
        lock.lastIndex_ = lastIndex;
        lock.publishFirstCopy();
    }
    static void SecondCopy(ClockLock& lock) { lock.publishSecondCopy(); }
};

TEST(ClockLock, AReaderNeverWaitsForAWriterStoppedHalfway) {
    ClockLock lock;
    Master master(128, 0);
    Feed(lock, master, 30);
    ASSERT_EQ(lock.Current().lastIndex, 29);
    ClockLockPublishing::FirstCopyOfANewEstimate(lock, 1234);
    // The clock thread reads meanwhile: the estimate before, whole, at once. (Before, a reader
    // spun until the writer finished. The bound only keeps a regression from hanging.)
    auto read = std::async(std::launch::async, [&] { return lock.Current(); });
    const bool ready = read.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    ClockLockPublishing::SecondCopy(lock);
    ASSERT_TRUE(ready);
    EXPECT_EQ(read.get().lastIndex, 29);
    EXPECT_EQ(lock.Current().lastIndex, 1234);
}
