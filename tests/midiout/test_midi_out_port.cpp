#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "support/model_rig.h"

namespace {

const char* kSysexDevice =
    "[DEVICECONFIGURATION]\n"
    "device_clockoutput_enable=1\n"
    "device_sysex_enable=1\n"
    "device_sysexinit_string=F0 7D 10 F7\n"
    "device_sysexrelease_string=F0 7D 11 F7\n"
    "device_sysextemposet1_string=F0 7D 01\n"
    "device_sysextemposet2_string=F7\n";

struct PortTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
    MidiOutPort& port = rig.port1();
    KorvidMainModel::OutPortControls& c = m.out1Controls;

    void useDefinition(const std::string& type, const std::string& text) {
        rig.writeDefinition(type, text);
        rig.relistTypes();
        ModelRig::chooseType(c, port, type);
    }
    void setDivider(int divider) {
        SelectByName(c.divider, std::to_string(divider));
        port.DividerChanged();
    }
    // Runs n ticks through both port operations, as the clock driver does.
    void runTicks(int from, int n) {
        for (int i = from; i < from + n; ++i) {
            port.ClockTick(i);
            port.AfterTick(i + 1);
        }
    }
    std::vector<std::string> sent() { return rig.sent("synth"); }
};

IniFile IniOf(TempFolder& folder, const std::string& text) {
    folder.write("settings.ini", text);
    IniFile ini;
    EXPECT_TRUE(ini.load(folder.file("settings.ini")));
    return ini;
}

}  // namespace

TEST_F(PortTest, PortListEndsWithNoneWhichIsSelectedAtFirst) {
    EXPECT_EQ(c.port.items(), (std::vector<std::string>{"Memory: Tempovane virtual port",
                                                        "Memory: synth", "Memory: drums", "None"}));
    EXPECT_EQ(c.port.text(), "None");
    EXPECT_EQ(c.port.index(), port.Device().NumDevs());
}

TEST_F(PortTest, OpeningReportsSuccessOrFailureAndSetsPortReady) {
    rig.memory->setFailOpen("drums", true);
    const int changes = m.state.RunStateChanges.load();
    ModelRig::choosePort(c, port, "drums");
    EXPECT_EQ(m.state.PendingStatus().text, "MIDI Port not ready!");
    EXPECT_EQ(m.state.PendingStatus().color, StatusColors::red);
    EXPECT_FALSE(m.state.PortReady.load());
    EXPECT_FALSE(port.Device().Using());

    rig.openPort1();
    EXPECT_EQ(m.state.PendingStatus().text, "MIDI Port Selected ...");
    EXPECT_EQ(m.state.PendingStatus().color, StatusColors::teal);
    EXPECT_TRUE(m.state.PortReady.load());
    EXPECT_EQ(m.state.RunStateChanges.load(), changes + 2);
}

TEST_F(PortTest, DividerSetsWhichTicksCarryAClock) {
    rig.openPort1();
    setDivider(4);
    rig.memory->clearMessages();
    runTicks(0, 13);
    EXPECT_EQ(sent(), (std::vector<std::string>{"F8", "F8", "F8", "F8"}));  // 0, 4, 8, 12
    EXPECT_EQ(port.TicksPerPortBeat(), 96);
    EXPECT_DOUBLE_EQ(port.PortTempo(), port.Tempo() / 4);
}

TEST_F(PortTest, StartsAtBarLinesGoBeforeOrAfterThatTicksClock) {
    rig.openPort1();
    useDefinition("BarStart",
                  "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\n"
                  "device_clockoutput_startbeforeevery1=1\n");
    setDivider(2);
    rig.memory->clearMessages();
    runTicks(0, 385);
    auto s = sent();
    std::vector<size_t> starts;
    for (size_t i = 0; i < s.size(); ++i)
        if (s[i] == "FA") starts.push_back(i);
    // Ticks 0, 192 and 384 are bar lines at divider 2; a clock goes out every second tick.
    EXPECT_EQ(starts, (std::vector<size_t>{0, 97, 194}));
    ASSERT_GE(s.size(), 2u);
    EXPECT_EQ(s[1], "F8");

    useDefinition("BarStartAfter",
                  "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\n"
                  "device_clockoutput_startafterevery1=1\n");
    rig.memory->clearMessages();
    runTicks(0, 193);
    s = sent();
    ASSERT_GE(s.size(), 99u);
    EXPECT_EQ(s[0], "F8");
    EXPECT_EQ(s[1], "FA");
    EXPECT_EQ(s[97], "F8");
    EXPECT_EQ(s[98], "FA");
}

TEST_F(PortTest, StartNowGoesBeforeTheFirstClockAndADeferredStartWaitsOneBeat) {
    rig.openPort1();
    rig.memory->clearMessages();
    port.TransportStart(true, false);
    runTicks(0, 2);
    EXPECT_EQ(sent(), (std::vector<std::string>{"FA", "F8", "F8"}));

    setDivider(2);
    rig.memory->clearMessages();
    port.TransportStart(false, true);
    EXPECT_TRUE(port.StartPending());
    runTicks(0, 47);
    EXPECT_EQ(ModelRig::count(sent(), "FA"), 0);
    runTicks(47, 1);  // AfterTick(48): one port beat of divider x 24 ticks has gone by
    ASSERT_FALSE(sent().empty());
    EXPECT_EQ(sent().back(), "FA");
    EXPECT_EQ(m.state.PendingStatus().text, "Running ...");
    EXPECT_FALSE(port.StartPending());
    runTicks(48, 2);
    ASSERT_FALSE(sent().empty());
    EXPECT_EQ(sent().back(), "F8");
}

TEST_F(PortTest, NoStartAtStartAndNoStopAtEndLeavePauseAlone) {
    rig.openPort1();
    useDefinition("Quiet",
                  "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\n"
                  "device_clockoutput_nostartatstart=1\ndevice_clockoutput_nostopatend=1\n");
    rig.memory->clearMessages();
    port.TransportStart(true, false);
    port.TransportStart(false, true);
    runTicks(0, 24);
    port.TransportPause();
    port.TransportStop(true);
    auto s = sent();
    EXPECT_EQ(ModelRig::count(s, "FA"), 0);
    EXPECT_EQ(ModelRig::count(s, "FC"), 1);  // the pause, not the stop
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s.back(), "FC");
    EXPECT_EQ(m.state.PendingStatus().text, "Stopped ...");
}

TEST_F(PortTest, UncheckedPortKeepsSendingSysexButNothingElse) {
    rig.openPort1();
    useDefinition(
        "Both", std::string(kSysexDevice) + "device_ctrlout_enable=1\ndevice_ctrlout_midictrl=7\n");
    port.SetOutputEnabled(false);
    rig.memory->clearMessages();
    port.TransportStart(true, false);
    runTicks(0, 24);
    port.TransportPause();
    port.TransportContinue();
    port.TransportStop(true);
    port.TempoChanged(120);
    EXPECT_EQ(sent(), (std::vector<std::string>{"F0 7D 01 78 00 F7"}));
}

TEST_F(PortTest, SysexTempoCarriesTheRoundedPortTempoInTwoSevenBitHalves) {
    rig.openPort1();
    useDefinition("Sysex", kSysexDevice);
    rig.memory->clearMessages();
    port.TempoChanged(120);
    port.TempoChanged(300);
    setDivider(2);  // 150 BPM at the port
    EXPECT_EQ(sent(), (std::vector<std::string>{"F0 7D 01 78 00 F7", "F0 7D 01 2C 02 F7",
                                                "F0 7D 01 16 01 F7"}));
    OutputDeviceDefinition d;
    d.tempoString1 = "F0 7D 01";
    d.tempoString2 = "F7";
    EXPECT_EQ(MidiOutPort::TempoHexText(d, 120), "F0 7D 017800F7");
    EXPECT_EQ(MidiOutPort::TempoHexText(d, 300), "F0 7D 012C02F7");
    d.sysexValueOffset = 20;
    EXPECT_EQ(MidiOutPort::TempoHexText(d, 120), "F0 7D 016400F7");
}

TEST_F(PortTest, ControllerTempoFollowsTheDefinitionsFormula) {
    OutputDeviceDefinition d;  // multiplier 1, offset 0, ms multiplier 0.1
    d.convertBpmToMs = true;
    EXPECT_EQ(MidiOutPort::ControllerValue(d, 120), 50);
    d.convertBpmToMs = false;
    EXPECT_EQ(MidiOutPort::ControllerValue(d, 126.6), 127);
    d.floorOutputByte = true;
    EXPECT_EQ(MidiOutPort::ControllerValue(d, 126.6), 126);
    EXPECT_EQ(MidiOutPort::ControllerValue(d, 127), 127);
    EXPECT_EQ(MidiOutPort::ControllerValue(d, 500), 127);
    d.bpmOffset = -200;  // below zero there is nothing to send but 0
    EXPECT_EQ(MidiOutPort::ControllerValue(d, 120), 0);

    rig.openPort1();
    useDefinition("Ctrl",
                  "[DEVICECONFIGURATION]\ndevice_ctrlout_enable=1\ndevice_ctrlout_midichannel=2\n"
                  "device_ctrlout_midictrl=16\ndevice_ctrlout_convert_bpm_to_ms=1\n");
    rig.memory->clearMessages();
    port.TempoChanged(120);
    EXPECT_EQ(sent(), (std::vector<std::string>{"B2 10 32"}));
}

TEST_F(PortTest, ChoosingAnotherTypeReleasesTheOldBeforeTheNewInitAndTempo) {
    rig.openPort1();
    rig.writeDefinition("Other",
                        "[DEVICECONFIGURATION]\ndevice_sysex_enable=1\n"
                        "device_sysexinit_string=F0 7E 20 F7\n"
                        "device_sysextemposet1_string=F0 7E 02\ndevice_sysextemposet2_string=F7\n");
    useDefinition("Sysex", kSysexDevice);
    port.TempoChanged(120);
    rig.memory->clearMessages();
    ModelRig::chooseType(c, port, "Other");
    EXPECT_EQ(sent(),
              (std::vector<std::string>{"F0 7D 11 F7", "F0 7E 20 F7", "F0 7E 02 78 00 F7"}));
    // Choosing the same type again changes nothing.
    rig.memory->clearMessages();
    port.DeviceTypeChanged();
    EXPECT_TRUE(sent().empty());
}

TEST_F(PortTest, NoneSendsNothingButKeepsTheDefinition) {
    rig.openPort1();
    useDefinition("Sysex", kSysexDevice);
    SelectByName(c.port, "None");
    port.OpenSelectedPort();
    EXPECT_FALSE(port.Device().Using());
    EXPECT_TRUE(port.Definition().sysexEnable);
    rig.memory->clearMessages();
    port.TransportStart(true, false);
    runTicks(0, 24);
    port.TempoChanged(130);
    EXPECT_TRUE(rig.memory->messages().empty());

    // Back on a device: the release goes nowhere (the old device is closed); the new device
    // gets the init string and the tempo.
    rig.openPort1("drums");
    EXPECT_EQ(rig.sent("drums"), (std::vector<std::string>{"F0 7D 10 F7", "F0 7D 01 02 01 F7"}));
}

TEST_F(PortTest, ReopeningSendsTheReleaseOnlyWhenTheDefinitionHasSysex) {
    rig.openPort1();
    rig.memory->clearMessages();
    rig.openPort1("drums");
    EXPECT_TRUE(rig.sent("synth").empty());

    useDefinition("Sysex", kSysexDevice);
    rig.openPort1("synth");
    ASSERT_FALSE(rig.sent("drums").empty());
    ASSERT_FALSE(rig.sent("synth").empty());
    EXPECT_EQ(rig.sent("drums").back(), "F0 7D 11 F7");
    EXPECT_EQ(rig.sent("synth").front(), "F0 7D 10 F7");
}

TEST_F(PortTest, DoublingAndHalvingStayWithinOneToSixtyFour) {
    setDivider(64);
    port.DoubleDivider();
    EXPECT_EQ(port.Divider(), 64);
    setDivider(1);
    port.HalveDivider();
    EXPECT_EQ(port.Divider(), 1);
    port.DoubleDivider();
    port.DoubleDivider();
    EXPECT_EQ(port.Divider(), 4);
    EXPECT_EQ(c.divider.text(), "4");
    // The derived values follow only at the next tempo change.
    EXPECT_EQ(port.TicksPerPortBeat(), 24);
    port.TempoChanged(120);
    EXPECT_EQ(port.TicksPerPortBeat(), 96);
    EXPECT_DOUBLE_EQ(port.PortTempo(), 30.0);
}

TEST_F(PortTest, SavedPortKeyJoinsNameAndIndex) {
    TempFolder f;
    EXPECT_EQ(port.SavedPortKey(IniOf(f, "[MIDIOUTPORT1]\nDEVICETYPE=x\n")), "");
    EXPECT_EQ(port.SavedPortKey(IniOf(f, "[MIDIOUTPORT1]\nMIDIPORTNAME=None\nMIDIPORTINDEX=2\n")),
              "None**2");
    EXPECT_EQ(port.SavedPortKey(IniOf(f, "[midioutport1]\nmidiportname=Memory: synth\n")),
              "Memory: synth**-1");
}

TEST_F(PortTest, LoadPortSettingsPrefersTheNameAndReportsAMissingPort) {
    TempFolder f;
    // Same name at the same index: found, no warning.
    EXPECT_EQ(port.LoadPortSettings(
                  IniOf(f, "[MIDIOUTPORT1]\nMIDIPORTINDEX=1\nMIDIPORTNAME=Memory: drums\n"), true),
              "");
    EXPECT_EQ(c.port.text(), "Memory: drums");
    // The name wins over a stale index.
    EXPECT_EQ(
        port.LoadPortSettings(
            IniOf(f, "[MIDIOUTPORT1]\nMIDIPORTINDEX=1\nMIDIPORTNAME= memory: SYNTH \n"), true),
        "");
    EXPECT_EQ(c.port.text(), "Memory: synth");
    // A name found nowhere selects "None" and is returned for the warning.
    EXPECT_EQ(port.LoadPortSettings(
                  IniOf(f, "[MIDIOUTPORT1]\nMIDIPORTINDEX=0\nMIDIPORTNAME=USB Midi 4x4\n"), true),
              "USB Midi 4x4");
    EXPECT_EQ(c.port.text(), "None");
    EXPECT_EQ(port.StoredSavedPortKey(), "USB Midi 4x4**0");
}

TEST_F(PortTest, LoadPortSettingsRestoresTypeAndDivider) {
    rig.writeDefinition("Sysex", kSysexDevice);
    rig.relistTypes();
    TempFolder f;
    port.LoadPortSettings(IniOf(f, "[MIDIOUTPORT1]\nDEVICETYPE=sysex\nCLOCKDIVIDER=8\n"), false);
    EXPECT_EQ(c.deviceType.text(), "Sysex");
    EXPECT_TRUE(port.Definition().sysexEnable);
    EXPECT_EQ(port.Divider(), 8);
    EXPECT_EQ(c.divider.text(), "8");

    port.LoadPortSettings(IniOf(f, "[MIDIOUTPORT1]\nDEVICETYPE=Gone\nCLOCKDIVIDER=0\n"), false);
    EXPECT_EQ(c.deviceType.text(), "Tempovane");  // the last item
    EXPECT_EQ(port.Divider(), 1);

    // A divider no list item shows runs as the nearest item, which the box shows; a huge one
    // as the largest.
    port.LoadPortSettings(IniOf(f, "[MIDIOUTPORT1]\nCLOCKDIVIDER=3\n"), false);
    EXPECT_EQ(port.Divider(), 4);
    EXPECT_EQ(c.divider.text(), "4");
    port.LoadPortSettings(IniOf(f, "[MIDIOUTPORT1]\nCLOCKDIVIDER=2000000000\n"), false);
    EXPECT_EQ(port.Divider(), 64);
    EXPECT_EQ(c.divider.text(), "64");
    port.TempoChanged(120);
    rig.openPort1();
    runTicks(0, 3);  // no overflow on the bar arithmetic
    ASSERT_FALSE(sent().empty());
    EXPECT_EQ(sent().back(), "F8");
}

TEST_F(PortTest, DeviceTypesListTheFolderAndTheBuiltInTypeOnce) {
    EXPECT_EQ(c.deviceType.items(), (std::vector<std::string>{"Tempovane"}));
    rig.writeDefinition("b-device", "");
    rig.writeDefinition("A-device", "");
    rig.writeDefinition("notes", "");  // written as notes.ini too; a .txt is not a definition
    rig.folder.write("outdrv/readme.txt", "");
    rig.relistTypes();
    EXPECT_EQ(c.deviceType.items(),
              (std::vector<std::string>{"A-device", "b-device", "notes", "Tempovane"}));
    rig.writeDefinition("TEMPOVANE", "");
    rig.relistTypes();
    EXPECT_EQ(ModelRig::count(c.deviceType.items(), "TEMPOVANE"), 1);
    EXPECT_EQ(ModelRig::count(c.deviceType.items(), "Tempovane"), 0);
}

TEST_F(PortTest, DefinitionDefaultsAndTheBuiltInType) {
    rig.writeDefinition("Empty", "[DEVICECONFIGURATION]\n");
    rig.writeDefinition("Mult",
                        "[DEVICECONFIGURATION]\ndevice_ctrlout_bpm_multiplier=0\n"
                        "device_ctrlout_ms_multiplier=0\n");
    rig.writeDefinition("Tiny",
                        "[DEVICECONFIGURATION]\ndevice_ctrlout_bpm_multiplier=0.0001\n"
                        "device_ctrlout_bpm_offset_value=abc\n");
    auto builtIn = ReadOutputDeviceDefinition(rig.folder.path() + "outdrv/Tempovane.ini");
    EXPECT_TRUE(builtIn.clockOutputEnable);
    EXPECT_EQ(builtIn.description, "Tempovane");
    auto empty = ReadOutputDeviceDefinition(rig.folder.path() + "outdrv/Empty.ini");
    EXPECT_FALSE(empty.clockOutputEnable);
    EXPECT_EQ(empty.tracksChannel, 9);
    auto mult = ReadOutputDeviceDefinition(rig.folder.path() + "outdrv/Mult.ini");
    EXPECT_EQ(mult.bpmMultiplier, 1.0);
    EXPECT_EQ(mult.msMultiplier, 0.1);
    auto tiny = ReadOutputDeviceDefinition(rig.folder.path() + "outdrv/Tiny.ini");
    EXPECT_EQ(tiny.bpmMultiplier, 0.0001);
    EXPECT_EQ(tiny.bpmOffset, 0.0);

    rig.openPort1();
    useDefinition("Empty", "[DEVICECONFIGURATION]\n");
    rig.memory->clearMessages();
    runTicks(0, 24);
    EXPECT_TRUE(sent().empty());  // an empty section turns the clock off
}

TEST_F(PortTest, TracksAreHandedOverAndTheirProgramChangeSent) {
    rig.openPort1();
    rig.memory->clearMessages();
    useDefinition("Drums",
                  "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\ndevice_tracks_enable=1\n"
                  "device_tracks_programchange=5\n"
                  "[TRACKS]\n24=7F 00 7F 00\n26=00 7F\n");
    EXPECT_EQ(port.TrackLines(), (std::vector<std::string>{"24=7F 00 7F 00", "26=00 7F"}));
    ASSERT_FALSE(sent().empty());
    EXPECT_EQ(sent().front(), "C9 05");
    // The program change ignores the enable box.
    port.SetOutputEnabled(false);
    rig.memory->clearMessages();
    port.LoadDeviceDefinition();
    ASSERT_FALSE(sent().empty());
    EXPECT_EQ(sent().front(), "C9 05");
}

TEST_F(PortTest, AVanishedDeviceStopsSendingAndTellsTheUser) {
    rig.openPort1();
    rig.memory->removeDevice("synth");
    EXPECT_EQ(m.state.PendingStatus().text, "MIDI Port lost: synth");
    EXPECT_EQ(m.state.PendingStatus().color, StatusColors::red);
    EXPECT_FALSE(port.Device().Alive());
    runTicks(0, 24);  // keeps ticking into nothing, without a crash
    port.TransportStop(true);
}
