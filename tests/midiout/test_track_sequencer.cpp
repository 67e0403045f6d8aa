#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "support/bounded_wait.h"
#include "support/model_rig.h"

namespace {

std::string Pattern(const SeqTrack& t, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += t.StepAt(i).velocity > 0 ? '1' : t.StepAt(i).velocity < 0 ? '-' : '0';
    return out;
}

TEST(SeqTrackParse, KeyIsReadByPosition) {
    SeqTrack t;
    ASSERT_TRUE(t.ParseLine("BD247409X=1000100010001000"));
    EXPECT_EQ(t.Label(), "BD");
    EXPECT_EQ(t.Note(), 36);
    EXPECT_EQ(t.Channel(), 9);
    EXPECT_TRUE(t.Hold());
    EXPECT_EQ(t.StepCount(), 16);
    EXPECT_EQ(Pattern(t, 16), "1000100010001000");
    EXPECT_EQ(t.StepAt(4).velocity, 116);
    EXPECT_EQ(t.StepAt(4).note, 36);
    EXPECT_EQ(t.StepAt(1).note, 36);  // a rest carries the track's note too

    ASSERT_TRUE(t.ParseLine("SD=1"));  // two characters: every default
    EXPECT_EQ(t.Label(), "SD");
    EXPECT_EQ(t.Note(), 36);
    EXPECT_EQ(t.StepAt(0).velocity, 116);
    EXPECT_EQ(t.Channel(), 9);
    EXPECT_FALSE(t.Hold());

    ASSERT_TRUE(t.ParseLine("HH2A=1"));  // note only
    EXPECT_EQ(t.StepAt(0).note, 0x2A);
    EXPECT_EQ(t.StepAt(0).velocity, 116);
    ASSERT_TRUE(t.ParseLine("HH2A40=1"));  // note and velocity, default channel
    EXPECT_EQ(t.StepAt(0).velocity, 0x40);
    EXPECT_EQ(t.Channel(), 9);
    ASSERT_TRUE(t.ParseLine("HH2A4003x=1"));  // lower-case x is no hold
    EXPECT_EQ(t.Channel(), 3);
    EXPECT_FALSE(t.Hold());
}

TEST(SeqTrackParse, PatternRulesAndLimits) {
    SeqTrack t;
    ASSERT_TRUE(t.ParseLine("AA=1111 1111 1111 1111"));
    // A shorter pattern overwrites only its own steps; the rest keep what they held.
    ASSERT_TRUE(t.ParseLine("AA=0a0-0"));
    EXPECT_EQ(t.StepCount(), 3);
    EXPECT_EQ(Pattern(t, 16), "0001111111111111");

    // A line too short to have a label changes nothing but the hold mark.
    ASSERT_TRUE(t.ParseLine("AA2474X=1"));
    EXPECT_FALSE(t.ParseLine("A"));
    EXPECT_FALSE(t.ParseLine(""));
    EXPECT_EQ(Pattern(t, 4), "1001");

    // Only 64 steps fit; the rest of a longer pattern is dropped without harm.
    ASSERT_TRUE(t.ParseLine("AA=" + std::string(70, '1')));
    EXPECT_EQ(t.StepCount(), 64);
    EXPECT_EQ(t.StepAt(63).velocity, 116);

    // Out-of-range bytes cannot turn into status bytes.
    ASSERT_TRUE(t.ParseLine("AAFF7F1A=1"));
    EXPECT_EQ(t.StepAt(0).note, 0x7F);
    EXPECT_EQ(t.Channel(), 0x0A);

    t.ClearSteps();
    EXPECT_EQ(t.StepAt(0).note, 0);
    EXPECT_EQ(Pattern(t, 64), std::string(64, '0'));
}

// Tracks played straight onto an open device of the memory backend.
struct SeqPlayTest : ::testing::Test {
    ModelRig rig;
    TMidiOutput& device = rig.port1().Device();
    SeqPlayTest() {
        rig.openPort1();
        rig.memory->clearMessages();
    }
    std::vector<std::string> sent() {
        auto out = rig.sent("synth");
        rig.memory->clearMessages();
        return out;
    }
};

TEST_F(SeqPlayTest, LoudVelocityIsNeverPlayedButStillTurnedOff) {
    SeqTrack t;
    ASSERT_TRUE(t.ParseLine("AA249001=110"));  // velocity 90 hex is negative as a signed byte
    EXPECT_EQ(Pattern(t, 3), "--0");
    t.PlayStep(0, device);
    EXPECT_TRUE(sent().empty());
    t.PlayStep(1, device);
    EXPECT_EQ(sent(), (std::vector<std::string>{"81 24 00"}));
    t.PlayStep(2, device);
    EXPECT_EQ(sent(), (std::vector<std::string>{"81 24 00"}));
    t.PlayStep(0, device);
    EXPECT_TRUE(sent().empty());  // the rest owed nothing
}

TEST_F(SeqPlayTest, HoldTrackRingsUntilStopped) {
    SeqTrack t;
    ASSERT_TRUE(t.ParseLine("BD247409X=1111"));
    for (int s = 0; s < 4; ++s) t.PlayStep(s, device);
    EXPECT_EQ(sent(), std::vector<std::string>(4, "99 24 74"));
    t.AllNotesOff(device);
    EXPECT_EQ(sent(), (std::vector<std::string>{"89 24 00"}));
    t.AllNotesOff(device);  // already silent: no second note-off
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(t.CurrentStep(), 3);  // stopping keeps the place
}

TEST_F(SeqPlayTest, LoadingSilencesThenFillsOrClearsEveryTrack) {
    SeqSet set;
    std::vector<std::string> lines;
    for (int i = 0; i < 18; ++i) lines.push_back("T" + std::to_string(i % 10) + "=1");
    lines[3] = "X";                                // does not parse
    EXPECT_EQ(set.LoadTracks(lines, device), 15);  // lines past the 16th are ignored
    set.PlayStep(0, device);
    EXPECT_EQ(sent().size(), 15u);

    // The second load first turns off what is sounding, then clears tracks without a line.
    EXPECT_EQ(set.LoadTracks({"BD=0", "SD2601=1"}, device), 2);
    EXPECT_EQ(sent(), std::vector<std::string>(15, "89 24 00"));
    EXPECT_EQ(set.Track(1).StepAt(0).note, 0x26);
    EXPECT_EQ(Pattern(set.Track(2), 64), std::string(64, '0'));
    set.PlayStep(0, device);
    EXPECT_EQ(sent(), (std::vector<std::string>{"99 26 01"}));  // "01" is the velocity
}

TEST_F(SeqPlayTest, ToggledCellsPlayWhatTheStepHolds) {
    VisualSeq grid(50, 300);
    grid.LoadTracks({"BD=10"}, device);
    grid.ToggleCell(0, 1);   // a rest within the pattern: the track's note
    grid.ToggleCell(0, 0);   // a hit becomes a rest
    grid.ToggleCell(0, 20);  // outside the grid: nothing
    grid.ToggleCell(1, 5);   // a track without a line: note 0
    grid.PlayStep(0, device);
    EXPECT_TRUE(sent().empty());
    grid.PlayStep(1, device);
    EXPECT_EQ(sent(), (std::vector<std::string>{"99 24 7F"}));
    grid.PlayStep(5, device);
    EXPECT_EQ(sent(), (std::vector<std::string>{"89 24 00", "99 00 7F"}));
}

TEST_F(SeqPlayTest, CellPaintFollowsPatternRowsAndStep) {
    VisualSeq grid(50, 300);
    grid.LoadTracks({"BD=1000", "SD=0100"}, device);
    grid.PlayStep(17, device);  // column 1 outlined
    const GridCellPaint hit = grid.CellPaint(0, 0);
    EXPECT_FALSE(hit.background);
    EXPECT_EQ(hit.fill, GridColors::hit);
    EXPECT_EQ(hit.outline, GridColors::idle);
    EXPECT_EQ(hit.left, 295);
    EXPECT_EQ(hit.top, 45);
    // Ten pixels a side, edges included, and two free between neighbours.
    EXPECT_EQ(hit.right - hit.left + 1, VisualSeq::kCellSize);
    EXPECT_EQ(hit.bottom - hit.top + 1, VisualSeq::kCellSize);
    EXPECT_EQ(grid.CellPaint(1, 0).left - hit.right - 1, VisualSeq::kCellGap);
    EXPECT_EQ(grid.CellPaint(0, 1).top - hit.bottom - 1, VisualSeq::kCellGap);
    const GridCellPaint playing = grid.CellPaint(1, 1);
    EXPECT_EQ(playing.fill, GridColors::hit);
    EXPECT_EQ(playing.outline, GridColors::playing);
    EXPECT_EQ(playing.left, 295 + 12);
    EXPECT_EQ(playing.top, 45 + 12);
    EXPECT_EQ(grid.CellPaint(1, 0).fill, GridColors::rest);
    EXPECT_TRUE(grid.CellPaint(0, 2).background);

    struct Counter : GridPainter {
        int cells = 0;
        void PaintCell(const GridCellPaint&) override { ++cells; }
    } counter;
    EXPECT_TRUE(grid.Changed());
    grid.Draw(counter);
    EXPECT_EQ(counter.cells, 256);
    EXPECT_FALSE(grid.Changed());
}

// A port with tracks enabled, driven tick by tick as the clock driver does.
struct SeqPortTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
    MidiOutPort& port = rig.port1();

    void useTracks(const std::string& tracks, bool enable = true) {
        rig.writeDefinition("Seq", std::string("[DEVICECONFIGURATION]\ndevice_tracks_enable=") +
                                       (enable ? "1" : "0") + "\n[TRACKS]\n" + tracks);
        rig.relistTypes();
        rig.openPort1();
        ModelRig::chooseType(m.out1Controls, port, "Seq");
        rig.memory->clearMessages();
    }
    void setDivider(int divider) {
        SelectByName(m.out1Controls.divider, std::to_string(divider));
        port.DividerChanged();
    }
    // Note-ons by the tick (n of AfterTick) that sent them, and their time stamps.
    std::map<int, int> notesByTick(int ticks) {
        std::map<int, int> out;
        for (int n = 0; n < ticks; ++n) {
            port.ClockTick(n, 1000 + n);
            port.AfterTick(n + 1, 1000 + n);
            for (const auto& msg : rig.memory->messagesFor("synth")) {
                if (msg.bytes.size() == 3 && (msg.bytes[0] & 0xF0) == 0x90) {
                    EXPECT_EQ(msg.timeNs, 1000 + n);
                    ++out[n + 1];
                }
            }
            rig.memory->clearMessages();
        }
        return out;
    }
};

TEST_F(SeqPortTest, StepsFallEverySixteenthOfTheDividedBar) {
    useTracks("AA=1111111111111111\n");
    auto notes = notesByTick(96 + 7);
    ASSERT_EQ(notes.size(), 18u);
    EXPECT_EQ(notes.begin()->first, 1);  // step 0 right after the first clock
    EXPECT_EQ(std::next(notes.begin())->first, 7);
    EXPECT_EQ(notes.rbegin()->first, 97 + 6);
    EXPECT_EQ(port.Grid().CurrentStep(), 1);  // a new bar started over at step 0

    setDivider(2);
    port.Grid().PlayStep(0, port.Device());  // forget the last step's place
    rig.memory->clearMessages();
    notes = notesByTick(192);
    ASSERT_EQ(notes.size(), 16u);
    EXPECT_EQ(std::next(notes.begin())->first, 13);
    EXPECT_EQ(notes.rbegin()->first, 1 + 15 * 12);
    EXPECT_EQ(port.Grid().CurrentStep(), 15);
}

TEST_F(SeqPortTest, EveryTracksLineIsATrackInFileOrderWhateverItsKey) {
    // Two hi-hats under one key, a kick twice in different case: four rows, each its own line.
    useTracks(
        "HH2A=1000000000000000\nbd24=0100000000000000\nHH2C=0010000000000000\n"
        "BD24=0001000000000000\n");
    EXPECT_EQ(port.TrackLines(),
              (std::vector<std::string>{"HH2A=1000000000000000", "bd24=0100000000000000",
                                        "HH2C=0010000000000000", "BD24=0001000000000000"}));
    EXPECT_EQ(port.Grid().LoadedTracks(), 4);
    EXPECT_EQ(port.Grid().Set().Track(2).Label(), "HH");
    EXPECT_EQ(port.Grid().Set().Track(2).Note(), 0x2C);
    EXPECT_EQ(port.Grid().Set().Track(3).Label(), "BD");
    // Each step plays the note of its own line: 2A, 24, 2C, 24.
    std::vector<int> notes;
    for (int n = 0; n < 24; ++n) {
        port.ClockTick(n, n);
        port.AfterTick(n + 1, n);
    }
    for (const auto& msg : rig.memory->messagesFor("synth"))
        if (msg.bytes.size() == 3 && (msg.bytes[0] & 0xF0) == 0x90 && msg.bytes[2] > 0)
            notes.push_back(msg.bytes[1]);
    EXPECT_EQ(notes, (std::vector<int>{0x2A, 0x24, 0x2C, 0x24}));
}

TEST_F(SeqPortTest, NothingPlaysWithoutTracksEnabledOrWithThePortDisabled) {
    useTracks("AA=1111111111111111\n", false);
    EXPECT_TRUE(notesByTick(24).empty());
    EXPECT_EQ(port.Grid().LoadedTracks(), 1);  // loaded all the same, for the grid
    useTracks("AA=1111111111111111\n");
    port.SetOutputEnabled(false);
    EXPECT_TRUE(notesByTick(24).empty());
    port.SetOutputEnabled(true);
    EXPECT_EQ(notesByTick(24).size(), 4u);
}

TEST_F(SeqPortTest, StopAndDestructionSendTheSoundingNotesOffs) {
    useTracks("BD247409X=1000\nSD2664=1000\nHH=0000\n");
    m.StartTransport(true, false);
    rig.ticks(1);
    rig.memory->clearMessages();
    m.StopTransport(true);
    auto sent = rig.sent("synth");
    EXPECT_EQ(ModelRig::count(sent, "89 24 00"), 1);
    EXPECT_EQ(ModelRig::count(sent, "89 26 00"), 1);
    EXPECT_EQ(sent.size(), 3u);  // and the Stop

    m.StartTransport(true, false);
    rig.ticks(1);
    rig.memory->clearMessages();
    m.DestroyPorts();
    sent = rig.sent("synth");
    EXPECT_EQ(ModelRig::count(sent, "89 24 00"), 1);
    EXPECT_EQ(ModelRig::count(sent, "89 26 00"), 1);
}

TEST_F(SeqPortTest, EditsAndLoadsWhilePlayingLeaveNoNoteSounding) {
    useTracks("AA=1010101010101010\nBB2801=1100110011001100\n");
    std::atomic<bool> done{false};
    const testwait::Watchdog watchdog("the ticks, edits and loads");
    std::thread clock([&] {
        for (int n = 0; n < 20000; ++n) port.AfterTick(n + 1);
        done = true;
    });
    for (int i = 0; !done; ++i) {
        port.Grid().ToggleCell(i % 2, i % 16);
        if (i % 50 == 0) port.LoadDeviceDefinition();
    }
    clock.join();
    port.Grid().AllNotesOff(port.Device());
    std::map<std::pair<int, int>, int> sounding;  // (channel, note) -> ons minus offs
    for (const auto& msg : rig.memory->messagesFor("synth")) {
        if (msg.bytes.size() != 3) continue;
        const int kind = msg.bytes[0] & 0xF0;
        if (kind == 0x90) ++sounding[{msg.bytes[0] & 15, msg.bytes[1]}];
        if (kind == 0x80) sounding[{msg.bytes[0] & 15, msg.bytes[1]}] = 0;
    }
    for (const auto& [key, count] : sounding) EXPECT_EQ(count, 0) << key.first << " " << key.second;
}

TEST(ShippedDrumPattern, ReceiverGetsKickSnareAndHatsOnChannelTen) {
    ModelRig rig;
    for (const auto& entry : std::filesystem::directory_iterator(TEMPOVANE_DATA_DIR "/outdrv"))
        std::filesystem::copy(entry.path(),
                              rig.folder.path() + "outdrv/" + entry.path().filename().string());
    rig.relistTypes();
    rig.openPort1();
    ASSERT_TRUE(SelectByName(rig.model->out1Controls.deviceType, "GM drum pattern"));
    rig.port1().DeviceTypeChanged();
    rig.memory->clearMessages();
    rig.model->StartTransport(true, false);
    rig.ticks(96);
    rig.model->StopTransport(true);
    std::vector<std::string> notes;
    for (const auto& s : rig.sent("synth"))
        if (s[0] == '9' || s[0] == '8') notes.push_back(s);
    EXPECT_EQ(ModelRig::count(notes, "99 24 74"), 3);  // kick
    EXPECT_EQ(ModelRig::count(notes, "99 26 64"), 2);  // snare on 2 and 4
    EXPECT_EQ(ModelRig::count(notes, "99 2A 50"), 7);  // closed hats
    EXPECT_EQ(ModelRig::count(notes, "99 2E 50"), 1);  // open hat
    int ons = 0, offs = 0;
    for (const auto& s : notes) (s[0] == '9' ? ons : offs)++;
    EXPECT_EQ(ons, 13);
    EXPECT_EQ(offs, 13);  // every note ends, the last ones at the stop
    for (const auto& s : notes) EXPECT_EQ(s[1], '9') << s;
}

}  // namespace
