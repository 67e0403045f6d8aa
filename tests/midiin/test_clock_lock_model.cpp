// Locking onto another master's clock, the whole program under the model clock: a master's
// ticks and transport at known times reach the input port as the JACK input delivers them, and
// the clock thread raises our ticks at their due times. The figures are those the JACK tests
// (jack_test_clock_lock.cpp) check on a live server, where an xrun of the server makes them
// skip; here nothing can. A frame at 48 kHz is 20.8 us.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "app/main_model.h"
#include "app/sync_control.h"
#include "midiin/midi_in_port.h"
#include "platform/deadline_thread.h"
#include "platform/input_time.h"
#include "platform/monotonic_clock.h"
#include "support/model_rig.h"

namespace {

constexpr double kFrameNs = 1e9 / 48000;

double PeriodNs(double bpm) {
    return 60e9 / (24.0 * bpm);
}

// A master's clock from a given time on: each stamp displaced from its own grid by up to
// `jitter` of a period either way (Grid: a jittery link, the next one back on the grid), or
// carrying its error into every later tick (Walk: as jack_midi_clock -J plays).
class Master {
  public:
    enum Kind { Grid, Walk };
    Master(double bpm, int64_t startNs, double jitter = 0, Kind kind = Grid, unsigned seed = 1)
        : period_(PeriodNs(bpm)),
          jitter_(jitter),
          kind_(kind),
          random_(seed),
          grid_(static_cast<double>(startNs)),
          walk_(grid_) {}

    // The next tick's stamp; its place on the master's own grid is idealOfLast().
    int64_t next() {
        std::uniform_real_distribution<double> error(-jitter_, jitter_);
        idealOfLast_ = grid_;
        double stamp = grid_ + error(random_) * period_;
        if (kind_ == Walk) {
            stamp = walk_;
            walk_ += period_ * (1 + error(random_));
        }
        grid_ += period_;
        return std::llround(stamp);
    }
    double idealOfLast() const { return idealOfLast_; }
    // When the next tick would come, were it on the grid.
    int64_t nextOnGrid() const { return std::llround(kind_ == Walk ? walk_ : grid_); }
    void setBpm(double bpm) { period_ = PeriodNs(bpm); }
    // Silence until after t: the ticks in it are not sent, the grid goes on.
    void skipPast(int64_t t) {
        while (nextOnGrid() <= t) {
            grid_ += period_;
            walk_ += period_;
        }
    }

  private:
    double period_;
    double jitter_;
    Kind kind_;
    std::mt19937 random_;
    double grid_;
    double walk_;
    double idealOfLast_ = 0;
};

// The main model with its input port in lock mode on the memory backend, our ticks going to
// "synth", time on the model clock.
struct LockedModel {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
    int64_t lastPumpNs = 0;

    LockedModel() {
        // The input's loss is judged on the system's clock; the model's time starts there and
        // only runs ahead of it, so the lock is never taken for lost here.
        rig.clock.setNs(MonotonicNowNs());
        rig.openPort1();
        rig.folder.write("indrv/Lock.ini", "[DEVICECONFIGURATION]\nTEMPOVANE_IN_LOCK=1\n");
        m.CreateInPort(rig.folder.path() + "indrv/");
        SelectByName(m.inControls.deviceType, "Lock");
        m.InPort()->DeviceTypeChanged();
        m.SetBPM(120);
        pump();
    }
    ~LockedModel() { m.StopTransport(false); }

    int64_t now() const { return rig.clock.nowNs(); }

    // What the window's pump does: the schedule the clock follows, and the tempo to the timer.
    void pump() {
        lastPumpNs = now();
        m.Sync().Pump();
        if (m.state.TempoChanges.exchange(0) != 0)
            m.Timer().SetTempo(static_cast<uint32_t>(m.state.TempoMilliBPM.load()));
    }

    // The model's time goes on to t: every tick of ours due by then is raised at its due time,
    // as the clock thread raises it, and the pump runs every 50 ms.
    void runTo(int64_t t) {
        for (int raised = 0; raised < 1'000'000; ++raised) {
            const int64_t due = m.Timer().NextDueNs();
            const int64_t pumpAt = lastPumpNs + 50'000'000;
            const int64_t next = std::min(due == DeadlineThread::kNoDeadline ? t + 1 : due, pumpAt);
            if (next > t) break;
            rig.clock.setNs(std::max(now(), next));
            if (next == pumpAt) pump();
            m.Timer().Poll();
        }
        rig.clock.setNs(std::max(now(), t));
    }

    // A message of the master's at time t, with its precise time stamp; the clock thread then
    // looks at the schedule again (the lock wakes it when a clock moved its estimate).
    void deliver(uint8_t status, int64_t t) {
        EXPECT_GE(t, now()) << "a message from the model's past";
        runTo(t);
        dispatch(status, t);
        m.Timer().Poll();
    }
    // Two messages of one JACK cycle, stamped alike: both reach the lock before the clock
    // thread, woken by the first, looks at the schedule `late` after their stamp.
    void deliverTogether(uint8_t first, uint8_t second, int64_t t, int64_t late) {
        EXPECT_GE(t, now()) << "messages from the model's past";
        runTo(t);
        dispatch(first, t);
        dispatch(second, t);
        rig.clock.setNs(t + late);
        m.Timer().Poll();
    }
    void dispatch(uint8_t status, int64_t t) {
        SetDeliveredInputTimeNs(t);
        m.InPort()->DispatchShort(status, 0, 0, static_cast<int32_t>(t / 1'000'000));
        SetDeliveredInputTimeNs(0);
    }
    // The master's next n ticks; their stamps.
    std::vector<int64_t> play(Master& master, int n) {
        std::vector<int64_t> stamps;
        for (int i = 0; i < n; ++i) {
            stamps.push_back(master.next());
            deliver(0xF8, stamps.back());
        }
        return stamps;
    }

    // When each message of this status went to the synth.
    std::vector<int64_t> sent(uint8_t status) const {
        std::vector<int64_t> times;
        for (const auto& message : rig.memory->messagesFor("synth"))
            if (message.bytes.size() == 1 && message.bytes[0] == status)
                times.push_back(message.timeNs);
        return times;
    }
    // What went to the synth, in order, transport and clock only.
    std::vector<uint8_t> statuses() const {
        std::vector<uint8_t> out;
        for (const auto& message : rig.memory->messagesFor("synth"))
            if (message.bytes.size() == 1) out.push_back(message.bytes[0]);
        return out;
    }
};

// Each of our ticks' distance to the nearest of the given times (ns; ours minus theirs).
std::vector<double> Offsets(const std::vector<int64_t>& ours, const std::vector<double>& theirs) {
    std::vector<double> offsets;
    for (const int64_t tick : ours) {
        const auto t = static_cast<double>(tick);
        const auto it = std::lower_bound(theirs.begin(), theirs.end(), t);
        double best = 1e18;
        if (it != theirs.end()) best = t - *it;
        if (it != theirs.begin() && std::fabs(t - *(it - 1)) < std::fabs(best))
            best = t - *(it - 1);
        offsets.push_back(best);
    }
    return offsets;
}

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::max<size_t>(1, rank) - 1];
}

// The mean interval of the last n ticks.
double MeanSpacing(const std::vector<int64_t>& ticks, size_t n) {
    return static_cast<double>(ticks.back() - ticks[ticks.size() - 1 - n]) / static_cast<double>(n);
}

}  // namespace

TEST(ClockLockModel, FollowsTheMastersStartTempoAndPhase) {
    // 106.667 BPM: 1125 frames a tick at 48 kHz.
    const double bpm = 48000.0 * 60 / (24 * 1125);
    LockedModel run;
    Master master(bpm, run.now() + 100'000'000);
    run.deliver(0xFA, master.nextOnGrid() - 1'000'000);
    EXPECT_EQ(run.m.state.RunState.load(), 1);
    std::vector<int64_t> stamps = run.play(master, 300);
    run.pump();
    EXPECT_NEAR(run.m.GetBPM(), bpm, 0.01);

    const std::vector<int64_t> mine = run.sent(0xF8);
    ASSERT_GE(mine.size(), 290u);
    EXPECT_EQ(run.sent(0xFA).size(), 1u);
    EXPECT_EQ(run.statuses().front(), 0xFA) << "the Start before the first clock";
    // Our first clock went out with the master's first.
    EXPECT_NEAR(static_cast<double>(mine.front() - stamps.front()), 0, 4 * kFrameNs);
    // Locked, every clock of ours keeps its distance from the master's within a few frames, in
    // phase with it, and the spacing is the master's.
    const std::vector<double> theirs(stamps.begin(), stamps.end());
    const std::vector<double> offsets =
        Offsets(std::vector<int64_t>(mine.end() - 100, mine.end()), theirs);
    EXPECT_LE(Percentile(offsets, 0.95) - Percentile(offsets, 0.05), 4 * kFrameNs);
    EXPECT_LT(std::fabs(Percentile(offsets, 0.5)), PeriodNs(bpm) / 4);
    EXPECT_NEAR(MeanSpacing(mine, 100), PeriodNs(bpm), kFrameNs);
    EXPECT_EQ(run.m.InPort()->Lock().Current().steps, 0u);
}

TEST(ClockLockModel, AJitteringMastersStartTempoAndBeatAreFollowedOnItsGrid) {
    // Stamps up to a tenth of a tick off the master's grid (2.3 ms): our clocks keep to the grid
    // itself, evenly spaced, whatever each stamp says.
    const double bpm = 48000.0 * 60 / (24 * 1125);
    for (unsigned seed : {1u, 2u, 3u}) {
        LockedModel run;
        Master master(bpm, run.now() + 100'000'000, 0.10, Master::Grid, seed);
        run.deliver(0xFA, master.nextOnGrid() - 3'000'000);
        std::vector<double> grid;
        for (int i = 0; i < 600; ++i) {
            run.deliver(0xF8, master.next());
            grid.push_back(master.idealOfLast());
        }
        run.pump();
        EXPECT_NEAR(run.m.GetBPM(), bpm, 0.05) << "seed " << seed;
        const std::vector<int64_t> mine = run.sent(0xF8);
        ASSERT_GE(mine.size(), 590u) << "seed " << seed;
        EXPECT_EQ(run.sent(0xFA).size(), 1u);
        const std::vector<double> offsets =
            Offsets(std::vector<int64_t>(mine.end() - 200, mine.end()), grid);
        EXPECT_LT(Percentile(offsets, 0.99), 500'000) << "seed " << seed;
        EXPECT_GT(Percentile(offsets, 0.01), -500'000) << "seed " << seed;
        EXPECT_NEAR(MeanSpacing(mine, 200), PeriodNs(bpm), 0.001 * PeriodNs(bpm))
            << "seed " << seed;
        // From one interval to the next, ours change by well under a frame.
        std::vector<double> change;
        for (size_t i = mine.size() - 200; i + 2 < mine.size(); ++i)
            change.push_back(std::fabs(
                static_cast<double>((mine[i + 2] - mine[i + 1]) - (mine[i + 1] - mine[i]))));
        EXPECT_LE(Percentile(change, 0.99), kFrameNs) << "seed " << seed;
        EXPECT_EQ(run.m.InPort()->Lock().Current().steps, 0u) << "seed " << seed;
    }
}

TEST(ClockLockModel, AWalkingMastersBeatIsFollowedWithoutRunningAway) {
    // A master whose phase walks (each interval off by up to 5 %): our clocks follow it over a
    // few beats, evenly, and the tempo told is what it delivers.
    const double bpm = 128;
    LockedModel run;
    Master master(bpm, run.now() + 100'000'000, 0.05, Master::Walk, 4);
    run.deliver(0xFA, master.nextOnGrid() - 1'000'000);
    const std::vector<int64_t> stamps = run.play(master, 1500);
    run.pump();
    EXPECT_NEAR(run.m.GetBPM(), bpm, 1.0);
    const std::vector<int64_t> mine = run.sent(0xF8);
    ASSERT_GE(mine.size(), 1490u);
    const std::vector<double> offsets = Offsets(std::vector<int64_t>(mine.end() - 500, mine.end()),
                                                std::vector<double>(stamps.begin(), stamps.end()));
    EXPECT_LT(std::fabs(Percentile(offsets, 0.5)), 3e6);
    EXPECT_LT(Percentile(offsets, 0.99), PeriodNs(bpm) / 2);
    EXPECT_GT(Percentile(offsets, 0.01), -PeriodNs(bpm) / 2);
    EXPECT_EQ(run.m.InPort()->Lock().Current().steps, 0u) << "a walk is no string of steps";
}

TEST(ClockLockModel, TempoStepIsFollowed) {
    for (double jitter : {0.0, 0.05}) {
        LockedModel run;
        Master master(120, run.now() + 100'000'000, jitter, Master::Grid, 5);
        run.deliver(0xFA, master.nextOnGrid() - 1'000'000);
        run.play(master, 200);
        master.setBpm(150);
        // Within two beats the tempo shown and sent is the new one.
        const std::vector<int64_t> stepped = run.play(master, 48);
        run.pump();
        EXPECT_NEAR(run.m.GetBPM(), 150, jitter == 0 ? 0.01 : 0.5) << "jitter " << jitter;
        EXPECT_GE(run.m.InPort()->Lock().Current().steps, 1u) << "jitter " << jitter;
        run.play(master, 100);
        const std::vector<int64_t> mine = run.sent(0xF8);
        ASSERT_GE(mine.size(), 340u);
        // 800 frames a tick, to the frame.
        EXPECT_NEAR(MeanSpacing(mine, 40), PeriodNs(150),
                    jitter == 0 ? kFrameNs : 0.002 * PeriodNs(150))
            << "jitter " << jitter;
        EXPECT_EQ(run.sent(0xFA).size(), 1u);
    }
}

TEST(ClockLockModel, LostInputRunsOnAndStopContinueAreFollowed) {
    LockedModel run;
    Master master(120, run.now() + 100'000'000);
    run.deliver(0xFA, master.nextOnGrid() - 1'000'000);
    run.play(master, 100);
    // The cable is pulled: no Stop. Our clock runs on, evenly, at the master's last tempo.
    const size_t before = run.sent(0xF8).size();
    run.runTo(run.now() + 2'000'000'000);
    std::vector<int64_t> mine = run.sent(0xF8);
    ASSERT_GE(mine.size(), before + 90);
    EXPECT_EQ(run.m.state.RunState.load(), 1);
    EXPECT_NEAR(MeanSpacing(mine, 40), PeriodNs(120), kFrameNs) << "still at the last tempo";
    for (size_t i = before + 1; i < mine.size(); ++i)
        ASSERT_NEAR(static_cast<double>(mine[i] - mine[i - 1]), PeriodNs(120), kFrameNs) << i;

    // The master's Stop after the silence, then Continue and its clock again.
    master.skipPast(run.now() + 10'000'000);
    run.deliver(0xFC, master.nextOnGrid() - 5'000'000);
    EXPECT_EQ(run.m.state.RunState.load(), 0);
    EXPECT_EQ(run.sent(0xFC).size(), 1u);
    const size_t atStop = run.sent(0xF8).size();
    run.runTo(run.now() + 500'000'000);
    EXPECT_EQ(run.sent(0xF8).size(), atStop) << "no clock while stopped";
    master.skipPast(run.now() + 10'000'000);
    run.deliver(0xFB, master.nextOnGrid() - 2'000'000);
    EXPECT_EQ(run.m.state.RunState.load(), 1);
    const std::vector<int64_t> back = run.play(master, 48);
    EXPECT_EQ(run.sent(0xFB).size(), 1u);
    EXPECT_EQ(run.sent(0xFA).size(), 1u) << "Continue is no new Start";
    mine = run.sent(0xF8);
    ASSERT_GE(mine.size(), atStop + 40);
    // After a silence the master's first clock is our first.
    EXPECT_NEAR(static_cast<double>(mine[atStop] - back.front()), 0, 4 * kFrameNs);
}

TEST(ClockLockModel, ContinueResumesOnTheMastersNextTickNotOnABeatOfTheOldSong) {
    // A master that keeps its clock running while stopped, as most do: after its Continue our
    // clock goes on with its very next tick (the receivers count on from where they stopped),
    // not on a beat counted from the song's old start.
    LockedModel run;
    Master master(120, run.now() + 100'000'000);
    run.deliver(0xFA, master.nextOnGrid() - 1'000'000);
    run.play(master, 30);  // a beat and a quarter into the song
    run.deliver(0xFC, master.nextOnGrid() - 5'000'000);
    ASSERT_EQ(run.m.state.RunState.load(), 0);
    run.play(master, 53);  // clocks on while stopped: 83 ticks since the Start
    const size_t atContinue = run.sent(0xF8).size();
    run.deliver(0xFB, master.nextOnGrid() - 5'000'000);
    ASSERT_EQ(run.m.state.RunState.load(), 1);
    const std::vector<int64_t> after = run.play(master, 30);
    const std::vector<int64_t> mine = run.sent(0xF8);
    ASSERT_GT(mine.size(), atContinue);
    // Tick 83 of the song: not on a beat (a beat from the Start is 24 ticks), so a wait for
    // the song's next beat would send it 13 ticks later.
    EXPECT_NEAR(static_cast<double>(mine[atContinue] - after.front()), 0, 4 * kFrameNs)
        << "our first clock after Continue came "
        << static_cast<double>(mine[atContinue] - after.front()) / PeriodNs(120)
        << " ticks after the master's next";
    const std::vector<uint8_t> order = run.statuses();
    EXPECT_EQ(std::count(order.begin(), order.end(), 0xFB), 1);
    EXPECT_EQ(std::count(order.begin(), order.end(), 0xFA), 1) << "Continue is no new Start";
}

TEST(ClockLockModel, AStartOrContinueThatComesWithItsClockHasThatClockForOurFirst) {
    // The master's Start (or Continue) and its first clock in one JACK cycle: both reach the
    // lock before the clock thread begins the run, and the clock's stamp (its frame's time)
    // lies before the moment the run begins. Our first clock still goes with that one, not a
    // tick later, which would leave the whole song a tick behind the master's.
    const int64_t handedOver = 300'000;  // from the cycle's frames to the clock thread
    LockedModel run;
    Master master(120, run.now() + 100'000'000);
    int64_t first = master.next();
    run.deliverTogether(0xFA, 0xF8, first, handedOver);
    std::vector<int64_t> stamps = run.play(master, 60);
    std::vector<int64_t> mine = run.sent(0xF8);
    ASSERT_FALSE(mine.empty());
    EXPECT_NEAR(static_cast<double>(mine.front() - first), 0, 4 * kFrameNs) << "after the Start";
    EXPECT_NEAR(static_cast<double>(mine.back() - stamps.back()), 0, 4 * kFrameNs);

    // Stopped, a silence, then Continue with its first clock in one cycle.
    run.deliver(0xFC, master.nextOnGrid() - 5'000'000);
    run.runTo(run.now() + 3'000'000'000LL);
    master.skipPast(run.now() + 10'000'000);
    const size_t atContinue = run.sent(0xF8).size();
    first = master.next();
    run.deliverTogether(0xFB, 0xF8, first, handedOver);
    stamps = run.play(master, 30);
    mine = run.sent(0xF8);
    ASSERT_GT(mine.size(), atContinue);
    EXPECT_NEAR(static_cast<double>(mine[atContinue] - first), 0, 4 * kFrameNs)
        << "after the Continue";

    // Stopped with the clock running on, then Continue with its clock in one cycle.
    run.deliver(0xFC, master.nextOnGrid() - 5'000'000);
    run.play(master, 30);
    const size_t atSecond = run.sent(0xF8).size();
    first = master.next();
    run.deliverTogether(0xFB, 0xF8, first, handedOver);
    run.play(master, 30);
    mine = run.sent(0xF8);
    ASSERT_GT(mine.size(), atSecond);
    EXPECT_NEAR(static_cast<double>(mine[atSecond] - first), 0, 4 * kFrameNs)
        << "after the Continue with the clock running";
    EXPECT_EQ(run.sent(0xFA).size(), 1u);
}
