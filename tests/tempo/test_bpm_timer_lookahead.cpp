// The stall rule against an output's lookahead: a tick raised late but within what the output
// can still place keeps its own scheduled time instead of being dropped.
#include <gtest/gtest.h>

#include <vector>

#include "tempo/bpm_timer.h"

namespace {

// A poll loop ends by itself; a timer that raised tick after tick for ever would hang it.
constexpr int kMostRaisedAtOnce = 100'000;

constexpr int64_t kMs = 1'000'000;

struct FixedLookahead : TickLookahead {
    int64_t ns = 0;
    int64_t TickLookaheadNs() const override { return ns; }
};

struct LateTimer {
    ManualClock clock;
    TBPMTimer timer{clock, TBPMTimer::Drive::Manual};
    FixedLookahead lookahead;
    int64_t enabledAt = 0;
    std::vector<int64_t> tickTimes;  // after enabling

    explicit LateTimer(uint32_t milliBpm, int64_t lookaheadNs) {
        lookahead.ns = lookaheadNs;
        timer.SetLookahead(&lookahead);
        timer.SetTempo(milliBpm);
        timer.SetOnTimer([this](TBPMTimer& sender, uint8_t) {
            tickTimes.push_back(sender.TickTimeNs() - enabledAt);
        });
        enabledAt = clock.nowNs();
        timer.SetEnabled(true);
        timer.Poll();  // the first tick, at 0
    }
    // Polls until nothing more is due, as the clock thread does after a late wake-up.
    void pollAll() {
        for (int raised = 0; timer.Poll(); ++raised) {
            ASSERT_LT(raised, kMostRaisedAtOnce) << "ticks without end";
        }
    }
};

}  // namespace

TEST(BPMTimerLookahead, TicksLateWithinTheLookaheadKeepTheirOwnTimes) {
    LateTimer t(2500000, 6 * kMs);  // 1 ms a tick; the output places up to 6 ms late
    t.clock.advanceUs(3500);        // the clock thread wakes 2.5 ms after tick 1 was due
    t.pollAll();
    EXPECT_EQ(t.tickTimes, (std::vector<int64_t>{0, 1 * kMs, 2 * kMs, 3 * kMs}));
    t.clock.advanceUs(500);
    t.pollAll();
    ASSERT_EQ(t.tickTimes.size(), 5u);
    EXPECT_EQ(t.tickTimes.back(), 4 * kMs);  // the schedule goes on where it was
}

TEST(BPMTimerLookahead, LaterThanTheLookaheadOrWithoutOneIsAStall) {
    for (const int64_t lookahead : {int64_t{0}, 2 * kMs}) {
        LateTimer t(2500000, lookahead);
        t.clock.advanceUs(4500);  // tick 1 is 3.5 ms late
        t.pollAll();
        // One tick, at the moment of the check; the missed ones are dropped.
        EXPECT_EQ(t.tickTimes, (std::vector<int64_t>{0, 4500 * 1000})) << lookahead;
        t.clock.advanceUs(1000);
        t.pollAll();
        ASSERT_EQ(t.tickTimes.size(), 3u);
        EXPECT_EQ(t.tickTimes.back(), 5500 * 1000) << lookahead;
    }
}

TEST(BPMTimerLookahead, AShortLookaheadNeverShortensTheOnePeriodRule) {
    LateTimer t(120000, 1 * kMs);  // 20.83 ms a tick
    t.clock.advanceMs(36);         // tick 1 is 15 ms late: less than a period
    t.pollAll();
    ASSERT_EQ(t.tickTimes.size(), 2u);
    EXPECT_NEAR(static_cast<double>(t.tickTimes[1]), 20833333.3, 1.0);
}

namespace {
struct LimitedLookahead : FixedLookahead {
    int64_t limit = 0;
    int64_t LateTickLimitNs() const override { return limit; }
};
}  // namespace

TEST(BPMTimerLookahead, TicksLaterThanTheLookaheadButWithinTheLimitAreAllSentInOrder) {
    ManualClock clock;
    TBPMTimer timer{clock, TBPMTimer::Drive::Manual};
    LimitedLookahead source;
    source.ns = 8 * kMs;
    source.limit = 250 * kMs;
    timer.SetLookahead(&source);
    timer.SetTempo(2500000);  // 1 ms a tick
    std::vector<int64_t> times;
    const int64_t start = clock.nowNs();
    timer.SetOnTimer(
        [&](TBPMTimer& sender, uint8_t) { times.push_back(sender.TickTimeNs() - start); });
    timer.SetEnabled(true);
    timer.Poll();
    clock.advanceUs(40500);  // held up 40 ms: far past the lookahead
    for (int raised = 0; timer.Poll(); ++raised) {
        ASSERT_LT(raised, kMostRaisedAtOnce) << "ticks without end";
    }
    ASSERT_EQ(times.size(), 41u);  // ticks 0..40, none dropped
    for (size_t k = 0; k < times.size(); ++k) EXPECT_EQ(times[k], static_cast<int64_t>(k) * kMs);
    EXPECT_EQ(timer.DroppedTicks(), 0);

    clock.advanceMs(300);  // past the limit: a stall after all
    for (int raised = 0; timer.Poll(); ++raised) {
        ASSERT_LT(raised, kMostRaisedAtOnce) << "ticks without end";
    }
    EXPECT_EQ(times.size(), 42u);
    EXPECT_GT(timer.DroppedTicks(), 290);
}
