#include "platform/pulse_train.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

bool IsPulsesPerQuarterChoice(int32_t ppq) {
    return std::find(kPulsesPerQuarterChoices.begin(), kPulsesPerQuarterChoices.end(), ppq) !=
           kPulsesPerQuarterChoices.end();
}

int32_t NearestPulsesPerQuarter(int32_t ppq) {
    if (ppq < 1) return kPulsesPerQuarterChoices.front();
    int32_t best = kPulsesPerQuarterChoices.front();
    double bestDistance = INFINITY;
    for (const int32_t choice : kPulsesPerQuarterChoices) {
        const double distance = std::fabs(std::log(static_cast<double>(ppq) / choice));
        if (distance < bestDistance) {
            bestDistance = distance;
            best = choice;
        }
    }
    return best;
}

TickEdges PulseEdgesOfTick(int32_t n, int64_t timeNs, int64_t tickPeriodNs, int32_t ppq) {
    TickEdges edges;
    if (n < 0 || !IsPulsesPerQuarterChoice(ppq)) return edges;
    if (ppq == 48) {
        edges.count = 2;
        edges.timeNs = {timeNs, timeNs + tickPeriodNs / 2};
        edges.intervalNs = tickPeriodNs / 2;
        return edges;
    }
    const int32_t ticksPerPulse = 24 / ppq;
    if (n % ticksPerPulse != 0) return edges;
    edges.count = 1;
    edges.timeNs[0] = timeNs;
    edges.intervalNs = tickPeriodNs * ticksPerPulse;
    return edges;
}

uint32_t PulseWidthFrames(int64_t widthNs, int64_t intervalNs, double framesPerNs) {
    double frames = std::floor(static_cast<double>(widthNs) * framesPerNs + 0.5);
    if (intervalNs > 0)
        frames = std::min(frames, std::floor(static_cast<double>(intervalNs) * framesPerNs / 2));
    return static_cast<uint32_t>(std::clamp(frames, 1.0, 1e6));
}

void PulseWriter::beginCycle(float* out, uint32_t frames, uint32_t firstFrame) {
    out_ = out;
    frames_ = frames;
    const float idle = runHigh_ ? high_ : 0.0f;
    const uint32_t carried = std::min(owed_, frames);
    std::fill(out, out + carried, high_);
    std::fill(out + carried, out + frames, idle);
    owed_ -= carried;
    // Counted on the server's frames (which wrap), not by cycle lengths: an xrun skips some.
    free_ = std::max<int64_t>(0, free_ - static_cast<int32_t>(firstFrame - firstFrame_));
    firstFrame_ = firstFrame;
}

void PulseWriter::pulse(uint32_t frame, uint32_t widthFrames) {
    if (frame >= frames_ || widthFrames == 0) return;
    const uint32_t end = static_cast<uint32_t>(
        std::min<uint64_t>(static_cast<uint64_t>(frame) + widthFrames, frames_));
    std::fill(out_ + frame, out_ + end, high_);
    owed_ = widthFrames - (end - frame);
    free_ = static_cast<int64_t>(frame) + widthFrames + std::max<uint32_t>(1, widthFrames / 2);
}

void PulseWriter::setRun(uint32_t frame, bool high) {
    runHigh_ = high;
    if (frame >= frames_) return;
    std::fill(out_ + frame, out_ + frames_, high ? high_ : 0.0f);
}

void PulseWriter::reset() {
    owed_ = 0;
    free_ = 0;
    runHigh_ = false;
}
