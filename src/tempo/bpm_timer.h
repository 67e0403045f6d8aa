#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/monotonic_clock.h"
#include "platform/triple_buffer.h"

class DeadlineThread;
class TickSchedule;

// How late a tick may be raised and still reach its receiver on time: an output that schedules
// messages by their time stamps places a late tick on its own frame as long as it is within
// the output's lookahead. Asked on the clock thread at each check; must not block.
class TickLookahead {
  public:
    virtual ~TickLookahead() = default;
    // 0 where any output sends at once: a late tick can then only go out late.
    // Clock thread; must be real-time safe.
    virtual int64_t TickLookaheadNs() const = 0;
    // How late a tick may be raised and still be sent rather than dropped. Where every output
    // schedules, a tick too late for its frame still goes out first thing in the next cycle, in
    // its order; sending it keeps the receiver's count of ticks, which a drop would put behind
    // for the rest of the run. Never shorter than the lookahead.
    // Clock thread; must be real-time safe.
    virtual int64_t LateTickLimitNs() const { return TickLookaheadNs(); }
};

// Turns a tempo into clock ticks at 24 per quarter note. The schedule of due times is kept in
// fractional milliseconds against a monotonic clock; the long-run rate comes from the schedule,
// never from counting wake-ups, so the clock does not drift. OnTimer is raised on the timer's own
// thread, once per due tick.
//
// Threads. The clock thread (with Drive::Manual: whoever polls) owns the schedule of due times
// and takes no lock that anyone else takes. The setters (UI and input threads) publish what they
// decide (enable, tempo and period, schedule) whole, through a triple buffer, and the clock
// thread takes the newest at each check; the setters are serialised among themselves by a mutex
// the clock thread never takes, and the getters read atomics. Where a setter must know that the
// clock has let go of the old state (a disable, a schedule cleared, a new handler or lookahead),
// the setter waits for a check in flight to end: the clock never waits.
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

    // Any thread; real-time safe.
    bool Enabled() const { return enabled_.load(std::memory_order_acquire); }
    // Enabling restarts the schedule from 0, so the first tick comes at once. Disabling from any
    // thread but the timer's own returns only after a tick being raised has finished, so nothing
    // of an old tick is sent after a Stop. UI and input threads; not real-time safe (the
    // setters' lock, and a disable waits). From inside OnTimer it does not wait for itself.
    void SetEnabled(bool enabled);

    // Kept for their setter semantics; the sleeping clock thread needs no polling interval.
    // Getters: any thread; real-time safe. Setters: UI and input threads; not real-time safe.
    int Resolution() const { return resolution_.load(std::memory_order_acquire); }
    void SetResolution(int ms);
    unsigned Accuracy() const { return accuracy_.load(std::memory_order_acquire); }
    void SetAccuracy(unsigned ms);

    // Thousandths of a BPM. Any thread; real-time safe.
    uint32_t Tempo() const { return static_cast<uint32_t>(tempoWord_.load() >> 32); }
    // UI and input threads; not real-time safe (the setters' lock).
    void SetTempo(uint32_t milliBpm);

    // The handler takes effect from the next tick; the old one is let go once a tick raising it
    // has ended. UI thread; not real-time safe (allocates, may wait).
    void SetOnTimer(TimerEvent handler);

    // Ms per tick. Any thread; real-time safe.
    long double Period() const;

    // Moves the tempo to a whole-millisecond tick period one step faster / slower.
    // UI and input threads; not real-time safe (the setters' lock).
    void RoundUpToTick();
    void RoundDownToTick();

    // One check of the schedule against the clock; true when a tick is due (and taken).
    // Clock thread (or the one polling a Manual timer); real-time safe.
    bool Check();
    // Check, and raise OnTimer when a tick is due. The clock thread calls this; so do tests.
    // Clock thread (or the one polling a Manual timer); real-time safe, as far as the handler is.
    bool Poll();

    // Scheduled time of the tick being raised (valid inside OnTimer): messages sent for it carry
    // this time, so a backend that can schedule delivers them free of wake-up jitter.
    // Clock thread, inside OnTimer; real-time safe.
    int64_t TickTimeNs() const { return tickTimeNs_; }
    // Absolute time the next tick is due, or DeadlineThread::kNoDeadline when disabled.
    // Clock thread (or the one polling a Manual timer); real-time safe.
    int64_t NextDueNs();

    // Any thread; real-time safe.
    bool RealtimePriority() const;

    // A tick counts as stalled (the missed ticks dropped, the schedule restarted) when it is
    // later than one period or, if longer, the late-tick limit this source reports (with an
    // outside schedule, its lookahead). Null: one period. The source is not asked again once
    // this returns. UI thread; not real-time safe (may wait for a check in flight).
    void SetLookahead(const TickLookahead* source);

    // While a schedule is set, the ticks of a running clock are due when it says (from the next
    // check on); the own tempo only decides how late a tick may be. Clearing it returns to the
    // own period counted from the last tick, so the clock goes on without a jump; once the call
    // has returned, the old schedule is never asked again. UI and input threads; not real-time
    // safe (the setters' lock, and it waits for a check in flight).
    void SetSchedule(TickSchedule* schedule);
    // Any thread; real-time safe.
    bool HasSchedule() const { return scheduleSet_.load(std::memory_order_acquire) != nullptr; }
    // Ticks of the schedule dropped by the stall rule since the last call: the tick count goes
    // on by them, so that bars stay where the schedule has them. Clock thread; real-time safe.
    int64_t TakeSkippedTicks() { return skippedTicks_.exchange(0, std::memory_order_acq_rel); }
    // After a schedule took over the running clock: where its first tick lies in its bar
    // (TickSchedule::FirstTickInBar), once; false when there is nothing to align to. Taken on
    // the clock thread, before the skipped ticks. Clock thread; real-time safe.
    bool TakeBarPlace(int64_t& tick, int64_t& length);
    // Ticks dropped by the stall rule since the timer was last enabled, own period or schedule:
    // what a receiver misses that was never sent. Any thread; real-time safe.
    int64_t DroppedTicks() const { return droppedTicks_.load(std::memory_order_acquire); }
    // Makes the clock thread look at the schedule again: its due time has moved.
    // Any thread; real-time safe.
    void Wake() { wakeThread(); }

    // The lock that serialises the setters, for a test to hold the way a UI thread preempted
    // inside a setter would.
    std::mutex& settersMutex() { return settersMutex_; }

  private:
    // What the setters decide, handed to the clock thread whole. Each change carries a serial
    // (one count for all kinds, so that their order is known) and the time it was made, so
    // that the clock thread, taking it at its next check, does what the setter would have done
    // then.
    struct Control {
        bool enabled = false;
        long double period = 0;  // ms
        TickSchedule* schedule = nullptr;
        uint64_t runSerial = 0;  // the enable that began the run
        int64_t runStartNs = 0;
        // A change of the period that may bring the next tick forward: a due time more than
        // pullPeriod after pullNs comes at pullNs instead (a big speed-up ticks at once).
        uint64_t pullSerial = 0;
        int64_t pullNs = 0;
        long double pullPeriod = 0;
        // The last change of the schedule, and the period then (the own period resumes with it
        // when a schedule is left).
        uint64_t scheduleSerial = 0;
        int64_t scheduleChangedNs = 0;
        long double scheduleChangePeriod = 0;
    };

    // Setters' side, under settersMutex_.
    void setTempoLocked(uint32_t milliBpm, long double period, bool pull);
    void publishLocked();
    bool pullNeedsWakeLocked() const;
    // Waits until a check that was in flight when this was called has ended.
    void waitForCheckInFlight() const;

    // Clock side.
    class CheckScope;
    void takeControl();
    bool checkNow(int64_t nowNs);
    bool checkScheduled(int64_t nowNs);
    bool pollNow();
    long double elapsedAt(int64_t nowNs) const;
    int64_t nextDue() const;
    int64_t job();
    void wakeThread();

    const MonotonicClock& clock_;

    // The setters' own copy, serialised by a mutex the clock thread never takes.
    std::mutex settersMutex_;
    Control set_;
    uint32_t tempoSet_ = 120000;
    uint64_t serial_ = 0;
    TripleBuffer<Control> control_;

    // For the getters: any thread, no lock. The tempo in the upper half, and in the lower the
    // whole-millisecond period round to tick chose (0: the period follows the tempo).
    std::atomic<uint64_t> tempoWord_;
    std::atomic<bool> enabled_{false};
    std::atomic<int> resolution_{1};
    std::atomic<unsigned> accuracy_{1};
    std::atomic<TickSchedule*> scheduleSet_{nullptr};

    // Odd while a check (Poll, Check, NextDueNs, the thread's job) runs; the setters that must
    // know the old state is let go wait for it to move on.
    std::atomic<uint64_t> checks_{0};
    // The deadline the clock thread sleeps to: a change of the period that does not bring a tick
    // before it need not wake the thread.
    std::atomic<int64_t> sleepingUntilNs_;

    std::atomic<TimerEvent*> onTimer_{nullptr};
    std::vector<std::unique_ptr<TimerEvent>> retiredOnTimer_;  // replaced inside a tick
    std::atomic<const TickLookahead*> lookahead_{nullptr};

    // The clock side's own; touched only inside a check.
    Control seen_;             // the control last taken
    long double elapsed_ = 0;  // ms since enabled, at the last check
    long double due_ = 0;      // elapsed time at which the next tick is due
    int64_t startNs_ = 0;      // clock reading when enabled
    int64_t lastCheckNs_ = 0;
    int64_t tickTimeNs_ = 0;
    // The outside schedule begun on the clock thread (seen_.schedule is the one wanted).
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

    std::unique_ptr<DeadlineThread> thread_;
    std::atomic<DeadlineThread*> clockThread_{nullptr};  // thread_, for the thread's own checks
};
