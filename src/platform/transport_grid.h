#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// The beat grid of a shared transport (JACK's): which frame each beat lies on, and how our
// clock's times map onto those frames. Beat positions count beats from bar 1, beat 1 (position
// 0); a bar line lies on every multiple of beatsPerBar. Pure arithmetic, no JACK: the JACK side
// feeds it what each cycle tells (platform/jack/jack_transport).

// What one JACK cycle told of the transport.
struct TransportCycle {
    bool rolling = false;
    uint32_t transportFrame = 0;  // the transport's own position, frames from its start
    int64_t cycleFrame = 0;       // JACK's frame count at the cycle's start, carried past its wrap
    uint32_t frames = 0;          // the cycle's length
    bool bbt = false;             // a timebase master gives bars and beats
    int32_t bar = 1;              // from 1
    int32_t beat = 1;             // from 1
    int32_t tick = 0;
    double ticksPerBeat = 1920;
    double beatsPerBar = 4;
    double bpm = 120;
    int32_t bbtOffset = 0;  // the BBT fields are of this many frames before the cycle's start
    double sampleRate = 48000;
};

// What the clock reads: the grid as last anchored, and where JACK's frames lie on our clock.
// Published whole by the process thread (TransportViewLatch).
struct TransportView {
    bool rolling = false;
    bool hasGrid = false;  // a timebase master's bars and beats (else: roll and stop only)
    double bpm = 0;
    double beatsPerBar = 4;
    double framesPerBeat = 0;
    // The grid: beat position anchorBeat lies on JACK frame anchorFrame. Anchored afresh at a
    // start, a relocate, a change of tempo or metre; gridSerial counts the anchors made while
    // rolling, rollSerial the starts.
    double anchorBeat = 0;
    int64_t anchorFrame = 0;
    uint64_t gridSerial = 0;
    uint64_t rollSerial = 0;
    // Where the present roll began.
    double startBeat = 0;
    // JACK frame cycleFrame lies at cycleStartNs on our clock, a frame every nsPerFrame.
    int64_t cycleFrame = 0;
    int64_t cycleStartNs = 0;
    double nsPerFrame = 0;
};

// Beats from bar 1, beat 1, of a bar|beat|tick position.
double BeatPositionOf(int32_t bar, int32_t beat, double tick, double ticksPerBeat,
                      double beatsPerBar);
// The frame (fractional) of a beat position on the view's grid, and the beat at a frame.
double FrameOfBeat(const TransportView& view, double beat);
double BeatAtFrame(const TransportView& view, double frame);
// Our clock's time of a JACK frame, and the JACK frame of a time on our clock.
double TimeOfFrame(const TransportView& view, double frame);
double FrameAtTime(const TransportView& view, int64_t timeNs);
// Whether a beat position lies on a bar line (within a millionth of a beat).
bool OnBarLine(double beat, double beatsPerBar);
// The first bar line at or after a beat position.
double BarLineAtOrAfter(double beat, double beatsPerBar);

// Bars, beats and ticks of a beat position, as a timebase master writes them.
struct BbtPlace {
    int32_t bar = 1;
    int32_t beat = 1;
    int32_t tick = 0;
    double barStartTick = 0;
};
BbtPlace BbtOfBeat(double beat, double beatsPerBar, double ticksPerBeat);

// Keeps the grid of a rolling transport on one anchor while its frames run on as they should,
// and anchors it afresh where the transport jumped (a relocate), started, or its master changed
// tempo or metre. Between those the master's own bars and beats are not looked at again: a
// master that advances its ticks cycle by cycle in whole ticks falls behind its own tempo
// (jackd2's jack_transport loses 0.48 of 20.48 ticks a cycle at 120 BPM), while its tempo and
// the frames it counts stay true. Process thread only; real-time safe.
class TransportAnchor {
  public:
    // Fills view's grid fields from this cycle; true when the grid was anchored afresh while
    // rolling (or the roll began).
    bool update(const TransportCycle& cycle, TransportView& view);

  private:
    bool wasRolling_ = false;
    bool hadGrid_ = false;
    uint32_t lastTransportFrame_ = 0;
    int64_t lastCycleFrame_ = 0;
    double bpm_ = 0;
    double beatsPerBar_ = 0;
};

// Hands a TransportView from the process thread to any number of readers; the writer never
// waits, a reader only retries when the writer published twice while it copied (no reader is
// ever held behind a preempted writer: it reads the copy not being written). The words are
// atomics, so that no reader ever sees a torn value.
class TransportViewLatch {
  public:
    void write(const TransportView& view);  // one writer; real-time safe
    TransportView read() const;             // any thread; real-time safe

  private:
    static constexpr size_t kWords = (sizeof(TransportView) + 7) / 8;
    static_assert(std::is_trivially_copyable_v<TransportView>);
    std::atomic<uint64_t> sequence_{0};
    std::atomic<uint64_t> words_[2][kWords]{};
};
