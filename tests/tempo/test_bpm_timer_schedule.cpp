// The BPM timer following an outside schedule (a network session's beat grid, a locked input
// clock), and going back to its own period without a jump.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "platform/transport_source.h"
#include "tempo/bpm_timer.h"
#include "tempo/tick_schedule.h"
#include "tempo/transport_follow.h"

namespace {

// A poll loop ends by itself; a timer that raised tick after tick for ever would hang it.
constexpr int kMostRaisedAtOnce = 100'000;

constexpr int64_t kMs = 1'000'000;

// Ticks every periodNs from firstNs; records how it was begun.
struct GridSchedule : TickSchedule {
    int64_t firstNs = 0;
    int64_t periodNs = 10 * kMs;
    int begins = 0;
    bool lastNewRun = false;
    int64_t lastBeginNs = 0;
    int64_t lastTickSeen = 0;
    void BeginRun(int64_t nowNs, bool newRun, int64_t lastTickNs) override {
        ++begins;
        lastNewRun = newRun;
        lastBeginNs = nowNs;
        lastTickSeen = lastTickNs;
        if (!newRun) firstNs = lastTickNs + periodNs / 2;  // the grid's next point after it
    }
    int64_t TickDueNs(int64_t k) override { return firstNs + k * periodNs; }
    int64_t FirstTickAtOrAfter(int64_t nowNs) override {
        return (nowNs - firstNs + periodNs - 1) / periodNs;
    }
};

struct FixedLookahead : TickLookahead {
    int64_t ns = 0;
    int64_t limit = 0;  // the late-tick limit of scheduling outputs, where set
    int64_t TickLookaheadNs() const override { return ns; }
    int64_t LateTickLimitNs() const override { return std::max(ns, limit); }
};

struct Rig {
    ManualClock clock;
    TBPMTimer timer{clock, TBPMTimer::Drive::Manual};
    GridSchedule grid;
    std::vector<int64_t> ticks;
    Rig() {
        timer.SetTempo(125000);  // 20 ms a tick of its own
        timer.SetOnTimer([this](TBPMTimer& t, uint8_t) { ticks.push_back(t.TickTimeNs()); });
    }
    void runTo(int64_t ns) {
        while (clock.nowNs() < ns) {
            const int64_t next = std::min(ns, std::max(timer.NextDueNs(), clock.nowNs() + 1));
            clock.setNs(next);
            for (int raised = 0; timer.Poll(); ++raised) {
                ASSERT_LT(raised, kMostRaisedAtOnce) << "ticks without end";
            }
        }
    }
};

}  // namespace

TEST(BPMTimerSchedule, TicksComeWhenTheScheduleSaysAndCarryItsTimes) {
    Rig r;
    const int64_t t0 = r.clock.nowNs();
    r.grid.firstNs = t0 + 35 * kMs;  // the next bar line, say
    r.timer.SetSchedule(&r.grid);
    r.timer.SetEnabled(true);
    r.runTo(t0 + 80 * kMs);
    EXPECT_EQ(r.grid.begins, 1);
    EXPECT_TRUE(r.grid.lastNewRun);
    ASSERT_EQ(r.ticks.size(), 5u);
    for (size_t i = 0; i < r.ticks.size(); ++i)
        EXPECT_EQ(r.ticks[i], t0 + 35 * kMs + static_cast<int64_t>(i) * 10 * kMs);
    EXPECT_EQ(r.timer.NextDueNs(), t0 + 85 * kMs);
}

TEST(BPMTimerSchedule, LateChecksKeepTheGridAndAStallSkipsAhead) {
    Rig r;
    FixedLookahead lookahead;
    lookahead.ns = 5 * kMs;
    // A due time long past may mean the schedule moved: no burst of late ticks, whatever the
    // outputs' late-tick limit.
    lookahead.limit = 250 * kMs;
    r.timer.SetLookahead(&lookahead);
    r.timer.SetTempo(500000);  // 5 ms own period, so the allowance is the lookahead's 5 ms
    const int64_t t0 = r.clock.nowNs();
    r.grid.firstNs = t0;
    r.timer.SetSchedule(&r.grid);
    r.timer.SetEnabled(true);
    r.clock.setNs(t0 + 3 * kMs);  // 3 ms late: still placed, with its own time
    EXPECT_TRUE(r.timer.Poll());
    EXPECT_EQ(r.ticks.back(), t0);
    r.clock.setNs(t0 + 47 * kMs);  // ticks 1-3 missed, tick 4 (40 ms) 7 ms late: a stall
    for (int raised = 0; r.timer.Poll(); ++raised) {
        ASSERT_LT(raised, kMostRaisedAtOnce) << "ticks without end";
    }
    EXPECT_EQ(r.ticks.size(), 1u) << "nothing that can no longer be placed goes out";
    EXPECT_EQ(r.timer.NextDueNs(), t0 + 50 * kMs) << "the grid stays";
    EXPECT_EQ(r.timer.TakeSkippedTicks(), 4)
        << "ticks 1 to 4 dropped: the tick count goes on by them";
    EXPECT_EQ(r.timer.TakeSkippedTicks(), 0);
    r.runTo(t0 + 61 * kMs);
    ASSERT_EQ(r.ticks.size(), 3u);
    EXPECT_EQ(r.ticks[1], t0 + 50 * kMs);
    EXPECT_EQ(r.ticks[2], t0 + 60 * kMs);
}

TEST(BPMTimerSchedule, TakingOverARunningClockTellsTheLastTick) {
    Rig r;
    const int64_t t0 = r.clock.nowNs();
    r.timer.SetEnabled(true);
    r.runTo(t0 + 45 * kMs);  // own ticks at 0, 20, 40 ms
    ASSERT_EQ(r.ticks.size(), 3u);
    r.timer.SetSchedule(&r.grid);
    r.runTo(t0 + 80 * kMs);
    EXPECT_EQ(r.grid.begins, 1);
    EXPECT_FALSE(r.grid.lastNewRun);
    EXPECT_EQ(r.grid.lastTickSeen, t0 + 40 * kMs);
    ASSERT_GE(r.ticks.size(), 5u);
    EXPECT_EQ(r.ticks[3], t0 + 45 * kMs);
    EXPECT_EQ(r.ticks[4], t0 + 55 * kMs);
}

TEST(BPMTimerSchedule, LeavingGoesOnAtTheOwnPeriodFromTheLastTick) {
    Rig r;
    const int64_t t0 = r.clock.nowNs();
    r.grid.firstNs = t0 + 3 * kMs;
    r.grid.periodNs = 20 * kMs;  // the schedule ran at the same tempo, on another phase
    r.timer.SetSchedule(&r.grid);
    r.timer.SetEnabled(true);
    r.runTo(t0 + 50 * kMs);  // scheduled ticks at 3, 23, 43
    ASSERT_EQ(r.ticks.size(), 3u);
    r.timer.SetSchedule(nullptr);
    r.runTo(t0 + 110 * kMs);
    ASSERT_EQ(r.ticks.size(), 6u);
    // No jump: the phase of the schedule goes on at the own period.
    EXPECT_EQ(r.ticks[3], t0 + 63 * kMs);
    EXPECT_EQ(r.ticks[4], t0 + 83 * kMs);
    EXPECT_EQ(r.ticks[5], t0 + 103 * kMs);
    EXPECT_EQ(r.grid.begins, 1);
}

TEST(BPMTimerSchedule, EveryStartBeginsANewRun) {
    Rig r;
    const int64_t t0 = r.clock.nowNs();
    r.grid.firstNs = t0;
    r.timer.SetSchedule(&r.grid);
    r.timer.SetEnabled(true);
    r.runTo(t0 + 25 * kMs);
    r.timer.SetEnabled(false);
    r.runTo(t0 + 40 * kMs);
    const size_t before = r.ticks.size();
    r.grid.firstNs = t0 + 100 * kMs;
    r.timer.SetEnabled(true);
    EXPECT_TRUE(r.timer.HasSchedule());
    r.runTo(t0 + 105 * kMs);
    EXPECT_EQ(r.grid.begins, 2);
    EXPECT_TRUE(r.grid.lastNewRun);
    ASSERT_EQ(r.ticks.size(), before + 1);
    EXPECT_EQ(r.ticks.back(), t0 + 100 * kMs);
}

// A schedule that takes its time over each answer (so that a check is mostly in flight), and
// counts every question asked after its owner said it had gone.
struct SlowGrid : TickSchedule {
    std::atomic<bool> gone{false};
    std::atomic<int> askedWhenGone{0};
    std::atomic<int> asked{0};
    std::atomic<int64_t> firstNs{0};
    static constexpr int64_t kPeriodNs = 10 * kMs;
    void ask() {
        if (gone.load()) askedWhenGone.fetch_add(1);
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
        while (std::chrono::steady_clock::now() < until) {
        }
        if (gone.load()) askedWhenGone.fetch_add(1);
        asked.fetch_add(1);
    }
    void BeginRun(int64_t nowNs, bool, int64_t) override {
        ask();
        firstNs = nowNs;
    }
    int64_t TickDueNs(int64_t k) override {
        ask();
        return firstNs + k * kPeriodNs;
    }
    int64_t FirstTickAtOrAfter(int64_t nowNs) override {
        ask();
        return (nowNs - firstNs + kPeriodNs - 1) / kPeriodNs;
    }
    bool GridChanged() override {
        ask();
        return false;
    }
};

TEST(BPMTimerSchedule, SetAndClearedFromAnotherThreadWhileTickingTheOldOneIsNeverAskedAgain) {
    ManualClock clock;
    TBPMTimer timer(clock, TBPMTimer::Drive::Manual);
    SlowGrid grid;
    std::vector<int64_t> ticks;
    timer.SetOnTimer([&](TBPMTimer& t, uint8_t) { ticks.push_back(t.TickTimeNs()); });
    timer.SetEnabled(true);
    std::atomic<bool> done{false};
    std::thread clockThread([&] {  // as the clock thread does, on a clock of the test's
        while (!done.load()) {
            clock.advanceUs(500);
            while (timer.Poll()) {
            }
        }
    });
    for (int round = 0; round < 200; ++round) {
        grid.gone = false;
        const int before = grid.asked.load();
        timer.SetSchedule(&grid);
        while (grid.asked.load() < before + 3) {  // the clock thread is using it
        }
        timer.SetSchedule(nullptr);
        grid.gone = true;  // from here on, asking it would be a fault
        const int64_t leftAt = clock.nowNs();
        while (clock.nowNs() < leftAt + 2 * kMs) {  // a few checks on the own period
        }
    }
    done = true;
    clockThread.join();
    EXPECT_EQ(grid.askedWhenGone.load(), 0);
    EXPECT_FALSE(timer.HasSchedule());
    ASSERT_GT(ticks.size(), 100u);
    // Leaving and taking over again and again never made a tick time go back.
    for (size_t i = 1; i < ticks.size(); ++i) {
        EXPECT_GE(ticks[i], ticks[i - 1]) << "tick " << i;
    }
}

// A transport that rolled on a bar line at frame 0 (at kRolledNs on our clock), 48 kHz, its
// start reaching the clock some time later.
class FixedTransport final : public TransportSource {
  public:
    static constexpr int64_t kRolledNs = 1'000'000'000;
    explicit FixedTransport(double bpm) {
        view_.rolling = true;
        view_.hasGrid = true;
        view_.bpm = bpm;
        view_.framesPerBeat = 48000.0 * 60 / bpm;
        view_.rollSerial = 1;
        view_.cycleStartNs = kRolledNs;
        view_.nsPerFrame = 1e9 / 48000;
    }
    TransportView View() const override { return view_; }
    void SetListener(TransportListener*) override {}
    bool Lead(const BeatClock*) override { return false; }
    bool Leading() const override { return false; }
    void Roll(bool) override {}
    void SetTicksOnGrid(bool) override {}

  private:
    TransportView view_;
};

struct OutputLatency final : TickLookahead {
    int64_t TickLookaheadNs() const override { return 7'833'333; }
};

TEST(TransportFollowStart, AStartHeardLateBeginsOnItsBarWithNoTickDueBeforeIt) {
    const OutputLatency latency;
    // Grid due time of tick k: its frame's time, handed over a latency earlier.
    const auto gridDue = [&](double bpm, int64_t k) {
        return FixedTransport::kRolledNs + static_cast<int64_t>(std::llround(k * 60e9 / bpm / 24)) -
               latency.TickLookaheadNs();
    };
    struct Case {
        double bpm;
        int64_t heardAfterNs;
        bool atOnce;
    } cases[] = {
        {120, 2 * kMs, true},   // the usual few milliseconds
        {120, 12 * kMs, true},  // still within the first tick
        {300, 8 * kMs, true},   // past the first tick's hand-over at a fast tempo, in time
        {174, 9 * kMs, true},   {120, 40 * kMs, false},  // far too late for the bar: the next one
        {300, 25 * kMs, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.bpm << " BPM, heard " << c.heardAfterNs / kMs << " ms late");
        FixedTransport transport(c.bpm);
        TransportFollow follow(transport, &latency);
        const int64_t now = FixedTransport::kRolledNs + c.heardAfterNs;
        follow.BeginRun(now, true, 0);
        if (!c.atOnce) {
            // The next bar line, four beats on, on the grid.
            EXPECT_EQ(follow.TickDueNs(0), gridDue(c.bpm, 96));
            continue;
        }
        // The first tick at once (never due earlier than a tick handed over now, or the stall
        // rule would drop it and the receiver's count would begin a tick late); every tick
        // after it that is due by now with it, and the rest on the grid.
        const int64_t handedNow = now - latency.TickLookaheadNs();
        EXPECT_EQ(follow.TickDueNs(0), handedNow);
        for (int64_t k = 1; k < 48; ++k) {
            EXPECT_EQ(follow.TickDueNs(k), std::max(handedNow, gridDue(c.bpm, k))) << "tick " << k;
        }
        EXPECT_EQ(follow.FirstTickInBar().tick, 0);
    }
}
