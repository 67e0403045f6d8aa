#include "midiout/device_definition.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/ini_file.h"
#include "platform/midi_bytes.h"
#include "platform/number_text.h"
#include "state/definition_files.h"
#include "state/hexroutines.h"
#include "state/list_model.h"

namespace {
constexpr const char* kSection = "DEVICECONFIGURATION";
constexpr const char* kTracksSection = "TRACKS";
}  // namespace

SysExProblem CheckSysEx(const uint8_t* bytes, int32_t count) {
    if (count < 1 || bytes[0] != midi::kSystemExclusive) return SysExProblem::NoStart;
    if (count < 2 || bytes[count - 1] != midi::kEndOfExclusive) return SysExProblem::NoEnd;
    for (int32_t i = 1; i < count - 1; ++i)
        if (midi::IsStatus(bytes[i])) return SysExProblem::StatusInside;
    return SysExProblem::None;
}

int32_t SysExFromHexText(const std::string& text, uint8_t* buffer, std::string* problem) {
    const HexReading reading = HexToBytesStrict(text, buffer, kMaxSysExBytes);
    const char* why = nullptr;
    if (reading.problem == HexProblem::NotHex)
        why = "is not hex text";
    else if (reading.problem == HexProblem::TooLong)
        why = "is longer than 500 bytes";
    else if (reading.count == 0)
        return 0;
    else {
        switch (CheckSysEx(buffer, reading.count)) {
            case SysExProblem::None:
                return reading.count;
            case SysExProblem::NoStart:
                why = "does not begin with F0";
                break;
            case SysExProblem::NoEnd:
                why = "does not end with F7";
                break;
            case SysExProblem::StatusInside:
                why = "has a status byte inside";
                break;
        }
    }
    if (problem) *problem = why;
    return 0;
}

namespace {

// A init or release string that would not go out whole is emptied and reported.
void CheckSysExKey(const char* key, std::string& text, std::vector<std::string>& problems) {
    uint8_t bytes[kMaxSysExBytes];
    std::string why;
    if (SysExFromHexText(text, bytes, &why) == 0 && !why.empty()) {
        problems.push_back(std::string(key) + " " + why);
        text.clear();
    }
}

// The tempo message is the two strings around two data bytes; which of the two keys is wrong
// is told where it can be, else the first.
void CheckTempoKeys(OutputDeviceDefinition& d, std::vector<std::string>& problems) {
    const char* first = "device_sysextemposet1_string";
    const char* second = "device_sysextemposet2_string";
    uint8_t bytes[kMaxSysExBytes];
    if (d.tempoString1.empty() && d.tempoString2.empty()) {
        d.tempoSysExValid = false;  // no tempo by System Exclusive wanted
        return;
    }
    for (const auto& [key, text] : {std::pair{first, &d.tempoString1}, {second, &d.tempoString2}}) {
        if (HexToBytesStrict(*text, bytes, kMaxSysExBytes).problem == HexProblem::NotHex) {
            problems.push_back(std::string(key) + " is not hex text");
            d.tempoSysExValid = false;
            return;
        }
    }
    std::string why;
    // A tempo whose two bytes are data bytes tells whether the strings around them fit; a
    // value offset that pushes a tempo out of two data bytes only stops that one message.
    OutputDeviceDefinition sample = d;
    sample.sysexValueOffset = 0;
    if (SysExFromHexText(TempoSysExText(sample, 100), bytes, &why) != 0) return;
    d.tempoSysExValid = false;
    const HexReading head = HexToBytesStrict(d.tempoString1, bytes, kMaxSysExBytes);
    bool headHasStatus = false;
    for (int32_t i = 1; i < head.count; ++i)
        headHasStatus = headHasStatus || midi::IsStatus(bytes[i]);
    const bool blameSecond =
        why == "does not end with F7" || (why == "has a status byte inside" && !headHasStatus) ||
        (why == "is longer than 500 bytes" && d.tempoString2.size() > d.tempoString1.size());
    problems.push_back(std::string(blameSecond ? second : first) + " " + why);
}

}  // namespace

std::string TempoSysExText(const OutputDeviceDefinition& definition, double portTempo) {
    const int32_t v = RoundToInt(portTempo) - definition.sysexValueOffset;
    char halves[24];
    // Upper-case hex with at least two digits each; a negative value shows all eight, which
    // the check before sending then refuses.
    std::snprintf(halves, sizeof halves, "%02X%02X", static_cast<uint32_t>(v % 128),
                  static_cast<uint32_t>(v / 128));
    return definition.tempoString1 + halves + definition.tempoString2;
}

OutputDeviceDefinition ReadOutputDeviceDefinition(const std::string& path) {
    IniFile file;
    std::string reason;
    // A missing file is the built-in type's; one that cannot be read leaves the document empty
    // too, which is said.
    if (!file.load(path, &reason)) {
        OutputDeviceDefinition d = ReadOutputDeviceDefinition(file);
        d.problems.insert(d.problems.begin(), "could not be read: " + reason + "; clock only");
        return d;
    }
    return ReadOutputDeviceDefinition(file);
}

OutputDeviceDefinition ReadOutputDeviceDefinition(const IniFile& file) {
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
    const int32_t ctrlChannel = intKey("DEVICE_CTRLOUT_MIDICHANNEL", 0);
    const int32_t ctrlNumber = intKey("DEVICE_CTRLOUT_MIDICTRL", 0);
    d.msMultiplier = floatKey("DEVICE_CTRLOUT_MS_MULTIPLIER", 0.0);
    d.initString = textKey("DEVICE_SYSEXINIT_STRING");
    d.releaseString = textKey("DEVICE_SYSEXRELEASE_STRING");
    d.tempoString1 = textKey("DEVICE_SYSEXTEMPOSET1_STRING");
    d.tempoString2 = textKey("DEVICE_SYSEXTEMPOSET2_STRING");
    d.sysexValueOffset = intKey("DEVICE_SYSEX_VALOFFSET", 0);
    d.description = textKey("DEVICE_DESCRIPTION");
    const int32_t tracksProgram = intKey("DEVICE_TRACKS_PROGRAMCHANGE", 0);
    const int32_t tracksChannel = intKey("DEVICE_TRACKS_CHANNEL", 9);
    d.tracksEnable = boolKey("DEVICE_TRACKS_ENABLE", false);
    double outputDelayMs = floatKey("DEVICE_OUTPUT_DELAY_MS", 0.0);
    if (!std::isfinite(outputDelayMs)) outputDelayMs = 0.0;

    // Only what would be sent is checked: a wrong value under a switched-off feature harms no
    // device. A channel or number out of range would put a status byte, or another channel's
    // message, where the device expects this one; such a message is not sent at all.
    auto inRange = [&](const char* key, int32_t value, int32_t top, const char* what) {
        if (value >= 0 && value <= top) return true;
        d.problems.push_back(std::string(key) + " is not " + what);
        return false;
    };
    if (d.sysexEnable) {
        CheckSysExKey("device_sysexinit_string", d.initString, d.problems);
        CheckSysExKey("device_sysexrelease_string", d.releaseString, d.problems);
        CheckTempoKeys(d, d.problems);
    }
    if (d.ctrlOutEnable) {
        const bool channelOk =
            inRange("device_ctrlout_midichannel", ctrlChannel, 15, "a channel 0-15");
        const bool numberOk =
            inRange("device_ctrlout_midictrl", ctrlNumber, 127, "a controller 0-127");
        d.ctrlOutEnable = channelOk && numberOk;
    }
    d.ctrlChannel = static_cast<uint8_t>(ctrlChannel);
    d.ctrlNumber = static_cast<uint8_t>(ctrlNumber);
    if (d.tracksEnable) {
        const bool channelOk =
            inRange("device_tracks_channel", tracksChannel, 15, "a channel 0-15");
        const bool programOk =
            inRange("device_tracks_programchange", tracksProgram, 127, "a program 0-127");
        d.tracksEnable = channelOk && programOk;
    }
    d.tracksProgram = static_cast<uint8_t>(tracksProgram);
    d.tracksChannel = static_cast<uint8_t>(tracksChannel);

    // A delay past the limits is held at the nearer one, and said so: the device is still
    // moved the way its author meant, as far as the port allows.
    d.outputDelayMs = std::clamp(outputDelayMs, kMinOutputDelayMs, kMaxOutputDelayMs);
    if (d.outputDelayMs != outputDelayMs) {
        d.problems.push_back("device_output_delay_ms is outside -20 to 50 ms; " +
                             FormatGeneral(d.outputDelayMs) + " is used");
    }

    // A multiplier of exactly 0 means "not given".
    if (d.bpmMultiplier == 0.0) d.bpmMultiplier = 1.0;
    if (d.msMultiplier == 0.0) d.msMultiplier = 0.1;

    if (!file.hasSection(kSection)) {
        d.clockOutputEnable = true;
        d.description = kBuiltInDeviceType;
        // A file of something else (a picture, a program, a text of other keys) acts as the
        // built-in type, and is named for what it is.
        if (!file.text().empty()) {
            d.problems.push_back(file.looksBinary()
                                     ? "is not a device definition (binary content); clock only"
                                     : "is not a device definition (no [DEVICECONFIGURATION] "
                                       "section); clock only");
        }
    }
    // Every line is a track, in file order, whatever its key: two tracks may well share a
    // label ("HH" twice), and keys differing only in case are two tracks too.
    for (const auto& [key, value] : file.sectionLines(kTracksSection))
        d.trackLines.push_back(key + "=" + value);
    return d;
}

std::string DefinitionFilePath(const std::string& folder, const std::string& type) {
    const std::string found = FindDefinitionFile(folder, type);
    return found.empty() ? folder + type + ".ini" : found;
}

std::string DefinitionFilePath(const std::vector<std::string>& folders, const std::string& type) {
    for (const std::string& folder : folders) {
        if (folder.empty()) continue;
        const std::string found = FindDefinitionFile(folder, type);
        if (!found.empty()) return found;
    }
    return (folders.empty() ? std::string() : folders.front()) + type + ".ini";
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
    floatKey("device_output_delay_ms", d.outputDelayMs);
    for (const std::string& line : d.trackLines) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            file.writeString(kTracksSection, line.substr(0, equals), line.substr(equals + 1));
    }
    return file.save(path, error);
}

bool CopyOutputDeviceDefinitionFile(const std::string& from, const std::string& to,
                                    std::string* error) {
    namespace fs = std::filesystem;
    auto fail = [error](const std::string& reason) {
        if (error) *error = reason;
        return false;
    };
    std::ifstream in(from, std::ios::binary);
    if (!in) return fail(from + ": " + std::strerror(errno));
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    if (in.bad()) return fail(from + ": could not be read");
    std::error_code ec;
    const fs::path folder = fs::path(to).parent_path();
    if (!folder.empty()) fs::create_directories(folder, ec);
    if (ec) return fail(folder.string() + ": " + ec.message());
    // Written beside the target and linked into place: the copy appears whole or not at all,
    // and link() refuses a name that exists, so a file of the user's is never replaced.
    std::string temporary = (folder.empty() ? std::string(".") : folder.string()) + "/.copy-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return fail(folder.string() + ": " + std::strerror(errno));
    int failure = 0;
    for (size_t done = 0; failure == 0 && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) failure = errno;
        if (n > 0) done += static_cast<size_t>(n);
    }
    // The user edits the copy: readable like the shipped file, and writable by its owner.
    if (failure == 0 && ::fchmod(fd, 0644) != 0) failure = errno;
    if (failure == 0 && ::fsync(fd) != 0) failure = errno;
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && ::link(temporary.c_str(), to.c_str()) != 0) failure = errno;
    ::unlink(temporary.c_str());
    if (failure == EEXIST) return fail(to + ": the file exists already");
    if (failure != 0) return fail(to + ": " + std::strerror(failure));
    return true;
}

std::vector<std::string> ListOutputDeviceTypes(const std::string& folder) {
    return ListOutputDeviceTypes(std::vector<std::string>{folder});
}

std::vector<std::string> ListOutputDeviceTypes(const std::vector<std::string>& folders) {
    return ListDefinitionTypes(folders, kBuiltInDeviceType);
}
