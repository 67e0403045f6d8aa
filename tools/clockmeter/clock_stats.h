#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// MIDI real-time bytes the meter listens for.
inline constexpr uint8_t kTimingClock = 0xF8;
inline constexpr uint8_t kStart = 0xFA;
inline constexpr uint8_t kContinue = 0xFB;
inline constexpr uint8_t kStop = 0xFC;

// One received real-time message at its absolute frame time.
struct ClockEvent {
    uint64_t frame = 0;
    uint8_t status = 0;
};

// Figures for one stretch of received clock. Frame figures are exact (JACK places every event
// on a frame); microseconds follow from the sample rate.
struct ClockFigures {
    uint64_t ticks = 0;
    uint64_t intervals = 0;  // tick-to-tick intervals that entered the jitter figures
    uint64_t starts = 0;
    uint64_t stops = 0;
    uint64_t continues = 0;
    uint64_t lost = 0;
    double bpm = 0;  // from the mean interval; 0 until two ticks arrived
    // The tempo a receiver that counts ticks over time sees: lost ticks make it slower.
    double receivedBpm = 0;
    // Intervals (losses aside) more than one frame away from the reference interval.
    uint64_t offByMoreThanAFrame = 0;
    double jitterP50Frames = 0;
    double jitterP99Frames = 0;
    double jitterMaxFrames = 0;
    double driftPpm = 0;
    bool driftKnown = false;  // only against a nominal tempo given by the user
};

// Collects clock events and works out tempo, jitter, drift and losses.
//
// An interval is the distance between two consecutive ticks. One that spans a Stop is left out
// (a master may pause the clock while stopped), and so is one that runs backwards (JACK's frame
// count read a cycle late, during an xrun); one longer than 1.5 nominal intervals means
// ticks went missing: it counts round(interval / nominal) - 1 lost ticks and is left out of the
// jitter figures, but its frames still count towards the drift.
class ClockStatistics {
  public:
    // nominalBpm <= 0: jitter is measured against the mean interval, and drift is unknown.
    ClockStatistics(double sampleRate, double nominalBpm);

    void add(const ClockEvent& event);

    // Over everything since the start, or only over what came since the last call of
    // takeWindow().
    ClockFigures total() const;
    ClockFigures takeWindow();

    double sampleRate() const { return sampleRate_; }
    // Frames per tick at the nominal tempo; 0 when none was given.
    double nominalIntervalFrames() const { return nominalFrames_; }

  private:
    struct Stretch {
        std::vector<double> intervals;  // in frames; the jitter candidates
        uint64_t ticks = 0, starts = 0, stops = 0, continues = 0, lost = 0;
        uint64_t gaps = 0;         // intervals in which ticks went missing
        double spanFrames = 0;     // frames covered by counted intervals, lost ones included
        double spanIntervals = 0;  // nominal intervals those frames should have lasted
    };

    ClockFigures figures(const Stretch& stretch, double referenceFrames) const;
    double meanInterval(const Stretch& stretch) const;

    double sampleRate_;
    double nominalFrames_;
    bool haveLastTick_ = false;
    bool stoppedSinceLastTick_ = false;
    uint64_t lastTickFrame_ = 0;
    uint64_t owed_ = 0;  // ticks of the last gap that may still come bunched after it
    Stretch total_;
    Stretch window_;
};

// The final line a benchmark script reads: "SUMMARY key=value ...".
std::string SummaryLine(const ClockFigures& figures, double sampleRate);
