#include "platform/transport_grid.h"

#include <cmath>

double BeatPositionOf(int32_t bar, int32_t beat, double tick, double ticksPerBeat,
                      double beatsPerBar) {
    const double perBeat = ticksPerBeat > 0 ? ticksPerBeat : 1;
    return static_cast<double>(bar - 1) * beatsPerBar + static_cast<double>(beat - 1) +
           tick / perBeat;
}

double FrameOfBeat(const TransportView& view, double beat) {
    return static_cast<double>(view.anchorFrame) + (beat - view.anchorBeat) * view.framesPerBeat;
}

double BeatAtFrame(const TransportView& view, double frame) {
    if (!(view.framesPerBeat > 0)) return view.anchorBeat;
    return view.anchorBeat + (frame - static_cast<double>(view.anchorFrame)) / view.framesPerBeat;
}

double TimeOfFrame(const TransportView& view, double frame) {
    return static_cast<double>(view.cycleStartNs) +
           (frame - static_cast<double>(view.cycleFrame)) * view.nsPerFrame;
}

double FrameAtTime(const TransportView& view, int64_t timeNs) {
    if (!(view.nsPerFrame > 0)) return static_cast<double>(view.cycleFrame);
    return static_cast<double>(view.cycleFrame) +
           static_cast<double>(timeNs - view.cycleStartNs) / view.nsPerFrame;
}

namespace {
constexpr double kBeatEpsilon = 1e-6;
}

bool OnBarLine(double beat, double beatsPerBar) {
    if (!(beatsPerBar > 0)) return false;
    const double inBar = beat - std::floor(beat / beatsPerBar) * beatsPerBar;
    return inBar < kBeatEpsilon || beatsPerBar - inBar < kBeatEpsilon;
}

double BarLineAtOrAfter(double beat, double beatsPerBar) {
    if (!(beatsPerBar > 0)) return beat;
    return std::ceil((beat - kBeatEpsilon) / beatsPerBar) * beatsPerBar;
}

BbtPlace BbtOfBeat(double beat, double beatsPerBar, double ticksPerBeat) {
    BbtPlace place;
    if (beat < 0) beat = 0;
    const auto bpb = static_cast<int64_t>(std::lround(beatsPerBar > 0 ? beatsPerBar : 4));
    // Whole ticks first, so that bar, beat and tick never disagree at a boundary.
    const auto ticks = static_cast<int64_t>(std::floor(beat * ticksPerBeat + 1e-7));
    const auto perBeat = static_cast<int64_t>(std::lround(ticksPerBeat));
    const int64_t wholeBeats = ticks / perBeat;
    place.bar = static_cast<int32_t>(wholeBeats / bpb + 1);
    place.beat = static_cast<int32_t>(wholeBeats % bpb + 1);
    place.tick = static_cast<int32_t>(ticks % perBeat);
    place.barStartTick = static_cast<double>((wholeBeats / bpb) * bpb * perBeat);
    return place;
}

bool TransportAnchor::update(const TransportCycle& cycle, TransportView& view) {
    // Bars and beats that cannot be (seen from jack_transport after a relocate while rolling:
    // bar 1223908497) anchor nothing: the grid stays where it was until a sane position comes.
    const bool sane =
        !cycle.bbt || (cycle.bpm > 0 && cycle.bpm < 100000 && cycle.beatsPerBar >= 1 &&
                       cycle.ticksPerBeat >= 1 && cycle.bar >= 1 && cycle.bar < 1'000'000 &&
                       cycle.beat >= 1 && cycle.beat <= cycle.beatsPerBar + 1e-9 &&
                       cycle.tick >= 0 && cycle.tick < cycle.ticksPerBeat);
    if (!sane && hadGrid_) {
        view.rolling = cycle.rolling;
        if (cycle.rolling && !wasRolling_) {
            ++view.rollSerial;
            view.startBeat = BeatAtFrame(view, static_cast<double>(cycle.cycleFrame));
        }
        wasRolling_ = cycle.rolling;
        lastTransportFrame_ = cycle.transportFrame;
        lastCycleFrame_ = cycle.cycleFrame;
        return false;
    }
    view.rolling = cycle.rolling;
    view.hasGrid = cycle.bbt && cycle.bpm > 0 && cycle.sampleRate > 0;
    const bool startNow = cycle.rolling && !wasRolling_;
    // Relocated: the transport's frames did not run on with JACK's (counted from the last cycle
    // we saw, not the last cycle's length: a cycle we missed is no relocate).
    const bool jumped =
        cycle.rolling && wasRolling_ &&
        static_cast<int64_t>(static_cast<uint32_t>(cycle.transportFrame - lastTransportFrame_)) !=
            cycle.cycleFrame - lastCycleFrame_;
    const bool changed = view.hasGrid && (cycle.bpm != bpm_ || cycle.beatsPerBar != beatsPerBar_);
    const bool gridCame = view.hasGrid != hadGrid_;
    wasRolling_ = cycle.rolling;
    hadGrid_ = view.hasGrid;
    lastTransportFrame_ = cycle.transportFrame;
    lastCycleFrame_ = cycle.cycleFrame;
    // Stopped, the grid follows the position (a start then begins from it); rolling, only a
    // start, a jump or a new tempo moves it.
    const bool anchor = !cycle.rolling || startNow || jumped || changed || gridCame;
    if (anchor) {
        if (view.hasGrid) {
            view.bpm = cycle.bpm;
            view.beatsPerBar = cycle.beatsPerBar > 0 ? cycle.beatsPerBar : 4;
            view.framesPerBeat = cycle.sampleRate * 60.0 / cycle.bpm;
            view.anchorBeat = BeatPositionOf(cycle.bar, cycle.beat, cycle.tick, cycle.ticksPerBeat,
                                             view.beatsPerBar);
            view.anchorFrame = cycle.cycleFrame - cycle.bbtOffset;
        } else {
            view.anchorBeat = 0;
            view.anchorFrame = cycle.cycleFrame;
            view.framesPerBeat = 0;
        }
        bpm_ = view.hasGrid ? cycle.bpm : 0;
        beatsPerBar_ = view.hasGrid ? view.beatsPerBar : 0;
    }
    if (!cycle.rolling) return false;
    if (startNow) {
        ++view.rollSerial;
        view.startBeat = BeatAtFrame(view, static_cast<double>(cycle.cycleFrame));
        return true;
    }
    if (anchor) ++view.gridSerial;
    return anchor;
}

void TransportViewLatch::write(const TransportView& view) {
    uint64_t words[kWords] = {};
    std::memcpy(words, &view, sizeof(TransportView));
    const uint64_t s = sequence_.load(std::memory_order_relaxed);
    for (int copy = 0; copy < 2; ++copy) {
        // Odd: the readers take copy 1 while copy 0 is written; even: copy 0 while 1 is.
        sequence_.store(s + 1 + static_cast<uint64_t>(copy), std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (size_t i = 0; i < kWords; ++i)
            words_[copy][i].store(words[i], std::memory_order_release);
    }
}

TransportView TransportViewLatch::read() const {
    uint64_t words[kWords] = {};
    uint64_t s = 0;
    do {
        s = sequence_.load(std::memory_order_acquire);
        const size_t copy = (s & 1) ? 1 : 0;
        for (size_t i = 0; i < kWords; ++i)
            words[i] = words_[copy][i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
    } while (sequence_.load(std::memory_order_relaxed) != s);
    TransportView view;
    std::memcpy(&view, words, sizeof(TransportView));
    return view;
}
