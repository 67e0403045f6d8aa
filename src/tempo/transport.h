#pragma once

#include <atomic>

#include "tempo/out_ports.h"

struct AppSettings;
class MainState;
class TBPMTimer;

// Start, stop, pause and continue for both output ports, and the clock driver that hands every
// tick of the BPM timer to the ports and advances the beat flash.
class Transport {
  public:
    Transport(MainState& main, const AppSettings& settings, TBPMTimer& timer,
              const OutPorts& ports);

    // The BPM timer's OnTimer handler: runs on the clock thread, once per tick. Real-time safe
    // (atomics, and the ports' tick path; a Start due with the first tick of a schedule too).
    void TempoTimer1Timer();

    void StartTransport(bool sendNow, bool onNextBeat);
    // Runs the clock on without going back to the first tick, and sends Continue (a master we
    // follow continues).
    void ResumeTransport();
    void StopTransport(bool sendStop);

    // Commands.
    void StartStopSeq();
    void StartSeq();
    void StopSeq();
    void SendPause();
    void SendContinue();

  private:
    void FlashStep();

    MainState& main_;
    const AppSettings& settings_;
    TBPMTimer& timer_;
    const OutPorts& ports_;
    // While the timer follows an outside schedule, the first tick may be a bar away: Start then
    // goes out with it rather than at once.
    std::atomic<bool> startOnFirstTick_{false};
};
