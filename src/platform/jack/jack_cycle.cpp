#include "platform/jack/jack_cycle.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

// ---------------------------------------------------------------------------------------------
// CycleClock

namespace {
// Sound card crystals and the system clock part by well under this.
constexpr double kMaxDrift = 300e-6;
// A move of the line no drift explains: taken at once.
constexpr double kJumpNs = 1'000'000;
}  // namespace

void CycleClock::restart(uint32_t firstFrame, int64_t wokeNs, uint32_t sampleRate) {
    started_ = true;
    sampleRate_ = sampleRate;
    nsPerFrame_ = 1e9 / sampleRate;
    lastFrame_ = firstFrame;
    framesSinceBase_ = 0;
    baseNs_ = wokeNs;
    filled_ = 0;
    next_ = 0;
    cycles_ = 0;
    behindInARow_ = 0;
}

int64_t CycleClock::update(uint32_t firstFrame, int64_t wokeNs, uint32_t frames,
                           uint32_t sampleRate, bool driverXrun, int64_t driverDelayNs) {
    if (sampleRate == 0) sampleRate = 48000;
    if (!started_ || sampleRate != sampleRate_) restart(firstFrame, wokeNs, sampleRate);
    framesSinceBase_ += static_cast<uint32_t>(firstFrame - lastFrame_);
    lastFrame_ = firstFrame;

    double lineNs = static_cast<double>(framesSinceBase_) * nsPerFrame_;
    double excessNs = static_cast<double>(wokeNs - baseNs_) - lineNs;
    // A driver xrun restarts the driver's line from when it woke, however late that was; by a
    // few tens of microseconds or by whole periods. Without word of one, a cycle far behind the
    // line is a late wake-up, and only many of them in a row a moved line.
    const bool behind = filled_ > 0 && excessNs - lineOffsetNs_ > kJumpNs;
    behindInARow_ = behind ? behindInARow_ + 1 : 0;
    if ((driverXrun && filled_ > 0) || behindInARow_ >= kMovedAfterCycles) {
        // The driver's line moved by as long as it was held up. Our own wake-up can come
        // milliseconds after that on a busy machine; a line begun from it would put every tick
        // that much late (a bunch of ticks now, then a gap once prompt cycles pull it back).
        int64_t startNs = wokeNs;
        if (driverXrun && driverDelayNs > 0) {
            const int64_t movedNs = baseNs_ +
                                    static_cast<int64_t>(std::llround(lineNs + lineOffsetNs_)) +
                                    driverDelayNs;
            startNs = std::min(wokeNs, movedNs);
        }
        restart(firstFrame, startNs, sampleRate);
        ++lineMoves_;
        lineNs = 0;
        excessNs = 0;
    }

    // About two seconds of cycles: on a loaded machine whole stretches of a few hundred
    // milliseconds go by without one prompt wake-up.
    const size_t window =
        std::clamp<size_t>(2 * sampleRate / std::max<uint32_t>(frames, 1), 16, kMaxWindow);
    if (filled_ > window) filled_ = window;  // bigger buffers: fewer cycles make two seconds
    if (next_ >= window) next_ = 0;
    excessNs_[next_] = excessNs;
    next_ = (next_ + 1) % window;
    if (filled_ < window) ++filled_;
    double lowest = excessNs_[0];
    for (size_t i = 1; i < filled_; ++i) lowest = std::min(lowest, excessNs_[i]);

    // The first quarter second takes the lowest value as it comes; later on it is followed
    // at a drift rate, unless the line has plainly moved by more than any drift could.
    const double periodNs = frames * nsPerFrame_;
    const uint32_t warmUp = std::max<uint32_t>(4, sampleRate / 4 / std::max<uint32_t>(frames, 1));
    if (cycles_ < warmUp || std::fabs(lowest - lineOffsetNs_) > kJumpNs) {
        lineOffsetNs_ = lowest;
    } else {
        const double step = periodNs * kMaxDrift;
        lineOffsetNs_ += std::clamp(lowest - lineOffsetNs_, -step, step);
    }
    if (cycles_ < warmUp) ++cycles_;
    return baseNs_ + static_cast<int64_t>(std::llround(lineNs + lineOffsetNs_));
}

// ---------------------------------------------------------------------------------------------
// ClockOffset

int64_t ClockOffset::add(int64_t beforeNs, uint64_t jackUs, int64_t afterNs) {
    // JACK's clock stood somewhere in [jackUs, jackUs + 1) us while ours went from before to
    // after: the middle of both.
    const int64_t atNs = beforeNs + (afterNs - beforeNs) / 2;
    const int64_t offsetNs = static_cast<int64_t>(jackUs) * 1000 + 500 - atNs;
    if (count_ > 0 && afterNs - beforeNs > kWideNs) return estimateNs_;
    if (count_ > 0 && std::llabs(offsetNs - estimateNs_) > kStepNs) count_ = 0;
    if (count_ == 0) next_ = 0;
    atNs_[next_] = atNs;
    offsetNs_[next_] = offsetNs;
    next_ = (next_ + 1) % kWindow;
    if (count_ < kWindow) ++count_;

    // Least squares, in nanoseconds from the newest reading (doubles keep them exact enough).
    double meanX = 0, meanY = 0;
    for (size_t i = 0; i < count_; ++i) {
        meanX += static_cast<double>(atNs_[i] - atNs);
        meanY += static_cast<double>(offsetNs_[i] - offsetNs);
    }
    meanX /= static_cast<double>(count_);
    meanY /= static_cast<double>(count_);
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < count_; ++i) {
        const double x = static_cast<double>(atNs_[i] - atNs) - meanX;
        sxy += x * (static_cast<double>(offsetNs_[i] - offsetNs) - meanY);
        sxx += x * x;
    }
    // A few readings tell the level, not yet a slope.
    const double slope = count_ >= 8 && sxx > 0 ? sxy / sxx : 0.0;
    estimateNs_ = offsetNs + std::llround(meanY - slope * meanX);
    return estimateNs_;
}

// ---------------------------------------------------------------------------------------------
// Placing a message on a frame

namespace {
FramePlacement PlaceNearest(double nearest, uint32_t cycleFrames, uint32_t previousFrame) {
    if (nearest >= cycleFrames) return {FramePlacement::Kind::LaterCycle, 0, false};
    const FramePlacement::Kind kind =
        nearest < 0 ? FramePlacement::Kind::Late : FramePlacement::Kind::Due;
    // A late message goes out first thing; none goes before the one written ahead of it.
    if (nearest <= previousFrame) return {kind, previousFrame, nearest < previousFrame};
    return {kind, static_cast<uint32_t>(nearest), false};
}
}  // namespace

FramePlacement PlaceOnFrameChained(int64_t timeNs, int64_t latencyNs, int64_t cycleStartNs,
                                   double framesPerNs, uint32_t cycleFrames, uint32_t previousFrame,
                                   uint32_t firstFrame, FrameChain& chain) {
    const int64_t dueNs = timeNs + latencyNs;
    double position = static_cast<double>(dueNs - cycleStartNs) * framesPerNs;
    if (chain.valid) {
        // Frame counts wrap; the previous message is at most hours back.
        const double chained = static_cast<int32_t>(chain.cycleFrame - firstFrame) +
                               chain.position +
                               static_cast<double>(dueNs - chain.dueNs) * framesPerNs;
        // Not where the chain would make late what the line still places in time: the
        // message's own time decides whether it came too late for its frame.
        const bool lateByTheChainAlone =
            std::floor(chained + 0.5) < 0 && std::floor(position + 0.5) >= 0;
        const double apart = std::fabs(chained - position);
        // Frames from the previous message by their times; messages sent together stay together.
        const double since = static_cast<double>(dueNs - chain.dueNs) * framesPerNs;
        if (!lateByTheChainAlone && apart <= FrameChain::kDrawFrames) {
            if (apart <= FrameChain::kChainSlackFrames || since < 1) {
                position = chained;
            } else {
                const double previous = static_cast<int32_t>(chain.cycleFrame - firstFrame) +
                                        std::floor(chain.position + 0.5);
                const double line = std::floor(position + 0.5);
                const double drawn = std::clamp(line, previous + std::ceil(since - 1),
                                                previous + std::floor(since + 1));
                // As above: never late by the chain alone.
                if (drawn >= 0 || line < 0) position = drawn;
            }
        }
    }
    // To the nearest frame: rounding down would move half of all messages a frame early.
    const FramePlacement place =
        PlaceNearest(std::floor(position + 0.5), cycleFrames, previousFrame);
    if (place.kind != FramePlacement::Kind::LaterCycle) {
        // One held up would pass its delay on to the next.
        chain.valid = !place.held;
        chain.cycleFrame = firstFrame;
        chain.position = position;
        chain.dueNs = dueNs;
    }
    return place;
}

FramePlacement PlaceOnFrame(int64_t timeNs, int64_t latencyNs, int64_t cycleStartNs,
                            double framesPerNs, uint32_t cycleFrames, uint32_t previousFrame) {
    if (timeNs == 0) return {FramePlacement::Kind::Now, previousFrame, false};
    const double position = static_cast<double>(timeNs + latencyNs - cycleStartNs) * framesPerNs;
    // To the nearest frame: rounding down would move half of all messages a frame early.
    return PlaceNearest(std::floor(position + 0.5), cycleFrames, previousFrame);
}

TickPlacement PlaceTick(const FramePlacement& place, double duePosition, double framesPerNs,
                        uint32_t cycleFrames, int64_t previousTickFrame) {
    if (place.kind == FramePlacement::Kind::LaterCycle) return {TickPlacement::Kind::NextCycle, 0};
    const double lateNs = (static_cast<double>(place.frame) - duePosition) / framesPerNs;
    if (place.kind == FramePlacement::Kind::Late &&
        lateNs > static_cast<double>(TickPlacement::kLateBoundNs))
        return {TickPlacement::Kind::Drop, 0};
    int64_t frame = place.frame;
    if (frame <= previousTickFrame) frame = previousTickFrame + 1;
    if (frame >= static_cast<int64_t>(cycleFrames)) return {TickPlacement::Kind::NextCycle, 0};
    return {TickPlacement::Kind::Send, static_cast<uint32_t>(frame)};
}
