#include "midiin/clock_lock.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "tempo/bpm_timer.h"

namespace {
// Below this many ticks after a silence the fit keeps the tempo it had and only moves the
// phase: a slope through two or three jittered ticks would be far worse than the old tempo.
constexpr int kPhaseOnlyTicks = 8;
// The error model is measured once this many intervals (older than the step detector's span)
// are in the window; after a step it is measured again only from kNoiseRemeasure on (the one
// measured before is kept, since a master's jitter stays its own whatever its tempo, and a model
// from few intervals would unsettle the step detector).
constexpr int kNoiseIntervals = 48;
constexpr int kNoiseRemeasure = 192;
// The master's error is never taken as smaller than this share of a tick (as a deviation):
// stamps are whole frames, and a perfectly clean line must not make every frame a surprise.
constexpr double kNoiseFloor = 1e-3;
constexpr double kCorrelationMargin = 1.5;
// Intervals further from the median than this many times the usual spread (from the median
// distance) are not the master's jitter.
constexpr double kOutlierSpread = 5;
// Step detector: the sum of the newest k normalised prediction errors (k of 3, 6, 12, 24) beyond
// kStepSigma * sqrt(k), with at least three quarters of them on that side; each error counts at
// most kErrorClamp, so one stray stamp never makes a step.
constexpr double kStepSigma = 5.5;
constexpr double kErrorClamp = 6.0;
constexpr std::array<int, 4> kStepSpans = {3, 6, 12, 24};
constexpr double kTailError = 0.5;
// Ticks off the line are a new tempo when their own runs at least this share off the line's (or
// is known less well than half that); otherwise the fit keeps kDriftWindow ticks.
constexpr double kStepShare = 0.01;
constexpr int kDriftWindow = ClockLock::kWindow / 4;
// The usual size of an error is learnt over this many ticks, from errors of at most sqrt(cap),
// and steps are looked for once it rests on this many.
constexpr double kScaleTicks = 32;
constexpr double kScaleCap = 100;
constexpr int kScaleMinUpdates = 16;
// Our schedule: the phase error is corrected over this many ticks, the period moves a share of
// the way to what that asks per tick, and never by more than this share of a tick, nor further
// from the master's than that share (or a quarter of its walk per tick: a walking master must
// be followed): a clean master's phase that jumps by a few frames (JACK's time line moved) is
// taken back over many ticks, each within a frame; an error of more than kResyncShare of a tick
// (or kResyncWalks times what a walking master strays, at most kResyncTicks) puts our ticks back on
// the master's at once.
constexpr double kPhaseTicks = 48;
// ...or fewer, down to kMinPhaseTicks, where the prediction moves by less than kTargetNoiseNs
// per tick for each of them (its share of our period then stays a fraction of a frame).
constexpr double kMinPhaseTicks = 4;
constexpr double kTargetNoiseNs = 5000;
constexpr double kPeriodSmoothing = 1.0 / 8;
constexpr double kPeriodSlew = 5e-4;
constexpr double kResyncTicks = 2;
constexpr double kResyncShare = 0.02;
constexpr double kResyncWalks = 4;
// While waiting for the master's first clock there is no due time: the clock wakes the timer.
constexpr int64_t kNever = INT64_MAX / 4;
// A clock that came with the master's Start at most this long before our run began (a tick at
// 10 BPM) is the one our first tick goes with.
constexpr int64_t kFirstClockAgeNs = 250'000'000;
}  // namespace

void ClockLock::Reset() {
    stopped_.store(false, std::memory_order_release);
    count_ = 0;
    head_ = 0;
    haveLast_ = false;
    fitValid_ = false;
    period_ = 0;
    gridVar_ = 0;
    walkVar_ = 0;
    noiseKnown_ = false;
    noiseSettled_ = false;
    predictVar_ = 0;
    errorCount_ = 0;
    errorHead_ = 0;
    errorScale_ = 1;
    scaleUpdates_ = 0;
    startPending_ = false;
    holdTempo_ = false;
    freshStep_ = false;
    songStart_ = -1;
    resumePending_ = false;
    resumeAt_ = -1;
    publish();
}

void ClockLock::Stop() {
    stopped_.store(true, std::memory_order_release);
}

double ClockLock::SentBpm() const {
    const double period = sentPeriodNs_.load(std::memory_order_acquire);
    return period > 0 ? 60e9 / (24.0 * period) : 0;
}

void ClockLock::Start() {
    stopped_.store(false, std::memory_order_release);
    startPending_ = true;
    songStart_ = lastIndex_ + 1;  // told at once, so a run begun before that tick knows it
    resumePending_ = true;
    resumeAt_ = songStart_;
    publish();
}

void ClockLock::Continue() {
    stopped_.store(false, std::memory_order_release);
    songStart_ = -1;
    startPending_ = false;
    resumePending_ = true;
    resumeAt_ = lastIndex_ + 1;  // as for a Start
    publish();
}

void ClockLock::Clock(int64_t timeNs) {
    stopped_.store(false, std::memory_order_release);
    int64_t index = 0;
    bool silence = false;
    if (haveLast_) {
        const int64_t gap = timeNs - lastTime_;
        if (fitValid_ && period_ > 0) {
            silence = gap > kLostTicks * period_;
            // Ticks lost on the way (or a silence) are counted, so the line keeps its numbering;
            // not by a fit of a few ticks just after a step, though: one of them cut short would
            // give half the period, and every tick after it would then count as two.
            if (count_ >= kStepSpan) freshStep_ = false;
            const int64_t ticks =
                silence || !freshStep_ ? std::llround(static_cast<double>(gap) / period_) : 1;
            index = lastIndex_ + (startPending_ ? 1 : std::max<int64_t>(1, ticks));
        } else {
            index = lastIndex_ + 1;
        }
    }
    if (startPending_) {
        songStart_ = index;
        startPending_ = false;
    }
    if (resumePending_) {
        resumeAt_ = index;
        resumePending_ = false;
    }

    if (silence) {
        count_ = 0;  // the old ticks say nothing about where the master is now
        errorCount_ = 0;
        holdTempo_ = true;
    } else if (fitValid_ && count_ >= 2 && !holdTempo_) {
        // How far the line missed this tick, in units of the miss the error model expects.
        const double residual =
            static_cast<double>(timeNs) -
            (static_cast<double>(refTime_) + static_cast<double>(index - refIndex_) * period_);
        const double gap = static_cast<double>(index - lastIndex_);
        const double expected = std::sqrt(std::max(predictVar_ * gap, 1.0));
        // The error leaving the ring teaches the detector how large errors run when nothing
        // happens (the model's own figure is only as good as the model); the ones still in the
        // ring are the ones under suspicion.
        if (errorCount_ == kStepSpan) {
            const double leaving = errors_[static_cast<size_t>(errorHead_)];
            errorScale_ += (std::min(leaving * leaving, kScaleCap) - errorScale_) / kScaleTicks;
            ++scaleUpdates_;
        }
        errors_[static_cast<size_t>(errorHead_)] = residual / expected;
        errorHead_ = (errorHead_ + 1) % kStepSpan;
        errorCount_ = std::min(errorCount_ + 1, kStepSpan);
    }
    time_[static_cast<size_t>(head_)] = timeNs;
    index_[static_cast<size_t>(head_)] = index;
    head_ = (head_ + 1) % kWindow;
    count_ = std::min(count_ + 1, kWindow);
    haveLast_ = true;
    lastIndex_ = index;
    lastTime_ = timeNs;

    int run = 0;
    if (count_ >= kStepMinFit && stepInErrors(&run)) {
        // The ticks that left the line run at a tempo of their own (a step: the fit starts
        // afresh from them), or surely at the old one (the master's phase jumped, or the line fell
        // behind a gradual change): then the older ticks are moved by the jump, so the fit keeps
        // what it knew about the tempo, and only the newest kDriftWindow of them are kept.
        const int tail = run;
        const Line newest = fitLine(tail, gridVar_, walkVar_);
        const double change = std::fabs(newest.period / period_ - 1);
        const double unsure = std::sqrt(std::max(0.0, newest.periodVar)) / period_;
        if (!newest.valid || change >= kStepShare || unsure >= kStepShare / 2) {
            count_ = tail;
            ++steps_;
            freshStep_ = true;
        } else {
            double jump = 0;
            for (int age = 0; age < tail; ++age) {
                const size_t slot = static_cast<size_t>((head_ - 1 - age + kWindow) % kWindow);
                jump += static_cast<double>(time_[slot] - refTime_) -
                        static_cast<double>(index_[slot] - refIndex_) * period_;
            }
            const int64_t shift = std::llround(jump / tail);
            count_ = std::min(count_, kDriftWindow);
            for (int age = tail; age < count_; ++age)
                time_[static_cast<size_t>((head_ - 1 - age + kWindow) % kWindow)] += shift;
        }
        errorCount_ = 0;
    }
    measureNoise();
    if (holdTempo_ && count_ >= kPhaseOnlyTicks) holdTempo_ = false;
    if (holdTempo_)
        refitPhase();
    else if (count_ >= 2)
        refit();
    publish();
    if (TBPMTimer* timer = timer_.load(std::memory_order_acquire)) timer->Wake();
}

bool ClockLock::stepInErrors(int* run) {
    if (!noiseSettled_ || scaleUpdates_ < kScaleMinUpdates) return false;
    const double scale = std::sqrt(std::max(errorScale_, 1e-6));
    const auto error = [&](int age) {  // age 0: the newest, in units of the usual error
        return std::clamp(
            errors_[static_cast<size_t>((errorHead_ - 1 - age + kStepSpan) % kStepSpan)] / scale,
            -kErrorClamp, kErrorClamp);
    };
    for (const int span : kStepSpans) {
        if (span > errorCount_) break;
        double sum = 0;
        for (int i = 0; i < span; ++i) sum += error(i);
        if (std::fabs(sum) <= kStepSigma * std::sqrt(static_cast<double>(span))) continue;
        int sameSide = 0;
        int tail = 0;  // newest errors in a row on that side: where the new tempo began
        bool inTail = true;
        for (int i = 0; i < span; ++i) {
            const double e = error(i);
            const bool same = (e > 0) == (sum > 0);
            sameSide += same ? 1 : 0;
            // The tail counts only errors clearly on that side: a tick still on the old line
            // has one of either sign and must not be taken into the new one.
            inTail = inTail && same && std::fabs(e) > kTailError;
            tail += inTail ? 1 : 0;
        }
        if (4 * sameSide < 3 * span || tail < 3) continue;  // three at least tell a tempo
        *run = tail;
        return true;
    }
    return false;
}

void ClockLock::measureNoise() {
    // Intervals between neighbouring ticks (none across a lost one), their variance and how much
    // each one's error leans against the next one's: a stamp off the grid lengthens one interval
    // and shortens the next by the same (covariance -grid), a phase walk adds its own error to
    // each (variance walk + 2 grid). The newest intervals stay out: a step not yet recognised
    // must not teach the model that such errors are usual (and after a step, until the new
    // tempo's intervals are old enough, the model from before goes on). Intervals far outside
    // the usual spread (a jump of JACK's time line under load, once in a while) stay out too:
    // a clean master with a few jumps is still a clean master.
    int count = 0;
    for (int i = count_ - 2; i >= kStepSpan; --i) {
        const size_t older = static_cast<size_t>((head_ - 2 - i + 2 * kWindow) % kWindow);
        const size_t newer = static_cast<size_t>((head_ - 1 - i + 2 * kWindow) % kWindow);
        // A lost tick between them: NaN, which breaks the pairs on either side.
        intervals_[static_cast<size_t>(count++)] =
            index_[newer] - index_[older] == 1 ? static_cast<double>(time_[newer] - time_[older])
                                               : std::nan("");
    }
    int usable = 0;
    for (int i = 0; i < count; ++i)
        if (!std::isnan(intervals_[static_cast<size_t>(i)]))
            sorted_[static_cast<size_t>(usable++)] = intervals_[static_cast<size_t>(i)];
    if (usable < 9) return;
    const auto middle = sorted_.begin() + usable / 2;
    std::nth_element(sorted_.begin(), middle, sorted_.begin() + usable);
    const double median = *middle;
    for (int i = 0; i < usable; ++i)
        sorted_[static_cast<size_t>(i)] = std::fabs(sorted_[static_cast<size_t>(i)] - median);
    std::nth_element(sorted_.begin(), middle, sorted_.begin() + usable);
    const double limit = std::max(kOutlierSpread * 1.4826 * *middle, kNoiseFloor * median);

    double n = 0, sum = 0, sumSq = 0, pairs = 0, sumProd = 0, sumA = 0, sumB = 0;
    double previous = 0;
    bool havePrevious = false;
    for (int i = 0; i < count; ++i) {
        const double interval = intervals_[static_cast<size_t>(i)];
        if (std::isnan(interval) || std::fabs(interval - median) > limit) {
            havePrevious = false;
            continue;
        }
        n += 1;
        sum += interval;
        sumSq += interval * interval;
        if (havePrevious) {
            pairs += 1;
            sumProd += previous * interval;
            sumA += previous;
            sumB += interval;
        }
        previous = interval;
        havePrevious = true;
    }
    if (pairs < 8 || (noiseKnown_ && n < (noiseSettled_ ? kNoiseRemeasure : kNoiseIntervals)))
        return;
    const double mean = sum / n;
    const double variance = std::max(0.0, sumSq / n - mean * mean);
    const double covariance = sumProd / pairs - (sumA / pairs) * (sumB / pairs);
    // The correlation is -1/2 for stamps off a grid, 0 for a walking phase. Measured on a few
    // hundred intervals it is uncertain by about 1/sqrt(n) either way; a walk read into a grid
    // clock's noise would throw away most of what the older ticks know, so the measured value
    // is taken one and a half of those uncertainties towards the grid.
    const double correlation =
        (variance > 0 ? covariance / variance : 0) - kCorrelationMargin / std::sqrt(pairs);
    gridVar_ = std::clamp(-correlation, 0.0, 0.5) * variance;
    walkVar_ = std::max(0.0, variance - 2 * gridVar_);
    noiseKnown_ = true;
    if (!noiseSettled_ && n >= kNoiseIntervals) {
        // Measured on enough intervals for the first time: the errors' usual size is learnt
        // afresh from here, and only then are steps looked for (a young model's errors would
        // teach the detector a wrong size, and a master's walk would look like a string of steps).
        noiseSettled_ = true;
        errorScale_ = 1;
        scaleUpdates_ = 0;
    }
}

ClockLock::Line ClockLock::fitLine(int ticks, double gridVar, double walkVar) const {
    // Times and tick numbers relative to the newest tick, so that the numbers stay small enough
    // for doubles to hold them to well below a nanosecond.
    Line line;
    const int n = std::min(ticks, count_);
    if (n < 2) return line;
    const auto point = [&](int age, double* j, double* t) {  // age 0: the newest
        const size_t slot = static_cast<size_t>((head_ - 1 - age + kWindow) % kWindow);
        *j = static_cast<double>(index_[slot] - lastIndex_);
        *t = static_cast<double>(time_[slot] - lastTime_);
    };
    const double floor = kNoiseFloor * kNoiseFloor * period_ * period_;
    const double r = std::max({gridVar, floor, 1.0});
    const double q = walkVar;
    double j0, t0, j1, t1;
    point(n - 1, &j0, &t0);
    point(n - 2, &j1, &t1);
    double g = j1 - j0;
    if (!(g > 0)) return line;
    // The first two ticks: phase at the second, the interval between them, and how uncertain.
    double phase = t1;
    double period = (t1 - t0) / g;
    double ptt = r, ptp = r / g, ppp = (2 * r + g * q) / (g * g);
    double lastJ = j1;
    for (int age = n - 3; age >= 0; --age) {
        double j, t;
        point(age, &j, &t);
        g = j - lastJ;
        lastJ = j;
        if (!(g > 0)) return line;
        // Carried forward by g ticks: the phase walks on by g steps ...
        phase += period * g;
        ptt += 2 * g * ptp + g * g * ppp + g * q;
        ptp += g * ppp;
        // ... and the stamp pulls it back by as much as the two errors make it worth.
        const double s = ptt + r;
        const double kt = ptt / s, kp = ptp / s;
        const double miss = t - phase;
        phase += kt * miss;
        period += kp * miss;
        ppp -= kp * ptp;
        ptp *= 1 - kt;
        ptt *= 1 - kt;
    }
    line.valid = period > 0 && std::isfinite(period) && std::isfinite(phase);
    line.period = period;
    line.atNewest = phase;
    line.predictVar = ptt + 2 * ptp + ppp + q + r;
    line.periodVar = ppp;
    return line;
}

void ClockLock::refit() {
    const Line line = fitLine(count_, gridVar_, walkVar_);
    if (!line.valid) return;  // ticks out of order: keep the old line
    period_ = line.period;
    refIndex_ = lastIndex_;
    refTime_ = lastTime_ + std::llround(line.atNewest);
    predictVar_ = line.predictVar;
    fitValid_ = true;
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
    // A latch: two copies, written one after the other, and the count says which one is not
    // being written. A reader (the clock thread among them) takes that one and never waits for
    // this thread: preempted in the middle of a copy, it holds nothing a reader needs. A reader
    // tries again only when this thread has moved on to the other copy. No fences (which the
    // thread sanitizer cannot follow): each switch is a read-modify-write with acquire and
    // release, so no store to a copy moves across it.
    publishFirstCopy();
    publishSecondCopy();
}

void ClockLock::publishFirstCopy() {
    const uint32_t s = seq_.load(std::memory_order_relaxed);
    seq_.exchange(s + 1, std::memory_order_acq_rel);  // odd: readers take copy 1
    store(published_[0]);
}

void ClockLock::publishSecondCopy() {
    const uint32_t s = seq_.load(std::memory_order_relaxed);
    seq_.exchange(s + 1, std::memory_order_acq_rel);  // even: readers take copy 0
    store(published_[1]);
}

void ClockLock::store(Published& p) const {
    p.valid.store(fitValid_, std::memory_order_relaxed);
    p.refIndex.store(refIndex_, std::memory_order_relaxed);
    p.refTime.store(refTime_, std::memory_order_relaxed);
    p.period.store(period_, std::memory_order_relaxed);
    p.lastIndex.store(lastIndex_, std::memory_order_relaxed);
    p.lastInput.store(haveLast_ ? lastTime_ : 0, std::memory_order_relaxed);
    p.songStart.store(songStart_, std::memory_order_relaxed);
    p.resumeAt.store(resumeAt_, std::memory_order_relaxed);
    p.fitTicks.store(count_, std::memory_order_relaxed);
    p.steps.store(steps_, std::memory_order_relaxed);
    p.grid.store(std::sqrt(gridVar_), std::memory_order_relaxed);
    p.walk.store(std::sqrt(walkVar_), std::memory_order_relaxed);
}

ClockLock::Estimate ClockLock::Current() const {
    Estimate e;
    for (;;) {
        const uint32_t before = seq_.load(std::memory_order_acquire);
        const Published& p = published_[before & 1u];
        e.valid = p.valid.load(std::memory_order_relaxed);
        e.refIndex = p.refIndex.load(std::memory_order_relaxed);
        e.refTimeNs = p.refTime.load(std::memory_order_relaxed);
        e.periodNs = p.period.load(std::memory_order_relaxed);
        e.lastIndex = p.lastIndex.load(std::memory_order_relaxed);
        e.lastInputNs = p.lastInput.load(std::memory_order_relaxed);
        e.songStart = p.songStart.load(std::memory_order_relaxed);
        e.resumeAt = p.resumeAt.load(std::memory_order_relaxed);
        e.fitTicks = p.fitTicks.load(std::memory_order_relaxed);
        e.steps = p.steps.load(std::memory_order_relaxed);
        e.gridNs = p.grid.load(std::memory_order_relaxed);
        e.walkNs = p.walk.load(std::memory_order_relaxed);
        // A read-modify-write with release: no load above moves below it. Unchanged, the copy
        // was not written while it was read.
        if (seq_.fetch_add(0, std::memory_order_release) == before) return e;
    }
}

bool ClockLock::Locked(int64_t nowNs) const {
    const Estimate e = Current();
    return e.valid && static_cast<double>(nowNs - e.lastInputNs) <= kLostTicks * e.periodNs;
}

bool ClockLock::Lost(int64_t nowNs) const {
    if (stopped_.load(std::memory_order_acquire)) return false;
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
    outValid_ = false;
    // Waiting, the clock that ends the wait is any but the newest one now: the JACK input stamps
    // a clock with its frame's time, which may lie before this moment although it came after.
    waitIndex_ = e.lastIndex;
    waitInputNs_ = e.lastInputNs;
    // The master's first tick after its Start or Continue, or the one that has just come: our
    // first. A run begun a moment after that tick came (both came in one JACK cycle) must not
    // leave the whole song a tick behind the master's.
    const bool resumeHasCome = e.resumeAt >= 0 && e.resumeAt == e.lastIndex && e.lastInputNs > 0 &&
                               nowNs - e.lastInputNs < kFirstClockAgeNs;
    if (!e.valid) {
        // No tempo yet: our first tick goes with the master's next clock, or with the one
        // that has just come.
        waitingSince_ = nowNs;
        if (resumeHasCome) waitIndex_ = waitInputNs_ = -1;
        return;
    }
    const double latency = static_cast<double>(latencyNs());
    const bool silent = static_cast<double>(nowNs - e.lastInputNs) > kLostTicks * e.periodNs;
    // The first master tick whose (early) due time is still ahead.
    const auto firstAfter = [&](double timeNs) {
        return e.refIndex +
               static_cast<int64_t>(
                   std::ceil((timeNs + latency - static_cast<double>(e.refTimeNs)) / e.periodNs));
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
    if (e.resumeAt > e.lastIndex ||
        (resumeHasCome && nowNs - e.lastInputNs < static_cast<int64_t>(e.periodNs))) {
        // Started or continued by the master: its next tick (or the one that has just come) is
        // our first.
        offset_ = e.resumeAt;
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

double ClockLock::targetNs(const Estimate& e, int64_t k) const {
    return e.TimeOf(k + offset_) - static_cast<double>(latencyNs());
}

void ClockLock::restartOutput(const Estimate& e, int64_t k) {
    outValid_ = true;
    outK_ = k;
    outDueNs_ = targetNs(e, k);
    outPeriodNs_ = e.periodNs;
    outWantNs_ = e.periodNs;
    outSteps_ = e.steps;
    sentPeriodNs_.store(outPeriodNs_, std::memory_order_release);
}

int64_t ClockLock::TickDueNs(int64_t k) {
    const Estimate e = Current();
    if (waitingSince_ >= 0) {
        if (e.lastIndex == waitIndex_ && e.lastInputNs == waitInputNs_) return kNever;
        // The master's first clock tells no tempo: our first tick goes with it, the next waits
        // for its second clock.
        if (!e.valid) return k == 0 ? e.lastInputNs - latencyNs() : kNever;
        offset_ = e.lastIndex - k;  // the clock that came is our tick k
        waitingSince_ = -1;
        restartOutput(e, k);
    }
    if (!outValid_ || k < outK_ || k > outK_ + 1 || e.steps != outSteps_) {
        // A new run, a jump over missed ticks, or a new tempo: straight onto the master's line.
        restartOutput(e, k);
    } else if (k == outK_ + 1) {
        // The next tick: the period is steered towards the master's predicted tick, so that the
        // phase error goes in kPhaseTicks, and changed only a little per tick: the master's
        // jitter moves the prediction with every clock, our intervals must not follow that.
        const double ahead = outDueNs_ + outPeriodNs_;
        const double error = targetNs(e, k) - ahead;
        // As slowly as the master's noise asks: a clean master's phase is taken within a few
        // ticks, a walking one's over kPhaseTicks.
        const double ticks =
            std::clamp((e.walkNs + 0.25 * e.gridNs) / kTargetNoiseNs, kMinPhaseTicks, kPhaseTicks);
        // Further off than the master's own noise explains (a walk strays by its step times
        // sqrt(ticks / 2) from a follower this slow; a young model reads much of a walk as
        // displaced stamps, so both count), and more than a clean master's phase can
        // be followed within a frame per tick in a second or so: straight back on.
        const double resync = std::max(kResyncShare * e.periodNs,
                                       kResyncWalks * (e.walkNs + e.gridNs) * std::sqrt(ticks / 2));
        if (std::fabs(error) > std::min(resync, kResyncTicks * e.periodNs)) {
            restartOutput(e, k);
        } else {
            const double want = e.periodNs + error / ticks;
            outWantNs_ += (want - outWantNs_) * std::clamp(6 / ticks, kPeriodSmoothing, 1.0);
            const double slew = kPeriodSlew * e.periodNs;
            const double pull = std::max(kPeriodSlew * e.periodNs, 0.25 * e.walkNs);
            outPeriodNs_ += std::clamp(outWantNs_ - outPeriodNs_, -slew, slew);
            outPeriodNs_ = std::clamp(outPeriodNs_, e.periodNs - pull, e.periodNs + pull);
            outDueNs_ += outPeriodNs_;
            outK_ = k;
            sentPeriodNs_.store(outPeriodNs_, std::memory_order_release);
        }
    }
    return std::llround(outDueNs_);
}

int64_t ClockLock::FirstTickAtOrAfter(int64_t nowNs) {
    const Estimate e = Current();
    if (waitingSince_ >= 0 || !e.valid) return 0;
    const double master = std::ceil(
        (static_cast<double>(nowNs + latencyNs()) - static_cast<double>(e.refTimeNs)) / e.periodNs);
    return e.refIndex + static_cast<int64_t>(master) - offset_;
}
