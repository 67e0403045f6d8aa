#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "tempo/tick_schedule.h"

class TBPMTimer;
class TickLookahead;

// Locks onto an incoming MIDI clock. The master's tick stamps are taken as a line (its tempo
// and phase) plus two kinds of error: a stamp displaced from the master's own grid (the next
// tick is back on the grid), and an interval that is too long or too short (the master's phase
// walks off with it, as jack_midi_clock's jitter does). The share of each is measured from the
// intervals in the window (a displaced stamp makes neighbouring intervals err in opposite
// directions; a walking phase leaves them independent), and a Kalman filter run over the window
// weighs the ticks accordingly: for displaced stamps it is the least-squares line, for a walking
// phase the newest tick and the mean interval. A tempo step shows as one-sided prediction errors
// well beyond their usual size; the fit then starts afresh from the ticks that left the line.
//
// Our own ticks do not jump with every estimate: they run on a schedule of their own whose
// period is steered, a little per tick, towards the master's predicted ticks, so our intervals
// stay clean however the master's jitter; a recognised step changes our tempo at once.
//
// Clock/Start/Reset: the input thread. The TickSchedule side: the clock thread. The queries:
// any thread. The two sides meet in a published estimate kept twice behind a sequence counter
// (a latch), so neither waits for the other, not even for one preempted halfway, and nothing
// allocates.
class ClockLock : public TickSchedule {
  public:
    static constexpr int kWindow = 384;     // ticks in the fit at most (7.5 s at 128 BPM)
    static constexpr int kStepMinFit = 24;  // a step is looked for once the fit holds a beat
    static constexpr int kStepSpan = 24;    // ...among the newest this many prediction errors
    static constexpr int kLostTicks = 48;   // two beats without a clock: the input is lost

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
    // The master stopped: the silence that follows is no loss (until its next clock).
    void Stop();

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
        int64_t resumeAt = -1;   // ... its first tick after its last Start or Continue, or -1
        int32_t fitTicks = 0;    // ticks in the fit
        uint32_t steps = 0;      // tempo steps recognised so far
        double gridNs = 0;       // the master's error: stamps off its grid (rms) ...
        double walkNs = 0;       // ... and its phase walk per tick (rms)
        double TimeOf(int64_t index) const {
            return static_cast<double>(refTimeNs) +
                   static_cast<double>(index - refIndex) * periodNs;
        }
        double Bpm() const { return periodNs > 0 ? 60e9 / (24.0 * periodNs) : 0; }
    };
    // Any thread; real-time safe: it never waits for the input thread.
    Estimate Current() const;
    // Valid, and a clock within the last two beats.
    bool Locked(int64_t nowNs) const;
    // Valid once, but no clock for more than two beats, and the master did not stop.
    bool Lost(int64_t nowNs) const;
    // The tempo our ticks follow now (our own period, steered towards the master's), 0 before
    // a run has begun. What the clock sends, which a jittering master's estimate is not.
    double SentBpm() const;

    // TickSchedule: clock thread; real-time safe.
    void BeginRun(int64_t nowNs, bool newRun, int64_t lastTickNs) override;
    int64_t TickDueNs(int64_t k) override;
    int64_t FirstTickAtOrAfter(int64_t nowNs) override;

  private:
    struct Line {
        bool valid = false;
        double period = 0;      // time per tick
        double atNewest = 0;    // the line's time at the newest tick, relative to its stamp
        double predictVar = 0;  // variance of the error in predicting the next tick
        double periodVar = 0;   // ... and of the period
    };
    // The fit through the newest `ticks` points; the Kalman filter over them with the given
    // variances (grid: a stamp off the grid; walk: the phase walk per tick). With walk 0 it is
    // the least-squares line.
    Line fitLine(int ticks, double gridVar, double walkVar) const;
    void refit();
    void refitPhase();            // the tempo held, only the phase from the ticks since a silence
    void measureNoise();          // gridVar_ and walkVar_ from the intervals in the window
    bool stepInErrors(int* run);  // a tempo step among the newest prediction errors?
    void publish();
    // The two halves of publish; a test stops between them, as a preempted input thread would.
    void publishFirstCopy();
    void publishSecondCopy();
    friend struct ClockLockPublishing;
    int64_t latencyNs() const;
    double targetNs(const Estimate& e, int64_t k) const;  // master tick for our tick k, early
    void restartOutput(const Estimate& e, int64_t k);

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
    bool freshStep_ = false;                   // the fit holds only the few ticks since a step
    std::array<double, kWindow> intervals_{};  // measureNoise's scratch
    std::array<double, kWindow> sorted_{};
    double gridVar_ = 0;  // measured error model (ns^2), kept across a step
    double walkVar_ = 0;
    bool noiseKnown_ = false;
    bool noiseSettled_ = false;  // measured on enough intervals at least once
    double predictVar_ = 0;      // the current line's variance for the next tick
    // Normalised prediction errors of the newest ticks (ring), for the step detector.
    std::array<double, kStepSpan> errors_{};
    int errorCount_ = 0;
    int errorHead_ = 0;
    double errorScale_ = 1;  // mean square of the errors that left the ring
    int scaleUpdates_ = 0;
    bool startPending_ = false;
    int64_t songStart_ = -1;
    bool resumePending_ = false;
    int64_t resumeAt_ = -1;
    uint32_t steps_ = 0;

    // Published: two copies (see publish), every field an atomic.
    struct Published {
        std::atomic<bool> valid{false};
        std::atomic<int64_t> refIndex{0};
        std::atomic<int64_t> refTime{0};
        std::atomic<double> period{0};
        std::atomic<int64_t> lastIndex{0};
        std::atomic<int64_t> lastInput{0};
        std::atomic<int64_t> songStart{-1};
        std::atomic<int64_t> resumeAt{-1};
        std::atomic<int32_t> fitTicks{0};
        std::atomic<uint32_t> steps{0};
        std::atomic<double> grid{0};
        std::atomic<double> walk{0};
    };
    void store(Published& p) const;
    std::array<Published, 2> published_;
    // mutable: a reader ends with a read-modify-write of it (adding nothing).
    mutable std::atomic<uint32_t> seq_{0};
    std::atomic<bool> stopped_{false};     // input thread writes, any thread reads
    std::atomic<double> sentPeriodNs_{0};  // clock thread writes, any thread reads

    std::atomic<TBPMTimer*> timer_{nullptr};
    std::atomic<const TickLookahead*> latency_{nullptr};

    // Clock thread: our tick k is the master's tick k + offset_; waitingSince_ >= 0 while our
    // run waits for the master's first clock after a silence, which is any clock but the newest
    // one when the wait began (waitIndex_, waitInputNs_; -1 where the newest is the one).
    int64_t offset_ = 0;
    int64_t waitingSince_ = -1;
    int64_t waitIndex_ = -1;
    int64_t waitInputNs_ = -1;
    // Our own schedule: tick outK_ is due at outDueNs_, the next one outPeriodNs_ later; the
    // period moves towards outWantNs_, which the phase loop sets.
    bool outValid_ = false;
    int64_t outK_ = 0;
    double outDueNs_ = 0;
    double outPeriodNs_ = 0;
    double outWantNs_ = 0;
    uint32_t outSteps_ = 0;
};
