// An output device definition of any content, read as a port loads it: the port then sends its
// init string, starts, sends tempo messages at several tempos, runs its track sequencer and stops.
#include <fstream>

#include "fuzz_rig.h"
#include "midiout/device_definition.h"
#include "platform/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ModelRig rig;
    static std::string path = rig.folder + "outdrv/Fuzz.ini";
    static bool ready = [] {
        std::ofstream(path) << "";
        rig.model->CreatePorts(rig.folder + "outdrv/");
        SelectByName(rig.model->out1Controls.deviceType, "Fuzz");
        rig.openPort1();
        return true;
    }();
    (void)ready;
    const std::string text(reinterpret_cast<const char*>(data), size);
    IniFile file;
    file.loadText(text);
    const OutputDeviceDefinition definition = ReadOutputDeviceDefinition(file);

    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    KorvidMainModel& m = *rig.model;
    MidiOutPort& port = *m.OutPort1();
    port.LoadDeviceDefinition();
    // What opening sends, without making a new connection each run.
    port.SendHexString(definition.initString);
    for (double bpm : {0.001, 1.0, 120.0, 333.333, 2500.0, 1e9}) port.TempoChanged(bpm);
    m.SetBPM(180);
    m.StartTransport(true, false);
    rig.ticks(100);  // a bar and more: the sequencer plays its steps
    m.StopTransport(true);
    m.Timer().SetEnabled(false);
    port.SendRelease();
    rig.memory->clearMessages();
    return 0;
}
