#include "midiin/input_definition.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "platform/ini_file.h"
#include "platform/number_text.h"
#include "state/definition_files.h"
#include "state/hexroutines.h"
#include "state/list_model.h"

namespace {

constexpr const char* kConfigSection = "DEVICECONFIGURATION";
constexpr const char* kCommandsSection = "SPECIAL_COMMANDS";
constexpr const char* kRangesSection = "CUSTOMRANGE_TRANSFORMS";
constexpr const char* kDefaultType = "Default";
constexpr const char* kDefaultComment = "...";

bool IsHexText(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return c == ' ' || c == '\t' || std::isxdigit(static_cast<unsigned char>(c));
    });
}

std::string Hex2(int32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02X", static_cast<uint32_t>(value));
    return buffer;
}

const char kHexDigits[] = "0123456789ABCDEF";

void FillTable(const RangeTransform& range, std::array<double, 128>& table) {
    for (int v = 0; v < 128; ++v) {
        // In extended precision, so that F0 at 127 gives 200.999979 as a careful calculator does.
        const long double value =
            static_cast<long double>(v) * static_cast<long double>(range.multiplier) +
            static_cast<long double>(range.offset);
        table[static_cast<size_t>(v)] = static_cast<double>(value);
    }
}

}  // namespace

const std::array<RangeTransform, kBuiltInRanges>& BuiltInRangeTransforms() {
    static const std::array<RangeTransform, kBuiltInRanges> presets = {{
        {0x00, 0x7F, 1.582677, 0},  // F0: 0 .. 201
        {0x00, 0x7F, 1, 0},         // F1
        {0x00, 0x7F, 2, 0},         // F2
        {0x00, 0x7F, 3, 0},         // F3
        {0x00, 0x7F, 4, 0},         // F4
        {0x00, 0x7F, 1, 40},        // F5: note number + 40
        {0x00, 0x7F, 2, 0},         // F6
        {0x00, 0x7F, 2, 0},         // F7
        {0x00, 0x7F, 2, 0},         // F8
        {0x00, 0x7F, 2, 0},         // F9
        {0x00, 0x3F, 2, 0},         // FA: lower half
        {0x40, 0x7F, 2, 0},         // FB: upper half
        {0x00, 0x3F, 2, 50},        // FC
        {0x40, 0x7F, -2, 306},      // FD: falling
        {0x00, 0x7F, 2, 0},         // FE
        {0x01, 0x7F, 2, 0},         // FF: 0 excluded
    }};
    return presets;
}

InputMap::InputMap() {
    const auto& presets = BuiltInRangeTransforms();
    for (int t = 0; t < kRangeRecords; ++t)
        RangeTransforms[static_cast<size_t>(t)] = presets[static_cast<size_t>(t % kBuiltInRanges)];
    ComputeTables();
}

void InputMap::ComputeTables() {
    for (size_t t = 0; t < RangeTransforms.size(); ++t)
        FillTable(RangeTransforms[t], RangeTables[t]);
}

std::string InputCodeText(int32_t code) {
    const auto value = static_cast<uint32_t>(code) & 0xFFFFFF;
    std::string text(6, '0');
    for (int i = 5, shift = 0; i >= 0; --i, shift += 4) text[i] = kHexDigits[(value >> shift) & 15];
    return text;
}

void ReadDefinition(const IniFile& file, InputMap& map, std::vector<std::string>* problems) {
    std::vector<std::string> found;
    // A value that is given and cannot be read is told; an empty one is a value not given.
    const auto readable = [&](const std::string& section, const std::string& key, bool hex,
                              bool fraction) {
        const std::string text = file.readString(section, key, "");
        if (text.find_first_not_of(" \t") == std::string::npos) return;
        const bool ok =
            hex ? IsHexText(text)
                : (fraction ? ParseFloat(text).has_value() : ParseInt(text).has_value());
        if (!ok) found.push_back(key + "=" + text + (hex ? " is not hex" : " is not a number"));
    };
    if (!file.hasSection(kConfigSection) && !file.hasSection(kCommandsSection) &&
        !file.hasSection(kRangesSection) && !file.text().empty()) {
        found.push_back(file.looksBinary() ? "is not an input map (binary content)"
                                           : "is not an input map (no [SPECIAL_COMMANDS] section)");
    }
    readable(kConfigSection, "TEMPOVANE_IN_HANDLING", false, false);
    readable(kConfigSection, "TEMPOVANE_IN_LOCK", false, false);
    map.ClockInHandling = file.readInt(kConfigSection, "TEMPOVANE_IN_HANDLING", 0) != 0;
    map.ClockInLock = file.readInt(kConfigSection, "TEMPOVANE_IN_LOCK", 0) != 0;
    for (int n = 0; n < kMapEntries; ++n) {
        const std::string number = std::to_string(n);
        const auto i = static_cast<size_t>(n);
        const std::string input = file.readString(kCommandsSection, "INPUT" + number, "0");
        // A message is three bytes; a mistyped one (a letter that is no hex digit, a digit too
        // many) would be some other message, which the entry would then act on. It is off.
        const std::optional<int32_t> code = InputCodeFromHex(input);
        if (!code) found.push_back("INPUT" + number + "=" + input + " is not three hex bytes; off");
        map.InputCodes[i] = code.value_or(0);
        readable(kCommandsSection, "ACTION" + number, false, true);
        map.Actions[i] = file.readFloat(kCommandsSection, "ACTION" + number, 0);
        map.Comments[i] = file.readString(kCommandsSection, "COMMENT" + number, kDefaultComment);
    }
    const auto& presets = BuiltInRangeTransforms();
    for (int t = 0; t < kBuiltInRanges; ++t) {
        map.RangeTransforms[static_cast<size_t>(t)] = presets[static_cast<size_t>(t)];
        FillTable(presets[static_cast<size_t>(t)], map.RangeTables[static_cast<size_t>(t)]);
    }
    for (int h = 0; h < kBuiltInRanges; ++h) {
        const std::string suffix = std::string("_E") + kHexDigits[h];
        const RangeTransform& preset = presets[static_cast<size_t>(h)];
        for (const char* key : {"RANGEMIN", "RANGEMAX"})
            readable(kRangesSection, key + suffix, true, false);
        readable(kRangesSection, "RANGEMULTIPLIER" + suffix, false, true);
        readable(kRangesSection, "RANGEOFFSET" + suffix, false, false);
        RangeTransform range;
        range.minimum =
            HexToInt(file.readString(kRangesSection, "RANGEMIN" + suffix, Hex2(preset.minimum)));
        range.maximum =
            HexToInt(file.readString(kRangesSection, "RANGEMAX" + suffix, Hex2(preset.maximum)));
        range.multiplier =
            file.readFloat(kRangesSection, "RANGEMULTIPLIER" + suffix, preset.multiplier);
        range.offset = file.readInt(kRangesSection, "RANGEOFFSET" + suffix, preset.offset);
        const auto r = static_cast<size_t>(16 + h);
        map.RangeTransforms[r] = range;
        auto& table = map.RangeTables[r];
        FillTable(range, table);
        const std::string section = file.readString(kRangesSection, "RANGEMAP" + suffix, "");
        if (section.empty()) continue;
        if (!file.hasSection(section)) {
            found.push_back("RANGEMAP" + suffix + "=" + section + " names no section of the file");
            continue;
        }
        for (int v = 0; v < 128; ++v) {
            auto& entry = table[static_cast<size_t>(v)];
            readable(section, std::to_string(v), false, true);
            entry = file.readFloat(section, std::to_string(v), entry);
        }
    }
    if (problems) *problems = std::move(found);
}

std::optional<int32_t> InputCodeFromHex(std::string_view text) {
    int32_t code = 0;
    int digits = 0;  // after leading zeros
    for (const char c : text) {
        if (c == ' ' || c == '\t') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        const int32_t value = HexDigitValue(c);
        if (digits == 0 && value == 0) continue;
        if (++digits > 6) return std::nullopt;
        code = code * 16 + value;
    }
    return code;
}

void WriteDefinition(const InputMap& map, const std::string& devName, IniFile& file) {
    file.writeString(kConfigSection, "DEVNAME", devName);
    file.writeInt(kConfigSection, "TEMPOVANE_IN_HANDLING", map.ClockInHandling ? 1 : 0);
    file.writeInt(kConfigSection, "TEMPOVANE_IN_LOCK", map.ClockInLock ? 1 : 0);
    for (int n = 0; n < kMapEntries; ++n) {
        const std::string number = std::to_string(n);
        const auto i = static_cast<size_t>(n);
        file.writeString(kCommandsSection, "INPUT" + number, InputCodeText(map.InputCodes[i]));
        file.writeFloat(kCommandsSection, "ACTION" + number, map.Actions[i]);
        file.writeString(kCommandsSection, "COMMENT" + number, map.Comments[i]);
    }
    for (int h = 0; h < kBuiltInRanges; ++h) {
        const std::string suffix = std::string("_E") + kHexDigits[h];
        const RangeTransform& range = map.RangeTransforms[static_cast<size_t>(16 + h)];
        file.writeString(kRangesSection, "RANGEMIN" + suffix, Hex2(range.minimum));
        file.writeString(kRangesSection, "RANGEMAX" + suffix, Hex2(range.maximum));
        file.writeFloat(kRangesSection, "RANGEMULTIPLIER" + suffix, range.multiplier);
        file.writeInt(kRangesSection, "RANGEOFFSET" + suffix, range.offset);
    }
}

std::vector<std::string> ListInputDeviceTypes(const std::string& folder) {
    return ListInputDeviceTypes(std::vector<std::string>{folder});
}

std::vector<std::string> ListInputDeviceTypes(const std::vector<std::string>& folders) {
    return ListDefinitionTypes(folders, kDefaultType);
}

std::string InputDefinitionFile(const std::string& folder, const std::string& type) {
    const std::string found = FindDefinitionFile(folder, type);
    return found.empty() ? folder + type + ".ini" : found;
}

std::vector<std::string> DescribeRangesLines() {
    std::vector<std::string> lines = {" ", "Automatically generated Stats : ", " ",
                                      "Built-in Default Range Transform List :", " "};
    const auto& presets = BuiltInRangeTransforms();
    for (int t = 0; t < kBuiltInRanges; ++t) {
        const RangeTransform& range = presets[static_cast<size_t>(t)];
        lines.push_back("      Preset 0x" + Hex2(0xF0 + t) + ": From 0x" + Hex2(range.minimum) +
                        " to 0x" + Hex2(range.maximum) +
                        " --> multiplier = " + FormatGeneral(range.multiplier) +
                        " and offset = " + std::to_string(range.offset));
    }
    return lines;
}
