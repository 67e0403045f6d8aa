#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class IniFile;

// A range transform: a data byte from minimum to maximum stands for byte x multiplier + offset.
// Records 0..15 are the built-in presets (written F0..FF in input codes), 16..31 the custom
// ones of a definition (E0..EF).
struct RangeTransform {
    int32_t minimum = 0;
    int32_t maximum = 0x7F;
    double multiplier = 1;
    int32_t offset = 0;
};

inline constexpr int kMapEntries = 32;
inline constexpr int kRangeRecords = 32;
inline constexpr int kBuiltInRanges = 16;

// The sixteen built-in presets F0..FF.
const std::array<RangeTransform, kBuiltInRanges>& BuiltInRangeTransforms();

// What incoming messages and keys mean: 32 entries of input code, action value and comment,
// clock following, and the range records with their value tables (a range lookup is one read).
struct InputMap {
    InputMap();  // empty entries; custom ranges equal to the built-in ones

    std::array<int32_t, kMapEntries> InputCodes{};
    std::array<double, kMapEntries> Actions{};
    std::array<std::string, kMapEntries> Comments;
    bool ClockInHandling = false;
    // Lock onto the incoming clock's tempo and phase (rather than measuring its tempo every
    // half second); takes the place of ClockInHandling where both are set.
    bool ClockInLock = false;
    std::array<RangeTransform, kRangeRecords> RangeTransforms{};
    std::array<std::array<double, 128>, kRangeRecords> RangeTables{};

    // Table t, entry v = v x multiplier + offset, for every record.
    void ComputeTables();
};

// The range record a byte of an input code refers to: Fn -> n, En -> 16 + n, otherwise -1.
constexpr int RangeReference(uint8_t byte) {
    if (byte >= 0xF0) return byte - 0xF0;
    if (byte >= 0xE0) return 16 + (byte - 0xE0);
    return -1;
}

// Six upper-case hex digits ("B00740").
std::string InputCodeText(int32_t code);

// Fills map from an input definition; missing keys and unreadable values give the defaults,
// so a missing file gives an empty map with the custom ranges equal to the built-in ones. An
// INPUTn that is not up to three bytes of hex leaves its entry off. *problems gets what is
// wrong with the file, each once, in file order: a file that is no input map, values that
// cannot be read, a RANGEMAP naming no section.
void ReadDefinition(const IniFile& file, InputMap& map,
                    std::vector<std::string>* problems = nullptr);
// The input code an INPUTn text gives: hex digits with blanks anywhere, at most six after
// leading zeros; nullopt for any other text. "" is 0, the empty entry.
std::optional<int32_t> InputCodeFromHex(std::string_view text);
// Writes every key of the map (not the value tables); other keys and sections stay.
void WriteDefinition(const InputMap& map, const std::string& devName, IniFile& file);

// The definition names in folder (files *.ini, extension removed), sorted by name with letter
// case ignored, and "Default" at the end unless a file of that name (any case) is there.
std::vector<std::string> ListInputDeviceTypes(const std::string& folder);
// The definitions of several folders together (the user's own, then the shipped ones), each
// name once.
std::vector<std::string> ListInputDeviceTypes(const std::vector<std::string>& folders);

// The file of definition type in folder: <type>.ini when it is there, else a file of that name
// whose extension is .ini in another letter case (the list shows those too), else <type>.ini.
std::string InputDefinitionFile(const std::string& folder, const std::string& type);

// The built-in preset list as lines for the help text.
std::vector<std::string> DescribeRangesLines();
