// The patch editor's rules without widgets: filling the tables, editing rows through a preset
// editor, Store and Save as into the port and the definition files, and learning through the
// pump's hand-off.
#include "app/patch_edit.h"

#include <gtest/gtest.h>

#include "app/preset_edit.h"
#include "platform/ini_file.h"
#include "state/app_settings.h"
#include "support/in_port_rig.h"

namespace {

const char* kDefinition =
    "[DEVICECONFIGURATION]\nTEMPOVANE_IN_HANDLING=1\n"
    "[SPECIAL_COMMANDS]\nINPUT0=B00740\nACTION0=10001\nCOMMENT0=Start pedal\n"
    "INPUT3=0000B0\nACTION3=10000.1\nCOMMENT3=odd\n"
    "[CUSTOMRANGE_TRANSFORMS]\nRANGEMAP_E3=MYMAP\n[MYMAP]\n64=120\n";

struct PatchEdit : ::testing::Test {
    InPortRig rig;
    AppSettings settings;
    PatchEditModel editor;
    PresetEditModel preset{rig.folder.path() + "labels/"};

    void SetUp() override {
        rig.load(kDefinition);
        editor.EditInputMap(settings, "Test", *rig.port);
    }
    std::string cell(int row, int column) const {
        return editor.AdvActionsStringGrid[static_cast<size_t>(row)][static_cast<size_t>(column)];
    }
    // Edits a Midi Map row as the user does in a fresh preset editor.
    void editRow(int row, const std::string& typed, const std::string& action) {
        PresetEditModel edit(rig.folder.path() + "labels/");
        ASSERT_TRUE(editor.BeginAdvRowEdit(row, edit));
        if (!typed.empty()) edit.SetEditValue(typed);
        edit.SetActionValue(action);
        edit.OKButtonClick();
        editor.EndAdvRowEdit(row, edit);
    }
    IniFile read(const std::string& name) const {
        IniFile file;
        file.load(rig.folder.path() + "indrv/" + name);
        return file;
    }
};

}  // namespace

TEST_F(PatchEdit, TablesShowTheMapThePresetsAndTheClockSwitch) {
    EXPECT_EQ(editor.Caption, "Input Map Patch: Test");
    EXPECT_EQ(editor.TargetPath, rig.folder.path() + "indrv/Test.ini");
    EXPECT_TRUE(editor.MCLOCKINProcess);
    EXPECT_EQ(editor.AdvActionsStringGrid[0],
              (std::array<std::string, 4>{"", "INPUT", "ACTION", "COMMENT"}));
    EXPECT_EQ(editor.AdvActionsStringGrid[1],
              (std::array<std::string, 4>{"Map #0", "B00740", "10001", "Start pedal"}));
    EXPECT_EQ(editor.AdvActionsStringGrid[4],
              (std::array<std::string, 4>{"Map #3", "0000B0", "10000.1", "odd"}));
    EXPECT_EQ(editor.AdvActionsStringGrid[32],
              (std::array<std::string, 4>{"Map #31", "000000", "0", "..."}));
    EXPECT_EQ(editor.KeyActionsStringGrid[0],
              (std::array<std::string, 3>{"Key", "ACTION", "COMMENT"}));
    EXPECT_EQ(editor.KeyActionsStringGrid[1], (std::array<std::string, 3>{"F5", "100", "Comment"}));
    EXPECT_EQ(editor.KeyActionsStringGrid[4], (std::array<std::string, 3>{"F8", "160", "Comment"}));
    EXPECT_EQ(editor.KeyActionsStringGrid[5], (std::array<std::string, 3>{}));
}

TEST_F(PatchEdit, TargetIsTheFileThePortReads) {
    rig.folder.write("indrv/Pedal.INI", "[SPECIAL_COMMANDS]\nINPUT0=903C00\nACTION0=20001\n");
    rig.port->ListDeviceTypes();
    SelectByName(rig.typeList, "Pedal");
    rig.port->LoadDefinition();
    EXPECT_EQ(rig.port->Map().InputCodes[0], 0x903C00);  // read although the extension is .INI
    editor.EditInputMap(settings, "Pedal", *rig.port);
    EXPECT_EQ(editor.TargetPath, rig.folder.path() + "indrv/Pedal.INI");
    editor.EditInputMap(settings, "Default", *rig.port);
    EXPECT_EQ(editor.Caption, "Input Map Patch: Default");
    EXPECT_EQ(editor.TargetPath, rig.folder.path() + "indrv/Default.ini");
}

TEST_F(PatchEdit, LearningOnMap3WithMaskRangeLeavesTheMaskedCode) {
    ASSERT_TRUE(editor.BeginAdvRowEdit(4, preset));
    EXPECT_EQ(preset.Caption, "Preset Edit : Map #3");
    EXPECT_EQ(preset.ActionValue(), "10000.1");
    EXPECT_EQ(preset.CommentsEdit, "odd");
    preset.HexSpy.setChecked(true);
    preset.Learn("B90733");
    editor.EndAdvRowEdit(4, preset);
    EXPECT_EQ(cell(4, 1), "B907F5");
    EXPECT_EQ(cell(4, 2), "10000.1");
}

TEST_F(PatchEdit, FunctionKeyRowsEditActionAndCommentOnly) {
    EXPECT_FALSE(editor.BeginKeyRowEdit(5, preset));  // an empty row opens nothing
    EXPECT_FALSE(editor.BeginKeyRowEdit(16, preset));
    ASSERT_TRUE(editor.BeginKeyRowEdit(2, preset));
    EXPECT_EQ(preset.Caption, "Preset Edit : F6");
    EXPECT_EQ(preset.ExtractText(), "*Key F6");
    EXPECT_FALSE(preset.InputGroupEnabled);
    preset.SetActionValue("133.5");
    preset.CommentsEdit = "Ballad";
    editor.EndKeyRowEdit(2, preset);
    EXPECT_EQ(editor.KeyActionsStringGrid[2],
              (std::array<std::string, 3>{"F6", "133.5", "Ballad"}));
    ASSERT_TRUE(editor.StoreFormValues().ok);
    EXPECT_DOUBLE_EQ(settings.F6BPM.load(), 133.5);
    EXPECT_DOUBLE_EQ(settings.F5BPM.load(), 100);
}

TEST_F(PatchEdit, StoreSwapsTheMapInAndWritesTheFile) {
    editRow(2, "B0 07 F1", "10000");
    editor.MCLOCKINProcess = false;
    ASSERT_TRUE(editor.Store().ok);

    // The dispatch uses the new entry at once: controller 7 sets the tempo through F1.
    rig.open();
    rig.send(0xB0, 7, 90);
    const auto calls = rig.actions.calls();
    ASSERT_GE(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::pair<int, double>(1, 90)));

    const IniFile file = read("Test.ini");
    EXPECT_EQ(file.readString("SPECIAL_COMMANDS", "INPUT1", ""), "B007F1");
    EXPECT_EQ(file.readString("SPECIAL_COMMANDS", "ACTION1", ""), "10000");
    EXPECT_EQ(file.readString("SPECIAL_COMMANDS", "INPUT3", ""), "0000B0");
    EXPECT_EQ(file.readString("DEVICECONFIGURATION", "TEMPOVANE_IN_HANDLING", ""), "0");
    EXPECT_EQ(file.readString("MYMAP", "64", ""), "120");  // map sections stay
    EXPECT_FALSE(rig.port->Map().ClockInHandling);
    EXPECT_DOUBLE_EQ(rig.port->Map().RangeTables[19][64], 120);  // the tables came along
}

TEST_F(PatchEdit, AnActionThatIsNoNumberStopsTheStoreAtThatCell) {
    const std::string before = rig.folder.read("indrv/Test.ini");
    editRow(1, "", "10002");
    editRow(3, "903C00", "12x");
    editRow(5, "903D00", "20001");
    const auto result = editor.Store();
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.find("'12x'"), std::string::npos) << result.message;
    EXPECT_NE(result.message.find("Map #2"), std::string::npos) << result.message;
    EXPECT_EQ(rig.folder.read("indrv/Test.ini"), before);  // nothing written

    // What came before the cell is in use; its own input too; nothing after it.
    const InputMap map = rig.port->Map();
    EXPECT_DOUBLE_EQ(map.Actions[0], 10002);
    EXPECT_EQ(map.InputCodes[2], 0x903C00);
    EXPECT_DOUBLE_EQ(map.Actions[2], 0);
    EXPECT_EQ(map.InputCodes[4], 0);

    // Corrected, the store goes through.
    editRow(3, "", "10004");
    EXPECT_TRUE(editor.Store().ok);
    EXPECT_EQ(read("Test.ini").readString("SPECIAL_COMMANDS", "INPUT4", ""), "903D00");
}

TEST_F(PatchEdit, AFunctionKeyActionThatIsNoNumberStopsBeforeTheMap) {
    editor.KeyActionsStringGrid[2][1] = "";  // an editor closed with an empty action field
    editRow(1, "", "10002");
    const auto result = editor.StoreFormValues();
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.find("F6"), std::string::npos) << result.message;
    EXPECT_DOUBLE_EQ(rig.port->Map().Actions[0], 10001);
}

TEST_F(PatchEdit, SaveAsThenStoreWriteTheNewFile) {
    const std::string before = rig.folder.read("indrv/Test.ini");
    const std::string live = rig.folder.path() + "indrv/Live.ini";
    editRow(1, "", "10003");
    ASSERT_TRUE(editor.SaveAs(live).ok);
    EXPECT_EQ(read("Live.ini").readString("SPECIAL_COMMANDS", "ACTION0", ""), "10003");
    EXPECT_EQ(rig.typeList.text(), "Live");
    EXPECT_EQ(rig.port->DefinitionName(), "Live.ini");

    editRow(1, "", "10005");
    ASSERT_TRUE(editor.Store().ok);
    EXPECT_EQ(read("Live.ini").readString("SPECIAL_COMMANDS", "ACTION0", ""), "10005");
    EXPECT_EQ(rig.folder.read("indrv/Test.ini"), before);
}

TEST_F(PatchEdit, AfterSaveAsEveryOtherTypeLoadsWhenChosen) {
    // Zed is loaded at index 1; saving as Aaa moves it to 2 and puts Test at 1.
    rig.load("[SPECIAL_COMMANDS]\nINPUT0=C00100\nACTION0=10004\n", "Zed");
    ASSERT_EQ(rig.typeList.index(), 1);
    editor.EditInputMap(settings, "Zed", *rig.port);
    ASSERT_TRUE(editor.SaveAs(rig.folder.path() + "indrv/Aaa.ini").ok);
    EXPECT_EQ(rig.typeList.items(), (std::vector<std::string>{"Aaa", "Test", "Zed", "Default"}));
    EXPECT_EQ(rig.typeList.index(), 0);
    SelectByName(rig.typeList, "Test");
    rig.port->DeviceTypeChanged();
    EXPECT_EQ(rig.port->Map().InputCodes[0], 0xB00740);
}

TEST_F(PatchEdit, AFailedWriteIsReportedAndKeepsTheFile) {
    std::filesystem::create_directories(rig.folder.path() + "indrv/Busy.ini");
    const auto result = editor.SaveAs(rig.folder.path() + "indrv/Busy.ini");  // a folder
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.find("Could not save"), std::string::npos) << result.message;
}

TEST(LearnHandOff, ThePumpGivesTheNewestMessageToTheOpenEditor) {
    ModelRig rig;
    rig.memory->addInputDevice("pedal");
    rig.model->CreateInPort(rig.folder.path() + "indrv/");
    KorvidMainModel& model = *rig.model;
    SelectByName(model.inControls.port, "Memory: pedal");
    model.InPort()->OpenSelectedPort();

    PresetEditModel preset("/nonexistent/");
    preset.ParseHexText("000000");
    int shown = 0;
    preset.AfterLearn = [&] { ++shown; };
    model.SetLearnTarget(&preset);
    rig.memory->inject("pedal", {0xB9, 0x07, 0x33}, 1);
    EXPECT_FALSE(model.PumpLearn()) << "learn box unchecked";

    preset.HexSpy.setChecked(true);
    rig.memory->inject("pedal", {0x90, 0x3C, 0x40}, 2);
    rig.memory->inject("pedal", {0xB9, 0x07, 0x33}, 3);
    rig.memory->inject("pedal", {0xFE}, 4);  // Active Sensing is never learnt
    EXPECT_TRUE(model.PumpLearn());
    EXPECT_EQ(preset.HexSpyCaption, "B90733");
    EXPECT_EQ(preset.InputCode, 0xB907F5);
    EXPECT_EQ(shown, 1);
    EXPECT_FALSE(model.PumpLearn());

    model.ClearLearnTarget();
    EXPECT_EQ(model.InPort()->LearnTarget(), nullptr);
    rig.memory->inject("pedal", {0x90, 0x3C, 0x40}, 5);
    EXPECT_FALSE(model.PumpLearn());
    EXPECT_EQ(preset.InputCode, 0xB907F5);
}
