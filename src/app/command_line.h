#pragma once

#include <string>
#include <vector>

// The command line of both programs, tempovane and tempovane-headless: the one place that knows
// the options, so the window program can answer --help and refuse a mistyped option before it
// needs a display, and hand a headless command line over unchanged.
// The project's version in CMakeLists.txt, which the package carries too.
inline constexpr const char* kProgramVersion = TEMPOVANE_VERSION;

struct CommandLine {
    enum class Action {
        Window,     // no option, in the window program
        Headless,   // --headless, or no option in tempovane-headless: no window
        ListPorts,  // --list-ports: print the devices and definitions, then end
        Help,       // --help, -h: the usage text on standard output, then end
        Version,    // --version
    };
    Action action = Action::Window;
    bool start = false;  // --start (with --headless): start the clock at once
    // --transport follow|master|off (with --headless): the JACK transport mode for this run;
    // "" keeps the settings file's.
    std::string transport;
    std::string settingsFile;  // the settings file given, or "" for the usual one
};

// Which program reads the line: tempovane-headless has no window to show, so a line without
// --headless or --list-ports runs it headless.
enum class Program { Window, Headless };

// Reads the command line (the program name first), in order: --help or --version ends the
// reading there, so `tempovane --help anything` still helps. A lone "-" is a file name, and
// after "--" every argument is one. False, with the reason in *error, for an option it does
// not know, --start for the window, or a second file.
bool ParseCommandLine(const std::vector<std::string>& arguments, Program program, CommandLine& line,
                      std::string* error);

// The usage text, as --help prints it.
extern const char* const kCommandLineUsage;
// What a refused command line ends with, after the reason.
extern const char* const kCommandLineHint;

// "tempovane 4.01" and a line, as --version prints it.
std::string VersionText();
