#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/deadline_thread.h"
#include "support/bounded_wait.h"
#include "tempo/bpm_timer.h"

namespace {

// Drives a manual timer the way a 1 ms polling platform timer would, and records when ticks
// were raised (in whole ms after enabling) and which due time each carried.
struct PolledTimer {
    ManualClock clock;
    TBPMTimer timer{clock, TBPMTimer::Drive::Manual};
    int64_t enabledAt = 0;
    std::vector<int> tickMs;
    std::vector<int64_t> tickTimes;

    PolledTimer() {
        timer.SetOnTimer([this](TBPMTimer& sender, uint8_t tick) {
            EXPECT_EQ(tick, 0);
            tickMs.push_back(static_cast<int>((clock.nowNs() - enabledAt) / 1'000'000));
            tickTimes.push_back(sender.TickTimeNs());
        });
    }
    void enable() {
        enabledAt = clock.nowNs();
        timer.SetEnabled(true);
    }
    void runMs(int ms) {
        for (int i = 0; i < ms; ++i) {
            clock.advanceMs(1);
            timer.Poll();
        }
    }
};

}  // namespace

TEST(BPMTimer, TicksAtTheFirstCheckOnOrAfterEachDueTime) {
    PolledTimer t;
    EXPECT_NEAR(static_cast<double>(t.timer.Period()), 20.8333333, 1e-6);
    t.enable();
    t.timer.Poll();  // the first tick comes at once
    t.runMs(100);
    EXPECT_EQ(t.tickMs, (std::vector<int>{0, 21, 42, 63, 84}));
    // Each tick carries its exact due time, not the time of the check that found it.
    for (size_t i = 0; i < t.tickTimes.size(); ++i)
        EXPECT_NEAR(static_cast<double>(t.tickTimes[i] - t.enabledAt), i * 20833333.333, 1.0);
}

TEST(BPMTimer, LongRunRateComesFromTheScheduleNotFromCheckCount) {
    PolledTimer t;
    t.timer.SetTempo(2500000);  // 1 ms per tick
    t.enable();
    // Checks arrive irregularly, some late, none more than a period late.
    for (int i = 0; i < 10000; ++i) {
        t.clock.advanceUs(i % 3 == 0 ? 300 : 200);
        t.timer.Poll();
    }
    const double elapsedMs = (t.clock.nowNs() - t.enabledAt) / 1e6;
    EXPECT_EQ(t.tickMs.size(), static_cast<size_t>(std::floor(elapsedMs)) + 1);
}

TEST(BPMTimer, AStallDropsMissedTicksAndRestartsOnePeriodLater) {
    PolledTimer t;
    t.enable();
    t.timer.Poll();
    t.clock.advanceMs(100);  // nearly five periods without a check
    EXPECT_TRUE(t.timer.Poll());
    EXPECT_FALSE(t.timer.Poll());
    ASSERT_FALSE(t.tickTimes.empty());
    EXPECT_EQ(t.tickTimes.back(), t.clock.nowNs());  // a dropped schedule restarts from now
    t.runMs(20);
    EXPECT_EQ(t.tickMs.size(), 2u);
    t.runMs(1);
    EXPECT_EQ(t.tickMs, (std::vector<int>{0, 100, 121}));
}

TEST(BPMTimer, ABigSpeedUpMakesATickDueAtOnceAndASlowDownKeepsTheDueTime) {
    PolledTimer t;
    t.timer.SetTempo(20000);  // 125 ms
    t.enable();
    t.timer.Poll();
    t.runMs(62);
    EXPECT_EQ(t.tickMs.size(), 1u);
    t.timer.SetTempo(240000);  // 10.4167 ms
    t.runMs(1);
    EXPECT_EQ(t.tickMs, (std::vector<int>{0, 63}));

    PolledTimer slow;
    slow.enable();
    slow.timer.Poll();
    slow.runMs(10);
    slow.timer.SetTempo(60000);  // 41.67 ms: the pending tick at 20.83 ms stays
    slow.runMs(12);
    EXPECT_EQ(slow.tickMs, (std::vector<int>{0, 21}));
}

TEST(BPMTimer, EnablingAgainDoesNotRestartTheSchedule) {
    PolledTimer t;
    t.enable();
    t.timer.Poll();
    t.runMs(10);
    t.timer.SetEnabled(true);
    t.runMs(11);
    EXPECT_EQ(t.tickMs, (std::vector<int>{0, 21}));

    t.timer.SetEnabled(false);
    t.runMs(30);
    EXPECT_EQ(t.tickMs.size(), 2u);  // disabled: no ticks at all
    t.enable();
    EXPECT_TRUE(t.timer.Poll());  // enabling anew: a tick at once
}

TEST(BPMTimer, RoundToTickGivesWholeMillisecondPeriods) {
    ManualClock clock;
    TBPMTimer timer(clock, TBPMTimer::Drive::Manual);
    timer.RoundUpToTick();
    EXPECT_EQ(timer.Period(), 19.0L);
    EXPECT_EQ(timer.Tempo(), 131578u);

    timer.SetTempo(120000);
    timer.RoundDownToTick();
    EXPECT_EQ(timer.Period(), 21.0L);
    EXPECT_EQ(timer.Tempo(), 119047u);

    timer.SetTempo(125000);  // exactly 20 ms
    timer.RoundUpToTick();
    EXPECT_EQ(timer.Period(), 19.0L);
    timer.SetTempo(125000);
    timer.RoundDownToTick();
    EXPECT_EQ(timer.Period(), 21.0L);

    timer.SetTempo(1500000);  // 1.67 ms: cannot get faster than 1 ms
    timer.RoundUpToTick();
    EXPECT_EQ(timer.Period(), 1.0L);
    EXPECT_EQ(timer.Tempo(), 2500000u);
    timer.RoundUpToTick();
    EXPECT_EQ(timer.Period(), 1.0L);
}

TEST(BPMTimer, RoundDownFromTheSlowestTempoKeepsAFinitePeriod) {
    ManualClock clock;
    TBPMTimer timer(clock, TBPMTimer::Drive::Manual);
    timer.SetTempo(1);
    timer.RoundDownToTick();
    EXPECT_EQ(timer.Tempo(), 0u);
    EXPECT_TRUE(std::isfinite(static_cast<double>(timer.Period())));
    timer.SetEnabled(true);
    EXPECT_TRUE(timer.Poll());
    EXPECT_LT(timer.NextDueNs(), DeadlineThread::kNoDeadline);
}

TEST(BPMTimer, ThreadRaisesTicksOnTheScheduleAndNoneAfterDisable) {
    TBPMTimer timer;  // the real clock thread
    timer.SetTempo(2500000);
    std::atomic<int> ticks{0};
    std::vector<int64_t> times;
    std::atomic<bool> onClockThread{true};
    const auto caller = std::this_thread::get_id();
    timer.SetOnTimer([&](TBPMTimer& sender, uint8_t) {
        if (std::this_thread::get_id() == caller) onClockThread = false;
        times.push_back(sender.TickTimeNs());
        ticks.fetch_add(1);
    });
    timer.SetEnabled(true);
    EXPECT_TRUE(testwait::Until([&] { return ticks.load() >= 50; })) << "the clock thread stalled";
    timer.SetEnabled(false);
    const int atDisable = ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ticks.load(), atDisable);
    EXPECT_TRUE(onClockThread);
    // Scheduled times advance by whole periods, however late the thread woke.
    for (size_t i = 1; i < times.size(); ++i) {
        const int64_t delta = times[i] - times[i - 1];
        EXPECT_GE(delta, 999'999);
        if (delta < 1'500'000) {
            EXPECT_NEAR(static_cast<double>(delta), 1e6, 1.0);
        }
    }
}

TEST(BPMTimer, DisablingFromInsideTheTickDoesNotDeadlock) {
    TBPMTimer timer;
    std::atomic<int> ticks{0};
    timer.SetOnTimer([&](TBPMTimer& sender, uint8_t) {
        ticks.fetch_add(1);
        sender.SetEnabled(false);
    });
    timer.SetEnabled(true);
    for (int i = 0; i < 2000 && ticks.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ticks.load(), 1);
    EXPECT_FALSE(timer.Enabled());
}

// --- Threads: the clock never waits for a setter; a setter that must, waits for the clock ---

TEST(BPMTimerThreads, ChecksNeverWaitForASetterStuckHoldingItsLock) {
    PolledTimer t;
    t.enable();
    // The test holds the setters' lock the way a UI thread preempted inside SetTempo would,
    // and polls from a thread of its own as the clock thread does.
    std::unique_lock stuck(t.timer.settersMutex());
    auto polled = std::async(std::launch::async, [&] {
        long double periods = 0;
        for (int i = 0; i < 100; ++i) {
            t.clock.advanceMs(1);
            t.timer.Poll();
            (void)t.timer.NextDueNs();
            periods += t.timer.Period();
            (void)(t.timer.Tempo() + t.timer.Enabled() + t.timer.HasSchedule());
        }
        return periods;
    });
    // Before, every check took a lock the setters hold. (The bound only keeps a regression
    // from hanging the suite.)
    const bool ready = polled.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    stuck.unlock();
    ASSERT_TRUE(ready);
    EXPECT_NEAR(static_cast<double>(polled.get()), 100 * 20.8333333, 1e-3);
    EXPECT_EQ(t.tickMs, (std::vector<int>{1, 21, 42, 63, 84}));
}

TEST(BPMTimerThreads, TheClockThreadTicksOnWhileASetterHoldsItsLock) {
    TBPMTimer timer;  // the real clock thread
    timer.SetTempo(2500000);
    std::atomic<int> ticks{0};
    timer.SetOnTimer([&](TBPMTimer&, uint8_t) { ticks.fetch_add(1); });
    timer.SetEnabled(true);
    {
        std::unique_lock stuck(timer.settersMutex());
        const int from = ticks.load();
        for (int i = 0; i < 10000 && ticks.load() < from + 20; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_GE(ticks.load(), from + 20);
    }
    timer.SetEnabled(false);
}

TEST(BPMTimerThreads, DisablingWaitsForATickInFlightAndNoTickFollows) {
    TBPMTimer timer;  // the real clock thread
    std::atomic<int> ticks{0};
    std::atomic<bool> inTick{false};
    std::atomic<bool> release{false};
    std::atomic<bool> returned{false};
    std::atomic<bool> returnedDuringTick{false};
    std::atomic<int> ticksAfterReturn{0};
    timer.SetOnTimer([&](TBPMTimer&, uint8_t) {
        if (ticks.fetch_add(1) != 0) {
            if (returned) ticksAfterReturn.fetch_add(1);
            return;
        }
        inTick = true;
        while (!release) {
            if (returned) returnedDuringTick = true;
            std::this_thread::yield();
        }
        if (returned) returnedDuringTick = true;
    });
    timer.SetEnabled(true);
    for (int i = 0; i < 10000 && !inTick; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(inTick);
    auto disabling = std::async(std::launch::async, [&] {
        timer.SetEnabled(false);
        returned = true;
    });
    for (int i = 0; i < 10000 && timer.Enabled(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Time for a disable that does not wait to come back while the tick still runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release = true;
    disabling.get();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(returnedDuringTick);
    EXPECT_EQ(ticksAfterReturn.load(), 0);
}

TEST(BPMTimerThreads, AReplacedHandlerIsNeverRaisedOnceTheReplacementHasReturned) {
    TBPMTimer timer;
    timer.SetTempo(2500000);
    std::atomic<int> old{0};
    std::atomic<bool> oldInFlight{false};
    std::atomic<int> fresh{0};
    timer.SetOnTimer([&](TBPMTimer&, uint8_t) {
        // A slow handler, replaced while it runs; it counts last.
        oldInFlight = true;
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
        while (std::chrono::steady_clock::now() < until) {
        }
        old.fetch_add(1);
        oldInFlight = false;
    });
    timer.SetEnabled(true);
    for (int i = 0; i < 10000 && old.load() < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    while (!oldInFlight) {
    }
    timer.SetOnTimer([&](TBPMTimer&, uint8_t) { fresh.fetch_add(1); });
    const int oldAtReturn = old.load();
    for (int i = 0; i < 10000 && fresh.load() < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    timer.SetEnabled(false);
    EXPECT_GE(fresh.load(), 5);
    EXPECT_EQ(old.load(), oldAtReturn);
}

TEST(BPMTimerThreads, ASpeedUpWakesTheSleepingClockThread) {
    TBPMTimer timer;
    timer.SetTempo(1);  // a tick every 41 minutes
    std::atomic<int> ticks{0};
    timer.SetOnTimer([&](TBPMTimer&, uint8_t) { ticks.fetch_add(1); });
    timer.SetEnabled(true);
    for (int i = 0; i < 10000 && ticks.load() < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(ticks.load(), 1);
    // The thread sleeps towards the next tick; a slow-down leaves that due time, a speed-up
    // brings it to now, and the thread must hear of it.
    timer.SetTempo(1);
    timer.SetTempo(2);
    timer.SetTempo(2500000);
    for (int i = 0; i < 10000 && ticks.load() < 10; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    timer.SetEnabled(false);
    EXPECT_GE(ticks.load(), 10);
}

TEST(BPMTimerThreads, TempoChangesRacingTheChecksNeverTurnTickTimesBackAndTheLastOneRules) {
    ManualClock clock;
    TBPMTimer timer(clock, TBPMTimer::Drive::Manual);
    std::vector<int64_t> times;
    std::vector<int64_t> checkedAt;
    timer.SetOnTimer([&](TBPMTimer& sender, uint8_t) {
        times.push_back(sender.TickTimeNs());
        checkedAt.push_back(clock.nowNs());
    });
    timer.SetEnabled(true);
    std::atomic<bool> done{false};
    std::atomic<int> oddPeriods{0};
    std::atomic<int> polls{0};
    std::thread poller([&] {
        while (!done.load()) {
            clock.advanceUs(100);
            timer.Poll();
            polls.fetch_add(1);
            // Every period read is one that was set, never half of one and half of another.
            const long double p = timer.Period();
            if (p != 2'500'000.0L / 120000 && p != 2'500'000.0L / 30000 && p != 1.0L &&
                p != 2'500'000.0L / 30001 && p != 20.0L)
                oddPeriods.fetch_add(1);
        }
    });
    // Big speed-ups (30 to 2500 BPM) bring the next tick to the moment of the change.
    for (int i = 0; polls.load() < 20000; ++i)
        timer.SetTempo(i % 3 == 0 ? 30000 : i % 3 == 1 ? 2500000 : 30001);
    timer.SetTempo(125000);  // 20 ms
    done = true;
    poller.join();
    EXPECT_EQ(oddPeriods.load(), 0);
    ASSERT_GT(times.size(), 10u);
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_LE(times[i], checkedAt[i]) << "a tick is never raised before its time";
        if (i > 0) {
            EXPECT_GE(times[i], times[i - 1]) << "tick " << i << " went back";
        }
    }
    // From here on, the last tempo set: ticks 20 ms apart.
    times.clear();
    for (int i = 0; i < 100; ++i) {
        clock.advanceMs(1);
        timer.Poll();
    }
    ASSERT_GE(times.size(), 4u);
    for (size_t i = 2; i < times.size(); ++i) EXPECT_EQ(times[i] - times[i - 1], 20'000'000);
}
