#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "tempo/tick_schedule.h"

class TBPMTimer;
class TickLookahead;

// Locks onto an incoming MIDI clock: a line fitted through the time stamps of the master's
// ticks (least squares over the last few seconds) gives its tempo and where its next tick
// falls, and as a TickSchedule it puts our own ticks on those predicted times. Jitter on the
// input is averaged away instead of being passed on; a tempo step is recognised by several
// ticks in a row off the line on the same side that also run at a tempo of their own, and the
// fit then starts afresh from them.
//
// Clock/Start/Reset: the input thread. The TickSchedule side: the clock thread. The queries:
// any thread. The two sides meet in one published estimate behind a sequence counter, so
// neither waits for the other and nothing allocates.
class ClockLock : public TickSchedule {
  public:
    static constexpr int kWindow = 384;      // ticks in the fit at most (7.5 s at 128 BPM)
    static constexpr int kStepRun = 12;      // ticks off the line in a row: perhaps a new tempo
    static constexpr int kStepMinFit = 24;   // ...looked for once the fit holds a beat
    static constexpr int kLostTicks = 48;    // two beats without a clock: the input is lost

    ClockLock() = default;
    ClockLock(const ClockLock&) = delete;
    ClockLock& operator=(const ClockLock&) = delete;

    // Input thread (or while nothing else uses the lock).
    void Reset();
    void Clock(int64_t timeNs);
    // The master's next tick is the first of its song.
    void Start();
    // The master goes on from where it stopped: a run begun now starts on its next tick, not on
    // its next beat.
    void Continue();

    // Where the schedule wakes the clock thread when a clock has moved the estimate (optional),
    // and how much earlier than the master's tick ours is handed to the output, so that it
    // reaches the receiver at the same time (optional; 0 without).
    void SetTimer(TBPMTimer* timer) { timer_.store(timer, std::memory_order_release); }
    void SetLatency(const TickLookahead* latency) {
        latency_.store(latency, std::memory_order_release);
    }

    struct Estimate {
        bool valid = false;
        int64_t refIndex = 0;   // a master tick number ...
        int64_t refTimeNs = 0;  // ... and when the line puts it
        double periodNs = 0;    // time per master tick
        int64_t lastIndex = 0;  // the newest tick received
        int64_t lastInputNs = 0;
        int64_t songStart = -1;  // number of the master's tick 0 after its last Start, or -1
        int32_t fitTicks = 0;    // ticks in the fit
        uint32_t steps = 0;      // tempo steps recognised so far
        double TimeOf(int64_t index) const {
            return static_cast<double>(refTimeNs) + static_cast<double>(index - refIndex) * periodNs;
        }
        double Bpm() const { return periodNs > 0 ? 60e9 / (24.0 * periodNs) : 0; }
    };
    Estimate Current() const;
    // Valid, and a clock within the last two beats.
    bool Locked(int64_t nowNs) const;
    // Valid once, but no clock for more than two beats.
    bool Lost(int64_t nowNs) const;

    // TickSchedule.
    void BeginRun(int64_t nowNs, bool newRun, int64_t lastTickNs) override;
    int64_t TickDueNs(int64_t k) override;
    int64_t FirstTickAtOrAfter(int64_t nowNs) override;

  private:
    void refit();
    void refitPhase();  // the tempo held, only the phase from the ticks since a silence
    double recentSlope(int ticks) const;  // time per tick over the newest ticks
    void publish();
    int64_t latencyNs() const;

    // Input thread.
    std::array<int64_t, kWindow> index_{};
    std::array<int64_t, kWindow> time_{};
    int count_ = 0;
    int head_ = 0;  // where the next point goes
    bool haveLast_ = false;
    int64_t lastIndex_ = 0;
    int64_t lastTime_ = 0;
    bool fitValid_ = false;
    int64_t refIndex_ = 0;
    int64_t refTime_ = 0;
    double period_ = 0;
    bool holdTempo_ = false;
    double jitter_ = 0;  // mean distance of a tick from the line
    double residuals_ = 0;  // how many went into it
    double slopeNoise_ = 0;  // usual share by which the newest ticks' tempo strays from the line's
    int run_ = 0;
    int runSign_ = 0;
    bool startPending_ = false;
    int64_t songStart_ = -1;
    uint32_t steps_ = 0;

    // Published.
    std::atomic<uint32_t> seq_{0};
    std::atomic<bool> pValid_{false};
    std::atomic<int64_t> pRefIndex_{0};
    std::atomic<int64_t> pRefTime_{0};
    std::atomic<double> pPeriod_{0};
    std::atomic<int64_t> pLastIndex_{0};
    std::atomic<int64_t> pLastInput_{0};
    std::atomic<int64_t> pSongStart_{-1};
    std::atomic<int32_t> pFitTicks_{0};
    std::atomic<uint32_t> pSteps_{0};

    std::atomic<TBPMTimer*> timer_{nullptr};
    std::atomic<const TickLookahead*> latency_{nullptr};

    // Clock thread: our tick k is the master's tick k + offset_; waitingSince_ >= 0 while our
    // run waits for the master's first clock after a silence.
    int64_t offset_ = 0;
    int64_t waitingSince_ = -1;
};
