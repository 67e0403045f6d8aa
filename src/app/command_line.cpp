#include "app/command_line.h"

const char* const kCommandLineUsage =
    "usage: tempovane [settings file]\n"
    "       tempovane --headless [settings file] [--start] [--transport MODE]\n"
    "       tempovane --list-ports\n"
    "       tempovane --help | --version\n"
    "\n"
    "A master MIDI beat clock: sends MIDI timing clock, Start, Stop and Continue to up to\n"
    "two MIDI ports through JACK or ALSA.\n"
    "\n"
    "  settings file  the settings to use (default: clockpresets.ini beside the program,\n"
    "                 or in ~/.config/tempovane/ when installed); one instance runs per file\n"
    "  --headless     run the clock without a window or display, from the settings file;\n"
    "                 status lines go to standard error, Ctrl+C or SIGTERM ends it\n"
    "  --start        with --headless: start the clock at once\n"
    "  --transport MODE  with --headless: follow the JACK transport (follow), lead it as\n"
    "                 its timebase master (master), or neither (off), instead of the\n"
    "                 settings file's [JACKTRANSPORT] MODE\n"
    "  --list-ports   print the MIDI output and input ports, the output device types and\n"
    "                 the input maps, then end (status 1 when no JACK server answers)\n"
    "  -h, --help     print this help, then end\n"
    "  --version      print the version, then end\n"
    "\n"
    "See also: man tempovane, and the guide README.md.\n";

const char* const kCommandLineHint = "Try 'tempovane --help' for more information.\n";

std::string VersionText() {
    return std::string("tempovane ") + kProgramVersion + "\n";
}

bool ParseCommandLine(const std::vector<std::string>& arguments, Program program, CommandLine& line,
                      std::string* error) {
    auto fail = [error](const std::string& reason) {
        if (error) *error = reason;
        return false;
    };
    bool headless = false, listPorts = false, haveFile = false, optionsEnd = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        const bool option = !optionsEnd && a.size() > 1 && a[0] == '-';
        if (!option) {
            if (haveFile)
                return fail("more than one settings file: " + line.settingsFile + ", " + a);
            line.settingsFile = a;
            haveFile = true;
        } else if (a == "--") {
            optionsEnd = true;
        } else if (a == "--help" || a == "-h") {
            line.action = CommandLine::Action::Help;
            return true;
        } else if (a == "--version") {
            line.action = CommandLine::Action::Version;
            return true;
        } else if (a == "--headless") {
            headless = true;
        } else if (a == "--list-ports") {
            listPorts = true;
        } else if (a == "--start") {
            line.start = true;
        } else if (a == "--transport") {
            if (i + 1 >= arguments.size()) return fail("--transport needs follow, master or off");
            const std::string mode = arguments[++i];
            if (mode != "follow" && mode != "master" && mode != "off")
                return fail("--transport takes follow, master or off, not " + mode);
            line.transport = mode;
        } else {
            return fail("unknown option " + a);
        }
    }
    if (listPorts)
        line.action = CommandLine::Action::ListPorts;
    else if (headless || program == Program::Headless)
        line.action = CommandLine::Action::Headless;
    else
        line.action = CommandLine::Action::Window;
    // The window has no way to start by itself; silently ignoring the option would leave a
    // musician waiting for a clock that never comes.
    if (line.start && line.action == CommandLine::Action::Window)
        return fail("--start works with --headless only");
    if (!line.transport.empty() && line.action == CommandLine::Action::Window)
        return fail("--transport works with --headless only");
    return true;
}
