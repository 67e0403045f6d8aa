#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class IniFile;

// What one output device wants besides plain timing clock, as read from its definition file
// (outdrv/<device type>.ini). The port copies these values into itself when it loads a type.
struct OutputDeviceDefinition {
    bool clockOutputEnable = false;
    bool noStartAtStart = false;
    bool noStopAtEnd = false;
    bool startBeforeEvery1 = false;
    bool startAfterEvery1 = false;
    bool sysexEnable = false;
    bool ctrlOutEnable = false;
    bool convertBpmToMs = false;
    bool floorOutputByte = false;
    double bpmOffset = 0.0;
    double bpmMultiplier = 1.0;
    uint8_t ctrlChannel = 0;
    uint8_t ctrlNumber = 0;
    double msMultiplier = 0.1;
    std::string initString;
    std::string releaseString;
    std::string tempoString1;
    std::string tempoString2;
    int32_t sysexValueOffset = 0;
    std::string description;
    uint8_t tracksProgram = 0;
    uint8_t tracksChannel = 9;
    bool tracksEnable = false;
    // Shifts everything the port sends, for a device that reacts late (positive) or early
    // (negative); only where the backend schedules (JACK).
    double outputDelayMs = 0.0;
    // False when the tempo strings cannot make a well-formed message; no tempo message is sent.
    bool tempoSysExValid = true;
    // The TRACKS section, each line as key=value, in file order (a repeated key too).
    std::vector<std::string> trackLines;
    // What is wrong with the file, each once: a file that could not be read or is no device
    // definition at all, numbers that cannot be read, and what would not go out as
    // well-formed MIDI, one entry per key ("device_ctrlout_midichannel is not a channel 0-15"),
    // in key order. What such a key asks for is switched off or emptied, so it is never sent.
    std::vector<std::string> problems;
};

// The System Exclusive tempo text for a port tempo: tempo string 1, the low 7 bits and the
// high bits of (rounded port tempo - value offset) as two hex digits each, tempo string 2.
std::string TempoSysExText(const OutputDeviceDefinition& definition, double portTempo);

// The range of device_output_delay_ms.
inline constexpr double kMinOutputDelayMs = -20.0;
inline constexpr double kMaxOutputDelayMs = 50.0;

// Longest System Exclusive message a definition may send, F0 and F7 included.
inline constexpr int32_t kMaxSysExBytes = 500;

// Why bytes are not one well-formed System Exclusive message.
enum class SysExProblem { None, NoStart, NoEnd, StatusInside };
SysExProblem CheckSysEx(const uint8_t* bytes, int32_t count);

// Reads hex text strictly into buffer (kMaxSysExBytes) and checks it is one whole System
// Exclusive message. Returns the byte count, or 0 with what is wrong in *problem ("is not hex
// text", "does not begin with F0" ...) when it must not be sent; an empty text gives 0 and no
// problem.
int32_t SysExFromHexText(const std::string& text, uint8_t* buffer, std::string* problem = nullptr);

// The device type that always exists; without a file of its name it sends plain clock with
// Start and Stop.
inline constexpr const char* kBuiltInDeviceType = "Tempovane";

// Reads a definition. A missing or unreadable file reads as empty, which gives the built-in
// behaviour: clock on, description "Tempovane"; an unreadable one (not a regular file, over
// 1 MB) or one that is no definition says so in problems.
OutputDeviceDefinition ReadOutputDeviceDefinition(const std::string& path);
OutputDeviceDefinition ReadOutputDeviceDefinition(const IniFile& file);

// The file a device type is read from: folder + type + ".ini", or, where no file has exactly
// that name, the one whose extension differs only in letter case ("X.INI", "x.Ini"), which the
// type list shows by the same name. The exact name when neither exists.
std::string DefinitionFilePath(const std::string& folder, const std::string& type);
// The same over several folders, the first that has the type winning (the user's own folder
// before the shipped one); the exact name in the first folder when none has it.
std::string DefinitionFilePath(const std::vector<std::string>& folders, const std::string& type);

// The settings the built-in device type stands for (what a missing file reads as).
OutputDeviceDefinition BuiltInOutputDeviceDefinition();

// Writes a new definition file at path holding every key of the definition, so a user who
// wants to change the built-in behaviour starts from a file that says what it does. The folder
// is made when missing; an existing file is never replaced. False with the system's reason in
// *error when the file could not be made.
bool CreateOutputDeviceDefinitionFile(const std::string& path,
                                      const OutputDeviceDefinition& definition, std::string* error);

// Copies the definition file `from` to `to`, byte for byte, so a shipped definition can be
// changed in the user's own folder: the folder is made when missing, the copy is writable by its
// owner, and it appears whole or not at all. An existing file is never replaced. False with the
// system's reason (naming the file) in *error.
bool CopyOutputDeviceDefinitionFile(const std::string& from, const std::string& to,
                                    std::string* error);

// Device types found in folder: every *.ini file, by name without extension, sorted by name
// (letter case ignored); "Tempovane" is added at the end unless a file already provides it.
std::vector<std::string> ListOutputDeviceTypes(const std::string& folder);
// The types of several folders together, each name once.
std::vector<std::string> ListOutputDeviceTypes(const std::vector<std::string>& folders);
