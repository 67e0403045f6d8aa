#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_locations.h"

class IniFile;
class KorvidMainModel;
class MidiSystem;

// The program without a window: the main model alone, steered by MIDI input and the command
// line, telling its status lines on standard error. Nothing here needs a display or Qt.
namespace Headless {

// What the command line (app/command_line.h) asks of a run.
struct Options {
    bool start = false;        // --start: start the clock as soon as the ports are open
    std::string transport;     // --transport: the JACK transport mode word, "" for the file's
    std::string settingsFile;  // the settings file given, or "" for the usual one
};

// Joins the network tempo session when the settings ask for it, and keeps it while the
// returned object lives (null: nothing to keep). Given by the program entry; the run calls it
// once, after the ports are open and before --start takes effect. Without one the run stays
// off the network whatever the settings say.
using SessionJoiner =
    std::function<std::shared_ptr<void>(KorvidMainModel& model, const IniFile& settings)>;

// The program's joiner: the Link session of the model's SyncControl, as the window joins it
// ([LINK] ENABLED, with the start/stop sync and quantum StartUp has read). Letting go of the
// result leaves the session at once, and leaves it playing: our stop is for our own devices.
std::shared_ptr<void> JoinLinkSession(KorvidMainModel& model, const IniFile& settings);

struct Environment {
    FileLocations locations;
    // The MIDI system to run on (the default one: JACK and ALSA where present).
    std::function<std::unique_ptr<MidiSystem>()> makeMidi;
    SessionJoiner joinSession;
    // Waits up to timeoutMs for a stop request; true when one came. The program entry waits
    // for SIGINT and SIGTERM; tests stop it themselves.
    std::function<bool(int timeoutMs)> waitForStop;
};

// The port list: output devices, input devices, output device types and input maps, each
// under its heading, one a line, so a settings file can be written by hand. Returns the exit
// status: 0, or 1 with a line on err when no JACK server answers (the lists then hold only
// what ALSA offers, which is rarely what the user looked for).
int ListPorts(MidiSystem& midi, const FileLocations& locations, std::ostream& out,
              std::ostream& err);

// Runs until waitForStop says so: reads the settings, opens the ports and the input map, starts
// when asked, and hands the tempo to the clock and prints every status line with the time of
// day. A stop request sends Stop to the devices when the clock runs. Returns the exit status:
// 0 after a stop request, 1 when another instance runs on the same settings file.
int Run(const Options& options, Environment& environment, std::ostream& log);

// "12:34:56.789 text": how a status line is printed.
std::string StampedLine(const std::string& text, int64_t realtimeNs);

}  // namespace Headless
