#include "midiout/device_definition.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "state/list_model.h"
#include "platform/ini_file.h"

namespace {
constexpr const char* kSection = "DEVICECONFIGURATION";
constexpr const char* kTracksSection = "TRACKS";

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}
}  // namespace

OutputDeviceDefinition ReadOutputDeviceDefinition(const std::string& path) {
    IniFile file;
    file.load(path);  // a missing or unreadable file leaves the document empty

    OutputDeviceDefinition d;
    auto boolKey = [&](const char* key, bool def) { return file.readBool(kSection, key, def); };
    auto intKey = [&](const char* key, int32_t def) { return file.readInt(kSection, key, def); };
    auto floatKey = [&](const char* key, double def) { return file.readFloat(kSection, key, def); };
    auto textKey = [&](const char* key) { return file.readString(kSection, key, ""); };

    d.clockOutputEnable = boolKey("DEVICE_CLOCKOUTPUT_ENABLE", false);
    d.noStartAtStart = boolKey("DEVICE_CLOCKOUTPUT_NOSTARTATSTART", false);
    d.noStopAtEnd = boolKey("DEVICE_CLOCKOUTPUT_NOSTOPATEND", false);
    d.startBeforeEvery1 = boolKey("DEVICE_CLOCKOUTPUT_STARTBEFOREEVERY1", false);
    d.startAfterEvery1 = boolKey("DEVICE_CLOCKOUTPUT_STARTAFTEREVERY1", false);
    d.sysexEnable = boolKey("DEVICE_SYSEX_ENABLE", false);
    d.ctrlOutEnable = boolKey("DEVICE_CTRLOUT_ENABLE", false);
    d.convertBpmToMs = boolKey("DEVICE_CTRLOUT_CONVERT_BPM_TO_MS", false);
    d.floorOutputByte = boolKey("DEVICE_CTRLOUT_FLOOR_OUTPUT_BYTE", false);
    d.bpmOffset = floatKey("DEVICE_CTRLOUT_BPM_OFFSET_VALUE", 0.0);
    d.bpmMultiplier = floatKey("DEVICE_CTRLOUT_BPM_MULTIPLIER", 0.0);
    d.ctrlChannel = static_cast<uint8_t>(intKey("DEVICE_CTRLOUT_MIDICHANNEL", 0));
    d.ctrlNumber = static_cast<uint8_t>(intKey("DEVICE_CTRLOUT_MIDICTRL", 0));
    d.msMultiplier = floatKey("DEVICE_CTRLOUT_MS_MULTIPLIER", 0.0);
    d.initString = textKey("DEVICE_SYSEXINIT_STRING");
    d.releaseString = textKey("DEVICE_SYSEXRELEASE_STRING");
    d.tempoString1 = textKey("DEVICE_SYSEXTEMPOSET1_STRING");
    d.tempoString2 = textKey("DEVICE_SYSEXTEMPOSET2_STRING");
    d.sysexValueOffset = intKey("DEVICE_SYSEX_VALOFFSET", 0);
    d.description = textKey("DEVICE_DESCRIPTION");
    d.tracksProgram = static_cast<uint8_t>(intKey("DEVICE_TRACKS_PROGRAMCHANGE", 0));
    d.tracksChannel = static_cast<uint8_t>(intKey("DEVICE_TRACKS_CHANNEL", 9));
    d.tracksEnable = boolKey("DEVICE_TRACKS_ENABLE", false);

    // A multiplier of exactly 0 means "not given".
    if (d.bpmMultiplier == 0.0) d.bpmMultiplier = 1.0;
    if (d.msMultiplier == 0.0) d.msMultiplier = 0.1;

    if (!file.hasSection(kSection)) {
        d.clockOutputEnable = true;
        d.description = kBuiltInDeviceType;
    }
    for (const auto& [key, value] : file.sectionEntries(kTracksSection))
        d.trackLines.push_back(key + "=" + value);
    return d;
}

OutputDeviceDefinition BuiltInOutputDeviceDefinition() {
    OutputDeviceDefinition d;
    d.clockOutputEnable = true;
    d.description = kBuiltInDeviceType;
    return d;
}

bool CreateOutputDeviceDefinitionFile(const std::string& path, const OutputDeviceDefinition& d,
                                      std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::exists(path, ec)) {
        if (error) *error = "the file exists already";
        return false;
    }
    const fs::path folder = fs::path(path).parent_path();
    if (!folder.empty()) fs::create_directories(folder, ec);
    if (ec) {
        if (error) *error = ec.message();
        return false;
    }
    IniFile file;
    // Written in the order and spelling of the shipped files.
    auto boolKey = [&](const char* key, bool value) { file.writeBool(kSection, key, value); };
    auto intKey = [&](const char* key, int32_t value) { file.writeInt(kSection, key, value); };
    auto floatKey = [&](const char* key, double value) { file.writeFloat(kSection, key, value); };
    auto textKey = [&](const char* key, const std::string& value) {
        file.writeString(kSection, key, value);
    };
    textKey("device_description", d.description);
    boolKey("device_clockoutput_enable", d.clockOutputEnable);
    boolKey("device_clockoutput_nostartatstart", d.noStartAtStart);
    boolKey("device_clockoutput_nostopatend", d.noStopAtEnd);
    boolKey("device_clockoutput_startbeforeevery1", d.startBeforeEvery1);
    boolKey("device_clockoutput_startafterevery1", d.startAfterEvery1);
    boolKey("device_sysex_enable", d.sysexEnable);
    textKey("device_sysexinit_string", d.initString);
    textKey("device_sysexrelease_string", d.releaseString);
    textKey("device_sysextemposet1_string", d.tempoString1);
    textKey("device_sysextemposet2_string", d.tempoString2);
    intKey("device_sysex_valoffset", d.sysexValueOffset);
    boolKey("device_ctrlout_enable", d.ctrlOutEnable);
    intKey("device_ctrlout_midichannel", d.ctrlChannel);
    intKey("device_ctrlout_midictrl", d.ctrlNumber);
    floatKey("device_ctrlout_bpm_multiplier", d.bpmMultiplier);
    floatKey("device_ctrlout_bpm_offset_value", d.bpmOffset);
    boolKey("device_ctrlout_convert_bpm_to_ms", d.convertBpmToMs);
    floatKey("device_ctrlout_ms_multiplier", d.msMultiplier);
    boolKey("device_ctrlout_floor_output_byte", d.floorOutputByte);
    boolKey("device_tracks_enable", d.tracksEnable);
    intKey("device_tracks_channel", d.tracksChannel);
    intKey("device_tracks_programchange", d.tracksProgram);
    for (const std::string& line : d.trackLines) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            file.writeString(kTracksSection, line.substr(0, equals), line.substr(equals + 1));
    }
    return file.save(path, error);
}

std::vector<std::string> ListOutputDeviceTypes(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<std::string> types;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        if (Lower(path.extension().string()) != ".ini") continue;
        std::error_code typeError;
        if (it->is_directory(typeError)) continue;
        types.push_back(path.stem().string());
    }
    std::sort(types.begin(), types.end(),
              [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); });
    const bool hasBuiltIn = std::any_of(types.begin(), types.end(), [](const std::string& t) {
        return SameTextIgnoringCase(t, kBuiltInDeviceType);
    });
    if (!hasBuiltIn) types.push_back(kBuiltInDeviceType);
    return types;
}
