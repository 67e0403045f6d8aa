#pragma once

#include <array>
#include <cstdint>

// A clock output as the tempo engine drives it. The engine sits below the MIDI ports, so it
// declares what it needs and MidiOutPort implements it.
class ClockOutput {
  public:
    // Clock thread, once per tick; must be real-time safe. timeNs is the tick's scheduled time;
    // what the tick sends carries it.
    virtual void ClockTick(int32_t n, int64_t timeNs) = 0;
    virtual void AfterTick(int32_t n, int64_t timeNs) = 0;

    // Also on the clock thread (with the first tick of a schedule); must be real-time safe.
    virtual void TransportStart(bool sendNow, bool onNextBeat) = 0;
    virtual void TransportStop(bool sendStop) = 0;
    virtual void TransportPause() = 0;
    virtual void TransportContinue() = 0;
    virtual void TempoChanged(double tempo) = 0;

  protected:
    ~ClockOutput() = default;
};

// The clock outputs as the tempo engine sees them: OutPort1 first, then OutPort2, then the
// pulse outputs. Entries are null until the main window has created the ports.
using OutPorts = std::array<ClockOutput*, 3>;
