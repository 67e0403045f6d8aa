// A settings file of any content: start-up reads it (window, tempo limits, ports, options) and
// opens the ports it names; the clock then runs a few ticks at the tempo it set.
#include <cmath>

#include "app/settings_file.h"
#include "fuzz_rig.h"
#include "platform/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ModelRig rig;
    static bool ready = [] {
        rig.model->CreatePorts(rig.folder + "outdrv/");
        rig.model->CreateInPort(rig.folder + "indrv/");
        return true;
    }();
    (void)ready;
    IniFile file;
    file.loadText(std::string(reinterpret_cast<const char*>(data), size));
    KorvidMainModel& m = *rig.model;
    SettingsFile::StartUp(file, m, size % 2 == 0);
    m.StartTransport(true, false);
    rig.ticks(8);
    m.StopTransport(true);
    m.Timer().SetEnabled(false);
    // Whatever the file said, the tempo stays a number the clock can run at.
    const double bpm = m.GetBPM();
    if (!std::isfinite(bpm) || bpm <= 0) __builtin_trap();
    rig.memory->clearMessages();
    return 0;
}
