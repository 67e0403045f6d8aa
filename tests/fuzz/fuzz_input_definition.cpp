// An input definition of any content, read as the input port loads it, then every kind of
// message run through the map it gives.
#include "fuzz_rig.h"
#include "midiin/input_definition.h"
#include "midiin/midi_in_port.h"
#include "platform/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ModelRig rig;
    static bool ready = [] {
        rig.model->CreatePorts(rig.folder + "outdrv/");
        rig.model->CreateInPort(rig.folder + "indrv/");
        rig.openPort1();
        return true;
    }();
    (void)ready;
    IniFile file;
    file.loadText(std::string(reinterpret_cast<const char*>(data), size));
    MidiInPort& in = *rig.model->InPort();
    in.ReadDefinition(file);
    const InputMap map = in.Map();
    // The messages the map itself names, and their neighbours, are the ones that reach its rules.
    for (int32_t code : map.InputCodes) {
        const auto status = static_cast<uint8_t>(code >> 16);
        const auto data1 = static_cast<uint8_t>(code >> 8);
        for (int data2 : {0, 39, 81, 127, code & 0xFF})
            in.DispatchShort(status, data1 & 0x7F, static_cast<uint8_t>(data2), 0);
    }
    for (uint8_t status : {0xF8, 0xFA, 0xFB, 0xFC}) in.DispatchShort(status, 0, 0, 1);
    rig.model->StopTransport(false);
    rig.model->Timer().SetEnabled(false);
    rig.memory->clearMessages();
    return 0;
}
