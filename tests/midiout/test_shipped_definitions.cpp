#include <gtest/gtest.h>

#include <filesystem>

#include "support/model_rig.h"

// The definitions that ship next to the program, each loaded on a port and played through a
// start, one bar and a stop at 120 BPM.
namespace {

struct ShippedDefinitionTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;

    std::vector<std::string> play(const std::string& type) {
        for (const auto& entry : std::filesystem::directory_iterator(TEMPOVANE_DATA_DIR "/outdrv"))
            std::filesystem::copy(entry.path(),
                                  rig.folder.path() + "outdrv/" + entry.path().filename().string());
        rig.relistTypes();
        rig.openPort1();
        m.SetBPM(120);
        rig.memory->clearMessages();
        EXPECT_TRUE(SelectByName(m.out1Controls.deviceType, type)) << type;
        rig.port1().DeviceTypeChanged();
        m.StartTransport(true, false);
        rig.ticks(96);
        m.StopTransport(true);
        return rig.sent("synth");
    }
};

}  // namespace

TEST_F(ShippedDefinitionTest, EveryShippedTypeIsListed) {
    play("Clock only");
    EXPECT_EQ(
        m.out1Controls.deviceType.items(),
        (std::vector<std::string>{"Clock only", "Delay time CC", "GM drum pattern", "No transport",
                                  "Start every bar", "SysEx tempo", "Tempovane"}));
}

TEST_F(ShippedDefinitionTest, ClockOnlyStartsClocksAndStops) {
    const auto sent = play("Clock only");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), "FA");
    EXPECT_EQ(ModelRig::count(sent, "F8"), 96);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "FC");
}

TEST_F(ShippedDefinitionTest, StartEveryBarRestartsOnEachDownbeat) {
    const auto sent = play("Start every bar");
    // The start command's Start, then the bar Start before tick 0's clock; the next bar line
    // (tick 96) is not reached in 96 ticks.
    EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 3),
              (std::vector<std::string>{"FA", "FA", "F8"}));
    EXPECT_EQ(ModelRig::count(sent, "FA"), 2);
}

TEST_F(ShippedDefinitionTest, DelayTimeSendsTheBeatLengthAndNoClock) {
    const auto sent = play("Delay time CC");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), "B0 0C 32");  // 500 ms x 0.1
    EXPECT_EQ(ModelRig::count(sent, "F8"), 0);
}

TEST_F(ShippedDefinitionTest, SysexTempoGreetsAndSendsTheTempo) {
    const auto sent = play("SysEx tempo");
    EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 3),
              (std::vector<std::string>{"F0 7D 10 01 F7", "F0 7D 01 78 00 F7", "FA"}));
    rig.memory->clearMessages();
    ModelRig::chooseType(m.out1Controls, rig.port1(), "Clock only");
    ASSERT_FALSE(rig.sent("synth").empty());
    EXPECT_EQ(rig.sent("synth").front(), "F0 7D 10 00 F7");  // the release on the way out
}

TEST_F(ShippedDefinitionTest, NoTransportSendsOnlyClocks) {
    const auto sent = play("No transport");
    EXPECT_EQ(ModelRig::count(sent, "F8"), 96);
    EXPECT_EQ(static_cast<int>(sent.size()), 96);
}
