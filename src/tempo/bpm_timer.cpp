#include "tempo/bpm_timer.h"

#include <algorithm>
#include <cmath>

#include "platform/deadline_thread.h"
#include "tempo/tick_schedule.h"

namespace {
constexpr long double kTicksPerQuarter = 24.0L;
constexpr long double kNsPerMs = 1'000'000.0L;
// Outputs that can place a message this far after its time make a late wake-up harmless.
constexpr int64_t kNoEarlyWakeLookaheadNs = 1'000'000;
}  // namespace

TBPMTimer::TBPMTimer(const MonotonicClock& clock, Drive drive) : clock_(clock) {
    recomputePeriodLocked();
    if (drive == Drive::Thread) {
        thread_ = std::make_unique<DeadlineThread>([this] { return job(); });
        // The thread's first check may run before thread_ is assigned; it learns of itself here.
        clockThread_.store(thread_.get(), std::memory_order_release);
    }
}

TBPMTimer::~TBPMTimer() {
    SetEnabled(false);
    thread_.reset();
}

bool TBPMTimer::Enabled() const {
    std::lock_guard lock(scheduleMutex_);
    return enabled_;
}

void TBPMTimer::SetEnabled(bool enabled) {
    {
        std::lock_guard lock(scheduleMutex_);
        if (enabled == enabled_) return;
        enabled_ = enabled;
        elapsed_ = 0;
        due_ = 0;
        if (enabled) {
            startNs_ = clock_.nowNs();
            droppedTicks_.store(0, std::memory_order_release);
        }
        active_ = nullptr;  // a schedule begins the new run at the next check
        tickedSinceEnable_ = false;
        skippedTicks_.store(0, std::memory_order_release);
    }
    if (!enabled && !(thread_ && thread_->onThisThread())) {
        // Wait for a tick that was already being raised when the schedule stopped.
        std::lock_guard wait(callbackMutex_);
    }
    wakeThread();
}

int TBPMTimer::Resolution() const {
    std::lock_guard lock(scheduleMutex_);
    return resolution_;
}

void TBPMTimer::SetResolution(int ms) {
    {
        std::lock_guard lock(scheduleMutex_);
        if (ms == resolution_) return;
        resolution_ = ms;
        recomputePeriodLocked();
    }
    wakeThread();
}

unsigned TBPMTimer::Accuracy() const {
    std::lock_guard lock(scheduleMutex_);
    return accuracy_;
}

void TBPMTimer::SetAccuracy(unsigned ms) {
    std::lock_guard lock(scheduleMutex_);
    accuracy_ = ms;
}

uint32_t TBPMTimer::Tempo() const {
    std::lock_guard lock(scheduleMutex_);
    return tempo_;
}

void TBPMTimer::SetTempo(uint32_t milliBpm) {
    {
        std::lock_guard lock(scheduleMutex_);
        if (milliBpm == tempo_) return;
        setTempoLocked(milliBpm);
    }
    wakeThread();
}

void TBPMTimer::SetOnTimer(TimerEvent handler) {
    std::lock_guard lock(callbackMutex_);
    onTimer_ = std::move(handler);
}

long double TBPMTimer::Period() const {
    std::lock_guard lock(scheduleMutex_);
    return period_;
}

void TBPMTimer::RoundUpToTick() {
    roundToTick(true);
}
void TBPMTimer::RoundDownToTick() {
    roundToTick(false);
}

void TBPMTimer::roundToTick(bool up) {
    {
        std::lock_guard lock(scheduleMutex_);
        long double p = up ? std::floor(period_ - 1) : std::floor(period_ + 1);
        if (up && p < 1) p = 1;
        const long double tempo = std::trunc(60'000'000.0L / (p * kTicksPerQuarter));
        const uint32_t milliBpm = static_cast<uint32_t>(tempo);
        if (milliBpm != tempo_) setTempoLocked(milliBpm);
        // The truncated tempo would give a period a hair off the whole millisecond.
        period_ = p;
    }
    wakeThread();
}

bool TBPMTimer::Check() {
    std::lock_guard lock(scheduleMutex_);
    return checkLocked(clock_.nowNs());
}

bool TBPMTimer::Poll() {
    std::lock_guard callback(callbackMutex_);
    {
        std::lock_guard lock(scheduleMutex_);
        if (!enabled_ || !checkLocked(clock_.nowNs())) return false;
    }
    if (onTimer_) onTimer_(*this, 0);
    return true;
}

int64_t TBPMTimer::NextDueNs() const {
    std::lock_guard lock(scheduleMutex_);
    return nextDueLocked();
}

bool TBPMTimer::RealtimePriority() const {
    return thread_ && thread_->realtime();
}

void TBPMTimer::SetSchedule(TickSchedule* schedule) {
    {
        std::lock_guard lock(scheduleMutex_);
        if (wanted_ == schedule) return;  // nothing moves: no need to wake the clock thread
        wanted_ = schedule;
        if (active_ && active_ != schedule) {
            // Own period from the last tick on: the next one comes one period after it.
            active_ = nullptr;
            barPlacePending_.store(false, std::memory_order_release);
            if (enabled_ && tickedSinceEnable_) {
                startNs_ = tickTimeNs_;
                due_ = period_;
            } else {
                startNs_ = clock_.nowNs();
                due_ = 0;
            }
            elapsed_ = elapsedAtLocked(clock_.nowNs());
        }
    }
    wakeThread();
}

bool TBPMTimer::TakeBarPlace(int64_t& tick, int64_t& length) {
    if (!barPlacePending_.load(std::memory_order_acquire) ||
        !barPlacePending_.exchange(false, std::memory_order_acq_rel))
        return false;
    tick = barTick_.load(std::memory_order_relaxed);
    length = barLength_.load(std::memory_order_relaxed);
    return length > 0;
}

bool TBPMTimer::HasSchedule() const {
    std::lock_guard lock(scheduleMutex_);
    return wanted_ != nullptr;
}

bool TBPMTimer::checkScheduledLocked(int64_t nowNs) {
    if (active_ != wanted_ || active_->GridChanged()) {
        const bool newRun = !tickedSinceEnable_;
        wanted_->BeginRun(nowNs, newRun, tickTimeNs_);
        active_ = wanted_;
        scheduledTick_ = 0;
        const TickSchedule::BarPlace place =
            newRun ? TickSchedule::BarPlace{} : active_->FirstTickInBar();
        barTick_.store(place.tick, std::memory_order_relaxed);
        barLength_.store(place.length, std::memory_order_relaxed);
        barPlacePending_.store(place.length > 0, std::memory_order_release);
    }
    int64_t due = active_->TickDueNs(scheduledTick_);
    long double allowance = period_ * kNsPerMs;
    // Only the lookahead here, not the late-tick limit: a due time long past may mean the
    // schedule itself moved (the session's timeline, the lock taking the master's phase), and a
    // burst of the ticks in between would be wrong; the tick count goes on by the skipped ones.
    // The outputs are asked only for a tick later than a period, the only one it can matter to.
    const TickLookahead* source = lookahead_.load(std::memory_order_acquire);
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

bool TBPMTimer::checkLocked(int64_t nowNs) {
    if (!enabled_) return false;
    if (wanted_) return checkScheduledLocked(nowNs);
    elapsed_ = elapsedAtLocked(nowNs);
    if (elapsed_ < due_) return false;
    tickedSinceEnable_ = true;
    long double allowance = period_;
    const TickLookahead* source = lookahead_.load(std::memory_order_acquire);
    if (source && elapsed_ > due_ + allowance) {  // only a tick later than a period needs it
        allowance = std::max(allowance,
                             static_cast<long double>(source->LateTickLimitNs()) / kNsPerMs);
    }
    // Within the allowance a late tick still carries its own scheduled time, so an output that
    // schedules places it where it belongs (or, past its frame, first in the next cycle); the
    // next ones follow at once, each with its own.
    if (elapsed_ > due_ + allowance) {
        // Too late to be placed: drop the missed ticks and restart the schedule from now. The
        // tick raised now stands for the first of them.
        if (period_ > 0) {
            droppedTicks_.fetch_add(static_cast<int64_t>((elapsed_ - due_) / period_),
                                    std::memory_order_acq_rel);
        }
        tickTimeNs_ = nowNs;
        due_ = elapsed_ + period_;
    } else {
        tickTimeNs_ = startNs_ + static_cast<int64_t>(std::llround(due_ * kNsPerMs));
        due_ += period_;
    }
    return true;
}

void TBPMTimer::setTempoLocked(uint32_t milliBpm) {
    tempo_ = milliBpm;
    recomputePeriodLocked();
}

void TBPMTimer::recomputePeriodLocked() {
    // A tempo of 0 (round down to tick from the slowest tempo) would make the period infinite.
    const long double tempo = tempo_ > 0 ? tempo_ : 1;
    // 1000 / (tempo / 60000 * 24), written so that whole periods come out exact (125000 gives
    // 20 ms, not a hair less), which round to tick relies on.
    period_ = (1000.0L * 60000.0L / kTicksPerQuarter) / tempo;
    if (!enabled_) return;
    // Measure "now" rather than trusting the last check, which may lie a whole tick back now
    // that the thread sleeps between ticks instead of polling.
    elapsed_ = elapsedAtLocked(clock_.nowNs());
    if (due_ > elapsed_ + period_) due_ = elapsed_;  // a big speed-up: tick at once
}

long double TBPMTimer::elapsedAtLocked(int64_t nowNs) const {
    return static_cast<long double>(nowNs - startNs_) / kNsPerMs;
}

int64_t TBPMTimer::nextDueLocked() const {
    if (!enabled_) return DeadlineThread::kNoDeadline;
    if (wanted_) return active_ == wanted_ ? scheduledDueNs_ : startNs_;  // not begun: at once
    return startNs_ + static_cast<int64_t>(std::ceil(due_ * kNsPerMs));
}

int64_t TBPMTimer::job() {
    Poll();
    const int64_t next = NextDueNs();
    // A precise wake-up matters only to outputs that send at once: where every open output
    // places messages at their own time with room to spare, lateness of a few hundred
    // microseconds reaches no receiver, and waiting it out awake would only cost CPU. Asked
    // only while ticks are due: the outputs are set up (and taken down) while the timer is off.
    DeadlineThread* thread = clockThread_.load(std::memory_order_acquire);
    if (thread && next != DeadlineThread::kNoDeadline) {
        const TickLookahead* source = lookahead_.load(std::memory_order_acquire);
        thread->setWakeEarly(!source || source->TickLookaheadNs() < kNoEarlyWakeLookaheadNs);
    }
    return next;
}

void TBPMTimer::wakeThread() {
    if (thread_) thread_->wake();
}
