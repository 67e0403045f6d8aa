#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

// Where the first frame of each JACK cycle lies in JACK's time (nanoseconds), for placing
// messages on frames.
//
// JACK's own estimate (jack_get_cycle_times) comes from a filter that every late wake-up of the
// server pulls aside for a second or two, and after an xrun it starts again off by whole
// periods; on a loaded machine that moves clock ticks by several frames. The frames themselves
// keep their pace: the driver's period boundaries lie on a straight line in time, and a callback
// can only ever wake after its boundary. So the lowest (wake-up time - frame x frame length)
// over the last two seconds marks the line, plus the small least wake-up delay, which only adds
// to the latency. Late wake-ups do not move it. That lowest value still wanders by some tens of
// microseconds as prompt wake-ups come and go; the estimate follows it no faster than a sound
// card's clock can drift against the system's (300 ppm), so no tick interval changes by more
// than a fraction of a frame.
//
// A driver xrun moves the line itself, later by as long as the driver was held up: the first
// cycle after word of one starts the line afresh, that much after where the old line put it
// (never after the wake-up itself). Without word of an xrun, eight cycles in a row
// more than a millisecond behind the line do (no late wake-up on a loaded machine lasts that
// long without making an xrun of its own). Process thread only; no allocation.
class CycleClock {
  public:
    static constexpr size_t kMaxWindow = 1024;
    static constexpr size_t kMovedAfterCycles = 8;

    // Feeds one cycle: JACK's frame counter at its start (jack_last_frame_time), when this
    // callback woke in JACK's time, the current buffer size and sample rate, and whether the
    // server reported a driver xrun since the cycle before, and how long the driver was held
    // up by it (0: not known, the line starts from this wake-up). Returns the estimated time of
    // the cycle's first frame. JACK process thread; real-time safe, as are the getters.
    int64_t update(uint32_t firstFrame, int64_t wokeNs, uint32_t frames, uint32_t sampleRate,
                   bool driverXrun = false, int64_t driverDelayNs = 0);
    double nsPerFrame() const { return nsPerFrame_; }
    // The last cycle's start on the line as it was begun, without the slow following of the
    // lowest wake-up: frames counted at the nominal rate from the line's start. What times
    // incoming events: a steady source keeps its exact spacing (the following moves by up to
    // 300 ppm, which a clock lock would read as a change of tempo).
    int64_t countedStartNs() const {
        return baseNs_ + static_cast<int64_t>(std::llround(framesSinceBase_ * nsPerFrame_));
    }
    // Forgets every cycle seen: the next one starts the line afresh.
    void forget() { started_ = false; }
    // How often the line was found to have moved and was started afresh.
    uint64_t lineMoves() const { return lineMoves_; }

  private:
    void restart(uint32_t firstFrame, int64_t wokeNs, uint32_t sampleRate);

    bool started_ = false;
    uint32_t cycles_ = 0;      // since the start
    double lineOffsetNs_ = 0;  // the estimate, as an excess over the straight line
    uint32_t sampleRate_ = 0;
    double nsPerFrame_ = 0;
    uint32_t lastFrame_ = 0;
    uint64_t framesSinceBase_ = 0;  // JACK's 32-bit counter, carried on past its wrap
    int64_t baseNs_ = 0;
    // Wake-up time minus the straight line, for the most recent cycles.
    std::array<double, kMaxWindow> excessNs_{};
    size_t filled_ = 0;
    size_t next_ = 0;
    uint32_t behindInARow_ = 0;  // cycles in a row more than kJumpNs behind the line
    uint64_t lineMoves_ = 0;
};

// JACK's time minus our clock's (ns), from readings of JACK's clock (whole microseconds,
// truncated) each taken between two reads of ours. A single reading is off by up to half a
// microsecond either way; an offset taken from each refresh's reading moved by that much every
// 20 ms, and a clock whose ticks lay near the middle between two frames had runs of them land a
// frame early and then back, over and over (a receiver saw hundreds of intervals a frame off in
// 20 s at 2500 BPM). So the offset is a straight line fitted through the readings of the last
// second and a quarter: it stays within a few tens of nanoseconds where the clocks run together,
// and follows where they part at a steady rate (NTP slews ours by some ppm, not the raw clock
// JACK reads). A reading far off the line (a clock stepped) starts it afresh.
class ClockOffset {
  public:
    static constexpr size_t kWindow = 64;
    // A reading this far off the line is no drift: the line starts again from it.
    static constexpr int64_t kStepNs = 5'000;
    // A reading whose two reads of ours lie further apart (the thread held up between them)
    // says little: it is taken only when nothing better is known.
    static constexpr int64_t kWideNs = 2'000;

    // One reading: our clock before, JACK's clock, ours after. Returns the estimate for now.
    // A sender, the clock thread among them (one at a time, under a lock it only tries);
    // real-time safe.
    int64_t add(int64_t beforeNs, uint64_t jackUs, int64_t afterNs);
    int64_t estimateNs() const { return estimateNs_; }
    // A new server: the next reading starts afresh.
    void forget() { count_ = 0; }

  private:
    std::array<int64_t, kWindow> atNs_{};      // our clock at each reading
    std::array<int64_t, kWindow> offsetNs_{};  // the middle of each reading's bracket
    size_t count_ = 0;
    size_t next_ = 0;
    int64_t estimateNs_ = 0;
};

// Where a message lands in a cycle: the frame nearest to its due time (time stamp plus latency)
// counted from the cycle's first frame, never before the frame of the message written before it
// in the same cycle (JACK wants a cycle's events in time order, and order is what senders rely
// on). A time stamp of 0 means "now": at the previous message's frame. Pure; the process
// callback places every message through it.
struct FramePlacement {
    enum class Kind { Now, Late, Due, LaterCycle };
    Kind kind;
    uint32_t frame;  // valid unless LaterCycle
    bool held;       // after its own frame: late, or behind the message written before it
};
// JACK process thread; real-time safe.
FramePlacement PlaceOnFrame(int64_t timeNs, int64_t latencyNs, int64_t cycleStartNs,
                            double framesPerNs, uint32_t cycleFrames, uint32_t previousFrame);

// Where a port's previous timed message belonged: its exact position on JACK's frame count and
// its due time. The next one is placed by the time between them, so that a steady clock lands
// on frames exactly as far apart as its tempo says even while the cycle's line on the system
// clock wanders by a fraction of a frame (placed on its own, each tick would be rounded afresh
// and step a frame whenever the line crossed half of one). When the two part by more than
// kChainSlackFrames but no more than kDrawFrames (the line following its lowest wake-up, a
// sound card that drifts from the system clock), the message goes to the whole frame nearest
// the line that keeps it within one frame of its time from the one before: a receiver sees
// each such step as one interval a frame long or short, never two. Further apart (an xrun, a
// changed delay), the line decides at once.
struct FrameChain {
    // The line's own estimate wanders by a frame or two as prompt wake-ups come and go.
    static constexpr double kChainSlackFrames = 2.0;
    // Beyond the slack, the line follows at most 300 ppm: 25 us, 1.2 frames, over a tick at
    // 30 BPM.
    static constexpr double kDrawFrames = 4.0;
    bool valid = false;
    uint32_t cycleFrame = 0;  // JACK's frame count at the start of that message's cycle
    double position = 0;      // the message's exact position, in frames from cycleFrame
    int64_t dueNs = 0;        // time stamp plus latency
};
// As PlaceOnFrame for a timed message (timeNs != 0), following the chain where it holds, and
// moving the chain on to this message (unless it is held after its frame, or due later).
// JACK process thread; real-time safe.
FramePlacement PlaceOnFrameChained(int64_t timeNs, int64_t latencyNs, int64_t cycleStartNs,
                                   double framesPerNs, uint32_t cycleFrames, uint32_t previousFrame,
                                   uint32_t firstFrame, FrameChain& chain);

// What becomes of a timing clock placed in a cycle. A tick that missed its frame by a short
// server xrun still goes out, first thing, so a receiver counting ticks keeps its place; but a
// server held still for longer owes more ticks than any receiver can take as clock (a whole
// second's worth on one frame made receivers jump their song position and spike their tempo).
// So a tick later than kLateBoundNs is dropped, and the ticks after it carry on on their own
// grid; and no two ticks ever share a frame: a tick that would land on the frame of the tick
// before it goes one frame later, or to the next cycle.
struct TickPlacement {
    // 10 ms: every tick late by a short xrun of a 256-frame server (one or two periods, 5-11 ms)
    // still goes out, and at most one tick of 120 BPM, or ten of 2500 BPM, follow a long stall.
    static constexpr int64_t kLateBoundNs = 10'000'000;
    enum class Kind { Send, Drop, NextCycle };
    Kind kind;
    uint32_t frame;  // for Send
};
// place: where PlaceOnFrame(Chained) put the tick; duePosition: its exact due position in frames
// from the cycle's first frame; previousTickFrame: the frame of the last tick written in this
// cycle, or -1 for none. JACK process thread; real-time safe.
TickPlacement PlaceTick(const FramePlacement& place, double duePosition, double framesPerNs,
                        uint32_t cycleFrames, int64_t previousTickFrame);
