// ALSA input devices go by the same stable names as the outputs, so a saved input survives a
// replug that gives the sequencer ports other numbers.
#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "support/in_port_rig.h"

namespace {

// A backend that lists itself as ALSA, with input names as this version lists them.
class AlsaNamed : public MemoryMidiBackend {
    std::string prefix() const override { return "ALSA"; }
};

struct AlsaInputRig {
    MainState state;
    ListModel portList;
    ListModel typeList;
    CheckModel enable{true};
    TempFolder folder;
    MidiSystem system;
    RecordingActions actions;
    std::unique_ptr<MidiInPort> port;

    AlsaInputRig() {
        auto backend = std::make_unique<AlsaNamed>();
        backend->addInputDevice("UM-ONE:UM-ONE MIDI 1");
        backend->addInputDevice("Midi Through:Port-0");
        backend->addInputDevice("UM-ONE:UM-ONE MIDI 1 #2");
        system.addBackend(std::move(backend));
        port = std::make_unique<MidiInPort>("MIDIINPORT1", state,
                                            MidiInPort::Controls{portList, typeList, enable},
                                            system, actions, folder.path() + "indrv/");
    }
    ~AlsaInputRig() { port.reset(); }

    std::string load(const std::string& savedName) {
        IniFile file;
        file.writeString("MIDIINPORT1", "MIDIPORTNAME", savedName);
        file.writeInt("MIDIINPORT1", "MIDIPORTINDEX", 7);
        return port->LoadPortSettings(file, true);
    }
};

}  // namespace

TEST(AlsaInputNames, ASavedNameWithTheOldNumbersFindsItsDevice) {
    AlsaInputRig rig;
    EXPECT_EQ(rig.load("ALSA: UM-ONE:UM-ONE MIDI 1 24:0"), "");
    EXPECT_EQ(rig.portList.text(), "ALSA: UM-ONE:UM-ONE MIDI 1");
    EXPECT_EQ(rig.load("ALSA: Midi Through:Port-0 14:0 "), "");
    EXPECT_EQ(rig.portList.text(), "ALSA: Midi Through:Port-0");
}

TEST(AlsaInputNames, TheSecondOfTwoAlikeKeepsItsSuffixAndAGoneDeviceIsReported) {
    AlsaInputRig rig;
    EXPECT_EQ(rig.load("ALSA: UM-ONE:UM-ONE MIDI 1 #2"), "");
    EXPECT_EQ(rig.portList.text(), "ALSA: UM-ONE:UM-ONE MIDI 1 #2");
    // Not there under any name: reported as saved, numbers and all, and the port shows "None".
    EXPECT_EQ(rig.load("ALSA: Gone:Port 30:0"), "ALSA: Gone:Port 30:0");
    EXPECT_EQ(rig.portList.text(), "None");
}
