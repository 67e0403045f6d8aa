#include "app/settings_file.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>
#include <variant>

#include "app/main_model.h"
#include "app/sync_control.h"
#include "midiout/midi_out_port.h"
#include "midiout/pulse_output.h"
#include "platform/ini_file.h"
#include "platform/midi_system.h"
#include "state/app_settings.h"
#include "state/list_model.h"
#include "state/status_color.h"

namespace {

// How a key's value is written: booleans as 1/0; "flags" are integers used as booleans, read
// as any integer and written back as 0 or 1.
enum class KeyKind { Int, Bool, Flag, Float };

using Field = std::variant<std::atomic<int32_t> AppSettings::*, std::atomic<bool> AppSettings::*,
                           std::atomic<double> AppSettings::*>;

constexpr double kAny = std::numeric_limits<double>::max();
constexpr double kIntLow = std::numeric_limits<int32_t>::min();
constexpr double kIntHigh = std::numeric_limits<int32_t>::max();

// low and high: the values the program can use. A number outside them, like one that cannot be
// read, leaves the value held now, so a file can neither hang the window (a track bar over the
// whole int range) nor be saved back wrong; integers beyond int32 are unreadable already.
struct SettingKey {
    const char* section;
    const char* name;
    KeyKind kind;
    Field field;
    double low = -kAny;
    double high = kAny;
};

using S = AppSettings;
constexpr double kHighestMaximum = 2500;
constexpr double kLowestMaximum = 0.001;
constexpr const char* kApp = SettingsFile::kApplicationSection;
constexpr const char* kPresets = SettingsFile::kPresetSection;
constexpr const char* kLink = SettingsFile::kLinkSection;

// Window geometry and tempo keys, in file order.
const SettingKey kWindowAndTempoKeys[] = {
    {kApp, "MAINSCREENPOSITIONTOP", KeyKind::Int, &S::MAINSCREENPOSITIONTOP},
    {kApp, "MAINSCREENPOSITIONLEFT", KeyKind::Int, &S::MAINSCREENPOSITIONLEFT},
    {kApp, "MAINSCREENPOSITIONWIDTH", KeyKind::Int, &S::MAINSCREENPOSITIONWIDTH},
    {kApp, "MAINSCREENPOSITIONHEIGHT", KeyKind::Int, &S::MAINSCREENPOSITIONHEIGHT},
    // Any tempo: start-up takes the nearest limit.
    {kApp, "DEFAULTSPEED", KeyKind::Float, &S::DEFAULTSPEED},
    {kApp, "BPMROUNDING", KeyKind::Float, &S::BPMROUNDING, 0, kHighestMaximum},
    // A minimum above the maximum is taken as the two swapped, so no ceiling here.
    {kApp, "BPMMINIMUM", KeyKind::Float, &S::BPMMINIMUM, 0, kAny},
    {kApp, "BPMMAXIMUM", KeyKind::Float, &S::BPMMAXIMUM, kLowestMaximum, kAny},
};

// The option keys and presets, in the order they are read and written.
const SettingKey kOptionKeys[] = {
    {kApp, "SHOWFLASHING", KeyKind::Bool, &S::SHOWFLASHING},
    {kApp, "FULLFLASHING", KeyKind::Bool, &S::FULLFLASHING},
    // Only compared with the tick count: every int is safe, a negative one never lights.
    {kApp, "FLASHINGDURATION", KeyKind::Int, &S::FLASHINGDURATION, kIntLow, kIntHigh},
    // 0 is "no flashing".
    {kApp, "FLASHINGPERIOD", KeyKind::Int, &S::FLASHINGPERIOD, 0, kIntHigh},
    {kApp, "IGNOREMOUSEWHEEL", KeyKind::Flag, &S::IGNOREMOUSEWHEEL},
    {kApp, "IGNOREKEYBOARDTAP", KeyKind::Flag, &S::IGNOREKEYBOARDTAP},
    {kApp, "DONTASKSAVESETTINGS", KeyKind::Bool, &S::DONTASKSAVESETTINGS},
    {kApp, "CLOSEMINIMIZESWHENRUNNING", KeyKind::Bool, &S::CLOSEMINIMIZESWHENRUNNING},
    {kApp, "MINIMIZEONSTARTUP", KeyKind::Bool, &S::MINIMIZEONSTARTUP},
    {kApp, "ALWAYSONTOP", KeyKind::Bool, &S::ALWAYSONTOP},
    {kApp, "AUTOSTARTONTAP", KeyKind::Bool, &S::AUTOSTARTONTAP},
    {kApp, "STARTONLIVETAP", KeyKind::Bool, &S::STARTONLIVETAP},
    {kApp, "TAPTEMPOTIMEOUT", KeyKind::Int, &S::TAPTEMPOTIMEOUT, 1, kIntHigh},
    // A sequence counts from step 5 - count up to 4: only 2 to 4 taps make one.
    {kApp, "TAPTEMPOCOUNT", KeyKind::Int, &S::TAPTEMPOCOUNT, 2, 4},
    {kPresets, "F5BPM", KeyKind::Float, &S::F5BPM, 0, kHighestMaximum},
    {kPresets, "F6BPM", KeyKind::Float, &S::F6BPM, 0, kHighestMaximum},
    {kPresets, "F7BPM", KeyKind::Float, &S::F7BPM, 0, kHighestMaximum},
    {kPresets, "F8BPM", KeyKind::Float, &S::F8BPM, 0, kHighestMaximum},
    {kLink, "ENABLED", KeyKind::Bool, &S::LINKENABLED},
    {kLink, "STARTSTOPSYNC", KeyKind::Bool, &S::LINKSTARTSTOPSYNC},
    // Beats in a bar; the session counts in millionths of a beat.
    {kLink, "QUANTUM", KeyKind::Float, &S::LINKQUANTUM, 1, 1000},
};

void ReadKey(const IniFile& file, const SettingKey& key, AppSettings& settings) {
    std::visit(
        [&](auto member) {
            auto& field = settings.*member;
            using T = typename std::remove_reference_t<decltype(field)>::value_type;
            if constexpr (std::is_same_v<T, bool>) {
                field = file.readBool(key.section, key.name, field.load());
            } else {
                // The default is out of range on purpose: it tells an unreadable value apart.
                const double read =
                    std::is_same_v<T, double>
                        ? file.readFloat(key.section, key.name, std::nan(""))
                        : static_cast<double>(file.readInt(key.section, key.name, field.load()));
                if (std::isfinite(read) && read >= key.low && read <= key.high)
                    field = static_cast<T>(read);
            }
        },
        key.field);
}

void WriteKey(IniFile& file, const SettingKey& key, const AppSettings& settings) {
    std::visit(
        [&](auto member) {
            const auto value = (settings.*member).load();
            using T = std::remove_cv_t<decltype(value)>;
            if constexpr (std::is_same_v<T, bool>)
                file.writeBool(key.section, key.name, value);
            else if constexpr (std::is_same_v<T, double>)
                file.writeFloat(key.section, key.name, value);
            else if (key.kind == KeyKind::Flag)
                file.writeInt(key.section, key.name, value != 0 ? 1 : 0);
            else
                file.writeInt(key.section, key.name, value);
        },
        key.field);
}

}  // namespace

namespace SettingsFile {

std::string Location(const std::string& programFolder, const std::string& firstArgument) {
    if (!firstArgument.empty()) return firstArgument;
    std::string folder = programFolder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + kFileName;
}

void ReadWindowAndTempo(const IniFile& file, AppSettings& settings) {
    for (const SettingKey& key : kWindowAndTempoKeys) ReadKey(file, key, settings);
    if (settings.BPMMAXIMUM > kHighestMaximum) settings.BPMMAXIMUM = kHighestMaximum;
    if (settings.BPMMINIMUM > settings.BPMMAXIMUM) {
        const double minimum = settings.BPMMINIMUM;
        settings.BPMMINIMUM = settings.BPMMAXIMUM.load();
        settings.BPMMAXIMUM = std::min(minimum, kHighestMaximum);
    }
}

const char* TransportModeWord(int32_t mode) {
    switch (mode) {
        case AppSettings::kTransportFollow:
            return "follow";
        case AppSettings::kTransportMaster:
            return "master";
        default:
            return "off";
    }
}

int32_t TransportModeOf(const std::string& word) {
    std::string lower;
    for (char c : word) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int32_t mode :
         {AppSettings::kTransportOff, AppSettings::kTransportFollow, AppSettings::kTransportMaster})
        if (lower == TransportModeWord(mode)) return mode;
    return -1;
}

void ReadOptions(const IniFile& file, AppSettings& settings) {
    for (const SettingKey& key : kOptionKeys) ReadKey(file, key, settings);
    // Like Link's keys, only the settings file itself: never a side effect of a patch. A word
    // that is none of the three leaves the mode held now.
    const int32_t mode = TransportModeOf(file.readString(
        kJackTransportSection, "MODE", TransportModeWord(settings.JACKTRANSPORTMODE.load())));
    if (mode >= 0) settings.JACKTRANSPORTMODE = mode;
}

bool GetPatchINI(const std::string& path, AppSettings& settings, Problem* problem,
                 bool settingsFile) {
    IniFile file;
    std::string reason;
    int errorNumber = 0;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        // A missing patch would read as an empty one; say that it is gone instead.
        reason = std::generic_category().message(ENOENT);
        errorNumber = ENOENT;
    } else if (file.load(path, &reason, &errorNumber,
                         settingsFile ? IniFile::kSettingsLimit : IniFile::kDefinitionLimit)) {
        // Not the session's keys: joining or leaving the network session is the Link box's,
        // Ctrl+L's and start-up's, never a side effect of choosing a patch or of an edit of the
        // watched file.
        for (const SettingKey& key : kOptionKeys)
            if (key.section != kLink) ReadKey(file, key, settings);
        return true;
    }
    if (problem) *problem = PatchProblem(path, errorNumber, reason);
    return false;
}

bool ImportPatch(const std::string& path, KorvidMainModel& model, bool settingsFile) {
    Problem problem;
    if (!GetPatchINI(path, model.settings, &problem, settingsFile)) {
        model.PostStatus(problem.text, StatusColors::red, problem.detail);
        return false;
    }
    return true;
}

std::string LoadPorts(const IniFile& file, KorvidMainModel& model) {
    MidiOutPort* ports[] = {model.OutPort1(), model.OutPort2()};
    bool known = true;
    for (MidiOutPort* port : ports) {
        const std::string key = port->SavedPortKey(file);
        known = known && (key.empty() || key == port->StoredSavedPortKey());
    }
    std::string missing;
    if (known) {
        for (MidiOutPort* port : ports) port->LoadPortSettings(file, false);
        return missing;
    }
    model.StopTransport(true);
    for (MidiOutPort* port : ports) {
        const std::string name = port->LoadPortSettings(file, true);
        if (name.empty()) continue;
        if (!missing.empty()) missing += '\n';
        missing += name;
    }
    return missing;
}

std::string StartUp(const IniFile& file, KorvidMainModel& model, bool firstStart) {
    ReadWindowAndTempo(file, model.settings);
    // The tempo comes first: a port that opens tells its device the tempo it holds, and it must
    // be the one the clock will run at. A DEFAULTSPEED outside the limits (hand-edited, or saved
    // after a round to tick above the maximum) takes the normal path at the nearest limit, so
    // label, track bar, clock and devices agree.
    model.SetBPM(model.tempo().WithinLimits(model.settings.DEFAULTSPEED));
    const int32_t milliBpm = model.state.TempoMilliBPM.load();
    if (milliBpm > 0) model.Timer().SetTempo(static_cast<uint32_t>(milliBpm));

    const std::string missing = LoadPorts(file, model);
    if (firstStart) {
        // A new user gets our own virtual port on port 1, so F1 works at once and any program
        // can connect to the clock.
        const std::string virtualPort = model.Midi().firstVirtualOutput();
        if (!virtualPort.empty()) SelectByName(model.out1Controls.port, virtualPort);
    }
    // Open what the port boxes show, as if the user had just chosen it: once, now that tempo,
    // type and divider are all in place.
    model.OutPort1()->OpenSelectedPort();
    model.OutPort2()->OpenSelectedPort();
    ReadPulseOutputs(file, model);
    ReadOptions(file, model.settings);
    model.Sync().ApplySettings();
    return missing;
}

void WriteWindowAndTempo(IniFile& file, const AppSettings& settings, double defaultSpeed) {
    for (const SettingKey& key : kWindowAndTempoKeys) {
        if (std::string_view(key.name) == "DEFAULTSPEED")
            file.writeFloat(key.section, key.name, defaultSpeed);
        else
            WriteKey(file, key, settings);
    }
    file.writeString(kJackTransportSection, "MODE",
                     TransportModeWord(settings.JACKTRANSPORTMODE.load()));
}

void WritePorts(IniFile& file, KorvidMainModel& model) {
    const std::pair<MidiOutPort*, KorvidMainModel::OutPortControls*> ports[] = {
        {model.OutPort1(), &model.out1Controls}, {model.OutPort2(), &model.out2Controls}};
    for (const auto& [port, controls] : ports) {
        const std::string& section = port->Name();
        const auto missing = port->MissingSavedPort();
        if (missing && port->ShowsNone()) {
            file.writeInt(section, "MIDIPORTINDEX", missing->index);
            file.writeString(section, "MIDIPORTNAME", missing->name);
        } else {
            file.writeInt(section, "MIDIPORTINDEX", controls->port.index());
            file.writeString(section, "MIDIPORTNAME", controls->port.text());
        }
        file.writeString(section, "DEVICETYPE", controls->deviceType.text());
        file.writeInt(section, "CLOCKDIVIDER", port->Divider());
    }
    WritePulseOutputs(file, model);
}

void ReadPulseOutputs(const IniFile& file, KorvidMainModel& model) {
    PulseOutputs* pulses = model.Pulses();
    if (!pulses) return;
    for (int number = 1; number <= PulseOutputs::kOutputs; ++number) {
        const std::string section = kPulseSectionPrefix + std::to_string(number);
        PulseOutputSettings settings = pulses->Settings(number);
        // NaN as the default tells a missing or unreadable number apart; it and a number out of
        // range leave the setting as it is.
        const auto readNumber = [&](const char* key, double low, double high, double& field) {
            const double read = file.readFloat(section, key, std::nan(""));
            if (std::isfinite(read) && read >= low && read <= high) field = read;
        };
        settings.enabled = file.readBool(section, "ENABLED", settings.enabled);
        const int32_t ppq = file.readInt(section, "PPQ", settings.ppq);
        if (IsPulsesPerQuarterChoice(ppq)) settings.ppq = ppq;
        readNumber("WIDTH", kMinPulseWidthMs, kMaxPulseWidthMs, settings.widthMs);
        readNumber("LEVEL", 0.0, 1.0, settings.level);
        readNumber("SHIFT", kMinPulseShiftMs, kMaxPulseShiftMs, settings.shiftMs);
        const int32_t polarity = file.readInt(section, "POLARITY", settings.inverted ? -1 : 1);
        if (polarity == 1 || polarity == -1) settings.inverted = polarity < 0;
        if (number == 2) settings.run = file.readBool(section, "RUN", settings.run);
        model.ApplyPulseOutput(number, settings);
    }
}

void WritePulseOutputs(IniFile& file, KorvidMainModel& model) {
    PulseOutputs* pulses = model.Pulses();
    if (!pulses) return;
    for (int number = 1; number <= PulseOutputs::kOutputs; ++number) {
        const std::string section = kPulseSectionPrefix + std::to_string(number);
        const PulseOutputSettings settings = pulses->Settings(number);
        file.writeBool(section, "ENABLED", settings.enabled);
        file.writeInt(section, "PPQ", settings.ppq);
        file.writeFloat(section, "WIDTH", settings.widthMs);
        file.writeFloat(section, "LEVEL", settings.level);
        file.writeInt(section, "POLARITY", settings.inverted ? -1 : 1);
        file.writeFloat(section, "SHIFT", settings.shiftMs);
        if (number == 2) file.writeBool(section, "RUN", settings.run);
    }
}

std::string ShortFileReason(int errorNumber, bool writing, const std::string& systemReason) {
    switch (errorNumber) {
        case EACCES:
        case EPERM:
            // A save writes a new file beside the old one and renames it, so it is the folder
            // that refuses.
            return writing ? "folder is read-only" : "no permission to read";
        case EROFS:
            return "disk is read-only";
        case ENOENT:
        case ENOTDIR:
            return "folder is missing";
        case EISDIR:
            return "path is a folder";
        case ENOSPC:
        case EDQUOT:
            return "disk is full";
        case EFBIG:
            return "file too large";
        case EIO:
            return "disk error";
        case ENAMETOOLONG:
            return "path too long";
        case ELOOP:
            return "too many links";
        default:
            break;
    }
    if (systemReason.empty()) return "unknown error";
    std::string reason = systemReason;
    reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    return reason;
}

Problem SaveProblem(const std::string& path, int errorNumber, const std::string& systemReason,
                    bool reading) {
    return {"Settings not saved: " + ShortFileReason(errorNumber, !reading, systemReason),
            "Settings not saved: could not " + std::string(reading ? "read " : "write ") + path +
                ": " + systemReason};
}

Problem PatchProblem(const std::string& path, int errorNumber, const std::string& systemReason) {
    const std::string reason = errorNumber == ENOENT
                                   ? "file is missing"
                                   : ShortFileReason(errorNumber, false, systemReason);
    return {"Patch not read: " + reason,
            "Patch not read: could not read " + path + ": " + systemReason};
}

Problem ReadProblem(const std::string& path, int errorNumber, const std::string& systemReason) {
    return {"Settings not read: " + ShortFileReason(errorNumber, false, systemReason),
            "Settings not read: could not read " + path + ": " + systemReason};
}

void WriteOptions(IniFile& file, const AppSettings& settings) {
    for (const SettingKey& key : kOptionKeys) {
        // The underscore-less section is an old spelling nothing reads any more.
        if (key.section == kPresets && std::string_view(key.name) == "F5BPM")
            file.eraseSection("BPMPRESETS");
        WriteKey(file, key, settings);
    }
    file.writeString(kJackTransportSection, "MODE",
                     TransportModeWord(settings.JACKTRANSPORTMODE.load()));
}

}  // namespace SettingsFile
