#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <thread>
#include <utility>

#include "platform/ini_file.h"
#include "support/bounded_wait.h"
#include "support/in_port_rig.h"

namespace {

using Calls = std::vector<std::pair<int, double>>;

std::string Entry(int n, const std::string& input, const std::string& action) {
    return "INPUT" + std::to_string(n) + "=" + input + "\nACTION" + std::to_string(n) + "=" +
           action + "\n";
}

std::string Map(const std::string& entries, const std::string& extra = "") {
    return "[SPECIAL_COMMANDS]\n" + entries + extra;
}

}  // namespace

TEST(MidiInPortDispatch, ExactValueAndRangeWithoutZero) {
    InPortRig rig;
    rig.load(Map(Entry(0, "B00700", "10001") + Entry(1, "B007FF", "10005")));
    rig.open();
    ASSERT_EQ(rig.send(0xB0, 7, 0), 1);
    EXPECT_EQ(rig.actions.calls(), (Calls{{0, 10001}}));  // FF excludes 0
    rig.actions.clear();
    rig.send(0xB0, 7, 1);
    rig.send(0xB0, 7, 127);
    EXPECT_EQ(rig.actions.calls(), (Calls{{1, 10005}, {1, 10005}}));
    rig.actions.clear();
    rig.send(0xB1, 7, 0);  // channel 2
    rig.send(0xB0, 8, 0);  // another controller
    EXPECT_TRUE(rig.actions.calls().empty());
}

TEST(MidiInPortDispatch, ControllerToTempoPerformsLookedUpValueThenOwnAction) {
    InPortRig rig;
    rig.load(Map(Entry(0, "B007F0", "10000")));
    rig.open();
    rig.send(0xB0, 7, 64);
    const Calls calls = rig.actions.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].first, 0);
    EXPECT_NEAR(calls[0].second, 101.291328, 1e-6);
    EXPECT_EQ(calls[1].second, 10000);  // the code itself does nothing in the model
}

TEST(MidiInPortDispatch, Byte1MapsTapOnEveryNoteAndNotePlusForty) {
    InPortRig rig;
    rig.load(Map(Entry(0, "90F000", "20001.1") + Entry(1, "91F500", "10000.1")));
    rig.open();
    rig.send(0x90, 60, 100);
    rig.send(0x90, 61, 0);  // any velocity taps
    rig.send(0x80, 60, 0);  // a Note Off does not
    EXPECT_EQ(rig.actions.calls(), (Calls{{0, 20001}, {0, 20001}}));
    rig.actions.clear();
    rig.send(0x91, 60, 99);
    EXPECT_EQ(rig.actions.calls(), (Calls{{1, 100}}));
}

TEST(MidiInPortDispatch, BeatPeriodControllerGivesTempoFromHundredths) {
    InPortRig rig;
    rig.load(Map(Entry(0, "B040F1", "20101")));
    rig.open();
    rig.send(0xB0, 64, 50);
    EXPECT_EQ(rig.actions.calls(), (Calls{{0, 120}, {0, 20101}}));
    for (uint8_t v : {0, 1, 19, 20}) {
        rig.actions.clear();
        rig.send(0xB0, 64, v);
        const Calls calls = rig.actions.calls();
        ASSERT_EQ(calls.size(), 2u) << int(v);
        EXPECT_EQ(calls[0].second, 300) << int(v);
    }
}

TEST(MidiInPortDispatch, EntriesFireInOrderAndEmptyEntriesNever) {
    InPortRig rig;
    rig.load(Map(Entry(3, "903C7F", "10001") + Entry(5, "903CF1", "10000")));
    rig.open();
    rig.send(0x90, 0x3C, 0x7F);
    EXPECT_EQ(rig.actions.calls(), (Calls{{3, 10001}, {5, 127}, {5, 10000}}));
    rig.actions.clear();
    rig.send(0, 0, 0);  // matches no empty entry
    EXPECT_TRUE(rig.actions.calls().empty());
}

TEST(MidiInPortDispatch, KeysMatchEvenWithoutPortButNothingWhenDisabled) {
    InPortRig rig;
    rig.load(Map(Entry(0, "600020", "20001")));
    // Port "None": keys still reach the map.
    rig.port->DispatchShort(0x60, 0, 0x20, 0);
    EXPECT_EQ(rig.actions.calls(), (Calls{{0, 20001}}));
    EXPECT_EQ(rig.send(0x60, 0, 0x20), 0);  // no MIDI arrives while no port is open

    rig.actions.clear();
    rig.enable.setChecked(false);
    rig.port->DispatchShort(0x60, 0, 0x20, 0);
    EXPECT_TRUE(rig.actions.calls().empty());
}

TEST(MidiInPortDispatch, ClockFollowingMeasuresStartsAndStops) {
    InPortRig rig;
    rig.load("[DEVICECONFIGURATION]\nTEMPOVANE_IN_HANDLING=1\n");
    rig.open();
    rig.port->MeasureRequested = true;
    rig.sendOne(0xF8, 100);  // the first clock begins the measurement: nothing to divide yet
    EXPECT_TRUE(rig.actions.calls().empty());
    EXPECT_TRUE(rig.port->MeasureRequested);
    rig.port->MeasureRequested = false;

    // The pump asks again just before the 24th clock after the last measurement.
    for (int k = 1; k <= 24; ++k) {
        if (k == 24) rig.port->MeasureRequested = true;
        rig.sendOne(0xF8, 100 + 500 * k / 24);
    }
    EXPECT_DOUBLE_EQ(rig.state.RawClockInBPM.load(), 120);
    EXPECT_DOUBLE_EQ(rig.state.FilteredClockInBPM.load(), 120);
    EXPECT_EQ(rig.actions.calls(), (Calls{{1, 120}}));

    // A second measurement in the same millisecond is skipped, not divided by zero.
    rig.actions.clear();
    rig.port->MeasureRequested = true;
    rig.sendOne(0xF8, 600);
    EXPECT_TRUE(rig.actions.calls().empty());
    EXPECT_TRUE(rig.port->MeasureRequested);

    rig.sendOne(0xFA, 700);
    rig.sendOne(0xFB, 710);  // Continue is not followed
    rig.sendOne(0xFC, 720);
    EXPECT_EQ(rig.actions.calls(), (Calls{{1, 10004}, {1, 10005}}));
}

TEST(MidiInPortDispatch, AMeasurementNeverSpansAPauseOfTheMastersClock) {
    InPortRig rig;
    rig.state.CurrentBPM = 100;  // ours, until the first measurement
    rig.load("[DEVICECONFIGURATION]\nTEMPOVANE_IN_HANDLING=1\n");
    rig.open();
    // The master at 120 BPM (a clock every 20.8 ms); the pump asks every half second, and so
    // also all through a silence, where the request waits for the next clock.
    double ms = 1000;
    std::vector<double> measured;  // every measurement taken, whether or not the tempo moved
    auto play = [&](double seconds) {
        const double from = ms;
        for (int k = 0; k < seconds * 48; ++k) {
            ms = from + k * 500.0 / 24;
            if (k % 24 == 0) rig.port->MeasureRequested = true;
            const bool asked = rig.port->MeasureRequested;
            rig.sendOne(0xF8, static_cast<uint32_t>(ms));
            if (asked && !rig.port->MeasureRequested) measured.push_back(rig.state.RawClockInBPM);
        }
    };
    auto tempos = [&] {
        for (const auto& [index, value] : rig.actions.calls()) {
            if (value < 10000) {
                EXPECT_NEAR(value, 120, 0.6) << "a tempo the devices were sent";
            }
        }
        rig.actions.clear();
        return std::exchange(measured, {});
    };
    play(2);
    std::vector<double> seen = tempos();
    ASSERT_GE(seen.size(), 3u);
    for (double bpm : seen) EXPECT_NEAR(bpm, 120, 0.6);

    // Stop, three seconds of silence, Start.
    rig.sendOne(0xFC, static_cast<uint32_t>(ms));
    ms += 3000;
    rig.port->MeasureRequested = true;
    rig.sendOne(0xFA, static_cast<uint32_t>(ms));
    play(2);
    seen = tempos();
    ASSERT_GE(seen.size(), 3u);
    for (double bpm : seen) EXPECT_NEAR(bpm, 120, 0.6) << "no measurement over the silence";

    // Silence of three beats with no Stop: the clocks after it measure afresh too.
    ms += 1500;
    rig.port->MeasureRequested = true;
    play(2);
    seen = tempos();
    ASSERT_GE(seen.size(), 3u);
    for (double bpm : seen) EXPECT_NEAR(bpm, 120, 0.6) << "no measurement over the gap";

    // The device opened again counts its stamps from 0: earlier than the last clock.
    rig.port->OpenSelectedPort();
    ms = 10;
    play(2);
    seen = tempos();
    ASSERT_GE(seen.size(), 3u);
    for (double bpm : seen) EXPECT_NEAR(bpm, 120, 0.6) << "after the stamps went back";
}

TEST(MidiInPortDispatch, ClockIgnoredWhenMapDoesNotFollow) {
    InPortRig rig;
    rig.load(Map(Entry(0, "B00700", "10001")));
    rig.open();
    rig.port->MeasureRequested = true;
    for (int k = 0; k < 48; ++k) rig.sendOne(0xF8, 10 * k);
    rig.sendOne(0xFA, 500);
    EXPECT_TRUE(rig.actions.calls().empty());
    EXPECT_EQ(rig.port->ClockCount(), 0);
}

TEST(MidiInPortDispatch, LearnSeesEverythingButActiveSensing) {
    InPortRig rig;
    rig.open();
    CheckModel learn{true};
    rig.port->SetLearnTarget(&learn);
    rig.send(0xB0, 7, 0x40);
    EXPECT_EQ(rig.state.LearnText(), "B00740");
    EXPECT_EQ(rig.state.LearnChanges.load(), 1);
    rig.sendOne(0xFE, 10);
    EXPECT_EQ(rig.state.LearnChanges.load(), 1);
    rig.sendOne(0xF8, 20);
    EXPECT_EQ(rig.state.LearnText(), "F80000");
    rig.port->DispatchShort(0x60, 0, 0x41, 0);
    EXPECT_EQ(rig.state.LearnText(), "600041");

    learn.setChecked(false);
    rig.send(0x90, 1, 2);
    EXPECT_EQ(rig.state.LearnChanges.load(), 3);
    rig.port->ClearLearnTarget();
}

TEST(MidiInPortDispatch, TristateHalvesOnceAndDoublesOnce) {
    InPortRig rig;
    std::vector<int> steps;
    for (int v : {64, 20, 10, 64, 100, 127}) steps.push_back(rig.port->TristateStep(4, v));
    EXPECT_EQ(steps, (std::vector<int>{0, -1, 0, 0, 1, 0}));
    // The first value only sets the state, even in a zone: a pedal that is already down (or up)
    // when the program starts changes nothing until it moves into another zone.
    EXPECT_EQ(rig.port->TristateStep(5, 10), 0);
    EXPECT_EQ(rig.port->TristateStep(5, 100), 1);
    EXPECT_EQ(rig.port->TristateStep(6, 100), 0) << "a first value in the high zone";
    EXPECT_EQ(rig.port->TristateStep(6, 127), 0);
    EXPECT_EQ(rig.port->TristateStep(6, 10), -1);
    EXPECT_EQ(rig.port->TristateStep(7, 64), 0);
    EXPECT_EQ(rig.port->TristateStep(7, 127), 1);
    EXPECT_EQ(rig.port->TristateStep(-1, 10), 0);
    EXPECT_EQ(rig.port->TristateStep(32, 10), 0);
}

TEST(MidiInPortSelection, FailedOpenSaysNotReadyAndNoneCloses) {
    InPortRig rig;
    const auto items = rig.portList.items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0], "Memory: Tempovane virtual input");
    EXPECT_EQ(items.back(), "None");
    EXPECT_EQ(rig.portList.text(), "None");

    rig.open();
    EXPECT_TRUE(rig.port->Device().Using());
    SelectByName(rig.portList, "None");
    rig.port->OpenSelectedPort();
    EXPECT_FALSE(rig.port->Device().Using());
    EXPECT_EQ(rig.memory->inputsOpenNow("pedal"), 0);

    rig.memory->setFailOpenInput("pedal", true);
    rig.open();
    EXPECT_FALSE(rig.port->Device().Using());
    const auto status = rig.state.PendingStatus();
    EXPECT_EQ(status.text, "MIDI IN Port not ready!");
    EXPECT_EQ(status.color, StatusColors::red);
}

TEST(MidiInPortSelection, NoInputDevicesListsOnlyNone) {
    MainState state;
    ListModel ports, types;
    CheckModel enable;
    MidiSystem system;
    RecordingActions actions;
    MidiInPort port("MIDIINPORT1", state, {ports, types, enable}, system, actions, "/nonexistent/");
    EXPECT_EQ(ports.items(), std::vector<std::string>{"None"});
    EXPECT_EQ(ports.index(), 0);
    port.OpenSelectedPort();
    EXPECT_FALSE(port.Device().Using());
    port.ListDeviceTypes();
    EXPECT_EQ(types.items(), std::vector<std::string>{"Default"});
}

TEST(MidiInPortSelection, SettingsRoundTripAndMissingPortName) {
    InPortRig rig;
    rig.load(Map(Entry(0, "B00700", "10001")), "Pedalboard");
    rig.open();
    IniFile file;
    rig.port->SavePortSettings(file);
    EXPECT_EQ(file.readString("MIDIINPORT1", "MIDIPORTNAME", ""), "Memory: pedal");
    EXPECT_EQ(file.readInt("MIDIINPORT1", "MIDIPORTINDEX", -1), 1);
    EXPECT_EQ(file.readString("MIDIINPORT1", "DEVICETYPE", ""), "Pedalboard");

    InPortRig other;
    other.folder.write("indrv/Pedalboard.ini", Map(Entry(0, "B00700", "10001")));
    other.port->ListDeviceTypes();
    EXPECT_EQ(other.port->LoadPortSettings(file, true), "");
    EXPECT_EQ(other.portList.text(), "Memory: pedal");
    EXPECT_EQ(other.typeList.text(), "Pedalboard");
    EXPECT_EQ(other.port->Map().InputCodes[0], 0xB00700);

    file.writeString("MIDIINPORT1", "MIDIPORTNAME", "Memory: gone");
    file.writeString("MIDIINPORT1", "DEVICETYPE", "Vanished");
    EXPECT_EQ(other.port->LoadPortSettings(file, true), "Memory: gone");
    EXPECT_EQ(other.portList.text(), "None");
    EXPECT_EQ(other.typeList.text(), "Default");  // the last item

    // The missing device is remembered and written back as it was saved, not as "None".
    ASSERT_TRUE(other.port->MissingSavedPort().has_value());
    EXPECT_EQ(other.port->MissingSavedPort()->name, "Memory: gone");
    EXPECT_EQ(other.port->MissingSavedPort()->index, 1);
    other.port->OpenSelectedPort();  // "None" lets nothing go
    other.port->RefreshPortList();
    IniFile again;
    other.port->SavePortSettings(again);
    EXPECT_EQ(again.readString("MIDIINPORT1", "MIDIPORTNAME", ""), "Memory: gone");
    EXPECT_EQ(again.readInt("MIDIINPORT1", "MIDIPORTINDEX", -1), 1);
    // Another device opened there replaces it.
    other.open();
    EXPECT_FALSE(other.port->MissingSavedPort().has_value());
    other.port->SavePortSettings(again);
    EXPECT_EQ(again.readString("MIDIINPORT1", "MIDIPORTNAME", ""), "Memory: pedal");
}

TEST(MidiInPortSelection, TheListIsReadAgainKeepingTheChoiceByName) {
    InPortRig rig;
    const std::string own = "Memory: Tempovane virtual input";
    ASSERT_EQ(rig.portList.items(), (std::vector<std::string>{own, "Memory: pedal", "None"}));
    rig.memory->addInputDevice("late pads");
    rig.port->RefreshPortList();
    EXPECT_EQ(rig.portList.items(),
              (std::vector<std::string>{own, "Memory: pedal", "Memory: late pads", "None"}));
    EXPECT_EQ(rig.portList.text(), "None");
    rig.open("late pads");
    ASSERT_TRUE(rig.port->Device().Using());
    rig.memory->addInputDevice("later still");
    rig.port->RefreshPortList();
    EXPECT_EQ(rig.portList.text(), "Memory: late pads");
    EXPECT_EQ(rig.port->Device().ProductName(rig.port->Device().Port()), "Memory: late pads");
    EXPECT_EQ(rig.memory->inject("late pads", {0xB0, 1, 2}, 0), 1) << "still open";
}

TEST(MidiInPortDefinitions, SaveSelectsTheFileKeepsItsMapSectionsAndRefusesUnreadable) {
    InPortRig rig;
    rig.folder.write("indrv/Pads.ini",
                     "[CUSTOMRANGE_TRANSFORMS]\nRANGEMAP_E2=CURVE\n[CURVE]\n1=99\n");
    rig.port->ListDeviceTypes();
    InputMap map;
    map.InputCodes[0] = 0x99247F;
    map.Actions[0] = 20001;
    map.Comments[0] = "kick";
    rig.port->SetMap(map);
    ASSERT_TRUE(rig.port->SaveDefinition(rig.folder.path() + "indrv/Pads.ini"));
    EXPECT_EQ(rig.typeList.text(), "Pads");
    EXPECT_EQ(rig.port->DefinitionName(), "Pads.ini");
    const std::string text = rig.folder.read("indrv/Pads.ini");
    EXPECT_NE(text.find("[CURVE]"), std::string::npos);
    EXPECT_NE(text.find("INPUT0=99247F"), std::string::npos);
    EXPECT_NE(text.find("COMMENT0=kick"), std::string::npos);

    // Saving as a new name lists it; a folder in the file's place is reported, not replaced.
    ASSERT_TRUE(rig.port->SaveDefinition(rig.folder.path() + "indrv/Live.ini"));
    EXPECT_EQ(rig.typeList.text(), "Live");
    std::filesystem::create_directories(rig.folder.path() + "indrv/Broken.ini");
    std::string error;
    EXPECT_FALSE(rig.port->SaveDefinition(rig.folder.path() + "indrv/Broken.ini", &error));
    EXPECT_FALSE(error.empty());
}

// The editor's Store writes the map's keys into the file; what else the author put there stays
// as written: comments, a map section with a repeated value, a second spelling of a section,
// lines the reader skips.
TEST(MidiInPortDefinitions, StoreLeavesEveryOtherLineAsItWas) {
    InPortRig rig;
    const std::string own =
        "; my pads, tuned for the live set\n"
        "[CURVE]\n"
        "1=99\n"
        "1=98\n"
        "soft curve below\n"
        "[curve]\n"
        "2=97\n";
    rig.folder.write("indrv/Pads.ini", "[CUSTOMRANGE_TRANSFORMS]\nRANGEMAP_E2=CURVE\n\n" + own);
    rig.port->ListDeviceTypes();
    InputMap map;
    map.InputCodes[0] = 0x99247F;
    map.Actions[0] = 20001;
    rig.port->SetMap(map);
    ASSERT_TRUE(rig.port->SaveDefinition(rig.folder.path() + "indrv/Pads.ini"));
    const std::string text = rig.folder.read("indrv/Pads.ini");
    EXPECT_NE(text.find("RANGEMAP_E2=CURVE\n"), std::string::npos);
    EXPECT_NE(text.find("\n\n" + own), std::string::npos) << text;
    EXPECT_NE(text.find("INPUT0=99247F"), std::string::npos);
}

TEST(MidiInPortDefinitions, DispatchNeverSeesATornEntryWhileMapsAreSwapped) {
    InPortRig rig;
    InputMap first, second;
    first.InputCodes[0] = 0xB00700;
    first.Actions[0] = 100;
    second.InputCodes[0] = 0xB00701;
    second.Actions[0] = 200;
    rig.open();
    rig.port->SetMap(first);  // something fires even if the sender is done before any swap
    std::atomic<bool> done{false};
    int mismatched = 0;
    size_t fired = 0;
    const testwait::Watchdog watchdog("the messages sent while the map is swapped");
    std::thread sender([&] {
        for (int i = 0; i < 4000; ++i) {
            const uint8_t value = static_cast<uint8_t>(i & 1);
            const size_t before = rig.actions.calls().size();
            rig.send(0xB0, 7, value);
            const auto calls = rig.actions.calls();
            // Whatever map the dispatch saw, the action must be the one paired with this message.
            for (size_t k = before; k < calls.size(); ++k, ++fired)
                if (calls[k].second != (value == 0 ? 100 : 200)) ++mismatched;
        }
        done = true;
    });
    int swaps = 0;
    while (!done.load()) {
        rig.port->SetMap(swaps % 2 ? second : first);
        ++swaps;
    }
    sender.join();
    EXPECT_EQ(mismatched, 0);
    EXPECT_GT(fired, 0u);
}
