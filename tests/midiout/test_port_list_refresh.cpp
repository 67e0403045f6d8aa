#include <gtest/gtest.h>

#include "support/model_rig.h"

namespace {
std::vector<std::string> Items(const ListModel& list) {
    return list.items();
}
}  // namespace

TEST(PortListRefresh, DevicesThatAppearLaterCanBeChosen) {
    ModelRig rig;
    auto& ports = rig.model->out1Controls.port;
    const std::string own = "Memory: Tempovane virtual port";
    ASSERT_EQ(Items(ports),
              (std::vector<std::string>{own, "Memory: synth", "Memory: drums", "None"}));
    rig.memory->addDevice("late synth");
    rig.port1().RefreshPortList();
    EXPECT_EQ(Items(ports), (std::vector<std::string>{own, "Memory: synth", "Memory: drums",
                                                      "Memory: late synth", "None"}));
    EXPECT_EQ(ports.text(), "None");  // still what was chosen
    ModelRig::choosePort(rig.model->out1Controls, rig.port1(), "late synth");
    ASSERT_TRUE(rig.port1().Device().Using());
    rig.port1().TransportContinue();
    EXPECT_EQ(ModelRig::count(rig.sent("late synth"), "FB"), 1);
}

TEST(PortListRefresh, TheChoiceInUseKeepsItsNameWhenOthersComeAndGo) {
    ModelRig rig;
    rig.openPort1("drums");
    auto& ports = rig.model->out1Controls.port;
    rig.memory->removeDevice("synth");  // drums moves up a place
    rig.port1().RefreshPortList();
    const std::string own = "Memory: Tempovane virtual port";
    EXPECT_EQ(Items(ports), (std::vector<std::string>{own, "Memory: drums", "None"}));
    EXPECT_EQ(ports.text(), "Memory: drums");
    // Messages still reach drums, and opening what the box shows opens drums again.
    rig.port1().TransportContinue();
    rig.port1().OpenSelectedPort();
    EXPECT_TRUE(rig.port1().Device().Using());
    EXPECT_EQ(rig.memory->openCount("drums"), 2);
    EXPECT_EQ(ModelRig::count(rig.sent("drums"), "FB"), 1);

    // A device in use that vanished stays listed, so the box never shows something else.
    rig.memory->removeDevice("drums");
    rig.port1().RefreshPortList();
    EXPECT_EQ(Items(ports), (std::vector<std::string>{own, "Memory: drums", "None"}));
    EXPECT_EQ(ports.text(), "Memory: drums");
}

TEST(PortListRefresh, WithoutAJackServerTheStatusLineSaysSo) {
    ModelRig rig;
    rig.model->RefreshPortList(rig.port1());
    EXPECT_EQ(rig.model->state.PendingStatus().text, "No JACK server running");
    EXPECT_EQ(rig.model->state.PendingStatus().color, StatusColors::blue);

    // No backend at all: both lists offer only "None".
    ManualClock clock;
    KorvidMainModel bare(std::make_unique<MidiSystem>(), clock, TBPMTimer::Drive::Manual);
    bare.CreatePorts(rig.folder.path() + "outdrv/");
    bare.ReportMissingJackIfNothingToChoose();
    EXPECT_EQ(bare.state.PendingStatus().text, "No JACK server running");
    EXPECT_EQ(bare.state.PendingStatus().color, StatusColors::red);
    // At start-up, a list with something to choose is left alone.
    rig.model->PostStatus("MIDI Port Selected ...", StatusColors::teal);
    rig.model->ReportMissingJackIfNothingToChoose();
    EXPECT_EQ(rig.model->state.PendingStatus().text, "MIDI Port Selected ...");
}
