#include "app/patch_edit.h"

#include "app/preset_edit.h"
#include "midiin/input_definition.h"
#include "midiin/midi_in_port.h"
#include "platform/number_text.h"
#include "state/app_settings.h"
#include "state/hexroutines.h"

namespace {

std::atomic<double>* PresetOf(AppSettings& settings, int row) {
    switch (row) {
        case 1:
            return &settings.F5BPM;
        case 2:
            return &settings.F6BPM;
        case 3:
            return &settings.F7BPM;
        case 4:
            return &settings.F8BPM;
        default:
            return nullptr;
    }
}

std::string NotANumber(const std::string& text, const std::string& where) {
    return "'" + text + "' is not a valid number.\n\nThe ACTION of " + where +
           " must be a number such as 120 or 10000.1; nothing was saved.";
}

}  // namespace

void PatchEditModel::EditInputMap(AppSettings& settings, const std::string& deviceTypeName,
                                  MidiInPort& port) {
    settings_ = &settings;
    port_ = &port;
    Caption = "Input Map Patch: " + deviceTypeName;
    TargetPath = InputDefinitionFile(port.InputFolder(), deviceTypeName);

    KeyActionsStringGrid = {};
    KeyActionsStringGrid[0] = {"Key", "ACTION", "COMMENT"};
    const char* keys[] = {"F5", "F6", "F7", "F8"};
    for (int row = 1; row <= 4; ++row) {
        auto& cells = KeyActionsStringGrid[static_cast<size_t>(row)];
        cells = {keys[row - 1], FormatGeneral(PresetOf(settings, row)->load()), "Comment"};
    }

    const InputMap map = port.Map();
    MCLOCKINProcess = map.ClockInHandling;
    MCLOCKINLock = map.ClockInLock;
    AdvActionsStringGrid[0] = {"", "INPUT", "ACTION", "COMMENT"};
    for (int n = 0; n < kMapEntries; ++n) {
        const auto i = static_cast<size_t>(n);
        AdvActionsStringGrid[i + 1] = {"Map #" + std::to_string(n),
                                       InputCodeText(map.InputCodes[i]),
                                       FormatGeneral(map.Actions[i]), map.Comments[i]};
    }
}

bool PatchEditModel::BeginAdvRowEdit(int row, PresetEditModel& preset) const {
    if (row < 1 || row >= kAdvRows) return false;
    const auto& cells = AdvActionsStringGrid[static_cast<size_t>(row)];
    preset.Caption = "Preset Edit : " + cells[0];
    preset.ParseHexText(cells[1]);
    preset.SetActionValue(cells[2]);
    preset.CommentsEdit = cells[3];
    return true;
}

void PatchEditModel::EndAdvRowEdit(int row, const PresetEditModel& preset) {
    if (row < 1 || row >= kAdvRows) return;
    auto& cells = AdvActionsStringGrid[static_cast<size_t>(row)];
    cells[3] = preset.CommentsEdit;
    cells[1] = InputCodeText(preset.InputCode);
    cells[2] = preset.ActionValue();
}

bool PatchEditModel::BeginKeyRowEdit(int row, PresetEditModel& preset) const {
    if (row < 1 || row >= kKeyRows) return false;
    const auto& cells = KeyActionsStringGrid[static_cast<size_t>(row)];
    if (cells[0].empty()) return false;
    // A function key has no input code: the "*" keeps the hex field from being decoded.
    preset.ParseHexText("*Key " + cells[0]);
    preset.InputGroupEnabled = false;
    preset.Caption = "Preset Edit : " + cells[0];
    preset.SetActionValue(cells[1]);
    preset.CommentsEdit = cells[2];
    return true;
}

void PatchEditModel::EndKeyRowEdit(int row, const PresetEditModel& preset) {
    if (row < 1 || row >= kKeyRows || KeyActionsStringGrid[static_cast<size_t>(row)][0].empty())
        return;
    auto& cells = KeyActionsStringGrid[static_cast<size_t>(row)];
    cells[1] = preset.ActionValue();
    cells[2] = preset.CommentsEdit;
}

PatchEditModel::StoreResult PatchEditModel::StoreFormValues() {
    StoreResult result;
    if (!settings_ || !port_) return {false, "No input map is being edited."};
    for (int row = 1; row <= 4; ++row) {
        const auto& cells = KeyActionsStringGrid[static_cast<size_t>(row)];
        const auto value = ParseFloat(cells[1]);
        if (!value) return {false, NotANumber(cells[1], cells[0])};
        PresetOf(*settings_, row)->store(*value);
    }

    // The map is changed as a copy and swapped in whole, also when a cell stops the store
    // half-way: the entries before that cell are then in use, as the user has seen them.
    InputMap map = port_->Map();
    map.ClockInHandling = MCLOCKINProcess;
    map.ClockInLock = MCLOCKINLock;
    for (int n = 0; n < kMapEntries; ++n) {
        const auto i = static_cast<size_t>(n);
        const auto& cells = AdvActionsStringGrid[i + 1];
        map.InputCodes[i] = HexToInt(cells[1]) & 0xFFFFFF;
        const auto action = ParseFloat(cells[2]);
        if (!action) {
            result = {false, NotANumber(cells[2], cells[0])};
            break;
        }
        map.Actions[i] = *action;
        map.Comments[i] = cells[3];
    }
    port_->SetMap(map);
    return result;
}

PatchEditModel::StoreResult PatchEditModel::saveTo(const std::string& path) {
    StoreResult result = StoreFormValues();
    if (!result.ok) return result;
    std::string error;
    if (!port_->SaveDefinition(path, &error))
        return {false, "Could not save the input map to '" + path + "': " + error};
    return result;
}

PatchEditModel::StoreResult PatchEditModel::Store() {
    return saveTo(TargetPath);
}

PatchEditModel::StoreResult PatchEditModel::SaveAs(const std::string& path) {
    TargetPath = path;
    return saveTo(path);
}
