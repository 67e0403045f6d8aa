#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/monotonic_clock.h"

class DeadlineThread;
class TickSchedule;

// How late a tick may be raised and still reach its receiver on time: an output that schedules
// messages by their time stamps places a late tick on its own frame as long as it is within
// the output's lookahead. Asked on the clock thread at each check; must not block.
class TickLookahead {
  public:
    virtual ~TickLookahead() = default;
    // 0 where any output sends at once: a late tick can then only go out late.
    virtual int64_t TickLookaheadNs() const = 0;
    // How late a tick may be raised and still be sent rather than dropped. Where every output
    // schedules, a tick too late for its frame still goes out first thing in the next cycle, in
    // its order; sending it keeps the receiver's count of ticks, which a drop would put behind
    // for the rest of the run. Never shorter than the lookahead.
    virtual int64_t LateTickLimitNs() const { return TickLookaheadNs(); }
};

// Turns a tempo into clock ticks at 24 per quarter note. The schedule of due times is kept in
// fractional milliseconds against a monotonic clock; the long-run rate comes from the schedule,
// never from counting wake-ups, so the clock does not drift. OnTimer is raised on the timer's own
// thread, once per due tick.
class TBPMTimer {
  public:
    using TimerEvent = std::function<void(TBPMTimer& sender, uint8_t tick)>;

    // Thread: a clock thread sleeps until each due tick. Manual: no thread; whoever owns the
    // timer calls Poll() (tests drive the schedule with a ManualClock this way).
    enum class Drive { Thread, Manual };

    explicit TBPMTimer(const MonotonicClock& clock = SystemClock(), Drive drive = Drive::Thread);
    ~TBPMTimer();
    TBPMTimer(const TBPMTimer&) = delete;
    TBPMTimer& operator=(const TBPMTimer&) = delete;

    bool Enabled() const;
    // Enabling restarts the schedule from 0, so the first tick comes at once. Disabling from any
    // thread but the timer's own returns only after a tick being raised has finished, so nothing
    // of an old tick is sent after a Stop.
    void SetEnabled(bool enabled);

    // Kept for their setter semantics; the sleeping clock thread needs no polling interval.
    int Resolution() const;
    void SetResolution(int ms);
    unsigned Accuracy() const;
    void SetAccuracy(unsigned ms);

    uint32_t Tempo() const;  // thousandths of a BPM
    void SetTempo(uint32_t milliBpm);

    void SetOnTimer(TimerEvent handler);

    long double Period() const;  // ms per tick

    // Moves the tempo to a whole-millisecond tick period one step faster / slower.
    void RoundUpToTick();
    void RoundDownToTick();

    // One check of the schedule against the clock; true when a tick is due (and taken).
    bool Check();
    // Check, and raise OnTimer when a tick is due. The clock thread calls this; so do tests.
    bool Poll();

    // Scheduled time of the tick being raised (valid inside OnTimer): messages sent for it carry
    // this time, so a backend that can schedule delivers them free of wake-up jitter.
    int64_t TickTimeNs() const { return tickTimeNs_; }
    // Absolute time the next tick is due, or DeadlineThread::kNoDeadline when disabled.
    int64_t NextDueNs() const;

    bool RealtimePriority() const;

    // A tick counts as stalled (the missed ticks dropped, the schedule restarted) when it is
    // later than one period or, if longer, the late-tick limit this source reports (with an
    // outside schedule, its lookahead). Null: one period.
    void SetLookahead(const TickLookahead* source) { lookahead_.store(source); }

    // While a schedule is set, the ticks of a running clock are due when it says (from the next
    // check on); the own tempo only decides how late a tick may be. Clearing it returns, before
    // the call ends, to the own period counted from the last tick, so the clock goes on without a
    // jump and the old schedule is never asked again. Any thread but the clock thread.
    void SetSchedule(TickSchedule* schedule);
    bool HasSchedule() const;
    // Ticks of the schedule dropped by the stall rule since the last call: the tick count goes
    // on by them, so that bars stay where the schedule has them.
    int64_t TakeSkippedTicks() { return skippedTicks_.exchange(0, std::memory_order_acq_rel); }
    // After a schedule took over the running clock: where its first tick lies in its bar
    // (TickSchedule::FirstTickInBar), once; false when there is nothing to align to. Taken on
    // the clock thread, before the skipped ticks.
    bool TakeBarPlace(int64_t& tick, int64_t& length);
    // Ticks dropped by the stall rule since the timer was last enabled, own period or schedule:
    // what a receiver misses that was never sent.
    int64_t DroppedTicks() const { return droppedTicks_.load(std::memory_order_acquire); }
    // Makes the clock thread look at the schedule again: its due time has moved.
    void Wake() { wakeThread(); }

  private:
    bool checkLocked(int64_t nowNs);
    void setTempoLocked(uint32_t milliBpm);
    void recomputePeriodLocked();
    long double elapsedAtLocked(int64_t nowNs) const;
    int64_t nextDueLocked() const;
    int64_t job();
    void roundToTick(bool up);
    void wakeThread();

    const MonotonicClock& clock_;

    // Held while a tick is checked and raised; a disable waits on it (see SetEnabled).
    std::mutex callbackMutex_;
    TimerEvent onTimer_;

    // The schedule, shared by the clock thread's check and the UI's setters.
    mutable std::mutex scheduleMutex_;
    bool enabled_ = false;
    int resolution_ = 1;
    unsigned accuracy_ = 1;
    uint32_t tempo_ = 120000;
    long double period_ = 0;   // ms
    long double elapsed_ = 0;  // ms since enabled, at the last check
    long double due_ = 0;      // elapsed time at which the next tick is due
    int64_t startNs_ = 0;      // clock reading when enabled

    int64_t tickTimeNs_ = 0;  // written on the ticking thread, under scheduleMutex_

    // The outside schedule: wanted_ is what the owner set, active_ the one begun on the clock
    // thread (under scheduleMutex_, as are the rest).
    bool checkScheduledLocked(int64_t nowNs);
    TickSchedule* wanted_ = nullptr;
    TickSchedule* active_ = nullptr;
    bool tickedSinceEnable_ = false;
    int64_t scheduledTick_ = 0;
    int64_t scheduledDueNs_ = 0;
    std::atomic<int64_t> skippedTicks_{0};
    // Written and taken on the clock thread; atomics for the tests' Poll from another thread.
    std::atomic<bool> barPlacePending_{false};
    std::atomic<int64_t> barTick_{0};
    std::atomic<int64_t> barLength_{0};
    std::atomic<int64_t> droppedTicks_{0};

    std::atomic<const TickLookahead*> lookahead_{nullptr};

    std::unique_ptr<DeadlineThread> thread_;
    std::atomic<DeadlineThread*> clockThread_{nullptr};  // thread_, for the thread's own checks
};
