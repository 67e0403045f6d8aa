#include <gtest/gtest.h>

#include "platform/ini_file.h"
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

// A saved device listed a moment before it can be opened (its program still starting): the try
// is quiet, the port stays at "None" with the saved name kept, and a later try opens it.
TEST(PortListRefresh, ASavedDeviceNotReadyYetIsTriedAgainQuietly) {
    ModelRig rig;
    IniFile file;
    file.loadText("[MIDIOUTPORT1]\nMIDIPORTNAME=Memory: slow synth\n");
    EXPECT_EQ(rig.port1().LoadPortSettings(file, true), "Memory: slow synth");
    rig.port1().OpenSelectedPort();
    rig.model->state.PortReady = true;  // port 2 may be running meanwhile
    rig.memory->addDevice("slow synth");
    rig.memory->setFailOpen("slow synth", true);
    const uint64_t statuses = rig.model->state.StatusChanges.load();

    EXPECT_FALSE(rig.port1().OpenMissingSavedPort());
    EXPECT_TRUE(rig.port1().ShowsNone());
    ASSERT_TRUE(rig.port1().MissingSavedPort());
    EXPECT_EQ(rig.port1().MissingSavedPort()->name, "Memory: slow synth");
    EXPECT_FALSE(rig.port1().Device().Using());
    EXPECT_TRUE(rig.model->state.PortReady.load()) << "a quiet try leaves the other port alone";
    EXPECT_EQ(rig.model->state.StatusChanges.load(), statuses) << "no \"not ready\" for a try";

    rig.memory->setFailOpen("slow synth", false);
    EXPECT_TRUE(rig.port1().OpenMissingSavedPort());
    EXPECT_EQ(rig.model->out1Controls.port.text(), "Memory: slow synth");
    EXPECT_FALSE(rig.port1().MissingSavedPort());
    EXPECT_EQ(rig.memory->currentlyOpen("slow synth"), 1);
}
