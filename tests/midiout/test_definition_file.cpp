#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "midiout/device_definition.h"
#include "support/model_rig.h"

namespace {
void ExpectSame(const OutputDeviceDefinition& a, const OutputDeviceDefinition& b) {
    EXPECT_EQ(a.clockOutputEnable, b.clockOutputEnable);
    EXPECT_EQ(a.noStartAtStart, b.noStartAtStart);
    EXPECT_EQ(a.noStopAtEnd, b.noStopAtEnd);
    EXPECT_EQ(a.startBeforeEvery1, b.startBeforeEvery1);
    EXPECT_EQ(a.startAfterEvery1, b.startAfterEvery1);
    EXPECT_EQ(a.sysexEnable, b.sysexEnable);
    EXPECT_EQ(a.ctrlOutEnable, b.ctrlOutEnable);
    EXPECT_EQ(a.convertBpmToMs, b.convertBpmToMs);
    EXPECT_EQ(a.floorOutputByte, b.floorOutputByte);
    EXPECT_DOUBLE_EQ(a.bpmOffset, b.bpmOffset);
    EXPECT_DOUBLE_EQ(a.bpmMultiplier, b.bpmMultiplier);
    EXPECT_EQ(a.ctrlChannel, b.ctrlChannel);
    EXPECT_EQ(a.ctrlNumber, b.ctrlNumber);
    EXPECT_DOUBLE_EQ(a.msMultiplier, b.msMultiplier);
    EXPECT_EQ(a.initString, b.initString);
    EXPECT_EQ(a.releaseString, b.releaseString);
    EXPECT_EQ(a.tempoString1, b.tempoString1);
    EXPECT_EQ(a.tempoString2, b.tempoString2);
    EXPECT_EQ(a.sysexValueOffset, b.sysexValueOffset);
    EXPECT_EQ(a.description, b.description);
    EXPECT_EQ(a.tracksProgram, b.tracksProgram);
    EXPECT_EQ(a.tracksChannel, b.tracksChannel);
    EXPECT_EQ(a.tracksEnable, b.tracksEnable);
    EXPECT_EQ(a.trackLines, b.trackLines);
}
}  // namespace

TEST(DefinitionFile, AFileMadeFromTheBuiltInTypeBehavesAsTheBuiltInType) {
    TempFolder folder;
    const std::string path = folder.file("new/outdrv/Tempovane.ini");  // folders made as needed
    std::string error;
    ASSERT_TRUE(CreateOutputDeviceDefinitionFile(path, BuiltInOutputDeviceDefinition(), &error))
        << error;
    ExpectSame(ReadOutputDeviceDefinition(path), ReadOutputDeviceDefinition(folder.file("none")));
}

TEST(DefinitionFile, EveryKeyIsWrittenUnderTheNameItIsReadBy) {
    TempFolder folder;
    OutputDeviceDefinition d;
    d.noStartAtStart = d.noStopAtEnd = d.startBeforeEvery1 = d.startAfterEvery1 = true;
    d.sysexEnable = d.ctrlOutEnable = d.convertBpmToMs = d.floorOutputByte = true;
    d.tracksEnable = true;
    d.bpmOffset = 1.5;
    d.bpmMultiplier = 2.25;
    d.msMultiplier = 0.5;
    d.ctrlChannel = 3;
    d.ctrlNumber = 12;
    d.initString = "F0 7D 10 01 F7";
    d.releaseString = "F0 7D 10 00 F7";
    d.tempoString1 = "F0 7D 01";
    d.tempoString2 = "F7";
    d.sysexValueOffset = 7;
    d.description = "All set";
    d.tracksProgram = 5;
    d.tracksChannel = 2;
    d.trackLines = {"1=x...x...", "2=..x."};
    std::string error;
    ASSERT_TRUE(CreateOutputDeviceDefinitionFile(folder.file("all.ini"), d, &error)) << error;
    ExpectSame(ReadOutputDeviceDefinition(folder.file("all.ini")), d);
    // An existing file is never replaced.
    EXPECT_FALSE(CreateOutputDeviceDefinitionFile(folder.file("all.ini"),
                                                  BuiltInOutputDeviceDefinition(), &error));
    EXPECT_EQ(ReadOutputDeviceDefinition(folder.file("all.ini")).description, "All set");
}

TEST(DefinitionFile, ThePortNamesTheFileItReadAsAnAbsolutePath) {
    ModelRig rig;
    rig.writeDefinition("Special", "[DEVICECONFIGURATION]\ndevice_description=here\n");
    const std::string before = std::filesystem::current_path().string();
    std::filesystem::current_path(rig.folder.path());
    rig.port1().SetDefinitionFolder("outdrv/");  // relative, as the program has it
    rig.relistTypes();
    ModelRig::chooseType(rig.model->out1Controls, rig.port1(), "Special");
    std::filesystem::current_path(before);
    EXPECT_EQ(rig.port1().Definition().description, "here");
    EXPECT_EQ(rig.port1().DefinitionFile(), rig.folder.file("outdrv/Special.ini"));
}
