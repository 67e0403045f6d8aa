#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <functional>

#include "app/main_model.h"
#include "state/list_model.h"

// The preset editor without widgets: one entry of an input map (input code, action value,
// comment) as the dialog shows it, with the hex field, the four lists that split the code into
// status, channel and two data bytes, the action list, and the two learn modes. The dialog
// mirrors this model into its widgets after every call and hands user actions to the handlers
// below; nothing here needs a display.
//
// A control's text set to what it already holds raises no change, as in the dialog: the
// setters below run their change handler only when the text really changes.
class PresetEditModel : public LearnReceiver {
  public:
    // The hex field's mark: who may overwrite it on the next rebuild.
    enum HexMark : int { kNormal = 0, kTyped = 1, kOpening = 2 };

    // labelFolder: where the byte 1 label files par1_<S>.txt are looked up
    // ("indrv/default/", relative to the current directory, unless a test says otherwise).
    explicit PresetEditModel(std::string labelFolder = "indrv/default/");

    // --- what the dialog shows ---------------------------------------------------------------
    std::string Caption = "Preset Edit";
    const std::string& EditValue() const { return editValue_; }
    int Mark() const { return mark_; }
    const std::string& ExtractText() const { return extract_; }
    ListModel StatusComboBox;
    ListModel ChannelComboBox;
    ListModel Par1ComboBox;
    ListModel Par2ComboBox;
    ListModel ActionComboBox;
    const std::string& ActionValue() const { return actionValue_; }
    std::string CommentsEdit;
    bool InputGroupEnabled = true;
    // The MIDI learn box: checked, it switches learning on (the input port reads it from its
    // own thread, hence a CheckModel); its caption shows the last message received.
    CheckModel HexSpy{false};
    std::string HexSpyCaption = "?";
    bool StatusFilter = false;
    bool ChannelFilter = false;
    bool MaskRange = true;
    bool AutoEnter = true;
    bool PCKeybLearnMode = false;
    bool KeybAutoEnterHex = false;
    std::string KeyCodeLabel = "....";

    // The code last decoded, 24 bits; 0 when nothing was decoded.
    int32_t InputCode = 0;
    int32_t StatusNibble = 0, Channel = 0, Byte1 = 0, Byte2 = 0;

    static const std::vector<std::string>& ByteValueList();  // "0=0x00" .. "127=0x7F"

    // --- handlers ----------------------------------------------------------------------------
    // The hex field's text, typed or set by the program; decodes it when it changed.
    void SetEditValue(std::string_view text);
    // Puts text into the hex field and decodes it, also when the field held it already. A text
    // beginning with "*" names a function key and has no input code.
    void ParseHexText(std::string_view text);
    // Takes a value apart into the lists and rebuilds the hex text from them.
    void DecodeInputCode(uint32_t value);
    // Rebuilds the hex text (and InputCode) from the lists.
    void EncodeInputCode();

    // The user picked an item (index into the list).
    void StatusComboBoxChange(int index);
    void ChannelComboBoxChange(int index);
    void Par1ComboBoxChange(int index);
    void Par2ComboBoxChange(int index);

    // The action field's text; selects the action of that number in the list, or none.
    void SetActionValue(std::string_view text);
    void ActionComboBoxChange(int index);
    // OK: an empty action field counts as "0".
    void OKButtonClick();

    void PCKeybLearnModeClick(bool checked);

    // MIDI learn: the pump puts the received message (six hex digits) into the learn box's
    // caption and calls this. fromDrag: a real drag start, which learns nothing.
    void HexSpyStartDrag(bool fromDrag = false);
    // Both steps of the pump's hand-off: caption first, then the learn step; then AfterLearn,
    // where the dialog shows the result.
    void Learn(const std::string& message) override;
    const CheckModel& LearnBox() const override { return HexSpy; }
    std::function<void()> AfterLearn;

    // PC keyboard learn: a key pressed anywhere in the dialog, as its virtual-key number.
    void FormKeyDown(int virtualKey);

  private:
    void refillByte1List(const std::string& statusDigit);

    std::string labelFolder_;
    std::string editValue_ = "B9 07 33";
    int mark_ = kOpening;
    std::string extract_;
    std::string actionValue_ = "0";
};

// The hex digits of text (blanks skipped, any other character a 0) read as an input code:
// leading zeros do not count, and of a longer number only the first six digits are kept, so
// "B907331" and an eight-digit "FA000000" give B90733 and FA0000.
uint32_t ReadInputCodeText(std::string_view text);
