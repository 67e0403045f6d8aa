// DispatchShort against a map made straight from the fuzzer's bytes (codes, actions, custom
// ranges, clock following) and a stream of messages, time stamps and keys: every action the
// map can name runs against the real model.
#include "fuzz_rig.h"
#include "midiin/input_definition.h"
#include "midiin/midi_in_port.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ModelRig rig;
    static bool ready = [] {
        rig.model->CreatePorts(rig.folder + "outdrv/");
        rig.model->CreateInPort(rig.folder + "indrv/");
        rig.openPort1();
        return true;
    }();
    (void)ready;
    fuzz::Bytes in(data, size);
    InputMap map;
    const int entries = in.byte() % (kMapEntries + 1);
    for (int i = 0; i < entries; ++i) {
        const auto e = static_cast<size_t>(i);
        map.InputCodes[e] = in.value<int32_t>() & 0xFFFFFF;
        // Mostly the codes the program knows (with a parameter in the thousandths), sometimes
        // anything at all.
        const uint8_t kind = in.byte();
        if (kind < 200) {
            static const int kCodes[] = {1,     60,    120,   2500,  9999,  10000, 10001,
                                         10002, 10003, 10004, 10005, 10006, 10007, 10008,
                                         10009, 10010, 10011, 10012, 11012, 12012, 13012,
                                         10016, 10017, 10101, 20001, 20101};
            map.Actions[e] = kCodes[kind % std::size(kCodes)] + (in.byte() % 10) * 0.1;
        } else {
            map.Actions[e] = in.value<double>();
        }
    }
    map.ClockInHandling = in.byte() & 1;
    const int ranges = in.byte() % 4;
    for (int r = 0; r < ranges; ++r) {
        RangeTransform& t = map.RangeTransforms[16 + in.byte() % 16];
        t.minimum = in.value<int8_t>();
        t.maximum = in.value<int16_t>();
        t.multiplier = in.value<double>();
        t.offset = in.value<int32_t>();
    }
    map.ComputeTables();
    MidiInPort& port = *rig.model->InPort();
    port.SetMap(map);
    while (!in.empty()) {
        const uint8_t status = in.byte();
        const uint8_t data1 = in.byte();
        const uint8_t data2 = in.byte();
        const int32_t stamp = in.value<int16_t>();
        if (status == 0x60)
            rig.model->PassKeyToInputMap(data1 * 256 + data2);
        else
            port.DispatchShort(status, data1, data2, stamp);
        if (in.byte() % 8 == 0) rig.ticks(2);
    }
    rig.model->StopTransport(false);
    rig.model->Timer().SetEnabled(false);
    rig.memory->clearMessages();
    return 0;
}
