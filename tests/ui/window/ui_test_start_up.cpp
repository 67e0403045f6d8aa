// The window's start-up on the memory backend: each saved device hears its init and the tempo
// the clock runs at once, also after the first pump passes.
#include "support/window_rig.h"

namespace {
using StartUpWindowTest = MainWindowTest;
}

TEST_F(StartUpWindowTest, EachSavedDeviceHearsItsInitAndTheClocksTempoOnce) {
    folder.write("outdrv/SysEx tempo.ini",
                 "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\ndevice_sysex_enable=1\n"
                 "device_sysexinit_string=F0 7D 10 F7\ndevice_sysexrelease_string=F0 7D 11 F7\n"
                 "device_sysextemposet1_string=F0 7D 01\ndevice_sysextemposet2_string=F7\n");
    folder.write("outdrv/Delay time CC.ini",
                 "[DEVICECONFIGURATION]\ndevice_ctrlout_enable=1\ndevice_ctrlout_midictrl=12\n"
                 "device_ctrlout_convert_bpm_to_ms=1\n");
    folder.write("clockpresets.ini",
                 "[APPLICATION_PRESETS]\nDEFAULTSPEED=400\nBPMROUNDING=0.001\n"
                 "[MIDIOUTPORT1]\nMIDIPORTINDEX=1\nMIDIPORTNAME=Memory: synth\n"
                 "DEVICETYPE=SysEx tempo\nCLOCKDIVIDER=1\n"
                 "[MIDIOUTPORT2]\nMIDIPORTINDEX=2\nMIDIPORTNAME=Memory: drums\n"
                 "DEVICETYPE=Delay time CC\nCLOCKDIVIDER=3\n");
    open();
    pump(3);
    // 400 BPM is above the default maximum: the clock, the label and the devices run at 330.
    EXPECT_EQ(model().Timer().Tempo(), 330000u);
    EXPECT_EQ(window->BPMLabel->text(), "330");
    EXPECT_EQ(memory->openCount("synth"), 1);
    std::vector<std::string> synth;
    for (const auto& m : memory->messagesFor("synth")) {
        char hex[4];
        std::string text;
        for (uint8_t b : m.bytes) {
            std::snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", b);
            text += hex;
        }
        synth.push_back(text);
    }
    EXPECT_EQ(synth, (std::vector<std::string>{"F0 7D 10 F7", "F0 7D 01 4A 02 F7"}));
    // Divider 3 is not in the box: it runs as the 4 the box shows; 82.5 BPM port tempo is a
    // 727 ms beat, value 73.
    EXPECT_EQ(window->MIDIOutDividerComboBox2->currentText(), "4");
    EXPECT_EQ(model().OutPort2()->Divider(), 4);
    ASSERT_EQ(memory->messagesFor("drums").size(), 1u);
    EXPECT_EQ(memory->messagesFor("drums")[0].bytes, (std::vector<uint8_t>{0xB0, 0x0C, 0x49}));
}
