#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "midiin/input_definition.h"
#include "platform/ini_file.h"
#include "support/model_rig.h"

namespace {
InputMap Read(const TempFolder& folder, const std::string& text) {
    folder.write("def.ini", text);
    IniFile file;
    EXPECT_TRUE(file.load(folder.file("def.ini")));
    InputMap map;
    ReadDefinition(file, map);
    return map;
}
}  // namespace

TEST(InputDefinition, BuiltInPresetsAndTheirTables) {
    InputMap map;
    const auto& presets = BuiltInRangeTransforms();
    EXPECT_EQ(presets[0].multiplier, 1.582677);
    EXPECT_NEAR(map.RangeTables[0][127], 200.999979, 1e-6);
    EXPECT_EQ(map.RangeTables[5][0], 40);       // F5: note + 40
    EXPECT_EQ(map.RangeTables[13][0x40], 178);  // FD falls
    EXPECT_EQ(map.RangeTables[13][0x7F], 52);
    EXPECT_EQ(presets[15].minimum, 1);  // FF excludes 0
    EXPECT_EQ(presets[10].maximum, 0x3F);
    EXPECT_EQ(presets[11].minimum, 0x40);
    for (int t = 0; t < 16; ++t) {
        EXPECT_EQ(map.RangeTransforms[16 + t].multiplier, presets[t].multiplier) << t;
        EXPECT_EQ(map.RangeTables[16 + t][99], map.RangeTables[t][99]) << t;
    }
}

TEST(InputDefinition, MissingSectionsAndGarbageGiveDefaults) {
    TempFolder folder;
    const InputMap map = Read(folder,
                              "[DEVICECONFIGURATION]\nTEMPOVANE_IN_HANDLING=yes\n"
                              "[SPECIAL_COMMANDS]\nINPUT0=XYZ\nACTION0=ten\nINPUT1=b0 07 40\n"
                              "ACTION1=10000.1\nINPUT2=1B00740\nACTION2=1e999\n");
    EXPECT_FALSE(map.ClockInHandling);
    EXPECT_EQ(map.InputCodes[0], 0);  // no hex digit counts as 0
    EXPECT_EQ(map.Actions[0], 0);
    EXPECT_EQ(map.InputCodes[1], 0xB00740);
    EXPECT_EQ(map.Actions[1], 10000.1);
    EXPECT_EQ(map.InputCodes[2], 0);  // a seventh digit: no message of three bytes, so off
    EXPECT_EQ(map.Actions[2], 0);
    EXPECT_EQ(map.Comments[5], "...");
    const InputMap defaults;
    for (int t = 0; t < 32; ++t) EXPECT_EQ(map.RangeTables[t], defaults.RangeTables[t]) << t;

    const InputMap on = Read(folder, "[DEVICECONFIGURATION]\nTEMPOVANE_IN_HANDLING=7\n");
    EXPECT_TRUE(on.ClockInHandling);
}

TEST(InputDefinition, CustomRangesAndRangeMapSections) {
    TempFolder folder;
    const InputMap map = Read(folder,
                              "[CUSTOMRANGE_TRANSFORMS]\nRANGEMIN_E0=10\nRANGEMAX_E0=2Z\n"
                              "RANGEMULTIPLIER_E0=0.5\nRANGEOFFSET_E0=-3\n"
                              "RANGEMAP_E3=MYMAP\nRANGEMAP_E4=NOSUCHSECTION\n"
                              "[MYMAP]\n64=120\n65=junk\n");
    EXPECT_EQ(map.RangeTransforms[16].minimum, 0x10);
    EXPECT_EQ(map.RangeTransforms[16].maximum, 0x20);  // "Z" counts as 0
    EXPECT_EQ(map.RangeTables[16][10], 2);
    EXPECT_EQ(map.RangeTables[19][64], 120);
    EXPECT_EQ(map.RangeTables[19][65], 195);  // unreadable: the computed value (x 3)
    EXPECT_EQ(map.RangeTables[19][63], 189);
    EXPECT_EQ(map.RangeTables[20][64], 256);  // a missing section changes nothing
}

TEST(InputDefinition, WriteKeepsMapSectionsAndWritesEveryEntryInOrder) {
    TempFolder folder;
    folder.write("def.ini",
                 "[CUSTOMRANGE_TRANSFORMS]\nRANGEMAP_E3=MYMAP\n[MYMAP]\n64=120\n[OTHER]\nX=1\n");
    IniFile file;
    ASSERT_TRUE(file.load(folder.file("def.ini")));
    InputMap map;
    map.InputCodes[0] = 0xB00740;
    map.Actions[0] = 10000.1;
    map.Comments[0] = "pedal";
    map.ClockInHandling = true;
    map.RangeTransforms[17] = {0x05, 0x6A, 0.25, 12};
    WriteDefinition(map, "MIDIINPORT1", file);
    ASSERT_TRUE(file.save(folder.file("def.ini")));

    const std::string text = folder.read("def.ini");
    EXPECT_NE(text.find("RANGEMAP_E3=MYMAP"), std::string::npos);
    EXPECT_NE(text.find("[MYMAP]"), std::string::npos);
    EXPECT_NE(text.find("X=1"), std::string::npos);
    EXPECT_NE(text.find("INPUT31=000000"), std::string::npos);
    EXPECT_NE(text.find("ACTION0=10000.1"), std::string::npos);
    EXPECT_NE(text.find("RANGEMIN_E1=05"), std::string::npos);
    EXPECT_NE(text.find("RANGEMAX_E1=6A"), std::string::npos);
    EXPECT_NE(text.find("RANGEMULTIPLIER_E1=0.25"), std::string::npos);
    EXPECT_NE(text.find("RANGEMULTIPLIER_E0=1.582677"), std::string::npos);
    EXPECT_LT(text.find("DEVNAME=MIDIINPORT1"), text.find("TEMPOVANE_IN_HANDLING=1"));
    EXPECT_LT(text.find("INPUT0="), text.find("ACTION0="));
    EXPECT_LT(text.find("ACTION0="), text.find("COMMENT0="));
    EXPECT_LT(text.find("COMMENT0="), text.find("INPUT1="));
    EXPECT_LT(text.find("RANGEOFFSET_E0="), text.find("RANGEMIN_E1="));

    // And it reads back as written, the map section still applied.
    InputMap back;
    IniFile again;
    ASSERT_TRUE(again.load(folder.file("def.ini")));
    ReadDefinition(again, back);
    EXPECT_EQ(back.InputCodes, map.InputCodes);
    EXPECT_EQ(back.Actions, map.Actions);
    EXPECT_EQ(back.Comments[0], "pedal");
    EXPECT_TRUE(back.ClockInHandling);
    EXPECT_EQ(back.RangeTransforms[17].offset, 12);
    EXPECT_EQ(back.RangeTables[19][64], 120);
}

// A map is a few kilobytes; a file of many megabytes is no map, and is not read at all (it once
// was, whole, and kept the program's memory for the run).
TEST(InputDefinition, HugeFileIsRefusedWithoutHarm) {
    TempFolder folder;
    std::string text = "[SPECIAL_COMMANDS]\nINPUT0=B00700\nACTION0=10001\n[JUNK]\n";
    const std::string line = "K=" + std::string(100, 'x') + "\n";
    while (text.size() < 10 * 1024 * 1024) text += line;
    folder.write("def.ini", text);
    IniFile file;
    std::string error;
    EXPECT_FALSE(file.load(folder.file("def.ini"), &error));
    EXPECT_EQ(error, "File larger than 1 MB");
    InputMap map;
    ReadDefinition(file, map);
    EXPECT_EQ(map.InputCodes[0], 0);
    // Below the limit, such a file still reads.
    text.resize(900 * 1024);
    const InputMap read = Read(folder, text);
    EXPECT_EQ(read.InputCodes[0], 0xB00700);
    EXPECT_EQ(read.Actions[0], 10001);
}

// What a hand-edited map gets wrong is told, all of it, in file order; a mistyped message
// switches its entry off instead of becoming some other message.
TEST(InputDefinition, EveryFaultOfAFileIsTold) {
    TempFolder folder;
    folder.write("def.ini",
                 "[DEVICECONFIGURATION]\nTEMPOVANE_IN_LOCK=on\n"
                 "[SPECIAL_COMMANDS]\nINPUT0=B0 7G 40\nACTION0=10001\nINPUT1=b0 07 40\n"
                 "ACTION1=1OOO1\nINPUT2=1B00740\nINPUT3=00B00740\nINPUT4=\n"
                 "[CUSTOMRANGE_TRANSFORMS]\nRANGEMAX_E0=2Z\nRANGEMAP_E1=GONE\n");
    IniFile file;
    ASSERT_TRUE(file.load(folder.file("def.ini")));
    InputMap map;
    std::vector<std::string> problems;
    ReadDefinition(file, map, &problems);
    EXPECT_EQ(problems, (std::vector<std::string>{
                            "TEMPOVANE_IN_LOCK=on is not a number",
                            "INPUT0=B0 7G 40 is not three hex bytes; off",
                            "ACTION1=1OOO1 is not a number",
                            "INPUT2=1B00740 is not three hex bytes; off",
                            "RANGEMAX_E0=2Z is not hex",
                            "RANGEMAP_E1=GONE names no section of the file",
                        }));
    EXPECT_EQ(map.InputCodes[0], 0);
    EXPECT_EQ(map.InputCodes[1], 0xB00740);
    EXPECT_EQ(map.InputCodes[2], 0);
    EXPECT_EQ(map.InputCodes[3], 0xB00740);  // leading zeros are no fault
    EXPECT_EQ(map.InputCodes[4], 0);
    EXPECT_EQ(InputCodeFromHex("FFFFFF"), 0xFFFFFF);
    EXPECT_EQ(InputCodeFromHex(" 6 0 0 0 2 0 "), 0x600020);
    EXPECT_EQ(InputCodeFromHex("0x600020"), std::nullopt);
}

TEST(InputDefinition, AFileThatIsNoMapIsNamedForWhatItIs) {
    TempFolder folder;
    const auto problemsOf = [&](const std::string& text) {
        folder.write("def.ini", text);
        IniFile file;
        EXPECT_TRUE(file.load(folder.file("def.ini")));
        InputMap map;
        std::vector<std::string> problems;
        ReadDefinition(file, map, &problems);
        EXPECT_EQ(map.InputCodes, InputMap().InputCodes);
        return problems;
    };
    using namespace std::string_literals;
    EXPECT_EQ(problemsOf("\x89PNG\r\n\x1A\n\0\0\0\rIHDR\0\0\x01"s),
              std::vector<std::string>{"is not an input map (binary content)"});
    EXPECT_EQ(problemsOf("[SOMETHING]\nELSE=1\n"),
              std::vector<std::string>{"is not an input map (no [SPECIAL_COMMANDS] section)"});
    EXPECT_TRUE(problemsOf("").empty());
    EXPECT_TRUE(problemsOf("[DEVICECONFIGURATION]\nTEMPOVANE_IN_HANDLING=1\n").empty());
}

TEST(InputDefinition, TypeListAddsDefaultOnlyWhenAbsent) {
    TempFolder folder;
    EXPECT_EQ(ListInputDeviceTypes(folder.path() + "indrv/"), std::vector<std::string>{"Default"});
    folder.write("indrv/default.ini", "");
    folder.write("indrv/Zeta.ini", "");
    folder.write("indrv/alpha.INI", "");
    folder.write("indrv/notes.txt", "");
    EXPECT_EQ(ListInputDeviceTypes(folder.path() + "indrv/"),
              (std::vector<std::string>{"alpha", "default", "Zeta"}));
}

TEST(InputDefinition, DescribeRangesListsEveryPreset) {
    const auto lines = DescribeRangesLines();
    ASSERT_EQ(lines.size(), 21u);
    EXPECT_EQ(lines[1], "Automatically generated Stats : ");
    EXPECT_EQ(lines[3], "Built-in Default Range Transform List :");
    EXPECT_EQ(lines[5],
              "      Preset 0xF0: From 0x00 to 0x7F --> multiplier = 1.582677 and offset = 0");
    EXPECT_EQ(lines[18],
              "      Preset 0xFD: From 0x40 to 0x7F --> multiplier = -2 and offset = 306");
    EXPECT_EQ(InputCodeText(0x600020), "600020");
    EXPECT_EQ(InputCodeText(-1), "FFFFFF");
}
