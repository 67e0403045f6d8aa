#pragma once

#include <atomic>

#include "platform/triple_buffer.h"
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

    // The last tick raised: its number in the run (counted from the run's first bar line, as
    // the ports count), its time stamp, the tick period then, and which run it belongs to. For
    // a shared transport we lead: its beats are ours.
    struct TickMark {
        uint64_t run = 0;
        int64_t tick = 0;
        int64_t timeNs = 0;
        double periodNs = 0;
    };
    // The newest mark since the last call; false (mark untouched) when none came. One reader
    // (JACK's process thread); real-time safe.
    bool TakeTickMark(TickMark& mark) { return marks_.readNew(mark); }
    // Counts the starts; a mark of an earlier run is stale. Any thread; real-time safe.
    uint64_t Runs() const { return runs_.load(std::memory_order_acquire); }

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
    std::atomic<uint64_t> runs_{0};
    TripleBuffer<TickMark> marks_;  // the clock thread writes
};
