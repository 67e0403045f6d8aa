#include "link/link_session.h"

#include <ableton/Link.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>

#include "tempo/bpm_timer.h"
#include "tempo/tempo_model.h"

namespace {
// Link keeps time in microseconds of the clock it is given: CLOCK_MONOTONIC, the clock our
// ticks are scheduled on, so no conversion stands between the session's beat and our tick.
using SessionClock = ableton::platforms::linux::ClockMonotonic;
using LinkType = ableton::BasicLink<SessionClock>;

// A run started just after the session's playing state (by a peer's start, which our start
// follows a few milliseconds later) still takes the bar that has just begun; its first ticks
// then go out at once.
constexpr double kLateStartTicks = 2.0;

std::chrono::microseconds Micros(int64_t ns) {
    return std::chrono::microseconds(ns / 1000);
}
int64_t Nanos(std::chrono::microseconds us) {
    return static_cast<int64_t>(us.count()) * 1000;
}
}  // namespace

struct LinkSession::Impl {
    explicit Impl(double bpm) : link(bpm) {}
    LinkType link;
    std::mutex appMutex;  // app-thread captures and commits among themselves
};

LinkSession::LinkSession() = default;

LinkSession::~LinkSession() {
    if (impl_) impl_->link.enable(false);
}

void LinkSession::Enable(bool on, double bpm) {
    if (on && !impl_) {
        impl_ = std::make_unique<Impl>(bpm > 0 ? bpm : 120);
        LinkType& link = impl_->link;
        link.enableStartStopSync(startStopSync_.load());
        link.setNumPeersCallback([this](std::size_t peers) { peers_.store(peers); });
        link.setTempoCallback([this](double tempo) {
            if (LinkListener* listener = listener_.load()) listener->LinkTempo(tempo);
            if (TBPMTimer* timer = timer_.load(std::memory_order_acquire)) timer->Wake();
        });
        link.setStartStopCallback([this](bool playing) {
            if (!startStopSync_.load()) return;
            // A joiner is handed the session's playing state, however old; only a start made
            // after we joined starts our clock.
            if (playing && timeForIsPlaying() < joinedMicros_.load(std::memory_order_acquire))
                return;
            if (LinkListener* listener = listener_.load()) listener->LinkPlaying(playing);
        });
    }
    if (!impl_) return;
    if (on && !impl_->link.isEnabled()) {
        joinedMicros_.store(impl_->link.clock().micros().count(), std::memory_order_release);
        joining_.store(true, std::memory_order_release);
        SetTempo(bpm);  // alone: our tempo is the session's
    }
    impl_->link.enable(on);
    enabled_.store(on, std::memory_order_release);
    if (!on) peers_.store(0);
}

void LinkSession::SetStartStopSync(bool on) {
    startStopSync_.store(on, std::memory_order_release);
    if (impl_) impl_->link.enableStartStopSync(on);
}

void LinkSession::SetQuantum(double beats) {
    quantum_.store(std::isfinite(beats) ? std::max(beats, 1.0) : 4.0, std::memory_order_release);
}

double LinkSession::Tempo() const {
    if (!impl_) return 0;
    std::lock_guard lock(impl_->appMutex);
    return impl_->link.captureAppSessionState().tempo();
}

void LinkSession::SetTempo(double bpm) {
    if (!impl_ || !(bpm > 0) || !std::isfinite(bpm)) return;
    std::lock_guard lock(impl_->appMutex);
    auto state = impl_->link.captureAppSessionState();
    if (state.tempo() == bpm) return;
    state.setTempo(bpm, impl_->link.clock().micros());
    impl_->link.commitAppSessionState(state);
}

int64_t LinkSession::timeForIsPlaying() const {
    if (!impl_) return 0;
    std::lock_guard lock(impl_->appMutex);
    return impl_->link.captureAppSessionState().timeForIsPlaying().count();
}

double LinkSession::MultiplierFor(double sessionBpm) const {
    const TempoModel* tempo = tempo_.load(std::memory_order_acquire);
    return tempo ? tempo->FollowMultiplier(sessionBpm) : 1;
}

bool LinkSession::Playing() const {
    if (!impl_) return false;
    std::lock_guard lock(impl_->appMutex);
    return impl_->link.captureAppSessionState().isPlaying();
}

void LinkSession::SetPlaying(bool playing) {
    if (!impl_ || !startStopSync_.load()) return;
    std::lock_guard lock(impl_->appMutex);
    auto state = impl_->link.captureAppSessionState();
    if (state.isPlaying() == playing) return;
    state.setIsPlaying(playing, impl_->link.clock().micros());
    impl_->link.commitAppSessionState(state);
}

int64_t LinkSession::latencyNs() const {
    const TickLookahead* latency = latency_.load(std::memory_order_acquire);
    return latency ? latency->TickLookaheadNs() : 0;
}

void LinkSession::BeginRun(int64_t nowNs, bool newRun, int64_t lastTickNs) {
    if (!impl_) return;
    const bool joining = joining_.exchange(false, std::memory_order_acq_rel);
    keepCount_ = false;
    const double quantum = Quantum();
    auto state = impl_->link.captureAudioSessionState();
    // Where no power of two fits the limits, the owner stops following the session; until it
    // has, the ticks keep the multiplier they had.
    const double multiplier = MultiplierFor(state.tempo());
    if (multiplier > 0) runMultiplier_ = multiplier;
    const double perBeat = ticksPerBeat();
    const int64_t latency = latencyNs();
    if (!newRun) {
        const std::atomic<int32_t>* count = tickCount_.load(std::memory_order_acquire);
        const int32_t next = count ? count->load(std::memory_order_acquire) : 0;
        if (count && peers_.load(std::memory_order_acquire) == 0) {
            // Alone, the session takes our running beat rather than we its: our next tick
            // (one period after the last) becomes the session's beat of our count, so neither
            // the ticks nor the bar lines move.
            const int64_t nextNs = lastTickNs + std::llround(60e9 / (state.tempo() * perBeat));
            state.requestBeatAtTime(next / perBeat, Micros(nextNs + latency), quantum);
            impl_->link.commitAudioSessionState(state);
        }
        // Taking over a running clock: the first point of the session's tick grid after our
        // last tick, half a tick of room so that no tick comes twice.
        const double after =
            state.beatAtTime(Micros(lastTickNs + latency), quantum) + 0.5 / perBeat;
        double tick = std::ceil(after * perBeat);  // in our ticks from the session's beat 0
        if (count && !joining) {
            // The session's tempo moved to another power of two under the running clock (or
            // came back within reach). The devices count our clocks, so the count goes on
            // without a jump, and the first tick waits for the point of the grid where the
            // count's beats fall on the session's beats (on its halves, quarters ... when we run
            // faster than it): at most one beat of ours.
            const double inPhase = std::min(24.0, perBeat);
            if (inPhase >= 1 && inPhase == std::floor(inPhase)) {
                const double behind = std::fmod(next - tick, inPhase);
                tick += behind < 0 ? behind + inPhase : behind;
            }
            keepCount_ = true;
        }
        firstBeat_ = tick / perBeat;
        return;
    }
    const double beat = state.beatAtTime(Micros(nowNs + latency), quantum);
    firstBeat_ = std::ceil((beat - kLateStartTicks / perBeat) / quantum) * quantum;
    if (startStopSync_.load(std::memory_order_acquire) && !state.isPlaying()) {
        // Our start starts the session, on the same bar line.
        state.setIsPlaying(true, state.timeAtBeat(firstBeat_, quantum));
        impl_->link.commitAudioSessionState(state);
    }
}

int64_t LinkSession::TickDueNs(int64_t k) {
    if (!impl_) return 0;
    const auto state = impl_->link.captureAudioSessionState();
    const double beat = firstBeat_ + static_cast<double>(k) / ticksPerBeat();
    return Nanos(state.timeAtBeat(beat, Quantum())) - latencyNs();
}

int64_t LinkSession::FirstTickAtOrAfter(int64_t nowNs) {
    if (!impl_) return 0;
    const auto state = impl_->link.captureAudioSessionState();
    const double beat = state.beatAtTime(Micros(nowNs + latencyNs()), Quantum());
    return static_cast<int64_t>(std::ceil((beat - firstBeat_) * ticksPerBeat()));
}

TickSchedule::BarPlace LinkSession::FirstTickInBar() const {
    // firstBeat_ counts the session's beats with its bars at the multiples of the quantum; a
    // bar of the session is quantum * 24 * m of our ticks.
    if (keepCount_) return {};  // the run's count goes on as it is (see BeginRun)
    const double quantum = Quantum();
    const double perBeat = ticksPerBeat();
    const double bar = quantum * perBeat;
    const auto length = static_cast<int64_t>(std::llround(bar));
    if (!impl_ || length < 1 || std::fabs(bar - static_cast<double>(length)) > 1e-9) return {};
    const double inBar = firstBeat_ - std::floor(firstBeat_ / quantum) * quantum;
    return {static_cast<int64_t>(std::llround(inBar * perBeat)) % length, length};
}

bool LinkSession::GridChanged() {
    if (!impl_) return false;
    const double multiplier = MultiplierFor(impl_->link.captureAudioSessionState().tempo());
    return multiplier > 0 && multiplier != runMultiplier_;
}
