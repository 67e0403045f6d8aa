#include "app/preset_edit.h"

#include <cstdio>
#include <fstream>

#include "platform/number_text.h"
#include "state/action_codes.h"
#include "state/hexroutines.h"

namespace {

const char kHex[] = "0123456789ABCDEF";

std::string Hex2(int32_t value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%02X", static_cast<unsigned>(value) & 0xFF);
    return buffer;
}

// The part of a list item before the first "=".
std::string NameOf(std::string_view item) {
    const size_t eq = item.find('=');
    return std::string(item.substr(0, eq));
}

// Selects the first item whose name is name (letter case ignored), or nothing.
void SelectByValue(ListModel& list, std::string_view name) {
    list.setIndex(list.findIndex(
        [name](std::string_view item) { return SameTextIgnoringCase(NameOf(item), name); }));
}

std::vector<std::string> CustomRangeItems() {
    std::vector<std::string> items;
    for (int v = 224; v <= 239; ++v)
        items.push_back(std::to_string(v) + "=0x" + Hex2(v) + " {Custom Map}");
    return items;
}

std::vector<std::string> PresetRangeItems() {
    return {"240=0xF0: {Any (1-200)}",        "241=0xF1: {BPMMap *1}",
            "242=0xF2: {BPMMap *2}",          "243=0xF3: {BPMMap *3}",
            "244=0xF4: {BPMMap *4}",          "245=0xF5: {BPMMap +40}",
            "246=0xF6: {Future Use}",         "247=0xF7: {Future Use}",
            "248=0xF8: {Future Use}",         "249=0xF9: {Future Use}",
            "250=0xFA: {BPMMap 00-3F *2}",    "251=0xFB: {BPMMap 40-7F *2}",
            "252=0xFC: {BPMMap 00-3F *2+50}", "253=0xFD: {BPMMap 178-...}",
            "254=0xFE: {Future Use}",         "255=0xFF: {Future Use}"};
}

std::vector<std::string> ActionItems() {
    std::vector<std::string> items;
    for (const ActionLabel& action : kActionLabels)
        items.push_back(std::string(action.value) + "=" + action.label);
    for (int n = 1; n <= 200; ++n)
        items.push_back(std::to_string(n) + "=Set BPM to " + std::to_string(n));
    return items;
}

// The name of a list's selected item read as a decimal byte, or fallback when nothing is
// selected; "00" when the name is no number.
std::string ByteText(const ListModel& list, int32_t fallback) {
    if (list.index() < 0) return Hex2(fallback);
    const auto value = ParseInt(NameOf(list.text()));
    return value ? Hex2(*value) : "00";
}

// A key's character for the comment: Latin-1 code points written as UTF-8, so a key number
// from 128 up never puts a broken byte into a definition file.
std::string KeyCharacter(int code) {
    std::string text;
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
    return text;
}

}  // namespace

uint32_t ReadInputCodeText(std::string_view text) {
    uint32_t value = 0;
    int digits = 0;
    for (const char c : text) {
        if (c == ' ') continue;
        const uint8_t digit = HexDigitValue(c);
        if (digits == 0 && digit == 0) continue;  // leading zeros
        if (digits == 6) break;                   // later digits are dropped
        value = value * 16 + digit;
        ++digits;
    }
    return value;
}

const std::vector<std::string>& PresetEditModel::ByteValueList() {
    static const std::vector<std::string> list = [] {
        std::vector<std::string> items;
        for (int v = 0; v < 128; ++v) items.push_back(std::to_string(v) + "=0x" + Hex2(v));
        return items;
    }();
    return list;
}

PresetEditModel::PresetEditModel(std::string labelFolder) : labelFolder_(std::move(labelFolder)) {
    StatusComboBox.setItems({"0x6c=PC Keyboard", "0x8c=Note Off", "0x9c=Note On",
                             "0xAc=Key Pressure", "0xBc=Controller Change", "0xCc=Program Change",
                             "0xDc=Channel Pressure", "0xEc=Pitch Bend"});
    std::vector<std::string> channels;
    for (int c = 0; c < 16; ++c) channels.push_back(std::to_string(c));
    ChannelComboBox.setItems(std::move(channels));
    std::vector<std::string> byte1 = ByteValueList();
    for (auto& item : CustomRangeItems()) byte1.push_back(std::move(item));
    Par1ComboBox.setItems(byte1);
    std::vector<std::string> byte2 = std::move(byte1);
    for (auto& item : PresetRangeItems()) byte2.push_back(std::move(item));
    Par2ComboBox.setItems(std::move(byte2));
    ActionComboBox.setItems(ActionItems());
    SelectByValue(ActionComboBox, actionValue_);
}

void PresetEditModel::SetEditValue(std::string_view text) {
    if (text == editValue_) return;
    editValue_ = text;
    // EditValueChange
    if (mark_ != kOpening) mark_ = kTyped;
    ParseHexText(editValue_);
}

void PresetEditModel::ParseHexText(std::string_view text) {
    const std::string copy(text);  // text may be the field itself, which the decode rewrites
    SetEditValue(copy);
    if (!copy.empty() && copy[0] == '*') {
        extract_ = copy;
        return;
    }
    DecodeInputCode(ReadInputCodeText(copy));
}

void PresetEditModel::DecodeInputCode(uint32_t value) {
    while (value > 0xFFFFFF) value >>= 4;
    if (value <= 0xFFFF) {
        value <<= 8;  // a two-byte message: byte 2 is 0
    } else if (value <= 0xFFFFF) {
        value = ((value >> 4) << 8) + (value & 0xF);  // the fifth digit is byte 2
    }
    InputCode = static_cast<int32_t>(value);
    StatusNibble = static_cast<int32_t>((value >> 20) & 0xF);
    Channel = static_cast<int32_t>((value >> 16) & 0xF);
    Byte1 = static_cast<int32_t>((value >> 8) & 0xFF);
    Byte2 = static_cast<int32_t>(value & 0xFF);

    ChannelComboBox.setIndex(Channel);
    extract_ = std::string("Status : ") + kHex[StatusNibble] +
               " ; Channel : " + std::to_string(Channel) + "; Bytes : " + Hex2(Byte1) + " " +
               Hex2(Byte2);
    SelectByValue(StatusComboBox, std::string("0x") + kHex[StatusNibble] + "c");
    SelectByValue(Par1ComboBox, std::to_string(Byte1));
    SelectByValue(Par2ComboBox, std::to_string(Byte2));
    EncodeInputCode();
}

void PresetEditModel::refillByte1List(const std::string& statusDigit) {
    std::vector<std::string> items;
    bool loaded = false;
    if (!statusDigit.empty()) {
        std::ifstream file(labelFolder_ + "par1_" + statusDigit + ".txt", std::ios::binary);
        if (file) {
            std::string line;
            while (std::getline(file, line)) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!line.empty()) items.push_back(line);
            }
            loaded = !file.bad();
        }
    }
    if (!loaded) items = ByteValueList();
    for (auto& item : CustomRangeItems()) items.push_back(std::move(item));
    Par1ComboBox.setItems(std::move(items));
}

void PresetEditModel::EncodeInputCode() {
    // The status digit comes from the list; a status the list does not offer (a system message
    // such as FA, Start) keeps its own digit, so that rebuilding never changes the code.
    const std::string statusName = NameOf(StatusComboBox.text());
    const std::string status =
        statusName.size() >= 3 ? statusName.substr(2, 1) : std::string(1, kHex[StatusNibble]);
    const int byte1Index = Par1ComboBox.index();
    const std::string byte1Name = NameOf(Par1ComboBox.text());

    refillByte1List(status);
    if (byte1Index >= 0) SelectByValue(Par1ComboBox, byte1Name);

    // A byte the lists do not offer (a range byte Fn in byte 1, a key number from 128 up) is
    // kept as decoded instead of becoming 00.
    std::string byte1 = Hex2(Byte1);
    if (byte1Index >= 0) {
        const auto value = ParseInt(byte1Name);
        byte1 = value ? Hex2(*value) : "00";
    }
    const auto channel = ParseInt(ChannelComboBox.text());
    const std::string channelText = channel ? std::string(1, kHex[*channel & 0xF]) : "0";
    const std::string byte2 = ByteText(Par2ComboBox, Byte2);

    const std::string hex = status + channelText + " " + byte1 + " " + byte2;
    if (mark_ != kTyped) SetEditValue(hex);
    mark_ = kNormal;
}

void PresetEditModel::StatusComboBoxChange(int index) {
    StatusComboBox.setIndex(index);
    EncodeInputCode();
}

void PresetEditModel::ChannelComboBoxChange(int index) {
    ChannelComboBox.setIndex(index);
    EncodeInputCode();
}

void PresetEditModel::Par1ComboBoxChange(int index) {
    Par1ComboBox.setIndex(index);
    EncodeInputCode();
}

void PresetEditModel::Par2ComboBoxChange(int index) {
    Par2ComboBox.setIndex(index);
    EncodeInputCode();
}

void PresetEditModel::SetActionValue(std::string_view text) {
    if (text == actionValue_) return;
    actionValue_ = text;
    SelectByValue(ActionComboBox, actionValue_);
}

void PresetEditModel::ActionComboBoxChange(int index) {
    ActionComboBox.setIndex(index);
    if (index >= 0) SetActionValue(NameOf(ActionComboBox.text()));
}

void PresetEditModel::OKButtonClick() {
    if (actionValue_.empty()) SetActionValue("0");
}

void PresetEditModel::PCKeybLearnModeClick(bool checked) {
    PCKeybLearnMode = checked;
    if (!checked) KeyCodeLabel = "...";
}

void PresetEditModel::HexSpyStartDrag(bool fromDrag) {
    if (fromDrag || !AutoEnter || !InputGroupEnabled) return;
    std::string text = HexSpyCaption;
    bool accepted = true;
    if (StatusFilter) {
        const std::string shown = StatusComboBox.text();
        accepted = accepted && shown.size() >= 3 && !text.empty() && text[0] == shown[2];
    }
    if (ChannelFilter) {
        const auto channel = ParseInt(ChannelComboBox.text());
        accepted = accepted && channel && text.size() >= 2 && text[1] == kHex[*channel & 0xF];
    }
    if (MaskRange) text = text.substr(0, 4) + "F5";
    if (accepted) SetEditValue(text);
}

void PresetEditModel::Learn(const std::string& message) {
    HexSpyCaption = message;
    HexSpyStartDrag();
    if (AfterLearn) AfterLearn();
}

void PresetEditModel::FormKeyDown(int virtualKey) {
    // A key without a number of its own (a lone modifier on some layouts) could never match.
    if (!PCKeybLearnMode || virtualKey <= 0 || virtualKey > 0xFFFF) return;
    const std::string text = "60 " + Hex2(virtualKey >> 8) + " " + Hex2(virtualKey & 0xFF);
    KeyCodeLabel = "PC Key: " + text;
    if (!KeybAutoEnterHex) return;
    SetEditValue(text);
    CommentsEdit = virtualKey >= 256 ? "PC Special Key..." : "PC Key : " + KeyCharacter(virtualKey);
    KeybAutoEnterHex = false;  // only the first key is entered
}
