#pragma once

// Inside the JACK backend: the audio ports that carry clock pulses ("pulse_1", "pulse_2"). Each
// has a queue like a MIDI output's (the clock thread's ring without a lock, the others' under a
// mutex), its frame chain, and a PulseWriter that turns the placed edges into samples. The
// session registers, publishes and withdraws them the way it does its MIDI ports.

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/jack/jack_cycle.h"
#include "platform/jack/jack_out_queue.h"
#include "platform/pulse_train.h"

namespace jackbackend {

inline constexpr int kPulseOutputs = 2;
// Edges are 9 bytes in the ring (24 with the header): a few seconds of 48 per quarter at the
// highest tempo.
inline constexpr size_t kPulseRingBytes = 16 * 1024;

struct JackPulseSlot {
    JackPulseSlot() : queue(kPulseRingBytes) {}

    // What the queue carries: a kind byte and, for an edge, the time to the next pulse.
    enum Kind : uint8_t { kEdge = 1, kRunHigh = 2, kRunLow = 3 };
    static constexpr size_t kMessageBytes = 1 + sizeof(int64_t);

    std::atomic<jack_port_t*> port{nullptr};
    std::string portName;  // "pulse_1": the same after a restart
    std::atomic<bool> closed{false};
    // The shift set for this output (guarded by the session's slotsMutex_), and what the
    // process callback adds to the latency for it, as for a MIDI port's delay.
    int64_t shiftNs = 0;
    std::atomic<int64_t> extraNs{0};
    std::atomic<int64_t> widthNs{static_cast<int64_t>(kDefaultPulseWidthMs * 1e6)};
    std::atomic<float> level{1.0f};
    std::atomic<bool> inverted{false};
    // Set by whoever starts the output afresh (opened, a new server): the process callback then
    // forgets any pulse in progress.
    std::atomic<bool> restart{true};
    // Set while the port closes: the process callback writes silence. JACK keeps a port's
    // buffer as last written, so a port withdrawn right after a pulse would hand its receiver
    // that pulse again in every cycle until it is gone.
    std::atomic<bool> silent{false};
    // Whether a pulse goes on into the next cycle, for a closer to let it end.
    std::atomic<bool> pulsing{false};
    JackOutQueue queue;
    // Process thread only.
    FrameChain chain;
    PulseWriter writer;
};

// Where one cycle lies: as the MIDI ports' placement has it.
struct PulseCycle {
    int64_t startNs;
    double framesPerNs;
    int64_t latencyNs;
    int64_t jackMinusMonoNs;
    uint32_t firstFrame;
};

// What came of writing one cycle, for the session's counters.
struct PulseCycleCounts {
    uint64_t late = 0;
    uint64_t dropped = 0;
};

// Writes one cycle of a pulse port: its samples from what is due in the queue. Edges are placed
// exactly as MIDI clock ticks are (chained, late ones still sent up to the same bound, never two
// on one frame), then no earlier than the writer lets a new pulse begin. Process thread; no
// allocation, no lock.
PulseCycleCounts WritePulseCycle(JackPulseSlot& slot, float* buffer, uint32_t frames,
                                 const PulseCycle& cycle);

// Encodes a queue message.
std::array<uint8_t, JackPulseSlot::kMessageBytes> PulseMessage(JackPulseSlot::Kind kind,
                                                               int64_t intervalNs);

}  // namespace jackbackend
