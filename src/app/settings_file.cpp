#include "app/settings_file.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <utility>
#include <variant>

#include "state/app_settings.h"
#include "app/main_model.h"
#include "app/sync_control.h"
#include "midiout/midi_out_port.h"
#include "platform/ini_file.h"
#include "platform/midi_system.h"
#include "state/list_model.h"

namespace {

// How a key's value is written: booleans as 1/0; "flags" are integers used as booleans, read
// as any integer and written back as 0 or 1.
enum class KeyKind { Int, Bool, Flag, Float };

using Field = std::variant<std::atomic<int32_t> AppSettings::*, std::atomic<bool> AppSettings::*,
                           std::atomic<double> AppSettings::*>;

struct SettingKey {
    const char* section;
    const char* name;
    KeyKind kind;
    Field field;
};

using S = AppSettings;
constexpr const char* kApp = SettingsFile::kApplicationSection;
constexpr const char* kPresets = SettingsFile::kPresetSection;
constexpr const char* kLink = SettingsFile::kLinkSection;

// Window geometry and tempo keys, in file order.
const SettingKey kWindowAndTempoKeys[] = {
    {kApp, "MAINSCREENPOSITIONTOP", KeyKind::Int, &S::MAINSCREENPOSITIONTOP},
    {kApp, "MAINSCREENPOSITIONLEFT", KeyKind::Int, &S::MAINSCREENPOSITIONLEFT},
    {kApp, "MAINSCREENPOSITIONWIDTH", KeyKind::Int, &S::MAINSCREENPOSITIONWIDTH},
    {kApp, "MAINSCREENPOSITIONHEIGHT", KeyKind::Int, &S::MAINSCREENPOSITIONHEIGHT},
    {kApp, "DEFAULTSPEED", KeyKind::Float, &S::DEFAULTSPEED},
    {kApp, "BPMROUNDING", KeyKind::Float, &S::BPMROUNDING},
    {kApp, "BPMMINIMUM", KeyKind::Float, &S::BPMMINIMUM},
    {kApp, "BPMMAXIMUM", KeyKind::Float, &S::BPMMAXIMUM},
};

// The option keys and presets, in the order they are read and written.
const SettingKey kOptionKeys[] = {
    {kApp, "SHOWFLASHING", KeyKind::Bool, &S::SHOWFLASHING},
    {kApp, "FULLFLASHING", KeyKind::Bool, &S::FULLFLASHING},
    {kApp, "FLASHINGDURATION", KeyKind::Int, &S::FLASHINGDURATION},
    {kApp, "FLASHINGPERIOD", KeyKind::Int, &S::FLASHINGPERIOD},
    {kApp, "IGNOREMOUSEWHEEL", KeyKind::Flag, &S::IGNOREMOUSEWHEEL},
    {kApp, "IGNOREKEYBOARDTAP", KeyKind::Flag, &S::IGNOREKEYBOARDTAP},
    {kApp, "DONTASKSAVESETTINGS", KeyKind::Bool, &S::DONTASKSAVESETTINGS},
    {kApp, "CLOSEMINIMIZESWHENRUNNING", KeyKind::Bool, &S::CLOSEMINIMIZESWHENRUNNING},
    {kApp, "MINIMIZEONSTARTUP", KeyKind::Bool, &S::MINIMIZEONSTARTUP},
    {kApp, "ALWAYSONTOP", KeyKind::Bool, &S::ALWAYSONTOP},
    {kApp, "AUTOSTARTONTAP", KeyKind::Bool, &S::AUTOSTARTONTAP},
    {kApp, "STARTONLIVETAP", KeyKind::Bool, &S::STARTONLIVETAP},
    {kApp, "TAPTEMPOTIMEOUT", KeyKind::Int, &S::TAPTEMPOTIMEOUT},
    {kApp, "TAPTEMPOCOUNT", KeyKind::Int, &S::TAPTEMPOCOUNT},
    {kPresets, "F5BPM", KeyKind::Float, &S::F5BPM},
    {kPresets, "F6BPM", KeyKind::Float, &S::F6BPM},
    {kPresets, "F7BPM", KeyKind::Float, &S::F7BPM},
    {kPresets, "F8BPM", KeyKind::Float, &S::F8BPM},
    {kLink, "ENABLED", KeyKind::Bool, &S::LINKENABLED},
    {kLink, "STARTSTOPSYNC", KeyKind::Bool, &S::LINKSTARTSTOPSYNC},
    {kLink, "QUANTUM", KeyKind::Float, &S::LINKQUANTUM},
};

void ReadKey(const IniFile& file, const SettingKey& key, AppSettings& settings) {
    std::visit(
        [&](auto member) {
            auto& field = settings.*member;
            using T = typename std::remove_reference_t<decltype(field)>::value_type;
            if constexpr (std::is_same_v<T, bool>)
                field = file.readBool(key.section, key.name, field.load());
            else if constexpr (std::is_same_v<T, double>)
                field = file.readFloat(key.section, key.name, field.load());
            else
                field = file.readInt(key.section, key.name, field.load());
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

constexpr double kHighestMaximum = 2500;

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

void ReadOptions(const IniFile& file, AppSettings& settings) {
    for (const SettingKey& key : kOptionKeys) ReadKey(file, key, settings);
}

bool GetPatchINI(const std::string& path, AppSettings& settings) {
    IniFile file;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec) || !file.load(path)) return false;
    // Not the session's keys: joining or leaving the network session is the Link box's, Ctrl+L's
    // and start-up's, never a side effect of choosing a patch or of an edit of the watched file.
    for (const SettingKey& key : kOptionKeys)
        if (key.section != kLink) ReadKey(file, key, settings);
    return true;
}

bool ImportPatch(const std::string& path, KorvidMainModel& model) {
    return GetPatchINI(path, model.settings);
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
}

}  // namespace SettingsFile
