// The input definitions shipped in data/indrv, each doing what its comments promise.
#include <gtest/gtest.h>

#include "midiin/midi_in_port.h"
#include "support/model_rig.h"

namespace {

struct ShippedRig : ModelRig {
    explicit ShippedRig(const std::string& type) {
        memory->addInputDevice("board");
        model->CreateInPort(std::string(TEMPOVANE_DATA_DIR) + "/indrv/");
        auto& c = model->inControls;
        EXPECT_TRUE(SelectByName(c.deviceType, type));
        in().DeviceTypeChanged();
        EXPECT_TRUE(SelectByName(c.port, "Memory: board"));
        in().OpenSelectedPort();
        EXPECT_TRUE(in().Device().Using());
        openPort1();
        model->SetBPM(100);
    }
    MidiInPort& in() { return *model->InPort(); }
    void send(std::vector<uint8_t> bytes, uint32_t timeMs = 0) {
        ASSERT_EQ(memory->inject("board", bytes, timeMs), 1);
    }
    int runState() const { return model->state.RunState.load(); }
};

}  // namespace

TEST(ShippedInputDefinitions, ListedWithDefault) {
    ShippedRig rig("ClockFollower");
    const auto types = rig.model->inControls.deviceType.items();
    for (const char* name : {"ClockFollower", "ComputerKeys", "FootController", "Default"})
        EXPECT_NE(std::find(types.begin(), types.end(), name), types.end()) << name;
}

TEST(ShippedInputDefinitions, FootControllerPedalSwitchPadAndTristate) {
    ShippedRig rig("FootController");
    rig.send({0xB0, 0x0B, 64});  // expression pedal: 60 + value
    EXPECT_DOUBLE_EQ(rig.model->GetBPM(), 124);
    rig.send({0xB0, 0x0B, 0});
    EXPECT_DOUBLE_EQ(rig.model->GetBPM(), 60);

    rig.send({0xB0, 0x40, 127});  // switch pressed
    EXPECT_EQ(rig.runState(), 1);
    rig.send({0xB0, 0x40, 0});  // released: nothing
    EXPECT_EQ(rig.runState(), 1);
    rig.send({0xB0, 0x40, 127});
    EXPECT_EQ(rig.runState(), 0);

    const int taps = rig.model->state.TapChanges.load();
    rig.send({0x90, 36, 100});
    EXPECT_EQ(rig.model->state.TapChanges.load(), taps + 1);
    rig.send({0x90, 36, 0});  // a Note On without velocity is a release
    rig.send({0x90, 37, 100});
    EXPECT_EQ(rig.model->state.TapChanges.load(), taps + 1);

    rig.model->SetBPM(120);
    for (uint8_t v : {64, 20, 10, 64}) rig.send({0xB0, 0x04, v});
    EXPECT_DOUBLE_EQ(rig.model->GetBPM(), 60);
    for (uint8_t v : {100, 127}) rig.send({0xB0, 0x04, v});
    EXPECT_DOUBLE_EQ(rig.model->GetBPM(), 120);
}

TEST(ShippedInputDefinitions, ComputerKeysSteerTheClock) {
    ShippedRig rig("ComputerKeys");
    rig.model->PassKeyToInputMap('U');
    rig.model->PassKeyToInputMap('U');
    rig.model->PassKeyToInputMap('D');
    EXPECT_DOUBLE_EQ(rig.model->GetBPM(), 101);
    rig.model->PassKeyToInputMap('S');
    EXPECT_EQ(rig.runState(), 1);
    rig.ticks(30);
    rig.model->PassKeyToInputMap('B');
    EXPECT_EQ(rig.model->state.TickCount.load(), 0);
    rig.model->PassKeyToInputMap('S');
    EXPECT_EQ(rig.runState(), 0);
    rig.model->PassKeyToInputMap('X');  // unmapped
    EXPECT_EQ(rig.runState(), 0);
}

TEST(ShippedInputDefinitions, ClockFollowerTakesTempoStartAndStop) {
    ShippedRig rig("ClockFollower");
    rig.model->MeasureRequested = true;
    rig.send({0xF8}, 100);
    for (int k = 1; k <= 24; ++k) {
        if (k == 24) rig.model->MeasureRequested = true;
        rig.send({0xF8}, static_cast<uint32_t>(100 + 500 * k / 24));
    }
    EXPECT_DOUBLE_EQ(rig.model->GetBPM(), 120);
    rig.send({0xFA});
    EXPECT_EQ(rig.runState(), 1);
    rig.send({0xFB});
    rig.send({0xFC});
    EXPECT_EQ(rig.runState(), 0);
    rig.send({0xFB});  // Continue is not followed
    EXPECT_EQ(rig.runState(), 0);
}
