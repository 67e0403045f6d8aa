#include "midiin/clock_lock.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "tempo/bpm_timer.h"

namespace {
// Below this many ticks after a silence the fit keeps the tempo it had and only moves the
// phase: a slope through two or three jittered ticks would be far worse than the old tempo.
constexpr int kPhaseOnlyTicks = 8;
// A tick counts as off the line when it is further than this many times the usual distance,
// and never for less than this share of a tick (a clean clock has almost no distance at all).
constexpr double kStepFactor = 4.0;
constexpr double kStepFloor = 0.02;
// ...and the ticks that left it must run at least this much faster or slower than the line.
constexpr double kStepSlope = 0.05;
// While waiting for the master's first clock there is no due time: the clock wakes the timer.
constexpr int64_t kNever = INT64_MAX / 4;
}  // namespace

void ClockLock::Reset() {
    count_ = 0;
    head_ = 0;
    haveLast_ = false;
    fitValid_ = false;
    period_ = 0;
    jitter_ = 0;
    residuals_ = 0;
    slopeNoise_ = 0;
    run_ = 0;
    runSign_ = 0;
    startPending_ = false;
    holdTempo_ = false;
    songStart_ = -1;
    publish();
}

void ClockLock::Start() {
    startPending_ = true;
    songStart_ = lastIndex_ + 1;  // told at once, so a run begun before that tick knows it
    publish();
}

void ClockLock::Continue() {
    songStart_ = -1;
    startPending_ = false;
    publish();
}

void ClockLock::Clock(int64_t timeNs) {
    int64_t index = 0;
    bool silence = false;
    if (haveLast_) {
        const int64_t gap = timeNs - lastTime_;
        if (fitValid_ && period_ > 0) {
            silence = gap > kLostTicks * period_;
            // Ticks lost on the way (or a silence) are counted, so the line keeps its numbering.
            const int64_t ticks = std::llround(static_cast<double>(gap) / period_);
            index = lastIndex_ + (startPending_ ? 1 : std::max<int64_t>(1, ticks));
        } else {
            index = lastIndex_ + 1;
        }
    }
    if (startPending_) {
        songStart_ = index;
        startPending_ = false;
    }

    bool stepCandidate = false;
    if (silence) {
        count_ = 0;  // the old ticks say nothing about where the master is now
        run_ = 0;
        holdTempo_ = true;
    } else if (fitValid_ && count_ >= 2) {
        const double residual =
            static_cast<double>(timeNs) -
            (static_cast<double>(refTime_) + static_cast<double>(index - refIndex_) * period_);
        const double threshold = std::max(kStepFactor * jitter_, kStepFloor * period_);
        if (count_ >= kStepMinFit && std::fabs(residual) > threshold) {
            const int sign = residual > 0 ? 1 : -1;
            run_ = sign == runSign_ ? run_ + 1 : 1;
            runSign_ = sign;
            stepCandidate = run_ >= kStepRun;
        } else {
            // The usual distance from the line, learnt from the first ticks on (while the fit is
            // young it comes out too large, which only makes a step harder to call).
            run_ = 0;
            ++residuals_;
            jitter_ += (std::fabs(residual) - jitter_) / std::min(residuals_, 16.0);
        }
    }
    time_[static_cast<size_t>(head_)] = timeNs;
    index_[static_cast<size_t>(head_)] = index;
    head_ = (head_ + 1) % kWindow;
    count_ = std::min(count_ + 1, kWindow);
    haveLast_ = true;
    lastIndex_ = index;
    lastTime_ = timeNs;

    if (stepCandidate) {
        // Ticks off the line on one side: a new tempo only if they run at one of their own. A
        // master whose phase wanders (jitter added to every interval) also leaves the line for a
        // while, but at its old tempo.
        run_ = 0;
        const double slope = recentSlope(kStepRun);
        const double threshold = std::max(kStepSlope, kStepFactor * slopeNoise_);
        if (slope > 0 && std::fabs(slope - period_) > threshold * period_) {
            count_ = kStepRun;  // keep only the ticks that left the line
            holdTempo_ = false;
            ++steps_;
        }
    } else if (fitValid_ && count_ > kStepMinFit && run_ == 0) {
        // How far the newest ticks' own tempo strays from the line's while nothing happens:
        // a wandering master's strays far, and only a larger change counts as a step.
        const double stray = std::fabs(recentSlope(kStepRun) / period_ - 1);
        slopeNoise_ += (stray - slopeNoise_) / 32.0;
    }
    if (holdTempo_ && count_ >= kPhaseOnlyTicks) holdTempo_ = false;
    if (holdTempo_)
        refitPhase();
    else if (count_ >= 2)
        refit();
    publish();
    if (TBPMTimer* timer = timer_.load(std::memory_order_acquire)) timer->Wake();
}

void ClockLock::refit() {
    // Least squares of time over tick number, both taken relative to the newest tick so that the
    // sums stay small enough for doubles to hold them exactly to well below a nanosecond.
    double sumJ = 0, sumT = 0, sumJJ = 0, sumJT = 0;
    for (int i = 0; i < count_; ++i) {
        const size_t slot = static_cast<size_t>((head_ - 1 - i + kWindow) % kWindow);
        const double j = static_cast<double>(index_[slot] - lastIndex_);
        const double t = static_cast<double>(time_[slot] - lastTime_);
        sumJ += j;
        sumT += t;
        sumJJ += j * j;
        sumJT += j * t;
    }
    const double n = count_;
    const double varJ = sumJJ - sumJ * sumJ / n;
    if (varJ <= 0) return;
    const double slope = (sumJT - sumJ * sumT / n) / varJ;
    if (!(slope > 0) || !std::isfinite(slope)) return;  // ticks out of order: keep the old line
    const double atNewest = sumT / n - slope * sumJ / n;
    period_ = slope;
    refIndex_ = lastIndex_;
    refTime_ = lastTime_ + std::llround(atNewest);
    fitValid_ = true;
}

double ClockLock::recentSlope(int ticks) const {
    const int n = std::min(ticks, count_);
    double sumJ = 0, sumT = 0, sumJJ = 0, sumJT = 0;
    for (int i = 0; i < n; ++i) {
        const size_t slot = static_cast<size_t>((head_ - 1 - i + kWindow) % kWindow);
        const double j = static_cast<double>(index_[slot] - lastIndex_);
        const double t = static_cast<double>(time_[slot] - lastTime_);
        sumJ += j;
        sumT += t;
        sumJJ += j * j;
        sumJT += j * t;
    }
    const double varJ = sumJJ - sumJ * sumJ / n;
    return varJ > 0 ? (sumJT - sumJ * sumT / n) / varJ : 0;
}

void ClockLock::refitPhase() {
    double sum = 0;
    for (int i = 0; i < count_; ++i) {
        const size_t slot = static_cast<size_t>((head_ - 1 - i + kWindow) % kWindow);
        sum += static_cast<double>(time_[slot] - lastTime_) -
               static_cast<double>(index_[slot] - lastIndex_) * period_;
    }
    refIndex_ = lastIndex_;
    refTime_ = lastTime_ + std::llround(sum / count_);
}

void ClockLock::publish() {
    const uint32_t s = seq_.load(std::memory_order_relaxed);
    seq_.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    pValid_.store(fitValid_, std::memory_order_relaxed);
    pRefIndex_.store(refIndex_, std::memory_order_relaxed);
    pRefTime_.store(refTime_, std::memory_order_relaxed);
    pPeriod_.store(period_, std::memory_order_relaxed);
    pLastIndex_.store(lastIndex_, std::memory_order_relaxed);
    pLastInput_.store(haveLast_ ? lastTime_ : 0, std::memory_order_relaxed);
    pSongStart_.store(songStart_, std::memory_order_relaxed);
    pFitTicks_.store(count_, std::memory_order_relaxed);
    pSteps_.store(steps_, std::memory_order_relaxed);
    seq_.store(s + 2, std::memory_order_release);
}

ClockLock::Estimate ClockLock::Current() const {
    Estimate e;
    for (;;) {
        const uint32_t before = seq_.load(std::memory_order_acquire);
        if (before & 1u) continue;  // a clock is being published just now: a few stores
        e.valid = pValid_.load(std::memory_order_relaxed);
        e.refIndex = pRefIndex_.load(std::memory_order_relaxed);
        e.refTimeNs = pRefTime_.load(std::memory_order_relaxed);
        e.periodNs = pPeriod_.load(std::memory_order_relaxed);
        e.lastIndex = pLastIndex_.load(std::memory_order_relaxed);
        e.lastInputNs = pLastInput_.load(std::memory_order_relaxed);
        e.songStart = pSongStart_.load(std::memory_order_relaxed);
        e.fitTicks = pFitTicks_.load(std::memory_order_relaxed);
        e.steps = pSteps_.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq_.load(std::memory_order_relaxed) == before) return e;
    }
}

bool ClockLock::Locked(int64_t nowNs) const {
    const Estimate e = Current();
    return e.valid && static_cast<double>(nowNs - e.lastInputNs) <= kLostTicks * e.periodNs;
}

bool ClockLock::Lost(int64_t nowNs) const {
    const Estimate e = Current();
    return e.valid && static_cast<double>(nowNs - e.lastInputNs) > kLostTicks * e.periodNs;
}

int64_t ClockLock::latencyNs() const {
    const TickLookahead* latency = latency_.load(std::memory_order_acquire);
    return latency ? latency->TickLookaheadNs() : 0;
}

void ClockLock::BeginRun(int64_t nowNs, bool newRun, int64_t lastTickNs) {
    const Estimate e = Current();
    waitingSince_ = -1;
    offset_ = 0;
    if (!e.valid) {
        waitingSince_ = nowNs;
        return;
    }
    const double latency = static_cast<double>(latencyNs());
    const bool silent = static_cast<double>(nowNs - e.lastInputNs) > kLostTicks * e.periodNs;
    // The first master tick whose (early) due time is still ahead.
    const auto firstAfter = [&](double timeNs) {
        return e.refIndex + static_cast<int64_t>(std::ceil(
                                (timeNs + latency - static_cast<double>(e.refTimeNs)) / e.periodNs));
    };
    if (!newRun) {
        offset_ = firstAfter(static_cast<double>(lastTickNs) + 0.5 * e.periodNs);
        return;
    }
    if (silent) {
        // The master has been quiet: its next clock, whenever it comes, is our first tick.
        waitingSince_ = nowNs;
        return;
    }
    if (e.songStart >= 0 && e.songStart >= e.lastIndex &&
        (e.songStart > e.lastIndex || nowNs - e.lastInputNs < static_cast<int64_t>(e.periodNs))) {
        // Started by the master: its next tick (or the one that has just come) is our first.
        offset_ = e.songStart;
        return;
    }
    int64_t first = std::max(e.lastIndex + 1, firstAfter(static_cast<double>(nowNs)));
    if (e.songStart >= 0) {
        // Started by us into a running song: on the master's next beat.
        const int64_t intoBeat = (first - e.songStart) % 24;
        if (intoBeat != 0) first += 24 - intoBeat;
    }
    offset_ = first;
}

int64_t ClockLock::TickDueNs(int64_t k) {
    const Estimate e = Current();
    if (waitingSince_ >= 0) {
        if (!e.valid || e.lastInputNs <= waitingSince_) return kNever;
        offset_ = e.lastIndex - k;  // the clock that came is our tick k
        waitingSince_ = -1;
    }
    return std::llround(e.TimeOf(k + offset_)) - latencyNs();
}

int64_t ClockLock::FirstTickAtOrAfter(int64_t nowNs) {
    const Estimate e = Current();
    if (waitingSince_ >= 0 || !e.valid) return 0;
    const double master =
        std::ceil((static_cast<double>(nowNs + latencyNs()) - static_cast<double>(e.refTimeNs)) /
                  e.periodNs);
    return e.refIndex + static_cast<int64_t>(master) - offset_;
}
