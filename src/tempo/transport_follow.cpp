#include "tempo/transport_follow.h"

#include <cmath>

#include "platform/transport_source.h"
#include "tempo/bpm_timer.h"

int64_t TransportFollow::latencyNs() const {
    return latency_ ? latency_->TickLookaheadNs() : 0;
}

TransportView TransportFollow::current() {
    const TransportView latest = source_.View();
    TransportView view = run_;
    view.cycleFrame = latest.cycleFrame;
    view.cycleStartNs = latest.cycleStartNs;
    view.nsPerFrame = latest.nsPerFrame;
    return view;
}

void TransportFollow::BeginRun(int64_t nowNs, bool newRun, int64_t lastTickNs) {
    run_ = source_.View();
    // The frame a tick handed over now lands on.
    const double reachable = BeatAtFrame(run_, FrameAtTime(run_, nowNs + latencyNs()));
    if (newRun) {
        // A transport that started on a bar line starts us at once on that bar line (its first
        // tick a little late, sent first thing), one that started in the middle of a bar at the
        // next.
        const bool onBar = OnBarLine(run_.startBeat, run_.beatsPerBar);
        firstBeat_ = onBar && reachable - run_.startBeat < 1.0 / kTicksPerBeat
                         ? run_.startBeat
                         : BarLineAtOrAfter(reachable, run_.beatsPerBar);
        return;
    }
    // Taking over: the first tick of the grid more than half a tick after our last one.
    const double last = BeatAtFrame(run_, FrameAtTime(run_, lastTickNs + latencyNs()));
    firstBeat_ = std::ceil((last + 0.5 / kTicksPerBeat) * kTicksPerBeat - 1e-6) / kTicksPerBeat;
}

int64_t TransportFollow::TickDueNs(int64_t k) {
    const TransportView view = current();
    const double frame = FrameOfBeat(view, firstBeat_ + static_cast<double>(k) / kTicksPerBeat);
    return static_cast<int64_t>(std::llround(TimeOfFrame(view, frame))) - latencyNs();
}

int64_t TransportFollow::FirstTickAtOrAfter(int64_t nowNs) {
    const TransportView view = current();
    const double beat = BeatAtFrame(view, FrameAtTime(view, nowNs + latencyNs()));
    const double k = std::ceil((beat - firstBeat_) * kTicksPerBeat - 1e-6);
    return k > 0 ? static_cast<int64_t>(k) : 0;
}

TickSchedule::BarPlace TransportFollow::FirstTickInBar() const {
    const double perBar = run_.beatsPerBar * kTicksPerBeat;
    if (!(perBar >= 1)) return {};
    const auto length = static_cast<int64_t>(std::llround(perBar));
    const int64_t tick = static_cast<int64_t>(std::llround(firstBeat_ * kTicksPerBeat)) % length;
    return {tick < 0 ? tick + length : tick, length};
}

bool TransportFollow::GridChanged() {
    const TransportView latest = source_.View();
    return latest.rolling && latest.hasGrid &&
           (latest.gridSerial != run_.gridSerial || latest.rollSerial != run_.rollSerial);
}
