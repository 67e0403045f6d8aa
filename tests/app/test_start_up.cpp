// Start-up as the settings file drives it, on the memory backend: what each device hears before
// the first pump pass, and whether label, clock and devices agree on one tempo.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/settings_file.h"
#include "platform/ini_file.h"
#include "support/model_rig.h"

namespace {

const char* kSysexTempo =
    "[DEVICECONFIGURATION]\n"
    "device_clockoutput_enable=1\n"
    "device_sysex_enable=1\n"
    "device_sysexinit_string=F0 7D 10 F7\n"
    "device_sysexrelease_string=F0 7D 11 F7\n"
    "device_sysextemposet1_string=F0 7D 01\n"
    "device_sysextemposet2_string=F7\n";

// Beat length in ms x 0.1 as controller 12: 120 BPM at divider 2 (60 BPM) gives 100.
const char* kDelayCc =
    "[DEVICECONFIGURATION]\n"
    "device_ctrlout_enable=1\n"
    "device_ctrlout_midictrl=12\n"
    "device_ctrlout_convert_bpm_to_ms=1\n";

struct StartUpTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;

    void SetUp() override {
        rig.writeDefinition("SysEx tempo", kSysexTempo);
        rig.writeDefinition("Delay time CC", kDelayCc);
        rig.relistTypes();
    }

    std::string startUp(const std::string& settings, bool firstStart = false) {
        rig.folder.write("clockpresets.ini", settings);
        IniFile file;
        EXPECT_TRUE(file.load(rig.folder.file("clockpresets.ini")));
        return SettingsFile::StartUp(file, m, firstStart);
    }

    // The two ports as a saved setup names them.
    static std::string ports(const std::string& divider2 = "2") {
        return "[MIDIOUTPORT1]\nMIDIPORTINDEX=1\nMIDIPORTNAME=Memory: synth\n"
               "DEVICETYPE=SysEx tempo\nCLOCKDIVIDER=1\n"
               "[MIDIOUTPORT2]\nMIDIPORTINDEX=2\nMIDIPORTNAME=Memory: drums\n"
               "DEVICETYPE=Delay time CC\nCLOCKDIVIDER=" +
               divider2 + "\n";
    }

    // The System Exclusive tempo message of a whole tempo below 128.
    static std::string sysexTempo(int bpm) {
        static const char* digits = "0123456789ABCDEF";
        std::string hex = {digits[bpm >> 4], digits[bpm & 15]};
        return "F0 7D 01 " + hex + " 00 F7";
    }
};

}  // namespace

TEST_F(StartUpTest, EachDeviceHearsItsInitAndTheRunningTempoOnce) {
    EXPECT_EQ(startUp("[APPLICATION_PRESETS]\nDEFAULTSPEED=120\n" + ports()), "");
    EXPECT_EQ(m.Timer().Tempo(), 120000u);
    EXPECT_EQ(rig.sent("synth"), (std::vector<std::string>{"F0 7D 10 F7", sysexTempo(120)}));
    // 120 BPM divided by 2 is a 1000 ms beat: value 100.
    EXPECT_EQ(rig.sent("drums"), (std::vector<std::string>{"B0 0C 64"}));
    EXPECT_EQ(rig.memory->openCount("synth"), 1);
    EXPECT_EQ(rig.memory->openCount("drums"), 1);
    EXPECT_TRUE(m.state.PortReady);
}

TEST_F(StartUpTest, ADefaultSpeedOutsideTheLimitsRunsAtTheNearestLimitEverywhere) {
    struct Case {
        const char* keys;
        int bpm;
    };
    for (const Case& c : {Case{"DEFAULTSPEED=400\n", 330}, Case{"DEFAULTSPEED=416.666\n", 330},
                          Case{"DEFAULTSPEED=400\nBPMMAXIMUM=100.7\n", 100},
                          Case{"DEFAULTSPEED=0.2\nBPMMINIMUM=40\n", 40}}) {
        SCOPED_TRACE(c.keys);
        ModelRig fresh;
        fresh.writeDefinition("SysEx tempo", kSysexTempo);
        fresh.relistTypes();
        fresh.folder.write("clockpresets.ini", std::string("[APPLICATION_PRESETS]\n") + c.keys +
                                                   "[MIDIOUTPORT1]\nMIDIPORTINDEX=1\n"
                                                   "MIDIPORTNAME=Memory: synth\n"
                                                   "DEVICETYPE=SysEx tempo\n");
        IniFile file;
        ASSERT_TRUE(file.load(fresh.folder.file("clockpresets.ini")));
        SettingsFile::StartUp(file, *fresh.model, false);
        EXPECT_DOUBLE_EQ(fresh.model->GetBPM(), c.bpm);
        EXPECT_EQ(fresh.model->state.TempoMilliBPM.load(), c.bpm * 1000);
        EXPECT_EQ(fresh.model->Timer().Tempo(), static_cast<uint32_t>(c.bpm * 1000));
        const std::vector<std::string> sent = fresh.sent("synth");
        ASSERT_FALSE(sent.empty());
        const std::string expected = c.bpm < 128 ? sysexTempo(c.bpm) : "F0 7D 01 4A 02 F7";
        EXPECT_EQ(sent.back(), expected);
    }
}

TEST_F(StartUpTest, ASavedDividerTheBoxDoesNotListRunsAsTheOneItShows) {
    startUp("[APPLICATION_PRESETS]\nDEFAULTSPEED=120\n" + ports("3"));
    EXPECT_EQ(m.out2Controls.divider.text(), "4");
    EXPECT_EQ(rig.port2().Divider(), 4);
    EXPECT_EQ(rig.port2().TicksPerPortBeat(), 96);
    // 30 BPM port tempo: a 2000 ms beat, past the top of the controller's range.
    EXPECT_EQ(rig.sent("drums"), (std::vector<std::string>{"B0 0C 7F"}));
}

TEST_F(StartUpTest, AFirstStartOpensOurVirtualPortOnceAtTheDefaultTempo) {
    startUp("", true);
    EXPECT_EQ(m.out1Controls.port.text(), std::string("Memory: ") + kVirtualPortName);
    EXPECT_EQ(rig.memory->openCount(kVirtualPortName), 1);
    EXPECT_TRUE(m.state.PortReady);
    EXPECT_EQ(m.Timer().Tempo(), 120000u);
    EXPECT_DOUBLE_EQ(rig.port1().Tempo(), 120.0);
}

TEST_F(StartUpTest, PortsTellTheClocksTempoEvenBeforeTheSettingsAreRead) {
    // A device chosen before any SetBPM hears the tempo the clock would run at, not a default
    // of the port's own.
    rig.writeDefinition("SysEx tempo", kSysexTempo);
    ModelRig::chooseType(m.out1Controls, rig.port1(), "SysEx tempo");
    rig.openPort1();
    EXPECT_EQ(m.Timer().Tempo(), 120000u);
    ASSERT_FALSE(rig.sent("synth").empty());
    EXPECT_EQ(rig.sent("synth").back(), sysexTempo(120));
}

// A saved port 2 whose index is past the list and which has no name cannot open; port 1 is
// fine. The status says which port it is.
TEST_F(StartUpTest, APortThatIsNotReadyIsNamed) {
    uint64_t serial = 0;
    m.state.StatusesSince(serial);
    startUp(
        "[MIDIOUTPORT1]\nMIDIPORTINDEX=1\nMIDIPORTNAME=Memory: synth\n"
        "[MIDIOUTPORT2]\nMIDIPORTINDEX=7\n");
    std::vector<std::string> notReady;
    for (const auto& status : m.state.StatusesSince(serial))
        if (status.text == "MIDI Port not ready!") notReady.push_back(status.detail);
    EXPECT_EQ(notReady, std::vector<std::string>{"MIDI Port 2: no device chosen"});

    rig.memory->setFailOpen("drums", true);
    ModelRig::choosePort(m.out2Controls, *m.OutPort2(), "drums");
    EXPECT_EQ(m.state.PendingStatus().detail, "MIDI Port 2: \"Memory: drums\" could not be opened");
}

// Start-up reads a port's definition for its type and again as the port opens; what is wrong
// with the file is told once, all of it.
TEST_F(StartUpTest, ADefinitionsFaultsAreToldOnce) {
    rig.writeDefinition("Bad",
                        "[DEVICECONFIGURATION]\ndevice_ctrlout_enable=1\n"
                        "device_ctrlout_midichannel=16\ndevice_ctrlout_midictrl=300\n");
    rig.relistTypes();
    uint64_t serial = 0;
    m.state.StatusesSince(serial);
    startUp("[MIDIOUTPORT1]\nMIDIPORTINDEX=1\nMIDIPORTNAME=Memory: synth\nDEVICETYPE=Bad\n");
    std::vector<MainState::Status> told;
    for (const auto& status : m.state.StatusesSince(serial))
        if (status.text.starts_with("Bad:")) told.push_back(status);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].text, "Bad: device_ctrlout_midichannel is not a channel 0-15 (+1 more)");
    EXPECT_EQ(told[0].detail, rig.port1().DefinitionFile() +
                                  ": device_ctrlout_midichannel is not a channel 0-15; "
                                  "device_ctrlout_midictrl is not a controller 0-127");
    // Chosen again after another type, it is told again.
    ModelRig::chooseType(m.out1Controls, rig.port1(), "Tempovane");
    ModelRig::chooseType(m.out1Controls, rig.port1(), "Bad");
    EXPECT_EQ(m.state.PendingStatus().text, told[0].text);
}
