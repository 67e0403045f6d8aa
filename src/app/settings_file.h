#pragma once

#include <string>

struct AppSettings;
class IniFile;
class KorvidMainModel;

// The settings file (clockpresets.ini): which keys live where, how they are read and written.
// One table of keys drives both directions, so reading and saving cannot drift apart. Every key
// is read with the value held now as its default, so a file changes only what it contains.
namespace SettingsFile {

inline constexpr const char* kFileName = "clockpresets.ini";
inline constexpr const char* kApplicationSection = "APPLICATION_PRESETS";
inline constexpr const char* kPresetSection = "BPM_PRESETS";
// The network tempo session: ENABLED, STARTSTOPSYNC, QUANTUM (beats in a bar, 4).
inline constexpr const char* kLinkSection = "LINK";
// JACK transport: MODE=off, follow or master.
inline constexpr const char* kJackTransportSection = "JACKTRANSPORT";
// The mode's word in the file, and back (-1 for a word that is none of them).
const char* TransportModeWord(int32_t mode);
int32_t TransportModeOf(const std::string& word);

// The clock pulse outputs: [PULSEOUT1] and [PULSEOUT2], each with ENABLED, PPQ (1, 2, 4, 8, 24
// or 48), WIDTH (ms, 0.1 to 100), LEVEL (0 to 1), POLARITY (1, or -1 for negative pulses), SHIFT
// (ms, -20 to 50) and RUN (the second output only: the run line of DIN sync).
inline constexpr const char* kPulseSectionPrefix = "PULSEOUT";

// The first command-line argument when it is given and not empty, else clockpresets.ini in the
// program's folder.
std::string Location(const std::string& programFolder, const std::string& firstArgument);

// Window geometry, DEFAULTSPEED, BPMROUNDING, BPMMINIMUM and BPMMAXIMUM. A maximum above 2500
// becomes 2500; a minimum above the maximum is taken as the two swapped, so tempos stay settable.
void ReadWindowAndTempo(const IniFile& file, AppSettings& settings);

// The option keys, the four presets (what a settings patch holds too) and the network tempo
// session's keys.
void ReadOptions(const IniFile& file, AppSettings& settings);

// A status line message about a file: text fits the line ("Settings not saved: folder is
// read-only"), detail names the file and gives the system's reason.
struct Problem {
    std::string text;
    std::string detail;
};

// A settings patch (or the settings file standing in for one, settingsFile: it may be larger):
// the option keys and presets of the file at path, each read with the value held now as its
// default; not the [LINK] keys, which only the Link box, Ctrl+L and start-up change. A file
// that is missing or cannot be read (not a regular file, too large) changes nothing; false
// then, and *problem says why.
bool GetPatchINI(const std::string& path, AppSettings& settings, Problem* problem = nullptr,
                 bool settingsFile = false);
// GetPatchINI into the model's settings. The window's own settings are the caller's. A file
// that cannot be read is told on the status line.
bool ImportPatch(const std::string& path, KorvidMainModel& model, bool settingsFile = false);

// Restores both output ports from their sections (device, type, divider) without opening
// them, and returns the names of saved ports that are not present any more, one a line (empty
// when all were found).
std::string LoadPorts(const IniFile& file, KorvidMainModel& model);

// Everything start-up takes from the settings file, in an order that tells each device what it
// needs once: the window and tempo keys, the tempo (DEFAULTSPEED brought within the limits,
// handed to the clock at once), the ports' choices, then each port opened once, so its device
// gets its init and the running tempo, divided as the box shows. firstStart (no settings file
// yet) puts our own virtual port on port 1. Ends with the option keys. Returns what LoadPorts
// returns.
std::string StartUp(const IniFile& file, KorvidMainModel& model, bool firstStart);

// Both pulse outputs from their sections, each key read with the value held now as its
// default and a value the output cannot take left out (as for every number of the file); then
// applied, which opens the enabled outputs' ports. A problem (no JACK) goes to the status line.
void ReadPulseOutputs(const IniFile& file, KorvidMainModel& model);
void WritePulseOutputs(IniFile& file, KorvidMainModel& model);

// Writing: the window's frame and the tempo keys; DEFAULTSPEED is the tempo the clock runs at.
void WriteWindowAndTempo(IniFile& file, const AppSettings& settings, double defaultSpeed);
// A port that shows "None" only because its saved device was missing keeps that device's name
// and index in the file. The pulse outputs' sections are written with the ports'.
void WritePorts(IniFile& file, KorvidMainModel& model);
void WriteOptions(IniFile& file, const AppSettings& settings);

// Why a file could not be read or written, in a few words that fit the status line
// ("folder is read-only"); systemReason (the system's own words) where there are no better.
std::string ShortFileReason(int errorNumber, bool writing, const std::string& systemReason);

// About the settings file. reading: the save failed because the old file could not be read (it
// is never overwritten with only our part of it).
Problem SaveProblem(const std::string& path, int errorNumber, const std::string& systemReason,
                    bool reading = false);
Problem ReadProblem(const std::string& path, int errorNumber, const std::string& systemReason);
// About a settings patch that could not be read ("Patch not read: file is missing").
Problem PatchProblem(const std::string& path, int errorNumber, const std::string& systemReason);

// The text shown when saved ports are missing.
inline constexpr const char* kMissingPortsWarning = "Warning : \n Saved ports not found : \n";

}  // namespace SettingsFile
