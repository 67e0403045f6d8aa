// A settings file of any content is read as at start-up, saved as the window saves it, and read
// again. Every line that is not one of the program's own keys (nor in a section the save
// erases) comes back byte for byte and in its order, nothing foreign is added, the keys read
// back as they were written, and saving once more changes nothing.
//
// Which lines are the program's is told here on its own, by the rules a reader of the file
// follows, not by asking the document.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings_file.h"
#include "fuzz_rig.h"
#include "midiin/midi_in_port.h"
#include "platform/ini_file.h"
#include "platform/number_text.h"

namespace {

struct Line {
    std::string_view text;    // without its line ending
    std::string_view ending;  // "\n", "\r\n", "\r" or "" (the last line)
};

std::vector<Line> SplitLines(std::string_view all) {
    std::vector<Line> lines;
    for (size_t start = 0; start < all.size();) {
        const size_t end = std::min(all.find_first_of("\r\n", start), all.size());
        size_t after = end;
        if (end < all.size())
            after =
                end + (all[end] == '\r' && end + 1 < all.size() && all[end + 1] == '\n' ? 2 : 1);
        lines.push_back({all.substr(start, end - start), all.substr(end, after - end)});
        start = after;
    }
    return lines;
}

char Fold(char c) {
    if (c == '\0') return '\x1A';
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

enum class Kind { Blank, Comment, Header, Key, Other };

struct Reading {
    Kind kind;
    std::string_view name;  // section of a header, key of a key line
};

Reading Read(std::string_view text, bool first) {
    if (first && text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    const std::string_view body = TrimBlanks(text);
    if (body.empty()) return {Kind::Blank, {}};
    if (body[0] == ';' || body[0] == '#') return {Kind::Comment, {}};
    if (body[0] == '[') {
        const size_t close = body.find(']');
        if (close == std::string_view::npos) return {Kind::Other, {}};
        return {Kind::Header, TrimBlanks(body.substr(1, close - 1))};
    }
    const size_t equals = body.find('=');
    if (equals == std::string_view::npos || equals == 0) return {Kind::Other, {}};
    return {Kind::Key, TrimBlanks(body.substr(0, equals))};
}

struct Owned {
    const char* section;
    std::vector<const char*> keys;
};

const std::vector<Owned>& OwnedKeys() {
    static const std::vector<Owned> owned = {
        {"APPLICATION_PRESETS",
         {"MAINSCREENPOSITIONTOP",
          "MAINSCREENPOSITIONLEFT",
          "MAINSCREENPOSITIONWIDTH",
          "MAINSCREENPOSITIONHEIGHT",
          "DEFAULTSPEED",
          "BPMROUNDING",
          "BPMMINIMUM",
          "BPMMAXIMUM",
          "SHOWFLASHING",
          "FULLFLASHING",
          "FLASHINGDURATION",
          "FLASHINGPERIOD",
          "IGNOREMOUSEWHEEL",
          "IGNOREKEYBOARDTAP",
          "DONTASKSAVESETTINGS",
          "CLOSEMINIMIZESWHENRUNNING",
          "MINIMIZEONSTARTUP",
          "ALWAYSONTOP",
          "AUTOSTARTONTAP",
          "STARTONLIVETAP",
          "TAPTEMPOTIMEOUT",
          "TAPTEMPOCOUNT"}},
        {"BPM_PRESETS", {"F5BPM", "F6BPM", "F7BPM", "F8BPM"}},
        {"LINK", {"ENABLED", "STARTSTOPSYNC", "QUANTUM"}},
        {"MIDIOUTPORT1", {"MIDIPORTINDEX", "MIDIPORTNAME", "DEVICETYPE", "CLOCKDIVIDER"}},
        {"MIDIOUTPORT2", {"MIDIPORTINDEX", "MIDIPORTNAME", "DEVICETYPE", "CLOCKDIVIDER"}},
        {"MIDIINPORT1", {"MIDIPORTINDEX", "MIDIPORTNAME", "DEVICETYPE"}},
        {"JACKTRANSPORT", {"MODE"}},
        {"PULSEOUT1", {"ENABLED", "PPQ", "WIDTH", "LEVEL", "POLARITY", "SHIFT"}},
        {"PULSEOUT2", {"ENABLED", "PPQ", "WIDTH", "LEVEL", "POLARITY", "SHIFT", "RUN"}},
    };
    return owned;
}

// Old spellings the save erases whole.
bool Erased(std::string_view section) {
    return SameName(section, "APPLICATIONPRESETS") || SameName(section, "BPMPRESETS");
}

bool OwnedSection(std::string_view section) {
    for (const Owned& o : OwnedKeys())
        if (SameName(section, o.section)) return true;
    return false;
}

bool OwnedKey(std::string_view section, std::string_view key) {
    for (const Owned& o : OwnedKeys()) {
        if (!SameName(section, o.section)) continue;
        for (const char* k : o.keys)
            if (SameName(key, k)) return true;
    }
    return false;
}

// For each line: whether the program may change or drop it (one of its keys, or in a section
// the save erases).
std::vector<bool> Ours(const std::vector<Line>& lines) {
    std::vector<bool> ours(lines.size(), false);
    std::string_view section;
    for (size_t i = 0; i < lines.size(); ++i) {
        const Reading r = Read(lines[i].text, i == 0);
        if (r.kind == Kind::Header) section = r.name;
        ours[i] = Erased(section) || (r.kind == Kind::Key && OwnedKey(section, r.name));
    }
    return ours;
}

// A failed check names its line, then stops as any finding does.
void Check(bool condition, int line) {
    if (condition) return;
    std::fprintf(stderr, "fuzz_settings_roundtrip.cpp:%d: check failed\n", line);
    __builtin_trap();
}
#define CHECK(condition) Check((condition), __LINE__)

// Everything a save writes, as the window writes it.
void Save(IniFile& file, KorvidMainModel& m) {
    file.eraseSection("APPLICATIONPRESETS");
    SettingsFile::WriteWindowAndTempo(file, m.settings, m.Timer().Tempo() * 0.001);
    SettingsFile::WritePorts(file, m);
    m.InPort()->SavePortSettings(file);
    SettingsFile::WriteOptions(file, m.settings);
}

std::string FloatText(double v) {
    return FormatGeneral(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ModelRig rig;
    static bool ready = [] {
        rig.model->CreatePorts(rig.folder + "outdrv/");
        rig.model->CreateInPort(rig.folder + "indrv/");
        return true;
    }();
    (void)ready;
    KorvidMainModel& m = *rig.model;
    const std::string before(reinterpret_cast<const char*>(data), size);

    IniFile file;
    if (!file.loadText(before)) return 0;
    m.settings.InitializeSettings();
    SettingsFile::StartUp(file, m, false);
    m.InPort()->LoadPortSettings(file, true);
    Save(file, m);
    const std::string after = file.text();

    // Every line not ours comes back as it was, in order.
    const std::vector<Line> in = SplitLines(before);
    const std::vector<Line> out = SplitLines(after);
    const std::vector<bool> oursIn = Ours(in);
    std::vector<bool> matched(out.size(), false);
    // The line ending too. Only a last line without one may gain one, and a lone CR its LF
    // where it now meets an empty line (CR, then LF, would read as one line end).
    const auto sameLine = [&](size_t i, size_t o) {
        if (out[o].text != in[i].text) return false;
        if (out[o].ending == in[i].ending) return true;
        if (in[i].ending.empty() && i + 1 == in.size()) return true;
        return in[i].ending == "\r" && out[o].ending == "\r\n" && o + 1 < out.size() &&
               out[o + 1].text.empty();
    };
    size_t at = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        if (oursIn[i]) continue;
        while (at < out.size() && !sameLine(i, at)) ++at;
        CHECK(at < out.size());
        matched[at++] = true;
    }
    // What else the save wrote is ours: our keys, headers of our sections, a blank line before
    // a new section, or what was already in an erased section.
    std::vector<std::string_view> erasedLines;
    for (size_t i = 0; i < in.size(); ++i)
        if (oursIn[i]) erasedLines.push_back(in[i].text);
    std::string_view section;
    for (size_t i = 0; i < out.size(); ++i) {
        const Reading r = Read(out[i].text, i == 0);
        if (r.kind == Kind::Header) section = r.name;
        if (matched[i]) continue;
        const bool ours =
            (r.kind == Kind::Key && OwnedKey(section, r.name)) ||
            (r.kind == Kind::Header && OwnedSection(r.name)) || out[i].text.empty() ||
            std::find(erasedLines.begin(), erasedLines.end(), out[i].text) != erasedLines.end();
        CHECK(ours);
    }

    // Read again, the keys hold what was written.
    IniFile again;
    CHECK(again.loadText(after));
    const AppSettings& s = m.settings;
    const char* app = SettingsFile::kApplicationSection;
    const char* presets = SettingsFile::kPresetSection;
    CHECK(again.readInt(app, "MAINSCREENPOSITIONTOP", 0) == s.MAINSCREENPOSITIONTOP);
    CHECK(again.readInt(app, "TAPTEMPOCOUNT", 0) == s.TAPTEMPOCOUNT);
    CHECK(again.readInt(app, "FLASHINGPERIOD", -1) == s.FLASHINGPERIOD);
    CHECK(again.readBool(app, "SHOWFLASHING", !s.SHOWFLASHING) == s.SHOWFLASHING);
    CHECK(FloatText(again.readFloat(app, "BPMMINIMUM", -1)) == FloatText(s.BPMMINIMUM));
    CHECK(FloatText(again.readFloat(app, "DEFAULTSPEED", -1)) ==
          FloatText(m.Timer().Tempo() * 0.001));
    CHECK(FloatText(again.readFloat(presets, "F8BPM", -1)) == FloatText(s.F8BPM));
    CHECK(FloatText(again.readFloat(SettingsFile::kLinkSection, "QUANTUM", -1)) ==
          FloatText(s.LINKQUANTUM));
    CHECK(again.readString("MIDIOUTPORT2", "DEVICETYPE", "?") == m.out2Controls.deviceType.text());
    CHECK(again.readInt("MIDIOUTPORT1", "CLOCKDIVIDER", 0) == m.OutPort1()->Divider());
    // The values read are within what the program uses.
    CHECK(s.TAPTEMPOCOUNT >= 2 && s.TAPTEMPOCOUNT <= 4);
    CHECK(std::isfinite(s.BPMMINIMUM) && s.BPMMINIMUM >= 0 && s.BPMMINIMUM <= 2500);
    CHECK(std::isfinite(s.F5BPM) && s.F5BPM >= 0 && s.F5BPM <= 2500);

    // A second save of the same settings writes the same bytes.
    Save(again, m);
    CHECK(again.text() == after);

    m.StopTransport(true);
    m.Timer().SetEnabled(false);
    rig.memory->clearMessages();
    return 0;
}
