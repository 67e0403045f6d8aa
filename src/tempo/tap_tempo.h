#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/monotonic_clock.h"
#include "state/hexroutines.h"

struct AppSettings;
class MainState;
class TBPMTimer;

// Tap tempo: a sequence of TAPTEMPOCOUNT taps, timed on a monotonic microsecond clock, sets the
// tempo from the time between its first and last tap and may start the clock on the next beat.
// Taps come from the button, the Space key (UI thread) and mapped MIDI input (input thread).
class TapTempo {
  public:
    using PerformActionValueFn = std::function<void(int index, double value)>;
    using StartTransportFn = std::function<void(bool sendNow, bool onNextBeat)>;

    TapTempo(MainState& main, const AppSettings& settings, const TBPMTimer& timer,
             PerformActionValueFn performActionValue, StartTransportFn startTransport,
             const MonotonicClock& clock = SystemClock());

    // The note value of one tap, as the index of the TapTempoDuration radio group
    // (0 = 4/4, 1 = 2/4, 2 = 1/4, 3 = 1/8, 4 = 1/16, 5 = 1/32).
    void SetDurationIndex(int index) { durationIndex_.store(index, std::memory_order_release); }
    int DurationIndex() const { return durationIndex_.load(std::memory_order_acquire); }
    static int ClocksPerTap(int durationIndex);

    // One tap.
    void TapButtonClick();

    // Thousandths of a BPM for n tap intervals over spanUs microseconds, with c clocks per tap;
    // 0 when there is nothing to measure.
    static int64_t TempoFromTaps(int32_t intervals, uint32_t spanUs, int clocksPerTap);

  private:
    MainState& main_;
    const AppSettings& settings_;
    const TBPMTimer& timer_;
    PerformActionValueFn performActionValue_;
    StartTransportFn startTransport_;
    const MonotonicClock& clock_;
    std::atomic<int> durationIndex_{2};

    std::mutex tapMutex_;  // two taps from two threads at once must not tear the stopwatches
    Stopwatch lastTap_;
    Stopwatch sequenceStart_;
};
