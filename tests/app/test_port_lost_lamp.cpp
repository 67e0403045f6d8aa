// A port whose device went away shows on the lamp as no port, and the status line tells when
// it goes and when a backend has brought it back; the running clock is not stopped by either.
#include <gtest/gtest.h>

#include "support/model_rig.h"

TEST(PortLostLamp, ADeviceThatGoesShowsAsNoPortUntilAnotherIsChosen) {
    ModelRig rig;
    rig.openPort1("synth");
    rig.openPort2("drums");
    ASSERT_TRUE(rig.model->state.PortReady.load());
    EXPECT_FALSE(rig.model->OutputPortLost());
    rig.model->StartTransport(true, false);
    rig.ticks(3);

    rig.model->state.RunStateChanges = 0;
    rig.memory->removeDevice("drums");
    EXPECT_TRUE(rig.model->OutputPortLost());
    // The pump redraws the lamp on this, also while the clock stands.
    EXPECT_GT(rig.model->state.RunStateChanges.load(), 0);
    EXPECT_EQ(rig.model->state.PendingStatus().color, StatusColors::red);
    // The clock carries on to the port that is still there.
    const size_t before = rig.sent("synth").size();
    rig.ticks(3);
    EXPECT_EQ(rig.sent("synth").size(), before + 3);
    EXPECT_EQ(rig.model->state.RunState.load(), 1);

    rig.model->StopTransport(true);
    ModelRig::choosePort(rig.model->out2Controls, rig.port2(), "synth");
    EXPECT_FALSE(rig.model->OutputPortLost());
    // A closed port ("None") has nothing to lose.
    rig.memory->removeDevice("synth");
    EXPECT_TRUE(rig.model->OutputPortLost());
    SelectByName(rig.model->out1Controls.port, "None");
    rig.port1().OpenSelectedPort();
    SelectByName(rig.model->out2Controls.port, "None");
    rig.port2().OpenSelectedPort();
    EXPECT_FALSE(rig.model->OutputPortLost());
}

TEST(PortLostLamp, ABackendsRecoveryIsToldInTealAndRedrawsTheLamp) {
    ModelRig rig;
    rig.model->state.RunStateChanges = 0;
    rig.model->Midi().reportRecovery("MIDI Port reconnected: synth:in");
    const MainState::Status shown = rig.model->state.PendingStatus();
    EXPECT_EQ(shown.text, "MIDI Port reconnected: synth:in");
    EXPECT_EQ(shown.color, StatusColors::teal);
    EXPECT_GT(rig.model->state.RunStateChanges.load(), 0);
}
