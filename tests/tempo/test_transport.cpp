#include <gtest/gtest.h>

#include "support/model_rig.h"

namespace {

struct TransportTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
};

}  // namespace

TEST_F(TransportTest, WithoutAPortEveryCommandOnlyAsksForOne) {
    m.StartTransport(true, false);
    auto status = m.state.PendingStatus();
    EXPECT_EQ(status.text, "Choose MIDI Port...");
    EXPECT_EQ(status.color, StatusColors::green);
    EXPECT_EQ(m.state.RunState.load(), 0);
    EXPECT_FALSE(m.Timer().Enabled());

    for (auto command :
         {&Transport::StartStopSeq, &Transport::SendPause, &Transport::SendContinue}) {
        m.state.PostStatus("", StatusColors::blue);
        (m.transport().*command)();
        status = m.state.PendingStatus();
        EXPECT_EQ(status.text, "Choose MIDI Port...");
        EXPECT_EQ(status.color, StatusColors::red);
    }
    m.StopTransport(true);
    EXPECT_EQ(m.state.PendingStatus().color, StatusColors::green);
    EXPECT_TRUE(rig.memory->messages().empty());
}

TEST_F(TransportTest, ToggleStartsWithStartThenClocksAndStopsWithStop) {
    rig.openPort1();
    rig.memory->clearMessages();
    m.transport().StartStopSeq();
    EXPECT_EQ(m.state.RunState.load(), 1);
    EXPECT_TRUE(m.Timer().Enabled());
    // The first tick comes at once and the ports see count 0.
    EXPECT_TRUE(m.Timer().Poll());
    EXPECT_EQ(m.state.TickCount.load(), 1);
    rig.ticks(47);
    auto sent = rig.sent("synth");
    ASSERT_EQ(sent.size(), 49u);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), "FA");
    EXPECT_EQ(ModelRig::count(sent, "F8"), 48);  // two beats at 24 per quarter note

    m.transport().StartStopSeq();
    ASSERT_FALSE(rig.sent("synth").empty());
    EXPECT_EQ(rig.sent("synth").back(), "FC");
    EXPECT_EQ(m.state.RunState.load(), 0);
    EXPECT_FALSE(m.Timer().Enabled());
    EXPECT_EQ(m.state.PendingStatus().text, "Stopped ...");
    EXPECT_FALSE(rig.tick());  // stopped: no more ticks
}

TEST_F(TransportTest, ClocksCarryTheirTicksScheduledTimes) {
    rig.openPort1();
    rig.memory->clearMessages();
    m.StartTransport(true, false);
    const int64_t start = rig.clock.nowNs();
    for (int i = 0; i < 10; ++i) {
        rig.clock.advanceUs(i == 4 ? 900 : 250);  // the clock thread woke a little late
        rig.tick();
    }
    int k = 0;
    for (const auto& msg : rig.memory->messagesFor("synth")) {
        if (msg.bytes[0] != 0xF8) continue;
        EXPECT_NEAR(static_cast<double>(msg.timeNs - start), k * 20833333.33, 1.0);
        ++k;
    }
    EXPECT_EQ(k, 10);
}

TEST_F(TransportTest, LampFlashesOnTheBeatWithTheDefaultPeriodAndDuration) {
    rig.openPort1();
    m.StartTransport(true, false);
    std::vector<int> lit, dark;
    bool was = false;
    for (int i = 0; i < 72; ++i) {
        rig.tick();
        const bool on = m.state.FlashOn.load();
        if (on && !was) lit.push_back(m.state.TickCount.load());
        if (!on && was) dark.push_back(m.state.TickCount.load());
        was = on;
    }
    EXPECT_EQ(lit, (std::vector<int>{1, 25, 49}));
    EXPECT_EQ(dark, (std::vector<int>{12, 36, 60}));
}

TEST_F(TransportTest, FlashSettingsThatCannotFlashLeaveTheLampAlone) {
    rig.openPort1();
    struct Case {
        bool show;
        int period, duration;
    };
    for (Case c : {Case{false, 24, 12}, Case{true, 1, 12}, Case{true, 0, 12}, Case{true, -3, 12},
                   Case{true, 24, 0}, Case{true, 24, -1}}) {
        m.settings.SHOWFLASHING = c.show;
        m.settings.FLASHINGPERIOD = c.period;
        m.settings.FLASHINGDURATION = c.duration;
        m.state.FlashOn = false;
        m.StartTransport(true, false);
        for (int i = 0; i < 60; ++i) {
            rig.tick();
            EXPECT_FALSE(m.state.FlashOn.load())
                << "period " << c.period << " duration " << c.duration;
        }
        // Settings that count as flashing off do not even blink the flag.
        EXPECT_EQ(m.settings.Flashing(), c.show && c.period >= 1 && c.duration >= 0);
        if (!m.settings.Flashing()) {
            EXPECT_EQ(m.state.FlashChanges.load(), 0);
        }
        m.state.FlashChanges = 0;
        m.StopTransport(true);
    }
}

TEST_F(TransportTest, ADurationOfAWholePeriodAlternatesBeatByBeat) {
    rig.openPort1();
    m.settings.FLASHINGDURATION = 24;
    m.StartTransport(true, false);
    std::vector<bool> onAtBeat;
    for (int beat = 0; beat < 4; ++beat) {
        rig.ticks(24);
        onAtBeat.push_back(m.state.FlashOn.load());
    }
    EXPECT_EQ(onAtBeat, (std::vector<bool>{true, false, true, false}));
}

TEST_F(TransportTest, PauseSendsStopWhileTheClockRunsOnAndContinueResumes) {
    rig.openPort1();
    m.StartTransport(true, false);
    rig.ticks(10);
    m.transport().SendPause();
    ASSERT_FALSE(rig.sent("synth").empty());
    EXPECT_EQ(rig.sent("synth").back(), "FC");
    EXPECT_EQ(m.state.PendingStatus().text, "Pause Sent ...");
    EXPECT_EQ(m.state.PendingStatus().color, StatusColors::yellow);
    rig.ticks(5);
    ASSERT_FALSE(rig.sent("synth").empty());
    EXPECT_EQ(rig.sent("synth").back(), "F8");
    EXPECT_EQ(m.state.TickCount.load(), 15);
    m.transport().SendContinue();
    ASSERT_FALSE(rig.sent("synth").empty());
    EXPECT_EQ(rig.sent("synth").back(), "FB");
    EXPECT_EQ(m.state.RunState.load(), 1);
    EXPECT_EQ(m.state.TickCount.load(), 15);
}

TEST_F(TransportTest, StopAbandonsATapSequence) {
    rig.openPort1();
    m.StartTransport(true, false);
    m.SetTapStep(3);
    m.StopTransport(true);
    EXPECT_EQ(m.state.TapStep.load(), 0);
}

TEST_F(TransportTest, BothPortsGetEveryTickAndTheTransport) {
    rig.openPort1();
    rig.openPort2();
    rig.memory->clearMessages();
    m.transport().StartSeq();
    rig.ticks(24);
    m.transport().StopSeq();
    for (const char* device : {"synth", "drums"}) {
        auto sent = rig.sent(device);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.front(), "FA") << device;
        EXPECT_EQ(ModelRig::count(sent, "F8"), 24) << device;
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back(), "FC") << device;
    }
}
