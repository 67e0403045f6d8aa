// A settings patch of any content: its option keys and presets are read, then put to use the
// way a musician would: the presets recalled, taps counted with its tap options, and the clock
// flashing with its flash options.
#include "app/settings_file.h"
#include "fuzz_rig.h"
#include "platform/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ModelRig rig;
    static bool ready = [] {
        rig.model->CreatePorts(rig.folder + "outdrv/");
        rig.openPort1();
        return true;
    }();
    (void)ready;
    KorvidMainModel& m = *rig.model;
    IniFile file;
    file.loadText(std::string(reinterpret_cast<const char*>(data), size));
    SettingsFile::ReadOptions(file, m.settings);
    for (int key = 5; key <= 8; ++key) m.RecallPreset(key);
    for (int tap = 0; tap < 5; ++tap) {
        rig.clock.advanceMs(400 + 37 * (size % 7));
        m.tap().TapButtonClick();
    }
    m.StartTransport(true, false);
    rig.ticks(30);
    m.StopTransport(true);
    m.Timer().SetEnabled(false);
    for (int key = 5; key <= 8; ++key) m.StorePreset(key);
    rig.memory->clearMessages();
    return 0;
}
