#include "tempo/tempo_model.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/number_text.h"
#include "state/app_settings.h"
#include "state/hexroutines.h"
#include "state/main_state.h"
#include "tempo/bpm_timer.h"

namespace {
constexpr double kFinestRounding = 0.001;
// The furthest FollowMultiplier goes: 2500 BPM, the highest maximum, from 10 BPM.
constexpr double kMaxFollowMultiplier = 256;
}  // namespace

TempoModel::TempoModel(MainState& main, const AppSettings& settings, TBPMTimer& timer,
                       const OutPorts& ports)
    : main_(main), settings_(settings), timer_(timer), ports_(ports) {}

double TempoModel::RoundingStep() const {
    const double step = settings_.BPMROUNDING.load(std::memory_order_relaxed);
    return step > 0 ? step : kFinestRounding;
}

void TempoModel::SetBPM(double bpm) {
    if (!std::isfinite(bpm)) return;  // a broken measurement must not become the tempo
    double step = RoundingStep();
    // A step so fine that the tempo is more steps than RoundToStep can count would come back
    // clamped, as some unrelated tempo (1e-8 turns 120 into 21.47): such a step is the finest one.
    if (std::fabs(bpm / step) > std::numeric_limits<int32_t>::max()) step = kFinestRounding;
    if (bpm < step || bpm < settings_.BPMMINIMUM.load(std::memory_order_relaxed)) return;
    const int32_t whole = RoundToInt(bpm);
    const double quantised = RoundToStep(bpm, step);
    // The maximum is tested on the whole BPM, before quantising: 330.4 passes, 330.5 does not.
    if (whole > settings_.BPMMAXIMUM.load(std::memory_order_relaxed)) return;
    main_.CurrentBPM = quantised;
    for (ClockOutput* port : ports_)
        if (port) port->TempoChanged(quantised);
    main_.TempoMilliBPM = RoundToInt(quantised * 1000);
    main_.TempoChanges.fetch_add(1, std::memory_order_acq_rel);
}

bool TempoModel::Followable(double bpm) const {
    if (!std::isfinite(bpm) || bpm <= 0) return false;
    if (bpm < settings_.BPMMINIMUM.load(std::memory_order_relaxed)) return false;
    // As SetBPM: the whole BPM is tested against the maximum.
    return RoundToInt(bpm) <= settings_.BPMMAXIMUM.load(std::memory_order_relaxed);
}

double TempoModel::FollowMultiplier(double bpm) const {
    if (!std::isfinite(bpm) || bpm <= 0) return 0;
    for (double m = 1; m <= kMaxFollowMultiplier; m *= 2) {
        if (Followable(bpm / m)) return 1 / m;  // slower first: fewer ticks for the devices
        if (m > 1 && Followable(bpm * m)) return m;
    }
    return 0;
}

bool TempoModel::FollowBPM(double bpm) {
    if (!Followable(bpm)) return false;
    if (bpm == main_.CurrentBPM.load(std::memory_order_acquire)) return true;
    main_.CurrentBPM = bpm;
    for (ClockOutput* port : ports_)
        if (port) port->TempoChanged(bpm);
    main_.TempoMilliBPM = RoundToInt(bpm * 1000);
    main_.TempoChanges.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

double TempoModel::WithinLimits(double bpm) const {
    const double minimum = settings_.BPMMINIMUM.load(std::memory_order_relaxed);
    const double maximum = settings_.BPMMAXIMUM.load(std::memory_order_relaxed);
    const double lowest = std::max(minimum, RoundingStep());
    // SetBPM tests the whole BPM against the maximum, so with a maximum of 330.7 the highest
    // tempo it takes lies just below 330.5.
    const double highest = std::min(maximum, std::nextafter(std::floor(maximum) + 0.5, -HUGE_VAL));
    if (std::isnan(bpm) || !(lowest <= highest)) return bpm;
    return std::clamp(bpm, lowest, highest);
}

double TempoModel::GetBPM() const {
    return main_.CurrentBPM.load(std::memory_order_acquire);
}

void TempoModel::BPMRoundUpToTick() {
    roundToTick(true);
}
void TempoModel::BPMRoundDownToTick() {
    roundToTick(false);
}

void TempoModel::roundToTick(bool up) {
    if (up)
        timer_.RoundUpToTick();
    else
        timer_.RoundDownToTick();
    main_.ShowTickPeriod = true;
    main_.TempoMilliBPM = static_cast<int32_t>(timer_.Tempo());
    main_.TempoChanges.fetch_add(1, std::memory_order_acq_rel);
}

double TempoModel::StorePresetText(int functionKey) {
    const double preset = timer_.Tempo() * 0.001;
    main_.PostStatus(
        "F" + std::to_string(functionKey) + " set to " + FormatGeneral(preset) + " bpm",
        StatusColors::blue);
    return preset;
}
