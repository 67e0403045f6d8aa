#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <string>
#include <vector>

#include "app/preset_edit.h"
#include "midiin/midi_in_port.h"
#include "state/action_codes.h"
#include "support/model_rig.h"

TEST(MainModelActions, TempoCommandsFromCodes) {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
    m.settings.BPMROUNDING = 0.5;
    m.SetBPM(100);
    m.PerformActionValue(0, 10010);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 200);
    m.PerformActionValue(0, 10011);
    m.PerformActionValue(0, 10008);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 98);
    m.PerformActionValue(0, 10017);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 98.5);
    m.PerformActionValue(0, 10016);
    m.PerformActionValue(0, 10009);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 100);
    // Codes that do nothing by themselves, and values below 1.
    for (double v : {10000.0, 10000.1, 20101.0, 15000.0, 0.4, -5.0}) m.PerformActionValue(0, v);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 100);
    m.PerformActionValue(0, 101.291328);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 101.5);  // 101.291, then the rounding step
}

TEST(MainModelActions, TristateDividersNeedTheInputPort) {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
    m.PerformAction(13012, 2, 10);  // no input port yet: nothing, no crash
    EXPECT_EQ(rig.port1().Divider(), 1);
    m.CreateInPort(rig.folder.path() + "indrv/");
    for (int v : {64, 20}) m.PerformAction(13012, 2, v);
    EXPECT_EQ(rig.port1().Divider(), 2);
    EXPECT_EQ(rig.port2().Divider(), 2);
    for (int v : {64, 127}) m.PerformAction(11012, 3, v);
    EXPECT_EQ(rig.port1().Divider(), 1);
    EXPECT_EQ(rig.port2().Divider(), 2);
    for (int v : {64, 100}) m.PerformAction(12012, 4, v);
    EXPECT_EQ(rig.port2().Divider(), 1);
}

TEST(MainModelActions, ATristatePedalsFirstValueChangesNothingWhateverItsZone) {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
    m.settings.BPMROUNDING = 1.0;
    m.SetBPM(100);
    rig.port1().DoubleDivider();
    rig.port2().DoubleDivider();
    m.CreateInPort(rig.folder.path() + "indrv/");
    // Pedals already down when the program starts: their first message lies in the high zone.
    m.PerformAction(10012, 5, 127);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 100);
    m.PerformAction(13012, 6, 100);
    EXPECT_EQ(rig.port1().Divider(), 2);
    EXPECT_EQ(rig.port2().Divider(), 2);
    // Moved into another zone and back, they act.
    for (int v : {64, 127}) m.PerformAction(10012, 5, v);
    EXPECT_DOUBLE_EQ(m.GetBPM(), 200);
    for (int v : {20, 127}) m.PerformAction(13012, 6, v);
    EXPECT_EQ(rig.port1().Divider(), 2) << "doubled, then halved";
    EXPECT_EQ(rig.port2().Divider(), 2);
}

TEST(MainModelActions, TransportAndBeatResetFromMidiThroughTheMap) {
    ModelRig rig({"synth", "drums"});
    rig.memory->addInputDevice("board");
    KorvidMainModel& m = *rig.model;
    rig.folder.write("indrv/Test.ini",
                     "[SPECIAL_COMMANDS]\nINPUT0=903C7F\nACTION0=10004\nINPUT1=903D7F\n"
                     "ACTION1=10005\nINPUT2=903E7F\nACTION2=10101\n");
    m.CreateInPort(rig.folder.path() + "indrv/");
    SelectByName(m.inControls.deviceType, "Test");
    m.InPort()->DeviceTypeChanged();
    SelectByName(m.inControls.port, "Memory: board");
    m.InPort()->OpenSelectedPort();
    rig.openPort1();
    rig.memory->inject("board", {0x90, 0x3C, 0x7F}, 1);
    EXPECT_EQ(m.state.RunState.load(), 1);
    rig.ticks(10);
    rig.memory->inject("board", {0x90, 0x3E, 0x7F}, 2);
    EXPECT_EQ(m.state.TickCount.load(), 0);
    rig.memory->inject("board", {0x90, 0x3D, 0x7F}, 3);
    EXPECT_EQ(m.state.RunState.load(), 0);
    const auto sent = rig.sent("synth");
    EXPECT_EQ(ModelRig::count(sent, "FA"), 1);
    EXPECT_EQ(ModelRig::count(sent, "FC"), 1);
    // Destroying the ports closes the input first: nothing reaches a port that is gone.
    m.DestroyPorts();
    EXPECT_EQ(rig.memory->inject("board", {0x90, 0x3C, 0x7F}, 4), 0);
}

// Every action the patch editor offers is one the model knows, and the editor's list is the
// table's; a code that is neither a tempo nor in the table is no action.
TEST(MainModelActions, EveryActionTheEditorOffersIsHandled) {
    ModelRig rig;
    size_t commands = 0;
    for (const ActionLabel& action : kActionLabels) {
        const double value = std::stod(action.value);
        const int code = static_cast<int>(value);
        const int fraction = static_cast<int>(std::lround((value - code) * 1000));
        EXPECT_TRUE(rig.model->PerformAction(code, 0, fraction))
            << action.value << " " << action.label;
        if (code >= 10000) ++commands;
    }
    EXPECT_GE(commands, 20u);
    EXPECT_TRUE(rig.model->PerformAction(120, 0, 500));
    EXPECT_FALSE(rig.model->PerformAction(10013, 0, 0));
    EXPECT_FALSE(rig.model->PerformAction(30000, 0, 0));
    EXPECT_FALSE(rig.model->PerformAction(-5, 0, 0));

    const std::vector<std::string> offered =
        PresetEditModel("no-such-folder/").ActionComboBox.items();
    ASSERT_GE(offered.size(), std::size(kActionLabels));
    for (size_t i = 0; i < std::size(kActionLabels); ++i)
        EXPECT_EQ(offered[i], std::string(kActionLabels[i].value) + "=" + kActionLabels[i].label);
}
