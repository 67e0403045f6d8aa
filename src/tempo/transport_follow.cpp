#include "tempo/transport_follow.h"

#include <algorithm>
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
    startFloorNs_ = 0;
    // The frame a tick handed over now lands on.
    const double reachable = BeatAtFrame(run_, FrameAtTime(run_, nowNs + latencyNs()));
    if (newRun) {
        // A transport that started on a bar line starts us at once on that bar line, one that
        // started in the middle of a bar at the next. The start reaches us a little after the
        // transport rolled (the cycle that saw it, the thread that told us): so the first ticks
        // may already be due. They go out now, never dropped, for a receiver counts its beats
        // from the first clock after Start; the grid is reached within a tick or two. A start
        // heard much later waits for the next bar rather than sending a burst.
        const bool onBar = OnBarLine(run_.startBeat, run_.beatsPerBar);
        const double barNs = TimeOfFrame(run_, FrameOfBeat(run_, run_.startBeat));
        const bool inTime = reachable - run_.startBeat < 1.0 / kTicksPerBeat ||
                            static_cast<double>(nowNs) - barNs <= static_cast<double>(kStartLateNs);
        if (onBar && inTime) {
            firstBeat_ = run_.startBeat;
            // Handed over now, a due tick goes out first thing in the next cycle, with Start.
            startFloorNs_ = nowNs - latencyNs();
        } else {
            firstBeat_ = BarLineAtOrAfter(reachable, run_.beatsPerBar);
        }
        return;
    }
    // Taking over: the first tick of the grid more than half a tick after our last one.
    const double last = BeatAtFrame(run_, FrameAtTime(run_, lastTickNs + latencyNs()));
    firstBeat_ = std::ceil((last + 0.5 / kTicksPerBeat) * kTicksPerBeat - 1e-6) / kTicksPerBeat;
}

int64_t TransportFollow::TickDueNs(int64_t k) {
    const TransportView view = current();
    const double frame = FrameOfBeat(view, firstBeat_ + static_cast<double>(k) / kTicksPerBeat);
    const int64_t due = static_cast<int64_t>(std::llround(TimeOfFrame(view, frame))) - latencyNs();
    return std::max(due, startFloorNs_);
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
