// Clock pulses without a server: which ticks make edges, how wide a pulse is, and the samples
// the process callback writes for a cycle, frame by frame.
#include <gtest/gtest.h>

#include <vector>

#include "platform/jack/jack_pulse_out.h"
#include "platform/pulse_train.h"

using namespace jackbackend;

namespace {

constexpr double kFramesPerNs = 48000.0 / 1e9;
constexpr uint32_t kCycle = 256;
constexpr int64_t kLatency = 7'833'333;  // one period and the margin
constexpr int64_t kMs = 1'000'000;
constexpr int64_t kTick120 = 20'833'333;  // 120 BPM: 1000 frames

// Cycle k of a steady server: its first frame and where that lies in time. wobble: the cycle
// line's estimate wanders by up to half a frame from cycle to cycle, as it does on a live server.
PulseCycle Cycle(uint32_t k, bool wobble = false) {
    int64_t startNs = 1'000'000'000 + static_cast<int64_t>(k * kCycle / kFramesPerNs);
    if (wobble)
        startNs += static_cast<int64_t>((static_cast<int>(k % 3) - 1) * 0.45 / kFramesPerNs);
    return {startNs, kFramesPerNs, kLatency, 0, 1000 + k * kCycle};
}

// A time stamp whose edge is due at `frame` of cycle k.
int64_t StampAt(uint32_t k, double frame) {
    return Cycle(k).startNs - kLatency + static_cast<int64_t>(frame / kFramesPerNs + 0.5);
}

bool Queue(JackPulseSlot& slot, JackPulseSlot::Kind kind, int64_t timeNs, int64_t intervalNs) {
    const auto bytes = PulseMessage(kind, intervalNs);
    return slot.queue.push(timeNs, false, bytes.data(), bytes.size());
}

// Runs cycles [from, to) and returns their samples end to end.
std::vector<float> WriteCycles(JackPulseSlot& slot, uint32_t from, uint32_t to,
                               PulseCycleCounts* total = nullptr, bool wobble = false) {
    std::vector<float> samples((to - from) * kCycle, -9.0f);
    for (uint32_t k = from; k < to; ++k) {
        const PulseCycleCounts counts =
            WritePulseCycle(slot, samples.data() + (k - from) * kCycle, kCycle, Cycle(k, wobble));
        if (total) {
            total->late += counts.late;
            total->dropped += counts.dropped;
        }
    }
    return samples;
}

struct Seen {
    std::vector<int64_t> rises;
    std::vector<int64_t> widths;
};
Seen Edges(const std::vector<float>& samples) {
    Seen seen;
    bool high = false;
    for (size_t i = 0; i < samples.size(); ++i) {
        const bool now = samples[i] != 0.0f;
        if (now && !high) seen.rises.push_back(static_cast<int64_t>(i));
        if (!now && high) seen.widths.push_back(static_cast<int64_t>(i) - seen.rises.back());
        high = now;
    }
    return seen;
}

}  // namespace

TEST(PulseEdges, FallOnTheBeatsSubdivisionFromTheRunsFirstTick) {
    const int64_t t = 5'000'000'000;
    // Every choice makes an edge on the run's first tick, the MIDI clock it must agree with.
    for (int32_t ppq : kPulsesPerQuarterChoices) {
        const TickEdges first = PulseEdgesOfTick(0, t, kTick120, ppq);
        ASSERT_GE(first.count, 1) << ppq;
        EXPECT_EQ(first.timeNs[0], t) << ppq;
    }
    // 2 per quarter: ticks 0, 12, 24 ...; nothing between.
    int edges = 0;
    for (int32_t n = 0; n < 48; ++n) edges += PulseEdgesOfTick(n, t, kTick120, 2).count;
    EXPECT_EQ(edges, 4);
    EXPECT_EQ(PulseEdgesOfTick(12, t, kTick120, 2).count, 1);
    EXPECT_EQ(PulseEdgesOfTick(13, t, kTick120, 2).count, 0);
    EXPECT_EQ(PulseEdgesOfTick(12, t, kTick120, 2).intervalNs, 12 * kTick120);
    EXPECT_EQ(PulseEdgesOfTick(6, t, kTick120, 4).count, 1);
    EXPECT_EQ(PulseEdgesOfTick(23, t, kTick120, 1).count, 0);
    // 48: a second edge halfway to the next tick.
    const TickEdges twice = PulseEdgesOfTick(7, t, kTick120, 48);
    ASSERT_EQ(twice.count, 2);
    EXPECT_EQ(twice.timeNs[1] - twice.timeNs[0], kTick120 / 2);
    EXPECT_EQ(twice.intervalNs, kTick120 / 2);
    // A count before the run, or a setting not offered, makes none.
    EXPECT_EQ(PulseEdgesOfTick(-12, t, kTick120, 2).count, 0);
    EXPECT_EQ(PulseEdgesOfTick(0, t, kTick120, 3).count, 0);
    EXPECT_EQ(NearestPulsesPerQuarter(5), 4);
    EXPECT_EQ(NearestPulsesPerQuarter(30), 24);
    EXPECT_EQ(NearestPulsesPerQuarter(1000), 48);
    EXPECT_EQ(NearestPulsesPerQuarter(-4), 1);
}

TEST(PulseEdges, WidthIsTheSettingButLeavesHalfTheIntervalLow) {
    EXPECT_EQ(PulseWidthFrames(5 * kMs, 12 * kTick120, kFramesPerNs), 240u);
    // 48 per quarter at 300 BPM: 4.17 ms apart, 200 frames; a 5 ms pulse would hide the edges.
    EXPECT_EQ(PulseWidthFrames(5 * kMs, 4'166'667, kFramesPerNs), 100u);
    EXPECT_EQ(PulseWidthFrames(1, kTick120, kFramesPerNs), 1u);
}

TEST(PulseCycleWriter, EdgesRiseOnTheFramesMidiTicksOfTheSameStampsTake) {
    JackPulseSlot slot;
    FrameChain midiChain;
    std::vector<int64_t> midiFrames;
    // 128 BPM: 937.5 frames a tick, so the chain's rounding takes turns.
    const int64_t tickNs = 19'531'250;
    for (int i = 0; i < 8; ++i) {
        const int64_t stamp = StampAt(2, 3.3) + i * tickNs;
        ASSERT_TRUE(Queue(slot, JackPulseSlot::kEdge, stamp, tickNs));
    }
    // On a line that wanders, placed each on its own, some would round the other way.
    const Seen seen = Edges(WriteCycles(slot, 0, 40, nullptr, true));
    // The MIDI side, placing the same stamps through the same chain.
    for (uint32_t k = 0; k < 40 && midiFrames.size() < 8; ++k) {
        for (size_t i = midiFrames.size(); i < 8; ++i) {
            const int64_t stamp = StampAt(2, 3.3) + static_cast<int64_t>(i) * tickNs;
            const PulseCycle c = Cycle(k, true);
            const FramePlacement place = PlaceOnFrameChained(
                stamp, kLatency, c.startNs, kFramesPerNs, kCycle, 0, c.firstFrame, midiChain);
            if (place.kind == FramePlacement::Kind::LaterCycle) break;
            midiFrames.push_back(static_cast<int64_t>(k * kCycle + place.frame));
        }
    }
    ASSERT_EQ(seen.rises.size(), 8u);
    EXPECT_EQ(seen.rises, midiFrames);
    EXPECT_EQ(seen.rises[0], 2 * kCycle + 3);
    for (size_t i = 1; i < 8; ++i) EXPECT_NEAR(seen.rises[i] - seen.rises[i - 1], 937.5, 0.5);
    for (int64_t width : seen.widths) EXPECT_EQ(width, 240);
}

TEST(PulseCycleWriter, APulseBegunAtACyclesEndGoesOnInTheNext) {
    JackPulseSlot slot;
    slot.level.store(0.5f);
    ASSERT_TRUE(Queue(slot, JackPulseSlot::kEdge, StampAt(1, 250), kTick120));
    const std::vector<float> samples = WriteCycles(slot, 0, 4);
    const Seen seen = Edges(samples);
    ASSERT_EQ(seen.rises.size(), 1u);
    EXPECT_EQ(seen.rises[0], kCycle + 250);
    ASSERT_EQ(seen.widths.size(), 1u);
    EXPECT_EQ(seen.widths[0], 240);  // 6 frames in its own cycle, 234 in the next
    EXPECT_FLOAT_EQ(samples[kCycle + 250], 0.5f);
    EXPECT_FLOAT_EQ(samples[2 * kCycle + 233], 0.5f);
    EXPECT_FLOAT_EQ(samples[2 * kCycle + 234], 0.0f);
    // Inverted: the same pulse below zero.
    slot.inverted.store(true);
    ASSERT_TRUE(Queue(slot, JackPulseSlot::kEdge, StampAt(5, 10), kTick120));
    const std::vector<float> inverted = WriteCycles(slot, 4, 7);
    EXPECT_FLOAT_EQ(inverted[kCycle + 10], -0.5f);
    EXPECT_FLOAT_EQ(inverted[kCycle + 9], 0.0f);
}

TEST(PulseCycleWriter, LateEdgesAreSentEachWithAnEdgeOfItsOwnAndOnlyVeryLateOnesDropped) {
    JackPulseSlot slot;
    // The server held still: three edges 1 ms apart reach a cycle that begins after all three
    // were due (within the 10 ms bound), a fourth 30 ms late.
    const int64_t tickNs = 1 * kMs;
    ASSERT_TRUE(Queue(slot, JackPulseSlot::kEdge, StampAt(4, 0) - 30 * kMs, tickNs));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(Queue(slot, JackPulseSlot::kEdge, StampAt(4, 0) - (4 - i) * kMs, tickNs));
    PulseCycleCounts counts;
    const Seen seen = Edges(WriteCycles(slot, 4, 8, &counts));
    EXPECT_EQ(counts.dropped, 1u);
    ASSERT_EQ(seen.rises.size(), 3u) << "late edges merged or lost";
    // The first goes out first thing; each after it once the one before has been low a while.
    EXPECT_EQ(seen.rises[0], 0);
    for (size_t i = 1; i < 3; ++i) EXPECT_GT(seen.rises[i], seen.rises[i - 1] + seen.widths[0]);
    // 1 ms apart: pulses half that wide.
    EXPECT_EQ(seen.widths[0], 24);
    EXPECT_GE(counts.late, 3u);
}

TEST(PulseCycleWriter, TheRunLineRisesAndFallsOnItsFramesAndHoldsBetween) {
    JackPulseSlot slot;
    ASSERT_TRUE(Queue(slot, JackPulseSlot::kRunHigh, StampAt(1, 100), 0));
    ASSERT_TRUE(Queue(slot, JackPulseSlot::kRunLow, StampAt(3, 40), 0));
    const std::vector<float> samples = WriteCycles(slot, 0, 5);
    const Seen seen = Edges(samples);
    ASSERT_EQ(seen.rises.size(), 1u);
    EXPECT_EQ(seen.rises[0], kCycle + 100);
    ASSERT_EQ(seen.widths.size(), 1u);
    EXPECT_EQ(seen.widths[0], 2 * kCycle - 60);
    // A new start forgets a line left high.
    ASSERT_TRUE(Queue(slot, JackPulseSlot::kRunHigh, StampAt(5, 0), 0));
    WriteCycles(slot, 5, 6);
    slot.restart.store(true);
    const Seen after = Edges(WriteCycles(slot, 6, 7));
    EXPECT_TRUE(after.rises.empty());
}
