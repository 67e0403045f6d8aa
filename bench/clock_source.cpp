// Plays the program's real clock path without a window: the model with both output ports, the
// BPM timer on its clock thread and the JACK backend. The benchmark script points it at the
// clock meter.
//   tempovane-clock-source --bpm 120 --seconds 30 --port1 "JACK: clockmeter:in"
//                          [--port2 "JACK: clockmeter2:in"]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/main_model.h"
#include "midiout/midi_out_port.h"
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

}  // namespace

int main(int argc, char** argv) {
    double bpm = 120, seconds = 10;
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
    }
    KorvidMainModel model(MidiSystem::CreateDefault());
    model.CreatePorts("outdrv/");
    model.settings.BPMMAXIMUM = 2500;
    model.settings.BPMROUNDING = 0.001;
    if (!Choose(model.out1Controls, *model.OutPort1(), port1) ||
        !Choose(model.out2Controls, *model.OutPort2(), port2))
        return 1;
    model.SetBPM(bpm);
    // What the UI pump does within 50 ms of a tempo change.
    model.Timer().SetTempo(static_cast<uint32_t>(model.state.TempoMilliBPM.load()));
    model.StartTransport(true, false);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    model.StopTransport(true);
    std::printf("sent %d ticks at %.3f BPM (clock thread real-time: %s)\n",
                model.state.TickCount.load(), bpm, model.Timer().RealtimePriority() ? "yes" : "no");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the last Stop reach JACK
    return 0;
}
