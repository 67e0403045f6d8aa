#include "tempo/bpm_timer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "platform/deadline_thread.h"
#include "tempo/tick_schedule.h"

namespace {
constexpr long double kTicksPerQuarter = 24.0L;
constexpr long double kNsPerMs = 1'000'000.0L;
// Outputs that can place a message this far after its time make a late wake-up harmless.
constexpr int64_t kNoEarlyWakeLookaheadNs = 1'000'000;

long double PeriodOf(uint32_t milliBpm) {
    // A tempo of 0 (round down to tick from the slowest tempo) would make the period infinite.
    const long double tempo = milliBpm > 0 ? milliBpm : 1;
    // 1000 / (tempo / 60000 * 24), written so that whole periods come out exact (125000 gives
    // 20 ms, not a hair less), which round to tick relies on.
    return (1000.0L * 60000.0L / kTicksPerQuarter) / tempo;
}

uint64_t TempoWord(uint32_t milliBpm, uint32_t wholePeriodMs) {
    return static_cast<uint64_t>(milliBpm) << 32 | wholePeriodMs;
}
}  // namespace

// Marks a check (of this thread, of this timer) as in flight, for the setters that wait for
// one to end. Checks nest (a handler may poll another timer); the chain tells a setter called
// from inside a check that it must not wait for it.
class TBPMTimer::CheckScope {
  public:
    explicit CheckScope(TBPMTimer& timer) : timer_(timer), outer_(tInnermost) {
        counted_ = !Within(&timer);
        // Sequentially consistent, as are the loads that follow it: a setter that published
        // before it looked at this count either sees the check in flight and waits, or this
        // check sees what it published.
        if (counted_) timer_.checks_.fetch_add(1);
        tInnermost = this;
    }
    ~CheckScope() {
        tInnermost = outer_;
        if (counted_) timer_.checks_.fetch_add(1, std::memory_order_release);
    }
    CheckScope(const CheckScope&) = delete;
    CheckScope& operator=(const CheckScope&) = delete;

    static bool Within(const TBPMTimer* timer) {
        for (const CheckScope* s = tInnermost; s; s = s->outer_)
            if (&s->timer_ == timer) return true;
        return false;
    }

  private:
    TBPMTimer& timer_;
    const CheckScope* outer_;
    bool counted_ = false;
    static thread_local const CheckScope* tInnermost;
};

thread_local const TBPMTimer::CheckScope* TBPMTimer::CheckScope::tInnermost = nullptr;

TBPMTimer::TBPMTimer(const MonotonicClock& clock, Drive drive)
    : clock_(clock),
      tempoWord_(TempoWord(120000, 0)),
      sleepingUntilNs_(DeadlineThread::kNoDeadline) {
    set_.period = PeriodOf(tempoSet_);
    seen_ = set_;
    control_.write(set_);
    if (drive == Drive::Thread) {
        thread_ = std::make_unique<DeadlineThread>([this] { return job(); });
        // The thread's first check may run before thread_ is assigned; it learns of itself here.
        clockThread_.store(thread_.get(), std::memory_order_release);
    }
}

TBPMTimer::~TBPMTimer() {
    SetEnabled(false);
    // Also when the tick disabled the timer itself and may still be on its way out.
    waitForCheckInFlight();
    thread_.reset();
    delete onTimer_.load();
}

// --- the setters' side -----------------------------------------------------------------------

void TBPMTimer::publishLocked() {
    control_.write(set_);
}

void TBPMTimer::waitForCheckInFlight() const {
    if (CheckScope::Within(this)) return;  // called from inside the check: it ends after us
    const uint64_t at = checks_.load();
    if ((at & 1) == 0) return;
    // A check is a few microseconds (a send that blocks, on ALSA, longer): spin briefly, then
    // sleep in short steps. The clock thread, at real-time priority, is not kept from ending.
    for (int spins = 0; checks_.load(std::memory_order_acquire) == at; ++spins) {
        if (spins < 64)
            __builtin_ia32_pause();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

void TBPMTimer::SetEnabled(bool enabled) {
    {
        std::lock_guard lock(settersMutex_);
        if (enabled == set_.enabled) return;
        set_.enabled = enabled;
        if (enabled) {
            set_.runSerial = ++serial_;
            set_.runStartNs = clock_.nowNs();
            droppedTicks_.store(0, std::memory_order_release);
        }
        skippedTicks_.store(0, std::memory_order_release);
        enabled_.store(enabled, std::memory_order_release);
        publishLocked();
    }
    if (!enabled) {
        // Wait for a tick that was already being raised when the schedule stopped.
        waitForCheckInFlight();
        if (!CheckScope::Within(this)) skippedTicks_.store(0, std::memory_order_release);
    }
    wakeThread();
}

void TBPMTimer::SetResolution(int ms) {
    bool wake = false;
    {
        std::lock_guard lock(settersMutex_);
        if (ms == resolution_.load(std::memory_order_relaxed)) return;
        resolution_.store(ms, std::memory_order_release);
        setTempoLocked(tempoSet_, PeriodOf(tempoSet_), true);
        wake = pullNeedsWakeLocked();
    }
    if (wake) wakeThread();
}

void TBPMTimer::SetAccuracy(unsigned ms) {
    accuracy_.store(ms, std::memory_order_release);
}

void TBPMTimer::SetTempo(uint32_t milliBpm) {
    bool wake = false;
    {
        std::lock_guard lock(settersMutex_);
        if (milliBpm == tempoSet_) return;
        setTempoLocked(milliBpm, PeriodOf(milliBpm), true);
        wake = pullNeedsWakeLocked();
    }
    if (wake) wakeThread();
}

void TBPMTimer::setTempoLocked(uint32_t milliBpm, long double period, bool pull) {
    const bool whole = period != PeriodOf(milliBpm);
    tempoSet_ = milliBpm;
    set_.period = period;
    if (pull) {
        // Measured now rather than at the clock's next check: the thread may sleep a whole tick.
        set_.pullSerial = ++serial_;
        set_.pullNs = clock_.nowNs();
        set_.pullPeriod = PeriodOf(milliBpm);
    }
    tempoWord_.store(TempoWord(milliBpm, whole ? static_cast<uint32_t>(period) : 0));
    publishLocked();
}

bool TBPMTimer::pullNeedsWakeLocked() const {
    // Without a speed-up that brings the next tick before the deadline the clock thread sleeps
    // to, the due time stays and the thread takes the new period when it wakes for it; a
    // schedule decides the due times itself. (Loaded after the control was published: should
    // the thread compute its deadline from the control before it, it sees the new one and runs
    // its check again.)
    if (!set_.enabled || set_.schedule) return false;
    const long double pulledTo = set_.pullNs + set_.pullPeriod * kNsPerMs;
    return pulledTo < static_cast<long double>(sleepingUntilNs_.load());
}

void TBPMTimer::SetOnTimer(TimerEvent handler) {
    auto fresh = std::make_unique<TimerEvent>(std::move(handler));
    std::unique_ptr<TimerEvent> old(onTimer_.exchange(fresh.release()));
    if (CheckScope::Within(this)) {
        // Replaced from inside a tick, maybe by itself: kept until the timer goes.
        std::lock_guard lock(settersMutex_);
        retiredOnTimer_.push_back(std::move(old));
        return;
    }
    waitForCheckInFlight();
}

long double TBPMTimer::Period() const {
    const uint64_t word = tempoWord_.load();
    const auto whole = static_cast<uint32_t>(word & 0xFFFF'FFFFu);
    return whole > 0 ? static_cast<long double>(whole)
                     : PeriodOf(static_cast<uint32_t>(word >> 32));
}

void TBPMTimer::RoundUpToTick() {
    bool wake = false;
    {
        std::lock_guard lock(settersMutex_);
        long double p = std::floor(set_.period - 1);
        if (p < 1) p = 1;
        const auto milliBpm =
            static_cast<uint32_t>(std::trunc(60'000'000.0L / (p * kTicksPerQuarter)));
        // The truncated tempo would give a period a hair off the whole millisecond; the due
        // time moves as for that tempo.
        const bool pull = milliBpm != tempoSet_;
        setTempoLocked(milliBpm, p, pull);
        wake = pull && pullNeedsWakeLocked();
    }
    if (wake) wakeThread();
}

void TBPMTimer::RoundDownToTick() {
    bool wake = false;
    {
        std::lock_guard lock(settersMutex_);
        const long double p = std::floor(set_.period + 1);
        const auto milliBpm =
            static_cast<uint32_t>(std::trunc(60'000'000.0L / (p * kTicksPerQuarter)));
        const bool pull = milliBpm != tempoSet_;
        setTempoLocked(milliBpm, p, pull);
        wake = pull && pullNeedsWakeLocked();
    }
    if (wake) wakeThread();
}

void TBPMTimer::SetSchedule(TickSchedule* schedule) {
    TickSchedule* old = nullptr;
    {
        std::lock_guard lock(settersMutex_);
        old = set_.schedule;
        if (old == schedule) return;  // nothing moves: no need to wake the clock thread
        set_.schedule = schedule;
        set_.scheduleSerial = ++serial_;
        set_.scheduleChangedNs = clock_.nowNs();
        set_.scheduleChangePeriod = set_.period;
        scheduleSet_.store(schedule, std::memory_order_release);
        publishLocked();
    }
    // A check that took the old schedule may still be asking it.
    if (old) waitForCheckInFlight();
    wakeThread();
}

void TBPMTimer::SetLookahead(const TickLookahead* source) {
    const TickLookahead* old = lookahead_.exchange(source);
    if (old && old != source) waitForCheckInFlight();
}

bool TBPMTimer::RealtimePriority() const {
    return thread_ && thread_->realtime();
}

bool TBPMTimer::TakeBarPlace(int64_t& tick, int64_t& length) {
    if (!barPlacePending_.load(std::memory_order_acquire) ||
        !barPlacePending_.exchange(false, std::memory_order_acq_rel))
        return false;
    tick = barTick_.load(std::memory_order_relaxed);
    length = barLength_.load(std::memory_order_relaxed);
    return length > 0;
}

// --- the clock side --------------------------------------------------------------------------

void TBPMTimer::takeControl() {
    Control c;
    if (!control_.readNew(c)) return;
    if (c.runSerial != seen_.runSerial) {
        // A new run: the schedule restarts from 0, and a schedule begins it at the next check.
        elapsed_ = 0;
        due_ = 0;
        startNs_ = c.runStartNs;
        active_ = nullptr;
        tickedSinceEnable_ = false;
    }
    if (!c.enabled) {
        elapsed_ = 0;
        due_ = 0;
        active_ = nullptr;
        tickedSinceEnable_ = false;
    }
    bool resumed = false;
    if (c.scheduleSerial != seen_.scheduleSerial && active_) {
        // The schedule that ran the ticks was left (or another one wanted): own period from the
        // last tick on, the next one period after it, with the period of that moment.
        active_ = nullptr;
        barPlacePending_.store(false, std::memory_order_release);
        if (tickedSinceEnable_) {
            startNs_ = tickTimeNs_;
            due_ = c.scheduleChangePeriod;
        } else {
            startNs_ = c.scheduleChangedNs;
            due_ = 0;
        }
        resumed = true;
    }
    // A change of the period after the run began, and not overtaken by leaving a schedule.
    if (c.enabled && c.pullSerial != seen_.pullSerial && c.pullSerial > c.runSerial &&
        !(resumed && c.scheduleSerial > c.pullSerial)) {
        // Never before a check already made: a check in flight when the change came counts as
        // made before it, so no tick time goes back.
        elapsed_ = elapsedAt(std::max(c.pullNs, lastCheckNs_));
        if (due_ > elapsed_ + c.pullPeriod) due_ = elapsed_;  // a big speed-up: tick at once
    }
    seen_ = c;
}

bool TBPMTimer::Check() {
    CheckScope scope(*this);
    takeControl();
    return checkNow(clock_.nowNs());
}

bool TBPMTimer::Poll() {
    CheckScope scope(*this);
    return pollNow();
}

bool TBPMTimer::pollNow() {
    takeControl();
    if (!checkNow(clock_.nowNs())) return false;
    // Loaded after the check began (sequentially consistent, see CheckScope): a handler replaced
    // before it is never raised by it.
    if (const TimerEvent* handler = onTimer_.load(); handler && *handler) (*handler)(*this, 0);
    return true;
}

int64_t TBPMTimer::NextDueNs() {
    CheckScope scope(*this);
    takeControl();
    return nextDue();
}

bool TBPMTimer::checkScheduled(int64_t nowNs) {
    TickSchedule* const wanted = seen_.schedule;
    if (active_ != wanted || active_->GridChanged()) {
        const bool newRun = !tickedSinceEnable_;
        wanted->BeginRun(nowNs, newRun, tickTimeNs_);
        active_ = wanted;
        scheduledTick_ = 0;
        const TickSchedule::BarPlace place =
            newRun ? TickSchedule::BarPlace{} : active_->FirstTickInBar();
        barTick_.store(place.tick, std::memory_order_relaxed);
        barLength_.store(place.length, std::memory_order_relaxed);
        barPlacePending_.store(place.length > 0, std::memory_order_release);
    }
    int64_t due = active_->TickDueNs(scheduledTick_);
    long double allowance = seen_.period * kNsPerMs;
    // Only the lookahead here, not the late-tick limit: a due time long past may mean the
    // schedule itself moved (the session's timeline, the lock taking the master's phase), and a
    // burst of the ticks in between would be wrong; the tick count goes on by the skipped ones.
    // The outputs are asked only for a tick later than a period, the only one it can matter to.
    const TickLookahead* source = lookahead_.load();
    if (source && nowNs > due + static_cast<int64_t>(allowance))
        allowance = std::max(allowance, static_cast<long double>(source->TickLookaheadNs()));
    if (nowNs > due + static_cast<int64_t>(allowance)) {
        // Missed: the schedule's grid stays, the ticks that can no longer be placed are dropped.
        const int64_t next = std::max(scheduledTick_ + 1, active_->FirstTickAtOrAfter(nowNs));
        skippedTicks_.fetch_add(next - scheduledTick_, std::memory_order_acq_rel);
        droppedTicks_.fetch_add(next - scheduledTick_, std::memory_order_acq_rel);
        scheduledTick_ = next;
        scheduledDueNs_ = active_->TickDueNs(scheduledTick_);
        return false;
    }
    if (nowNs < due) {
        scheduledDueNs_ = due;
        return false;
    }
    tickTimeNs_ = due;
    tickedSinceEnable_ = true;
    ++scheduledTick_;
    scheduledDueNs_ = active_->TickDueNs(scheduledTick_);
    return true;
}

bool TBPMTimer::checkNow(int64_t nowNs) {
    lastCheckNs_ = nowNs;
    if (!seen_.enabled) return false;
    if (seen_.schedule) return checkScheduled(nowNs);
    const long double period = seen_.period;
    elapsed_ = elapsedAt(nowNs);
    if (elapsed_ < due_) return false;
    tickedSinceEnable_ = true;
    long double allowance = period;
    const TickLookahead* source = lookahead_.load();
    if (source && elapsed_ > due_ + allowance) {  // only a tick later than a period needs it
        allowance =
            std::max(allowance, static_cast<long double>(source->LateTickLimitNs()) / kNsPerMs);
    }
    // Within the allowance a late tick still carries its own scheduled time, so an output that
    // schedules places it where it belongs (or, past its frame, first in the next cycle); the
    // next ones follow at once, each with its own.
    if (elapsed_ > due_ + allowance) {
        // Too late to be placed: drop the missed ticks and restart the schedule from now. The
        // tick raised now stands for the first of them.
        if (period > 0) {
            droppedTicks_.fetch_add(static_cast<int64_t>((elapsed_ - due_) / period),
                                    std::memory_order_acq_rel);
        }
        tickTimeNs_ = nowNs;
        due_ = elapsed_ + period;
    } else {
        tickTimeNs_ = startNs_ + static_cast<int64_t>(std::llround(due_ * kNsPerMs));
        due_ += period;
    }
    return true;
}

long double TBPMTimer::elapsedAt(int64_t nowNs) const {
    return static_cast<long double>(nowNs - startNs_) / kNsPerMs;
}

int64_t TBPMTimer::nextDue() const {
    if (!seen_.enabled) return DeadlineThread::kNoDeadline;
    if (seen_.schedule)  // not begun: at once
        return active_ == seen_.schedule ? scheduledDueNs_ : startNs_;
    return startNs_ + static_cast<int64_t>(std::ceil(due_ * kNsPerMs));
}

int64_t TBPMTimer::job() {
    CheckScope scope(*this);
    pollNow();
    const int64_t next = nextDue();
    // A precise wake-up matters only to outputs that send at once: where every open output
    // places messages at their own time with room to spare, lateness of a few hundred
    // microseconds reaches no receiver, and waiting it out awake would only cost CPU. Asked
    // only while ticks are due: the outputs are set up (and taken down) while the timer is off.
    DeadlineThread* thread = clockThread_.load(std::memory_order_acquire);
    if (thread && next != DeadlineThread::kNoDeadline) {
        const TickLookahead* source = lookahead_.load();
        thread->setWakeEarly(!source || source->TickLookaheadNs() < kNoEarlyWakeLookaheadNs);
    }
    // A setter that published after the check took the control, and then saw an older deadline
    // here, did not wake the thread: check again at once rather than sleep past its change.
    sleepingUntilNs_.store(next);
    if (control_.hasNew()) return 0;  // long past: the thread runs the job again at once
    return next;
}

void TBPMTimer::wakeThread() {
    if (thread_) thread_->wake();
}
