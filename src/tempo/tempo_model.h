#pragma once

#include <string>

#include "tempo/out_ports.h"

struct AppSettings;
class MainState;
class TBPMTimer;

// How the tempo is validated and changed. Every change but round-to-tick goes through SetBPM,
// which may run on the UI thread and on the MIDI input thread; the pump then hands the new
// tempo to the BPM timer.
class TempoModel {
  public:
    TempoModel(MainState& main, const AppSettings& settings, TBPMTimer& timer,
               const OutPorts& ports);

    void SetBPM(double bpm);
    // A tempo taken from outside (a network session, a locked input clock) exactly as given:
    // within BPMMINIMUM and BPMMAXIMUM, never rounded, so we and the source never part over a
    // rounding step. False, changing nothing, for a tempo outside the limits.
    bool FollowBPM(double bpm);
    // The power of two (1, then 1/2 and 2, then 1/4 and 4 ..., up to 256) that brings bpm
    // within the limits FollowBPM keeps, so that a source whose tempo we cannot run at is still
    // followed on its beats; 0 when none does (limits closer than an octave). Any thread: it
    // reads only the settings' atomics. Real-time safe (the clock thread asks it for Link).
    double FollowMultiplier(double bpm) const;
    double GetBPM() const;

    // The rounding step in use: a step of 0 or less (from a hand-edited settings file) would
    // divide by zero, so it counts as the finest step, 0.001.
    double RoundingStep() const;

    // bpm moved to the nearest tempo SetBPM accepts under the limits and rounding now in force,
    // for a tempo read from a file (a DEFAULTSPEED above BPMMAXIMUM gives the maximum). NaN, and
    // limits that admit no tempo at all, give bpm unchanged.
    double WithinLimits(double bpm) const;

    // Round-to-tick commands: act on the timer alone, outside the tempo limits.
    void BPMRoundUpToTick();
    void BPMRoundDownToTick();

    // SetF5Tempo .. SetF8Tempo: the running tempo as preset F<key>, which the caller stores.
    // Posts "F5 set to 120 bpm" and returns the value.
    double StorePresetText(int functionKey);

  private:
    void roundToTick(bool up);
    bool Followable(double bpm) const;

    MainState& main_;
    const AppSettings& settings_;
    TBPMTimer& timer_;
    const OutPorts& ports_;
};
