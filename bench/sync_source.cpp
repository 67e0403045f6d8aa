// Plays the program's clock path with the network session or the lock onto an input clock,
// without a window: the model, its clock thread, the JACK backend and what the window's pump
// does every 50 ms. The measuring scripts point it at tempovane-linkprobe and the clock meter.
//   tempovane-sync-source --port1 "JACK: linkprobe:in" --link --start --seconds 60
//   tempovane-sync-source --port1 "JACK: clockmeter:in" --lock "JACK: jack_midi_clock:mclk_out"
// Options:
//   --port1 NAME      output device for port 1
//   --link            join the Link session (start/stop sync on, quantum 4)
//   --lock NAME       lock onto the MIDI clock from this input device
//   --follow NAME     follow the clock from this input device the half-second way instead
//   --bpm BPM         our tempo at the start (default 120)
//   --start           press F1 at the start (otherwise a session or a master starts us)
//   --tempo-at S:BPM  set our tempo S seconds in, as the track bar would (repeatable)
//   --at S:ACTION     S seconds in: "link" or "unlink" (the Link box), "f1" (start / stop)
//                     (repeatable)
//   --limits MIN:MAX  BPMMINIMUM and BPMMAXIMUM (default 20:2500)
//   --type NAME       the device type of port 1 (from outdrv/; default the built-in one)
//   --seconds N       run this long (default 10)
// Prints "tempo <bpm> mono <seconds>" whenever our tempo moves (CLOCK_MONOTONIC seconds), the
// running state's changes, and the status line's messages.
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/main_model.h"
#include "app/sync_control.h"
#include "midiin/midi_in_port.h"
#include "midiout/midi_out_port.h"
#include "platform/midi_system.h"
#include "platform/monotonic_clock.h"

namespace {
// Seconds on CLOCK_MONOTONIC, as tempovane-linkprobe prints them, so that logs line up.
double Mono() {
    return static_cast<double>(MonotonicNowNs()) * 1e-9;
}
}  // namespace

int main(int argc, char** argv) {
    double bpm = 120, seconds = 10;
    std::string port1, lockFrom, followFrom;
    bool link = false, start = false;
    std::vector<std::pair<double, double>> tempoAt;
    std::vector<std::pair<double, std::string>> actionAt;
    double minimum = 20, maximum = 2500;
    std::string type;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--port1")
            port1 = value();
        else if (arg == "--link")
            link = true;
        else if (arg == "--lock")
            lockFrom = value();
        else if (arg == "--follow")
            followFrom = value();
        else if (arg == "--bpm")
            bpm = std::atof(value().c_str());
        else if (arg == "--start")
            start = true;
        else if (arg == "--seconds")
            seconds = std::atof(value().c_str());
        else if (arg == "--tempo-at") {
            const std::string v = value();
            const size_t colon = v.find(':');
            if (colon == std::string::npos) return 1;
            tempoAt.push_back(
                {std::atof(v.substr(0, colon).c_str()), std::atof(v.substr(colon + 1).c_str())});
        } else if (arg == "--at") {
            const std::string v = value();
            const size_t colon = v.find(':');
            if (colon == std::string::npos) return 1;
            actionAt.push_back({std::atof(v.substr(0, colon).c_str()), v.substr(colon + 1)});
        } else if (arg == "--limits") {
            const std::string v = value();
            const size_t colon = v.find(':');
            if (colon == std::string::npos) return 1;
            minimum = std::atof(v.substr(0, colon).c_str());
            maximum = std::atof(v.substr(colon + 1).c_str());
        } else if (arg == "--type") {
            type = value();
        } else {
            std::fprintf(stderr, "unknown option %s\n", arg.c_str());
            return 1;
        }
    }
    KorvidMainModel model(MidiSystem::CreateDefault());
    model.CreatePorts("outdrv/");
    model.settings.BPMMINIMUM = minimum;
    model.settings.BPMMAXIMUM = maximum;
    model.settings.BPMROUNDING = 0.001;
    if (!type.empty()) {
        if (!SelectByName(model.out1Controls.deviceType, type)) {
            std::fprintf(stderr, "no device type named \"%s\"\n", type.c_str());
            return 1;
        }
        model.OutPort1()->DeviceTypeChanged();
    }
    SelectByName(model.out1Controls.port, port1);
    model.OutPort1()->OpenSelectedPort();
    if (!model.OutPort1()->Device().Using()) {
        std::fprintf(stderr, "no MIDI output named \"%s\"\n", port1.c_str());
        return 1;
    }
    const std::string input = !lockFrom.empty() ? lockFrom : followFrom;
    const std::string folder = std::filesystem::temp_directory_path() /
                               ("tempovane-sync-source-" + std::to_string(getpid())) / "";
    if (!input.empty()) {
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "Follow.ini")
            << "[DEVICECONFIGURATION]\n"
            << (lockFrom.empty() ? "TEMPOVANE_IN_HANDLING=1\n" : "TEMPOVANE_IN_LOCK=1\n");
        model.CreateInPort(folder);
        SelectByName(model.inControls.deviceType, "Follow");
        model.InPort()->DeviceTypeChanged();
        SelectByName(model.inControls.port, input);
        model.InPort()->OpenSelectedPort();
        if (!model.InPort()->Device().Using()) {
            std::fprintf(stderr, "no MIDI input named \"%s\"\n", input.c_str());
            return 1;
        }
    }
    model.SetBPM(bpm);
    model.Timer().SetTempo(static_cast<uint32_t>(model.state.TempoMilliBPM.load()));
    if (link) {
        model.settings.LINKSTARTSTOPSYNC = true;
        model.settings.LINKENABLED = true;
        model.Sync().ApplySettings();
        model.Sync().JoinAsSet();
    }
    const auto begin = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    };
    bool started = false;
    size_t nextTempo = 0;
    size_t nextAction = 0;
    double shown = 0;
    int32_t shownRun = 0;
    size_t shownPeers = 0;
    for (int pass = 0; elapsed() < seconds; ++pass) {
        if (start && !started && elapsed() > 1.0) {  // a second for the session to form
            model.transport().StartStopSeq();
            started = true;
        }
        while (nextTempo < tempoAt.size() && elapsed() >= tempoAt[nextTempo].first) {
            model.SetBPM(tempoAt[nextTempo].second);
            std::printf("set_tempo %.4f mono %.6f\n", tempoAt[nextTempo].second, Mono());
            ++nextTempo;
        }
        while (nextAction < actionAt.size() && elapsed() >= actionAt[nextAction].first) {
            const std::string& action = actionAt[nextAction].second;
            if (action == "link" || action == "unlink") {
                model.settings.LINKSTARTSTOPSYNC = true;
                model.Sync().ApplySettings();
                model.Sync().SetLinkEnabled(action == "link");
            } else if (action == "f1") {
                model.transport().StartStopSeq();
            }
            std::printf("action %s mono %.6f\n", action.c_str(), Mono());
            ++nextAction;
        }
        // The window's pump.
        model.Sync().Pump();
        if (model.state.TempoChanges.exchange(0) != 0)
            model.Timer().SetTempo(static_cast<uint32_t>(model.state.TempoMilliBPM.load()));
        if (pass % 10 == 0) model.MeasureRequested = true;
        if (model.state.StatusChanges.exchange(0) != 0)
            std::printf("status mono %.6f %s\n", Mono(), model.state.PendingStatus().text.c_str());
        const size_t peers = model.Sync().LinkEnabled() ? model.Sync().Peers() : 0;
        if (peers != shownPeers) {
            std::printf("peers %zu mono %.6f\n", peers, Mono());
            shownPeers = peers;
        }
        const int32_t running = model.state.RunState.load();
        if (running != shownRun) {
            std::printf("running %d mono %.6f\n", running, Mono());
            shownRun = running;
        }
        const double now = model.GetBPM();
        if (now != shown) {
            std::printf("tempo %.6f mono %.6f\n", now, Mono());
            shown = now;
        }
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Ticks the clock thread dropped (raised too late to send), which a receiver counting
    // clocks misses: every one moves its beat by a tick.
    std::printf("SYNCSOURCE ticks=%d dropped=%lld\n", model.state.TickCount.load(),
                static_cast<long long>(model.Timer().DroppedTicks()));
    model.StopTransport(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::filesystem::remove_all(folder);
    return 0;
}
