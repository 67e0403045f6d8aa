// The preset editor's rules without widgets: decoding and rebuilding input codes, the two
// learn modes and the action list.
#include "app/preset_edit.h"

#include <gtest/gtest.h>

#include "midiin/input_definition.h"
#include "support/model_rig.h"

namespace {

int IndexOf(const ListModel& list, const std::string& item) {
    const auto items = list.items();
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i] == item) return static_cast<int>(i);
    return -1;
}

// A model whose byte 1 label files would be looked up in a folder of its own.
struct PresetEdit : ::testing::Test {
    TempFolder folder;
    PresetEditModel model{folder.path()};

    void open(const std::string& gridText) { model.ParseHexText(gridText); }
};

}  // namespace

TEST_F(PresetEdit, OpeningARowShowsItsCodeInEveryControl) {
    open("B90733");
    EXPECT_EQ(model.EditValue(), "B9 07 33");
    EXPECT_EQ(model.ExtractText(), "Status : B ; Channel : 9; Bytes : 07 33");
    EXPECT_EQ(model.StatusComboBox.text(), "0xBc=Controller Change");
    EXPECT_EQ(model.ChannelComboBox.text(), "9");
    EXPECT_EQ(model.Par1ComboBox.text(), "7=0x07");
    EXPECT_EQ(model.Par2ComboBox.text(), "51=0x33");
    EXPECT_EQ(model.InputCode, 0xB90733);
    EXPECT_EQ(model.Mark(), PresetEditModel::kNormal);
}

TEST_F(PresetEdit, TypedTextIsDecodedButLeftAsTyped) {
    open("B90733");
    struct Case {
        const char* typed;
        int32_t code;
    };
    // Two bytes get byte 2 = 0; a fifth digit is byte 2; later digits are dropped; eight digits
    // from 8 up are read unsigned and shortened like any long input; leading zeros do not count.
    for (const Case& c :
         {Case{"C0 05", 0xC00500}, Case{"B9073", 0xB90703}, Case{"B907331", 0xB90733},
          Case{"FA000000", 0xFA0000}, Case{"00B90733", 0xB90733}, Case{"90 3C 7F", 0x903C7F}}) {
        model.SetEditValue(c.typed);
        EXPECT_EQ(model.EditValue(), c.typed);
        EXPECT_EQ(model.InputCode, c.code) << c.typed;
        EXPECT_EQ(model.Mark(), PresetEditModel::kNormal);
    }
    model.SetEditValue("C0 05");
    EXPECT_EQ(model.StatusComboBox.text(), "0xCc=Program Change");
    EXPECT_EQ(model.Par1ComboBox.text(), "5=0x05");
    EXPECT_EQ(model.Par2ComboBox.text(), "0=0x00");
}

TEST_F(PresetEdit, PickingFromTheListsRebuildsTheHexText) {
    open("B90733");
    model.Par2ComboBoxChange(IndexOf(model.Par2ComboBox, "245=0xF5: {BPMMap +40}"));
    EXPECT_EQ(model.EditValue(), "B9 07 F5");
    EXPECT_EQ(model.InputCode, 0xB907F5);
    model.ChannelComboBoxChange(10);
    EXPECT_EQ(model.EditValue(), "BA 07 F5");
    model.StatusComboBoxChange(IndexOf(model.StatusComboBox, "0x9c=Note On"));
    model.Par1ComboBoxChange(IndexOf(model.Par1ComboBox, "60=0x3C"));
    EXPECT_EQ(model.EditValue(), "9A 3C F5");
    EXPECT_EQ(model.InputCode, 0x9A3CF5);
    model.Par1ComboBoxChange(IndexOf(model.Par1ComboBox, "227=0xE3 {Custom Map}"));
    EXPECT_EQ(model.InputCode, 0x9AE3F5);
}

TEST_F(PresetEdit, OpeningAndClosingNeverChangesACodeTheListsDoNotOffer) {
    // System messages (no status item), a range byte in byte 1 (the byte 1 map) and key numbers
    // from 128 up (Scroll Lock) have no list item; opening the row must keep them.
    for (const char* text : {"FA0000", "FC0000", "90F500", "B0FB00", "600091", "6001BA"}) {
        PresetEditModel fresh(folder.path());
        fresh.ParseHexText(text);
        EXPECT_EQ(InputCodeText(fresh.InputCode), text);
    }
    PresetEditModel start(folder.path());
    start.ParseHexText("FA0000");
    EXPECT_EQ(start.EditValue(), "FA 00 00");
    EXPECT_EQ(start.StatusComboBox.index(), -1);
}

TEST_F(PresetEdit, ByteOneLabelsComeFromTheStatusFile) {
    folder.write("par1_B.txt", "7=Volume\r\n10=Pan\n\n64=Sustain\n");
    open("B90733");
    const auto items = model.Par1ComboBox.items();
    ASSERT_EQ(items.size(), 3u + 16u);
    EXPECT_EQ(items[0], "7=Volume");
    EXPECT_EQ(items[3], "224=0xE0 {Custom Map}");
    EXPECT_EQ(model.Par1ComboBox.text(), "7=Volume");
    EXPECT_EQ(model.InputCode, 0xB90733);
    // Another status has no file: the plain byte values come back.
    model.StatusComboBoxChange(IndexOf(model.StatusComboBox, "0x9c=Note On"));
    EXPECT_EQ(model.Par1ComboBox.count(), 128 + 16);
    EXPECT_EQ(model.Par1ComboBox.text(), "7=0x07");
}

TEST_F(PresetEdit, MidiLearnMasksTheRangeAndHonoursBothFilters) {
    open("000000");
    model.HexSpy.setChecked(true);
    model.Learn("B90733");  // Mask Range is on by default
    EXPECT_EQ(model.EditValue(), "B907F5");
    EXPECT_EQ(model.InputCode, 0xB907F5);
    EXPECT_EQ(model.Par2ComboBox.text(), "245=0xF5: {BPMMap +40}");
    EXPECT_EQ(model.HexSpyCaption, "B90733");

    model.MaskRange = false;
    model.ChannelFilter = true;
    model.ChannelComboBoxChange(10);  // channel "10": only digit A passes
    model.Learn("B00740");
    EXPECT_EQ(model.InputCode, 0xBA07F5);
    model.Learn("BA0740");
    EXPECT_EQ(model.EditValue(), "BA0740");

    model.ChannelFilter = false;
    model.StatusFilter = true;
    model.StatusComboBoxChange(IndexOf(model.StatusComboBox, "0x9c=Note On"));
    model.Learn("B00101");
    EXPECT_EQ(model.InputCode, 0x9A0740);
    model.Learn("903C40");
    EXPECT_EQ(model.InputCode, 0x903C40);
    // With no status selected the status filter lets nothing through.
    model.SetEditValue("F80000");
    ASSERT_EQ(model.StatusComboBox.index(), -1);
    model.Learn("903C41");
    EXPECT_EQ(model.InputCode, 0xF80000);
}

TEST_F(PresetEdit, MidiLearnStepsThatLearnNothing) {
    open("B90733");
    model.Learn("903C40");  // the pump only calls while learning; AutoEnter decides
    EXPECT_EQ(model.InputCode, 0x903CF5);
    model.AutoEnter = false;
    model.Learn("B00101");
    EXPECT_EQ(model.InputCode, 0x903CF5);
    model.AutoEnter = true;
    model.HexSpyCaption = "B00101";
    model.HexSpyStartDrag(true);  // a real drag start
    EXPECT_EQ(model.InputCode, 0x903CF5);
    model.InputGroupEnabled = false;
    model.Learn("B00101");
    EXPECT_EQ(model.InputCode, 0x903CF5);
}

TEST_F(PresetEdit, KeyboardLearnTakesOneKeyWithTheInputMapsNumbers) {
    open("B90733");
    model.FormKeyDown(0x74);  // learning off
    EXPECT_EQ(model.KeyCodeLabel, "....");

    model.PCKeybLearnModeClick(true);
    model.FormKeyDown(0x74);  // F5
    EXPECT_EQ(model.KeyCodeLabel, "PC Key: 60 00 74");
    EXPECT_EQ(model.InputCode, 0xB90733);  // without auto enter only the label

    model.KeybAutoEnterHex = true;
    model.FormKeyDown(0x74);
    EXPECT_EQ(model.EditValue(), "60 00 74");
    EXPECT_EQ(model.InputCode, 0x600074);
    EXPECT_EQ(model.StatusComboBox.text(), "0x6c=PC Keyboard");
    EXPECT_EQ(model.CommentsEdit, "PC Key : t");
    EXPECT_FALSE(model.KeybAutoEnterHex);

    model.FormKeyDown(65);  // only the first key is entered
    EXPECT_EQ(model.KeyCodeLabel, "PC Key: 60 00 41");
    EXPECT_EQ(model.InputCode, 0x600074);

    model.KeybAutoEnterHex = true;
    model.FormKeyDown(256 + 77);
    EXPECT_EQ(model.InputCode, 0x60014D);
    EXPECT_EQ(model.CommentsEdit, "PC Special Key...");
    model.KeybAutoEnterHex = true;
    model.FormKeyDown(0xBA);  // a punctuation key's number stays valid text in a file
    EXPECT_EQ(model.CommentsEdit, "PC Key : \xC2\xBA");
    EXPECT_EQ(model.InputCode, 0x6000BA);

    model.PCKeybLearnModeClick(false);
    EXPECT_EQ(model.KeyCodeLabel, "...");
}

TEST_F(PresetEdit, ActionFieldAndListFollowEachOther) {
    EXPECT_EQ(model.ActionComboBox.text(), "0=Do Nothing");
    model.ActionComboBoxChange(
        IndexOf(model.ActionComboBox, "10000.1=Byte 1 Map (Ignores Byte 2)"));
    EXPECT_EQ(model.ActionValue(), "10000.1");
    model.SetActionValue("10003");
    EXPECT_EQ(model.ActionComboBox.text(), "10003=Continue");
    model.SetActionValue("12345");
    EXPECT_EQ(model.ActionComboBox.index(), -1);
    model.SetActionValue("200");
    EXPECT_EQ(model.ActionComboBox.text(), "200=Set BPM to 200");

    const auto items = model.ActionComboBox.items();
    ASSERT_EQ(items.size(), 224u);
    EXPECT_EQ(items[16], "10012=Tristate Tempo");
    EXPECT_EQ(items[23], "20101=FCB1010 Control Input");
    EXPECT_EQ(items[24], "1=Set BPM to 1");

    model.SetActionValue("");
    model.OKButtonClick();
    EXPECT_EQ(model.ActionValue(), "0");
}

TEST_F(PresetEdit, FunctionKeyRowHasNoInputCode) {
    model.ParseHexText("*Key F5");
    model.InputGroupEnabled = false;
    EXPECT_EQ(model.ExtractText(), "*Key F5");
    EXPECT_EQ(model.InputCode, 0);
    model.HexSpy.setChecked(true);
    model.Learn("B90733");
    EXPECT_EQ(model.EditValue(), "*Key F5");
    // The keyboard learn still fills the controls; the caller takes back only action and
    // comment.
    model.PCKeybLearnModeClick(true);
    model.KeybAutoEnterHex = true;
    model.FormKeyDown(0x74);
    EXPECT_EQ(model.EditValue(), "60 00 74");
    EXPECT_EQ(model.CommentsEdit, "PC Key : t");
}

TEST(PresetEditLists, ByteListsHoldValuesAndRanges) {
    PresetEditModel model("/nonexistent/");
    const auto byte1 = model.Par1ComboBox.items();
    const auto byte2 = model.Par2ComboBox.items();
    ASSERT_EQ(byte1.size(), 144u);
    ASSERT_EQ(byte2.size(), 160u);
    EXPECT_EQ(byte1[127], "127=0x7F");
    EXPECT_EQ(byte1[143], "239=0xEF {Custom Map}");
    EXPECT_EQ(byte2[144], "240=0xF0: {Any (1-200)}");
    EXPECT_EQ(byte2[157], "253=0xFD: {BPMMap 178-...}");
    EXPECT_EQ(model.ChannelComboBox.count(), 16);
}
