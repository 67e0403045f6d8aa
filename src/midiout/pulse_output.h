#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/pulse_out.h"
#include "platform/pulse_train.h"
#include "tempo/out_ports.h"

class MidiSystem;
class TBPMTimer;

// What one pulse output is set to (the settings file's [PULSEOUTn] section).
struct PulseOutputSettings {
    bool enabled = false;
    int32_t ppq = kDefaultPulsesPerQuarter;
    double widthMs = kDefaultPulseWidthMs;
    double level = 1.0;
    bool inverted = false;
    double shiftMs = 0.0;
    // Output 2 only: the run line of DIN sync, high while the clock runs, instead of pulses.
    bool run = false;

    bool operator==(const PulseOutputSettings&) const = default;
};

// The two clock pulse outputs, driven by the tempo engine like the MIDI ports: every tick of a
// run makes the edges its pulses per quarter ask for, with the tick's own time stamp, so an
// edge lands on the frame of the MIDI clock of the same tick. Pulses run from the first tick
// after Start or Continue (after a Start on the next beat, from that beat) until Stop or Pause;
// a stopped clock leaves the outputs silent.
//
// ClockTick and the transport calls run on the clock thread (and the UI or input thread for
// the transport) and read atomics only; Apply runs on the UI thread and never makes the clock
// thread wait: it withdraws an output's connection and waits for a tick using it to end.
class PulseOutputs final : public ClockOutput {
  public:
    static constexpr int kOutputs = 2;

    PulseOutputs(TBPMTimer& timer, MidiSystem& system);
    ~PulseOutputs();
    PulseOutputs(const PulseOutputs&) = delete;
    PulseOutputs& operator=(const PulseOutputs&) = delete;

    // Takes settings for output number (1 or 2), held to what the output can do (ppq a listed
    // choice, width, level and shift within their limits, run on output 2 only), and opens or
    // closes its port. Returns a problem for the status line, or "". UI thread.
    std::string Apply(int number, const PulseOutputSettings& settings);
    PulseOutputSettings Settings(int number) const;
    // Whether the output's audio port is open.
    bool IsOpen(int number) const;
    // The shortest lookahead of the open outputs, or -1 with none open. Clock thread;
    // real-time safe.
    int64_t LookaheadNs() const;
    // The settings as Apply keeps them.
    static PulseOutputSettings Held(int number, const PulseOutputSettings& settings);

    void ClockTick(int32_t n, int64_t timeNs) override;
    void AfterTick(int32_t, int64_t) override {}
    void TransportStart(bool sendNow, bool onNextBeat) override;
    void TransportStop(bool sendStop) override;
    void TransportPause() override;
    void TransportContinue() override;
    void TempoChanged(double) override {}

  private:
    enum class Run { Stopped, FromNextTick, FromNextBeat, Running };
    struct Output {
        std::unique_ptr<PulseOutConnection> owned;  // UI thread
        std::atomic<PulseOutConnection*> live{nullptr};
        mutable std::atomic<int> users{0};
        std::atomic<int32_t> ppq{kDefaultPulsesPerQuarter};
        std::atomic<bool> run{false};
        // A run line to raise with the next tick (opened, or set to run, while running).
        std::atomic<bool> raise{false};
        PulseOutputSettings settings;  // UI thread, under mutex_
    };
    // Calls use(connection) with the output's live connection, if any. Real-time safe.
    template <class Use>
    void WithConnection(Output& output, Use use);
    void LowerRunLines();

    TBPMTimer& timer_;
    MidiSystem& system_;
    mutable std::mutex mutex_;
    std::array<Output, kOutputs> outputs_;
    std::atomic<Run> run_{Run::Stopped};
};
