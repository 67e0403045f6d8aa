// Plays the program's real clock path without a window: the model with both output ports, the
// BPM timer on its clock thread and the JACK backend. The benchmark script points it at the
// clock meter.
//   tempovane-clock-source --bpm 120 --seconds 30 --port1 "JACK: clockmeter:in"
//                          [--port2 "JACK: clockmeter2:in"] [--margin-ms 2.5]
// At the end it tells how many ticks reached JACK too late for their frame, and the clock
// thread's share of one CPU core.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "app/main_model.h"
#include "midiout/midi_out_port.h"
#include "platform/jack/midi_jack.h"
#include "platform/midi_system.h"

namespace {

bool Choose(KorvidMainModel::OutPortControls& controls, MidiOutPort& port,
            const std::string& name) {
    if (name.empty()) return true;
    if (!SelectByName(controls.port, name)) {
        std::fprintf(stderr, "no MIDI output named \"%s\"\n", name.c_str());
        return false;
    }
    port.OpenSelectedPort();
    return port.Device().Using();
}

// CPU seconds (user + system) of this process's thread named name, or -1.
double ThreadCpuSeconds(const std::string& name) {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return -1;
    double seconds = -1;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const std::string folder = std::string("/proc/self/task/") + entry->d_name;
        std::string comm;
        std::getline(std::ifstream(folder + "/comm"), comm);
        if (comm != name) continue;
        std::string stat;
        std::getline(std::ifstream(folder + "/stat"), stat);
        // Fields after the name in parentheses; utime and stime are the 14th and 15th overall.
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) break;
        unsigned long long utime = 0, stime = 0;
        if (std::sscanf(stat.c_str() + close + 2,
                        "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                        &stime) == 2)
            seconds =
                static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
        break;
    }
    closedir(tasks);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    double bpm = 120, seconds = 10;
    double marginMs = -1;
    std::string port1, port2;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--bpm"))
            bpm = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--port1"))
            port1 = argv[i + 1];
        else if (!std::strcmp(argv[i], "--port2"))
            port2 = argv[i + 1];
        else if (!std::strcmp(argv[i], "--margin-ms"))
            marginMs = std::atof(argv[i + 1]);
    }
    auto system = std::make_unique<MidiSystem>();
    auto created =
        JackMidiBackend::Create("", marginMs >= 0 ? static_cast<int64_t>(marginMs * 1e6)
                                                  : JackMidiBackend::kDefaultSafetyMarginNs);
    if (!created) {
        std::fprintf(stderr, "no JACK server\n");
        return 2;
    }
    JackMidiBackend* jack = created.get();
    system->addBackend(std::move(created));
    KorvidMainModel model(std::move(system));
    model.CreatePorts("outdrv/");
    model.settings.BPMMAXIMUM = 2500;
    model.settings.BPMROUNDING = 0.001;
    if (!Choose(model.out1Controls, *model.OutPort1(), port1) ||
        !Choose(model.out2Controls, *model.OutPort2(), port2))
        return 1;
    model.SetBPM(bpm);
    // What the UI pump does within 50 ms of a tempo change.
    model.Timer().SetTempo(static_cast<uint32_t>(model.state.TempoMilliBPM.load()));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // cycles learnt
    const uint64_t lateBefore = jack->lateMessageCount();
    model.StartTransport(true, false);
    const double cpuBefore = ThreadCpuSeconds("bpm-timer");
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpuAfter = ThreadCpuSeconds("bpm-timer");
    model.StopTransport(true);
    std::printf("sent %d ticks at %.3f BPM (clock thread real-time: %s)\n",
                model.state.TickCount.load(), bpm, model.Timer().RealtimePriority() ? "yes" : "no");
    std::printf(
        "CLOCKSOURCE late_for_their_frame=%llu time_line_restarts=%llu "
        "clock_thread_cpu_percent=%.2f latency_ms=%.3f\n",
        static_cast<unsigned long long>(jack->lateMessageCount() - lateBefore),
        static_cast<unsigned long long>(jack->timeLineRestartCount()),
        cpuBefore < 0 ? -1.0 : 100.0 * (cpuAfter - cpuBefore) / seconds, jack->latencyNs() / 1e6);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the last Stop reach JACK
    return 0;
}
