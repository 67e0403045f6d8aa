#include "tempo/tap_tempo.h"

#include <cmath>

#include "state/app_settings.h"
#include "state/main_state.h"
#include "tempo/bpm_timer.h"

namespace {
constexpr int kCompleteStep = 4;
}

TapTempo::TapTempo(MainState& main, const AppSettings& settings, const TBPMTimer& timer,
                   PerformActionValueFn performActionValue, StartTransportFn startTransport,
                   const MonotonicClock& clock)
    : main_(main),
      settings_(settings),
      timer_(timer),
      performActionValue_(std::move(performActionValue)),
      startTransport_(std::move(startTransport)),
      clock_(clock) {}

int TapTempo::ClocksPerTap(int durationIndex) {
    switch (durationIndex) {
        case 0:
            return 96;
        case 1:
            return 48;
        case 2:
            return 24;
        case 3:
            return 12;
        case 4:
            return 6;
        case 5:
            return 3;
        default:
            return 24;
    }
}

int64_t TapTempo::TempoFromTaps(int32_t intervals, uint32_t spanUs, int clocksPerTap) {
    if (spanUs == 0 || intervals <= 0) return 0;
    const double perTap = (1'000'000.0 * intervals / spanUs) * 60000.0 + 0.5;
    const double milliBpm = std::trunc(perTap * (clocksPerTap * (1.0 / 24.0)));
    // Far beyond any tempo limit; kept finite so the conversion stays defined.
    return static_cast<int64_t>(std::fmin(milliBpm, 1e15));
}

void TapTempo::TapButtonClick() {
    const int clocks = ClocksPerTap(DurationIndex());
    int64_t milliBpm = 0;
    {
        std::lock_guard lock(tapMutex_);
        const int64_t gapUs = ElapsedMicroseconds(lastTap_, clock_);
        RestartStopwatch(lastTap_, clock_);
        const int32_t count = settings_.TAPTEMPOCOUNT.load(std::memory_order_relaxed);
        const int64_t timeoutUs =
            int64_t{settings_.TAPTEMPOTIMEOUT.load(std::memory_order_relaxed)} * 1000;
        if (main_.TapStep.load() == 0 || gapUs > timeoutUs) {
            // The first tap of a new sequence.
            RestartStopwatch(sequenceStart_, clock_);
            main_.SetTapStep(5 - count);
            return;
        }
        main_.AdvanceTapStep();
        const int32_t step = main_.TapStep.load();
        if (step < kCompleteStep) return;
        const auto spanUs = static_cast<uint32_t>(ElapsedMicroseconds(sequenceStart_, clock_));
        milliBpm = TempoFromTaps(step - (5 - count), spanUs, clocks);
    }
    if (milliBpm <= 0) return;
    performActionValue_(-1, static_cast<double>(milliBpm / 1000) + (milliBpm % 1000) * 0.001);
    const bool running = timer_.Enabled();
    if ((settings_.AUTOSTARTONTAP && !running) || (settings_.STARTONLIVETAP && running))
        startTransport_(false, true);
}
