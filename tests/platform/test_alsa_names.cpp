// ALSA sequencer ports listed by names that survive a replug or a restart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "platform/midi_alsa.h"
#include "platform/midi_system.h"
#include "support/model_rig.h"

using Names = std::vector<std::string>;

TEST(AlsaNames, TheClientAndPortNumbersAreDropped) {
    EXPECT_EQ(AlsaNameWithoutNumbers("Midi Through:Midi Through Port-0 14:0"),
              "Midi Through:Midi Through Port-0");
    EXPECT_EQ(AlsaNameWithoutNumbers("FLUID Synth (4321):Synth input port (4321:0) 128:0 "),
              "FLUID Synth (4321):Synth input port (4321:0)");
    // Nothing that merely looks like numbers is cut.
    EXPECT_EQ(AlsaNameWithoutNumbers("Synth:Out 1"), "Synth:Out 1");
    EXPECT_EQ(AlsaNameWithoutNumbers("Synth:Out 1:a"), "Synth:Out 1:a");
    EXPECT_EQ(AlsaNameWithoutNumbers("Synth:Out :0"), "Synth:Out :0");
    EXPECT_EQ(AlsaNameWithoutNumbers("20:0"), "20:0");
    EXPECT_EQ(AlsaNameWithoutNumbers(""), "");
}

TEST(AlsaNames, OnlyNamesThatWouldReadTheSameGetASuffix) {
    EXPECT_EQ(AlsaStableNames({"UM-ONE:UM-ONE MIDI 1 20:0", "Midi Through:Port-0 14:0",
                               "UM-ONE:UM-ONE MIDI 1 24:0", "UM-ONE:UM-ONE MIDI 1 28:0"}),
              (Names{"UM-ONE:UM-ONE MIDI 1", "Midi Through:Port-0", "UM-ONE:UM-ONE MIDI 1 #2",
                     "UM-ONE:UM-ONE MIDI 1 #3"}));
    // The same ports found under other numbers the next day keep their names.
    EXPECT_EQ(AlsaStableNames({"Midi Through:Port-0 14:0", "UM-ONE:UM-ONE MIDI 1 32:0"}),
              (Names{"Midi Through:Port-0", "UM-ONE:UM-ONE MIDI 1"}));
    // A suffix never takes a name another port has of its own.
    EXPECT_EQ(AlsaStableNames({"A:B 20:0", "A:B 21:0", "A:B #2 22:0"}),
              (Names{"A:B", "A:B #3", "A:B #2"}));
    EXPECT_TRUE(AlsaStableNames({}).empty());
}

TEST(AlsaNames, ASavedNameWithNumbersFindsItsDevice) {
    EXPECT_EQ(MidiSystem::StableDeviceName("ALSA: Midi Through:Port-0 14:0"),
              "ALSA: Midi Through:Port-0");
    EXPECT_EQ(MidiSystem::StableDeviceName("JACK: system:midi 1:2"), "JACK: system:midi 1:2");

    // A backend listed as ALSA, with names as this version lists them.
    class Named : public MemoryMidiBackend {
        std::string prefix() const override { return "ALSA"; }
    };
    auto system = std::make_unique<MidiSystem>();
    auto backend = std::make_unique<Named>();
    backend->addDevice("Midi Through:Port-0");
    backend->addDevice("UM-ONE:UM-ONE MIDI 1");
    system->addBackend(std::move(backend));
    ManualClock clock;
    KorvidMainModel model(std::move(system), clock, TBPMTimer::Drive::Manual);
    TempFolder folder;
    model.CreatePorts(folder.path());
    folder.write("settings.ini",
                 "[MIDIOUTPORT1]\nMIDIPORTINDEX=5\nMIDIPORTNAME=ALSA: UM-ONE:UM-ONE MIDI 1 24:0\n"
                 "[MIDIOUTPORT2]\nMIDIPORTINDEX=1\nMIDIPORTNAME=ALSA: Gone:Port 30:0\n");
    IniFile file;
    ASSERT_TRUE(file.load(folder.file("settings.ini")));
    EXPECT_EQ(model.OutPort1()->LoadPortSettings(file, true), "");
    EXPECT_EQ(model.out1Controls.port.text(), "ALSA: UM-ONE:UM-ONE MIDI 1");
    // Not there under any name: reported as saved, and the port is set to "None".
    EXPECT_EQ(model.OutPort2()->LoadPortSettings(file, true), "ALSA: Gone:Port 30:0");
    EXPECT_EQ(model.out2Controls.port.text(), "None");
}
