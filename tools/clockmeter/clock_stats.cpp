#include "clock_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

ClockStatistics::ClockStatistics(double sampleRate, double nominalBpm)
    : sampleRate_(sampleRate),
      nominalFrames_(nominalBpm > 0 ? sampleRate * 60.0 / (nominalBpm * 24.0) : 0) {}

void ClockStatistics::add(const ClockEvent& event) {
    auto countIn = [&](auto member) {
        ++(total_.*member);
        ++(window_.*member);
    };
    switch (event.status) {
        case kStart:
            countIn(&Stretch::starts);
            return;
        case kContinue:
            countIn(&Stretch::continues);
            return;
        case kStop:
            countIn(&Stretch::stops);
            stoppedSinceLastTick_ = true;
            return;
        case kTimingClock:
            break;
        default:
            return;
    }
    countIn(&Stretch::ticks);
    // A tick before its predecessor: during an xrun a late callback can read the next cycle's
    // frame count for this cycle's events. That interval says nothing about the clock.
    const bool runsBackwards = haveLastTick_ && event.frame < lastTickFrame_;
    if (haveLastTick_ && !stoppedSinceLastTick_ && !runsBackwards) {
        const double interval = static_cast<double>(event.frame - lastTickFrame_);
        // Without a nominal tempo, the mean so far is the yardstick for losses.
        const double reference = nominalFrames_ > 0 ? nominalFrames_ : meanInterval(total_);
        double missing = 0;
        if (reference > 0 && interval > 1.5 * reference) {
            missing = std::max(1.0, std::round(interval / reference) - 1);
        }
        // Ticks that come bunched right after a gap were late, not lost: a sender that places
        // by the time of day sends what a stalled server cycle held back at the next one. They
        // are taken off the gap's losses and stay in the jitter as the short intervals they are.
        const bool repaid = missing == 0 && owed_ > 0 && interval < 0.5 * reference;
        if (repaid) --owed_;
        if (missing > 0) owed_ = static_cast<uint64_t>(missing);
        if (!repaid && missing == 0) owed_ = 0;
        for (Stretch* stretch : {&total_, &window_}) {
            if (missing > 0) {
                stretch->lost += static_cast<uint64_t>(missing);
                ++stretch->gaps;
            } else {
                stretch->intervals.push_back(interval);
            }
            stretch->spanFrames += interval;
            stretch->spanIntervals += 1 + missing;
            if (repaid && stretch->lost > 0) {
                --stretch->lost;
                stretch->spanIntervals -= 1;  // that tick was counted in the gap's intervals
            }
        }
    }
    haveLastTick_ = true;
    stoppedSinceLastTick_ = false;
    lastTickFrame_ = event.frame;
}

double ClockStatistics::meanInterval(const Stretch& stretch) const {
    if (stretch.intervals.empty()) return 0;
    return std::accumulate(stretch.intervals.begin(), stretch.intervals.end(), 0.0) /
           static_cast<double>(stretch.intervals.size());
}

ClockFigures ClockStatistics::figures(const Stretch& stretch, double referenceFrames) const {
    ClockFigures result;
    result.ticks = stretch.ticks;
    result.intervals = stretch.intervals.size();
    result.starts = stretch.starts;
    result.stops = stretch.stops;
    result.continues = stretch.continues;
    result.lost = stretch.lost;
    if (nominalFrames_ > 0 && stretch.spanFrames > 0) {
        // Against a nominal tempo, losses are what the receiver's count of ticks falls behind
        // the time it covered: ticks held back by a stalled cycle and sent later, however they
        // are spread, were not lost, and a receiver counting ticks is where it should be.
        const auto due = static_cast<uint64_t>(std::llround(stretch.spanFrames / nominalFrames_));
        const uint64_t received = stretch.intervals.size() + stretch.gaps;
        result.lost = due > received ? due - received : 0;
    }
    const double mean = meanInterval(stretch);
    if (mean > 0) result.bpm = sampleRate_ * 60.0 / (24.0 * mean);
    const double received = static_cast<double>(stretch.intervals.size() + stretch.gaps);
    if (stretch.spanFrames > 0)
        result.receivedBpm = sampleRate_ * 60.0 * received / (24.0 * stretch.spanFrames);
    if (referenceFrames > 0 && !stretch.intervals.empty()) {
        std::vector<double> deviations;
        deviations.reserve(stretch.intervals.size());
        for (double interval : stretch.intervals) {
            deviations.push_back(std::fabs(interval - referenceFrames));
        }
        // A hair over one frame, so that 1.0000001 from floating point does not count.
        result.offByMoreThanAFrame = static_cast<uint64_t>(std::count_if(
            deviations.begin(), deviations.end(), [](double d) { return d > 1.001; }));
        std::sort(deviations.begin(), deviations.end());
        // Nearest rank: the smallest value that at least this fraction of intervals stay within.
        auto rank = [&](double fraction) {
            const double size = static_cast<double>(deviations.size());
            const auto index = static_cast<size_t>(std::max(1.0, std::ceil(fraction * size)));
            return deviations[index - 1];
        };
        result.jitterP50Frames = rank(0.50);
        result.jitterP99Frames = rank(0.99);
        result.jitterMaxFrames = deviations.back();
    }
    if (nominalFrames_ > 0 && stretch.spanIntervals > 0) {
        result.driftKnown = true;
        result.driftPpm =
            (stretch.spanFrames / (stretch.spanIntervals * nominalFrames_) - 1.0) * 1e6;
    }
    return result;
}

ClockFigures ClockStatistics::total() const {
    return figures(total_, nominalFrames_ > 0 ? nominalFrames_ : meanInterval(total_));
}

ClockFigures ClockStatistics::takeWindow() {
    // A window is judged by the same yardstick as the whole run, so the lines add up.
    const double reference = nominalFrames_ > 0 ? nominalFrames_ : meanInterval(total_);
    ClockFigures result = figures(window_, reference);
    window_ = Stretch{};
    return result;
}

std::string SummaryLine(const ClockFigures& figures, double sampleRate) {
    const double usPerFrame = 1e6 / sampleRate;
    char drift[32];
    if (figures.driftKnown) {
        std::snprintf(drift, sizeof drift, "%.3f", figures.driftPpm);
    } else {
        std::snprintf(drift, sizeof drift, "nan");
    }
    char line[512];
    std::snprintf(
        line, sizeof line,
        "SUMMARY bpm=%.4f ticks=%llu jitter_p50_us=%.2f jitter_p99_us=%.2f "
        "jitter_max_us=%.2f jitter_p50_frames=%.3f jitter_p99_frames=%.3f "
        "jitter_max_frames=%.3f drift_ppm=%s lost=%llu starts=%llu stops=%llu "
        "continues=%llu rate=%.0f off_over_1_frame=%llu received_bpm=%.4f",
        figures.bpm, static_cast<unsigned long long>(figures.ticks),
        figures.jitterP50Frames * usPerFrame, figures.jitterP99Frames * usPerFrame,
        figures.jitterMaxFrames * usPerFrame, figures.jitterP50Frames, figures.jitterP99Frames,
        figures.jitterMaxFrames, drift, static_cast<unsigned long long>(figures.lost),
        static_cast<unsigned long long>(figures.starts),
        static_cast<unsigned long long>(figures.stops),
        static_cast<unsigned long long>(figures.continues), sampleRate,
        static_cast<unsigned long long>(figures.offByMoreThanAFrame), figures.receivedBpm);
    return line;
}
