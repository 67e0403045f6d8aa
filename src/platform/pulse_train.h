#pragma once

#include <array>
#include <cstdint>

// Clock pulses for gear that takes its clock as a voltage: which ticks of the 24-per-quarter
// clock make an edge, how long a pulse stays high, and the samples of one audio cycle. Nothing
// here knows JACK; the process callback places the edges on frames and hands them to a
// PulseWriter.

// The pulses per quarter note offered: 1, 2, 4 and 8 are beat subdivisions (Eurorack, Volca and
// Pocket Operator sync at 2), 24 is one pulse per MIDI clock (DIN sync), 48 one more halfway
// between two clocks.
inline constexpr std::array<int32_t, 6> kPulsesPerQuarterChoices{1, 2, 4, 8, 24, 48};
inline constexpr int32_t kDefaultPulsesPerQuarter = 2;
inline constexpr double kDefaultPulseWidthMs = 5.0;
// A pulse must last at least a few samples to be seen at all; longer than this it is no pulse.
inline constexpr double kMinPulseWidthMs = 0.1;
inline constexpr double kMaxPulseWidthMs = 100.0;
// As a MIDI output's device delay.
inline constexpr double kMinPulseShiftMs = -20.0;
inline constexpr double kMaxPulseShiftMs = 50.0;

bool IsPulsesPerQuarterChoice(int32_t ppq);
// The listed choice nearest to ppq (by ratio), for a value the list does not hold.
int32_t NearestPulsesPerQuarter(int32_t ppq);

// The edges one clock tick makes. n counts the ticks of the run from 0 (the first clock after
// Start); timeNs is the tick's scheduled time and tickPeriodNs the time to the next tick. Fewer
// than 24 pulses per quarter fall on the ticks of the beat's subdivision, so the first tick of a
// run always makes one; 48 put a second edge halfway to the next tick. intervalNs: the time
// between two pulses, which bounds their width.
struct TickEdges {
    int count = 0;
    std::array<int64_t, 2> timeNs{};
    int64_t intervalNs = 0;
};
TickEdges PulseEdgesOfTick(int32_t n, int64_t timeNs, int64_t tickPeriodNs, int32_t ppq);

// How many frames a pulse stays high: the width asked for, but never more than half the time to
// the next pulse, so that every edge shows at the fastest tempos (48 per quarter at 300 BPM are
// 4.2 ms apart); at least one frame.
uint32_t PulseWidthFrames(int64_t widthNs, int64_t intervalNs, double framesPerNs);

// The samples of one output, cycle by cycle. Idle is silence (or the run line's level); a pulse
// is `level` (negative when inverted) for its width. A pulse that begins near the end of a cycle
// goes on in the next. After a pulse the line stays idle for at least half its width before the
// next may begin (earliestFrame), so pulses sent late in a bunch after a server stall still each
// make an edge of their own instead of merging into one long pulse. Process thread only; no
// allocation.
class PulseWriter {
  public:
    // level 0..1; inverted gives negative pulses (for a receiver behind an inverting stage).
    void setShape(float level, bool inverted) { high_ = inverted ? -level : level; }
    // Starts a cycle of `frames` samples into `out`, whose first frame is `firstFrame` on the
    // server's frame count: the idle level, with what is still owed of a pulse begun in the
    // cycle before.
    void beginCycle(float* out, uint32_t frames, uint32_t firstFrame);
    // The first frame of this cycle where a new pulse may begin (may lie beyond the cycle).
    int64_t earliestFrame() const { return free_; }
    // A pulse from `frame` of this cycle (frame < the cycle's length).
    void pulse(uint32_t frame, uint32_t widthFrames);
    // The run line: high or low from `frame` of this cycle on.
    void setRun(uint32_t frame, bool high);
    bool runHigh() const { return runHigh_; }
    // A pulse still owes frames to the next cycle.
    bool pulsing() const { return owed_ > 0; }
    // Drops a pulse in progress and the run line: silence from the next cycle on.
    void reset();

  private:
    float* out_ = nullptr;
    uint32_t frames_ = 0;
    float high_ = 1.0f;
    uint32_t owed_ = 0;  // frames of a pulse still to write from the next cycle's start
    int64_t free_ = 0;   // relative to the current cycle's first frame
    uint32_t firstFrame_ = 0;
    bool runHigh_ = false;
};
