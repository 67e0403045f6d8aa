#include "app/headless.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <system_error>

#include "app/main_model.h"
#include "app/settings_file.h"
#include "app/sync_control.h"
#include "midiin/input_definition.h"
#include "midiin/midi_in_port.h"
#include "midiout/device_definition.h"
#include "platform/ini_file.h"
#include "platform/instance_lock.h"
#include "platform/midi_system.h"
#include "state/status_color.h"

namespace Headless {

namespace {
// The pump passes between two requests for a clock-input measurement, as in the window (0.5 s).
constexpr int kPassesPerMeasurement = 10;
constexpr int kPassMs = 50;
// How long --start waits for the peers of a Link session to answer (1 s).
constexpr int kPassesToFindPeers = 20;

int64_t RealtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

void SayTo(std::ostream& log, const std::string& text) {
    log << StampedLine(text, RealtimeNs()) << '\n' << std::flush;
}

// What the window's 50 ms pump does that matters without a window: the tempo goes to the clock,
// status lines are printed, the tap count is told, and the input side is asked to measure.
class Pump {
  public:
    Pump(KorvidMainModel& model, std::ostream& log) : model_(model), log_(log) {}

    void Say(const std::string& text) { SayTo(log_, text); }

    void Pass() {
        MainState& s = model_.state;
        // The session first, as the window's pump does: a tempo or start from a peer is then
        // handed on in this same pass.
        model_.PumpArrivals();
        SyncControl& sync = model_.Sync();
        sync.Pump();
        const size_t peers = sync.LinkEnabled() ? sync.Peers() : kNotInSession;
        if (peers != shownPeers_) {
            shownPeers_ = peers;
            if (peers != kNotInSession)
                Say(peers == 1 ? "Link: 1 peer" : "Link: " + std::to_string(peers) + " peers");
        }
        if (s.TempoChanges.exchange(0) != 0) {
            const int32_t milliBpm = s.TempoMilliBPM.load();
            if (milliBpm > 0) model_.Timer().SetTempo(static_cast<uint32_t>(milliBpm));
        }
        if (s.TapChanges.exchange(0) != 0) {
            const int32_t step = s.TapStep.load();
            if (step >= 1 && step <= 4)
                s.PostStatus("Tap " + std::to_string(step) + " !!", StatusColors::purple);
            if (step == 4) s.TapStep = 0;
        }
        // Each status in turn, not only the newest: this log is all a box without a screen
        // tells of what happened. Each output port posts its own "Stopped ..." (and the like)
        // for one and the same stop; the window shows only the last, and so does the log: a
        // text repeated straight after itself within one pass is printed once.
        if (s.StatusChanges.exchange(0) != 0) {
            std::string previous;
            bool first = true;
            for (const MainState::Status& status : s.StatusesSince(statusSerial_)) {
                std::string line = status.detail.empty() || status.detail == status.text
                                       ? status.text
                                       : status.text + " (" + status.detail + ")";
                if (!first && line == previous) continue;
                Say(line);
                previous = std::move(line);
                first = false;
            }
        }
        // Nothing shows a flash or a lamp here; the counters are cleared so they stay small.
        s.FlashChanges.store(0);
        s.RunStateChanges.store(0);
        if (++passes_ >= kPassesPerMeasurement) {
            passes_ = 0;
            model_.MeasureRequested.store(true, std::memory_order_release);
        }
    }

  private:
    static constexpr size_t kNotInSession = static_cast<size_t>(-1);

    KorvidMainModel& model_;
    std::ostream& log_;
    int passes_ = 0;
    uint64_t statusSerial_ = 0;  // the last status logged
    size_t shownPeers_ = kNotInSession;
};

void PrintList(std::ostream& out, const char* heading, const std::vector<std::string>& items) {
    out << heading << '\n';
    for (const std::string& item : items) out << "  " << item << '\n';
}
}  // namespace

std::string StampedLine(const std::string& text, int64_t realtimeNs) {
    const time_t seconds = static_cast<time_t>(realtimeNs / 1'000'000'000);
    const int millis = static_cast<int>(realtimeNs % 1'000'000'000 / 1'000'000);
    tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min,
                  local.tm_sec, millis);
    return stamp + text;
}

int ListPorts(MidiSystem& midi, const FileLocations& locations, std::ostream& out,
              std::ostream& err) {
    const std::vector<std::string> outputs = midi.listOutputs();
    PrintList(out, "Output ports:", outputs);
    PrintList(out, "Input ports:", midi.listInputs());
    PrintList(
        out, "Output device types:",
        ListOutputDeviceTypes({locations.outputDefinitions, locations.shippedOutputDefinitions}));
    PrintList(
        out, "Input maps:",
        ListInputDeviceTypes({locations.inputDefinitions, locations.shippedInputDefinitions}));
    out << std::flush;
    if (ListsJackPorts(outputs)) return 0;
    err << "tempovane: no JACK server answers, so no JACK ports are listed; start one (or "
           "PipeWire with its JACK support) and ask again\n";
    return 1;
}

std::shared_ptr<void> JoinLinkSession(KorvidMainModel& model, const IniFile&) {
    SyncControl& sync = model.Sync();
    sync.JoinAsSet();
    if (!sync.LinkEnabled()) return nullptr;
    return std::shared_ptr<void>(
        &sync, [](void* joined) { static_cast<SyncControl*>(joined)->SetLinkEnabled(false); });
}

int Run(const Options& options, Environment& environment, std::ostream& log) {
    const FileLocations& where = environment.locations;
    std::string folderError;
    const bool folderReady = PrepareUserFolder(where, &folderError);
    const std::string path = SettingsFile::Location(where.userFolder, options.settingsFile);
    // Two instances on one settings file would drive the same devices twice over.
    InstanceLock lock(path);
    if (lock.state() == InstanceLock::State::HeldElsewhere) {
        SayTo(log, "TEMPOVANE is already running with the settings file " + path);
        return 1;
    }
    if (!folderReady) SayTo(log, "Settings folder not made (" + folderError + ")");
    KorvidMainModel model(environment.makeMidi());
    Pump pump(model, log);

    model.CreatePorts(where.outputDefinitions, where.shippedOutputDefinitions);
    model.CreateInPort(where.inputDefinitions, where.shippedInputDefinitions);
    std::error_code ec;
    const bool firstStart = !std::filesystem::exists(path, ec);
    IniFile::RemoveStaleTemporaries(path);
    IniFile file;
    std::string reason;
    int errorNumber = 0;
    if (!file.load(path, &reason, &errorNumber, IniFile::kSettingsLimit)) {
        const SettingsFile::Problem problem = SettingsFile::ReadProblem(path, errorNumber, reason);
        pump.Say(problem.text + " (" + problem.detail + ")");
    }
    std::string missing = SettingsFile::StartUp(file, model, firstStart);
    if (MidiInPort* in = model.InPort()) {
        const std::string inputMissing = in->LoadPortSettings(file, true);
        if (!inputMissing.empty()) missing += (missing.empty() ? "" : "\n") + inputMissing;
        in->OpenSelectedPort();
    }
    pump.Pass();  // what opening the ports said comes before the warnings below
    // One line for each missing port.
    for (size_t start = 0; start < missing.size();) {
        const size_t end = std::min(missing.find('\n', start), missing.size());
        pump.Say("Warning : Saved ports not found : " + missing.substr(start, end - start));
        start = end + 1;
    }
    model.ReportMissingJackIfNothingToChoose();
    pump.Pass();
    std::shared_ptr<void> session;
    if (environment.joinSession) session = environment.joinSession(model, file);
    file = IniFile();  // all it holds is read: no need to keep it for the run
    // --transport for this run (the headless program never writes the settings file).
    if (!options.transport.empty())
        model.settings.JACKTRANSPORTMODE = SettingsFile::TransportModeOf(options.transport);
    model.Sync().TransportAsSet();
    pump.Pass();  // "Link on" before a start can say "Running ..."
    bool stop = false;
    if (session && options.start) {
        // A start made before the peers are found would start a session of our own, on a bar
        // grid of our own; when the sessions then merge, the older one's grid and playing state
        // win, so our clock would jump and the peers would not start. So --start gives the
        // peers a moment to answer (they do within some tens of milliseconds).
        for (int pass = 0; pass < kPassesToFindPeers && model.Sync().Peers() == 0; ++pass) {
            stop = environment.waitForStop(kPassMs);
            if (stop) break;
            pump.Pass();
        }
    }
    if (options.start && !stop) model.StartTransport(true, false);
    // Started before the sound server (a box that boots into its settings file): the start is
    // made as soon as a port has opened. (With a port, a start may still be on its way: leading
    // the JACK transport, the transport's roll starts the clock a few cycles later.)
    bool startPending = options.start && !stop && !model.state.PortReady.load();

    while (!stop && !environment.waitForStop(kPassMs)) {
        pump.Pass();
        if (startPending && model.state.PortReady.load()) {
            startPending = false;
            model.StartTransport(true, false);
        }
    }
    // The session goes first: the Stop below is for our own devices, and the peers play on
    // (as when the window closes). The peers hear that we left at once.
    if (session) {
        session.reset();
        pump.Pass();
    }
    model.StopForClose();
    pump.Pass();
    // How many ticks the last run raised: with the receivers' counts, what a soak checks.
    pump.Say("Clock ticks sent since the last start: " +
             std::to_string(model.state.TicksSent.load()));
    pump.Say(
        "Clock ticks dropped since the last start (the clock thread woke too late for them): " +
        std::to_string(model.Timer().DroppedTicks()));
    // The model closes the ports as it goes; a JACK port lets its Stop out first.
    return 0;
}

}  // namespace Headless
