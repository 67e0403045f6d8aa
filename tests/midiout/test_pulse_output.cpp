#include <gtest/gtest.h>

#include <cmath>

#include "midiout/pulse_output.h"
#include "support/model_rig.h"

// The pulse outputs driven by the model's clock on the memory backend, whose pulse outputs log
// every edge (01) and run line change (02 high, 03 low) with its time stamp.
namespace {

struct PulseOutputTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
    PulseOutputs& pulses = *m.Pulses();

    void SetUp() override {
        rig.openPort1();
        m.SetBPM(120);
    }
    std::vector<int64_t> times(const std::string& device, uint8_t kind) const {
        std::vector<int64_t> out;
        for (const auto& message : rig.memory->messagesFor(device))
            if (message.bytes == std::vector<uint8_t>{kind}) out.push_back(message.timeNs);
        return out;
    }
    std::vector<int64_t> clocks() const { return times("synth", 0xF8); }
    static PulseOutputSettings Enabled(int32_t ppq, bool run = false) {
        PulseOutputSettings settings;
        settings.enabled = true;
        settings.ppq = ppq;
        settings.run = run;
        return settings;
    }
};

}  // namespace

TEST_F(PulseOutputTest, EdgesCarryTheTimeStampsOfTheirTicksMidiClocks) {
    EXPECT_EQ(pulses.Apply(1, Enabled(2)), "");
    EXPECT_EQ(pulses.Apply(2, Enabled(48)), "");
    rig.memory->clearMessages();
    m.StartTransport(true, false);
    rig.ticks(25);
    const auto clock = clocks();
    ASSERT_EQ(clock.size(), 25u);
    // 2 per quarter: the run's first clock, then every twelfth.
    EXPECT_EQ(times("pulse_1", 0x01), (std::vector<int64_t>{clock[0], clock[12], clock[24]}));
    // 48: every clock and halfway to the next.
    const auto twice = times("pulse_2", 0x01);
    ASSERT_EQ(twice.size(), 50u);
    EXPECT_EQ(twice[2], clock[1]);
    EXPECT_NEAR(static_cast<double>(twice[3] - twice[2]), (clock[2] - clock[1]) / 2.0, 1e3);
    m.StopTransport(true);
    EXPECT_TRUE(pulses.IsOpen(1));
    // Closed: the port goes, and nothing more is sent.
    PulseOutputSettings off = Enabled(2);
    off.enabled = false;
    EXPECT_EQ(pulses.Apply(1, off), "");
    EXPECT_FALSE(pulses.IsOpen(1));
    rig.memory->clearMessages();
    m.StartTransport(true, false);
    rig.ticks(13);
    EXPECT_TRUE(times("pulse_1", 0x01).empty());
    EXPECT_EQ(times("pulse_2", 0x01).size(), 26u);
}

TEST_F(PulseOutputTest, TheRunLineIsHighFromTheFirstTickUntilStopOrPause) {
    EXPECT_EQ(pulses.Apply(1, Enabled(24)), "");
    EXPECT_EQ(pulses.Apply(2, Enabled(24, true)), "");
    rig.memory->clearMessages();
    m.StartTransport(true, false);
    rig.ticks(6);
    const auto clock = clocks();
    const auto high = times("pulse_2", 0x02);
    ASSERT_EQ(high.size(), 1u);
    EXPECT_EQ(high[0], clock[0]);
    EXPECT_TRUE(times("pulse_2", 0x01).empty()) << "a run line makes no pulses";
    // Pause: the line drops and the pulses stop while MIDI clocks go on; Continue raises it
    // with the next tick.
    m.transport().SendPause();
    EXPECT_EQ(times("pulse_2", 0x03).size(), 1u);
    const size_t edges = times("pulse_1", 0x01).size();
    rig.ticks(3);
    EXPECT_EQ(times("pulse_1", 0x01).size(), edges);
    m.transport().SendContinue();
    rig.ticks(2);
    EXPECT_EQ(times("pulse_2", 0x02).size(), 2u);
    EXPECT_EQ(times("pulse_2", 0x02).back(), clocks()[clocks().size() - 2]);
    EXPECT_EQ(times("pulse_1", 0x01).size(), edges + 2);
    m.StopTransport(true);
    EXPECT_EQ(times("pulse_2", 0x03).size(), 2u);
    // Set to run while running: up with the next tick.
    m.StartTransport(true, false);
    rig.ticks(2);
    EXPECT_EQ(pulses.Apply(2, Enabled(24, false)), "");
    EXPECT_EQ(times("pulse_2", 0x03).size(), 3u);  // leaving run mode lowers the line
    EXPECT_EQ(pulses.Apply(2, Enabled(24, true)), "");
    rig.ticks(1);
    EXPECT_EQ(times("pulse_2", 0x02).back(), clocks().back());
}

TEST_F(PulseOutputTest, AStartOnTheNextBeatPulsesFromThatBeat) {
    EXPECT_EQ(pulses.Apply(1, Enabled(4)), "");
    m.StartTransport(true, false);
    rig.ticks(10);  // tick count 10: the next beat is tick 24
    rig.memory->clearMessages();
    pulses.TransportStop(false);
    pulses.TransportStart(false, true);
    rig.ticks(26);
    const auto clock = clocks();
    const auto edges = times("pulse_1", 0x01);
    ASSERT_EQ(edges.size(), 2u);  // ticks 24 and 30 of 10..35
    EXPECT_EQ(edges[0], clock[14]);
}

TEST(PulseOutputSettingsHeld, ValuesOutsideWhatAnOutputCanDoAreHeldAtTheNearest) {
    PulseOutputSettings wild;
    wild.ppq = 30;
    wild.widthMs = std::nan("");
    wild.level = 7;
    wild.shiftMs = -100;
    wild.run = true;
    const PulseOutputSettings one = PulseOutputs::Held(1, wild);
    EXPECT_EQ(one.ppq, 24);
    EXPECT_EQ(one.widthMs, kDefaultPulseWidthMs);
    EXPECT_EQ(one.level, 1.0);
    EXPECT_EQ(one.shiftMs, kMinPulseShiftMs);
    EXPECT_FALSE(one.run) << "only output 2 can be the run line";
    EXPECT_TRUE(PulseOutputs::Held(2, wild).run);
    wild.widthMs = 0;
    wild.shiftMs = 80;
    EXPECT_EQ(PulseOutputs::Held(1, wild).widthMs, kMinPulseWidthMs);
    EXPECT_EQ(PulseOutputs::Held(1, wild).shiftMs, kMaxPulseShiftMs);
}

TEST(PulseOutputAlone, AnOpenPulseOutputIsAPortTheClockStartsOn) {
    // Gear that takes only pulses: no MIDI port chosen.
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
    m.StartTransport(true, false);
    EXPECT_EQ(m.state.RunState.load(), 0) << "nothing to start on yet";
    PulseOutputSettings volca;
    volca.enabled = true;
    m.ApplyPulseOutput(1, volca);
    m.StartTransport(true, false);
    EXPECT_EQ(m.state.RunState.load(), 1);
    rig.ticks(13);
    EXPECT_EQ(rig.memory->messagesFor("pulse_1").size(), 2u);  // ticks 0 and 12 at 2 per quarter
}
