// The per-device delay of an output definition: its range, and what a port does with it where
// the backend cannot schedule (the memory backend, like ALSA, sends at once).
#include <gtest/gtest.h>

#include <string>

#include "midiout/device_definition.h"
#include "support/model_rig.h"

namespace {

struct OutputDelayTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;

    OutputDeviceDefinition read(const std::string& value) {
        rig.writeDefinition("Delayed", "[DEVICECONFIGURATION]\ndevice_output_delay_ms=" + value);
        return ReadOutputDeviceDefinition(rig.folder.file("outdrv/Delayed.ini"));
    }
};

}  // namespace

TEST_F(OutputDelayTest, DelaysWithinTheRangeAreTakenAsWritten) {
    for (const auto& [text, ms] :
         {std::pair{"0", 0.0}, {"-20", -20.0}, {"50", 50.0}, {"2.5", 2.5}, {"-0.5", -0.5}}) {
        const OutputDeviceDefinition d = read(text);
        EXPECT_DOUBLE_EQ(d.outputDelayMs, ms) << text;
        EXPECT_TRUE(d.problems.empty()) << text;
    }
    rig.writeDefinition("Plain", "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\n");
    EXPECT_DOUBLE_EQ(ReadOutputDeviceDefinition(rig.folder.file("outdrv/Plain.ini")).outputDelayMs,
                     0.0);
}

TEST_F(OutputDelayTest, DelaysPastTheLimitsAreHeldThereAndSaidSo) {
    OutputDeviceDefinition d = read("80");
    EXPECT_DOUBLE_EQ(d.outputDelayMs, 50.0);
    ASSERT_EQ(d.problems.size(), 1u);
    EXPECT_EQ(d.problems[0], "device_output_delay_ms is outside -20 to 50 ms; 50 is used");
    d = read("-20.5");
    EXPECT_DOUBLE_EQ(d.outputDelayMs, -20.0);
    ASSERT_EQ(d.problems.size(), 1u);
    EXPECT_EQ(d.problems[0], "device_output_delay_ms is outside -20 to 50 ms; -20 is used");
    // Text that is no number, or no finite one, means no delay.
    for (const char* text : {"soon", "nan", "inf"}) {
        d = read(text);
        EXPECT_DOUBLE_EQ(d.outputDelayMs, 0.0) << text;
        EXPECT_TRUE(d.problems.empty()) << text;
    }
}

TEST_F(OutputDelayTest, ADeviceThatCannotBeDelayedSaysSoAndStillGetsEverything) {
    rig.writeDefinition("Late",
                        "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\n"
                        "device_output_delay_ms=12\n");
    rig.relistTypes();
    rig.openPort1();
    rig.memory->clearMessages();
    ModelRig::chooseType(m.out1Controls, rig.port1(), "Late");
    EXPECT_EQ(m.state.PendingStatus().text, "Late: device_output_delay_ms works through JACK only");
    EXPECT_EQ(rig.port1().Device().DelayNs(), 12'000'000);
    rig.port1().ClockTick(0, 1'000'000);
    const auto sent = rig.memory->messagesFor("synth");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].timeNs, 1'000'000);  // sent at once, as before

    // A definition without a delay takes it away again, quietly.
    rig.writeDefinition("Plain", "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\n");
    rig.relistTypes();
    m.state.StatusChanges = 0;
    ModelRig::chooseType(m.out1Controls, rig.port1(), "Plain");
    EXPECT_EQ(rig.port1().Device().DelayNs(), 0);
    EXPECT_NE(m.state.PendingStatus().text,
              "Plain: device_output_delay_ms works through JACK only");
}

TEST_F(OutputDelayTest, ANewDefinitionFileNamesTheDelayKey) {
    OutputDeviceDefinition d = BuiltInOutputDeviceDefinition();
    d.outputDelayMs = -4.5;
    const std::string path = rig.folder.file("outdrv/New.ini");
    std::string error;
    ASSERT_TRUE(CreateOutputDeviceDefinitionFile(path, d, &error)) << error;
    EXPECT_DOUBLE_EQ(ReadOutputDeviceDefinition(path).outputDelayMs, -4.5);
}
