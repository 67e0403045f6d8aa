// The network tempo session against a peer in another process: tempo both ways, our ticks on
// the peer's beat grid, start/stop both ways. Runs in a private network namespace.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>

#include "app/main_model.h"
#include "app/settings_file.h"
#include "app/sync_control.h"
#include "link/link_session.h"
#include "platform/midi_memory.h"
#include "platform/midi_system.h"
#include "platform/monotonic_clock.h"
#include "support/link_peer.h"
#include "support/model_rig.h"

using namespace std::chrono_literals;

namespace {

struct Recorder : LinkListener {
    std::atomic<double> tempo{0};
    std::atomic<int> playing{-1};
    void LinkTempo(double bpm) override { tempo = bpm; }
    void LinkPlaying(bool on) override { playing = on ? 1 : 0; }
};

bool Joined(LinkPeer& peer, LinkSession& ours) {
    return LinkPeer::waitFor([&] { return peer.peers() == 1 && ours.NumPeers() == 1; }, 10s);
}

}  // namespace

TEST(LinkSession, TempoGoesBothWaysExactlyWithinASecond) {
    LinkPeer peer;
    Recorder recorder;
    LinkSession session;
    session.SetListener(&recorder);
    session.Enable(true, 120);
    ASSERT_TRUE(Joined(peer, session));

    peer.setTempo(123.4567);
    const auto changed = std::chrono::steady_clock::now();
    // Link carries a tempo as whole microseconds a beat: 123.4567 arrives as 123.456790.
    EXPECT_TRUE(LinkPeer::waitFor([&] { return std::fabs(recorder.tempo - 123.4567) < 1e-3; }, 1s));
    EXPECT_LT(std::chrono::steady_clock::now() - changed, 1s);
    EXPECT_NEAR(session.Tempo(), 123.4567, 1e-3);

    session.SetTempo(99.125);
    EXPECT_TRUE(LinkPeer::waitFor([&] { return std::fabs(peer.tempo() - 99.125) < 1e-3; }, 1s));
    session.SetListener(nullptr);
}

TEST(LinkSession, TicksFallOnThePeersBeatGridFromABarLine) {
    LinkPeer peer;
    LinkSession session;
    session.Enable(true, 120);
    ASSERT_TRUE(Joined(peer, session));
    peer.setTempo(137.5);
    ASSERT_TRUE(LinkPeer::waitFor([&] { return std::fabs(session.Tempo() - 137.5) < 1e-3; }, 2s));

    const int64_t now = MonotonicNowNs();
    session.BeginRun(now, true, 0);
    const int64_t first = session.TickDueNs(0);
    EXPECT_GE(first, now - 25'000'000) << "at most a hair of the bar already gone";
    EXPECT_LE(first, now + static_cast<int64_t>(4 * 60e9 / 137.5) + 1'000'000);
    const double firstBeat = peer.beatAt(first);
    // A bar line of the session (quantum 4), to well within a millisecond (0.002 beat).
    EXPECT_NEAR(firstBeat / 4, std::round(firstBeat / 4), 0.002 / 4);
    for (int k : {1, 7, 24, 25, 96}) {
        const double beat = peer.beatAt(session.TickDueNs(k));
        EXPECT_NEAR(beat - firstBeat, k / 24.0, 0.002) << "tick " << k;
    }
    // After a stall the next tick is again a point of the grid.
    const int64_t later = first + 3'000'000'000LL;
    const int64_t k = session.FirstTickAtOrAfter(later);
    EXPECT_GE(session.TickDueNs(k), later - 1000);
    EXPECT_LT(session.TickDueNs(k - 1), later);
}

TEST(LinkSession, StartStopSyncBothWays) {
    LinkPeer peer;
    Recorder recorder;
    LinkSession session;
    session.SetListener(&recorder);
    session.SetStartStopSync(true);
    session.Enable(true, 120);
    ASSERT_TRUE(Joined(peer, session));

    peer.setPlaying(true);
    EXPECT_TRUE(LinkPeer::waitFor([&] { return recorder.playing == 1; }, 1s));
    session.SetPlaying(false);
    EXPECT_TRUE(LinkPeer::waitFor([&] { return !peer.playing(); }, 1s));
    // Our start: the run's beginning puts the session's start on our first bar line.
    session.BeginRun(MonotonicNowNs(), true, 0);
    EXPECT_TRUE(LinkPeer::waitFor([&] { return peer.playing(); }, 1s));
    session.SetListener(nullptr);
}

TEST(LinkSession, WithoutSyncThePlayingStateIsLeftAlone) {
    LinkPeer peer;
    Recorder recorder;
    LinkSession session;
    session.SetListener(&recorder);
    session.Enable(true, 120);
    ASSERT_TRUE(Joined(peer, session));
    peer.setPlaying(true);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(recorder.playing, -1);
    session.BeginRun(MonotonicNowNs(), true, 0);
    session.SetPlaying(false);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(peer.playing());
    session.SetListener(nullptr);
}

// --- the whole model: our tempo from any source, the clock's ticks, transport -----------------

namespace {

struct LinkedModel {
    MemoryMidiBackend* memory = nullptr;
    TempFolder folder;
    std::unique_ptr<KorvidMainModel> model;

    LinkedModel() {
        auto system = std::make_unique<MidiSystem>();
        auto backend = std::make_unique<MemoryMidiBackend>();
        memory = backend.get();
        memory->addDevice("synth");
        system->addBackend(std::move(backend));
        model = std::make_unique<KorvidMainModel>(std::move(system));  // real clock thread
        std::filesystem::create_directories(folder.path() + "outdrv");
        model->CreatePorts(folder.path() + "outdrv/");
        SelectByName(model->out1Controls.port, "Memory: synth");
        model->OutPort1()->OpenSelectedPort();
        model->settings.BPMROUNDING = 1.0;  // whole BPM for our own changes
        model->settings.LINKSTARTSTOPSYNC = true;
        model->Sync().ApplySettings();
    }
    ~LinkedModel() { model->StopTransport(false); }

    template <typename Pred>
    bool pumpUntil(Pred pred, std::chrono::milliseconds limit) {
        return LinkPeer::waitFor(
            [&] {
                model->Sync().Pump();
                return pred();
            },
            limit);
    }
    std::vector<int64_t> clockTimes() const {
        std::vector<int64_t> times;
        for (const auto& m : memory->messagesFor("synth"))
            if (m.bytes.size() == 1 && m.bytes[0] == 0xF8) times.push_back(m.timeNs);
        return times;
    }
};

// The model in a session with a peer process (forked first, before our threads exist).
struct LinkModel : ::testing::Test {
    LinkPeer peer;
    LinkedModel rig;
    KorvidMainModel& m = *rig.model;

    void SetUp() override {
        m.Sync().SetLinkEnabled(true);
        ASSERT_TRUE(Joined(peer, m.Sync().Link()));
    }
};

}  // namespace

TEST_F(LinkModel, PeerTempoIsOursUnroundedAndOursGoesToThePeer) {
    peer.setTempo(123.4567);
    EXPECT_TRUE(rig.pumpUntil([&] { return std::fabs(m.GetBPM() - 123.4567) < 1e-3; }, 1s))
        << "not rounded by the 1 BPM step: " << m.GetBPM();
    EXPECT_EQ(m.GetBPM(), m.Sync().Link().Tempo()) << "exactly the session's";
    EXPECT_EQ(m.state.TempoMilliBPM.load(), 123457);

    m.SetBPM(141.3);  // the track bar, a key, a preset: rounded by our step, then shared
    EXPECT_TRUE(rig.pumpUntil([&] { return std::fabs(peer.tempo() - 141) < 1e-3; }, 1s));
    // Outside our limits the peer's tempo is followed at half (or double) of it, and ours is
    // not pushed back at it: a push would show in our own session state at once and reach the
    // peer within a second (as above), so the pump runs that long while nothing may move.
    m.settings.BPMMAXIMUM = 200;
    peer.setTempo(250);
    EXPECT_TRUE(rig.pumpUntil([&] { return std::fabs(m.GetBPM() - 125) < 1e-3; }, 1s))
        << m.GetBPM();
    EXPECT_FALSE(rig.pumpUntil(
        [&] {
            return std::fabs(m.Sync().Link().Tempo() - 250) > 1e-3 ||
                   std::fabs(peer.tempo() - 250) > 1e-3;
        },
        1500ms))
        << "our session " << m.Sync().Link().Tempo() << ", the peer " << peer.tempo();
    EXPECT_NEAR(m.GetBPM(), 125, 1e-3);
}

TEST_F(LinkModel, APeerTempoOutOfReachIsNeitherFollowedNorPushedBack) {
    // Limits closer than an octave: no power of two brings 170 within 100 to 150. The clock
    // runs on at its own tempo, and that tempo is not sent to the session over the peer's:
    // that would only start a tug of war. The user's own change still goes to the session.
    m.settings.BPMROUNDING = 1.0;
    m.SetBPM(120);
    ASSERT_TRUE(rig.pumpUntil([&] { return std::fabs(peer.tempo() - 120) < 1e-3; }, 1s));
    m.settings.BPMMINIMUM = 100;
    m.settings.BPMMAXIMUM = 150;
    uint64_t serial = 0;
    m.state.StatusesSince(serial);
    peer.setTempo(170);
    bool told = false;
    ASSERT_TRUE(rig.pumpUntil(
        [&] {
            for (const MainState::Status& status : m.state.StatusesSince(serial))
                told = told || status.text == "Link: session's tempo out of reach";
            return told;
        },
        1s));
    EXPECT_EQ(m.GetBPM(), 120);
    EXPECT_FALSE(m.Sync().FollowingSession());
    // A push would show in our own session state at once and reach the peer within a second.
    EXPECT_FALSE(rig.pumpUntil(
        [&] {
            return std::fabs(m.Sync().Link().Tempo() - 170) > 1e-3 ||
                   std::fabs(peer.tempo() - 170) > 1e-3;
        },
        1500ms))
        << "our session " << m.Sync().Link().Tempo() << ", the peer " << peer.tempo();
    EXPECT_EQ(m.GetBPM(), 120);

    m.SetBPM(130);  // the track bar, a key, a preset
    EXPECT_TRUE(rig.pumpUntil([&] { return std::fabs(peer.tempo() - 130) < 1e-3; }, 1s))
        << peer.tempo();
    EXPECT_TRUE(rig.pumpUntil([&] { return m.Sync().FollowingSession(); }, 1s));
    EXPECT_EQ(m.GetBPM(), 130);
}

TEST_F(LinkModel, ClocksLandOnTheSessionsBeatsAndStartStopIsShared) {
    peer.setTempo(150);
    ASSERT_TRUE(rig.pumpUntil([&] { return m.GetBPM() == 150; }, 1s));

    // The peer starts: so do we, on its bar line.
    peer.setPlaying(true);
    ASSERT_TRUE(rig.pumpUntil([&] { return m.state.RunState == 1; }, 1s));
    ASSERT_TRUE(rig.pumpUntil([&] { return rig.clockTimes().size() >= 100; }, 5s));
    const std::vector<int64_t> times = rig.clockTimes();
    ASSERT_GE(times.size(), 100u);
    const double first = peer.beatAt(times[0]);
    EXPECT_NEAR(first / 4, std::round(first / 4), 0.002 / 4) << "the first clock on a bar line";
    for (size_t k : {size_t{24}, size_t{48}, size_t{72}, size_t{96}})
        EXPECT_NEAR(peer.beatAt(times[k]) - first, k / 24.0, 0.002) << "clock " << k;
    // Start went out with the first clock.
    const auto sent = rig.memory->messagesFor("synth");
    size_t start = sent.size();
    for (size_t i = 0; i < sent.size(); ++i)
        if (sent[i].bytes.size() == 1 && sent[i].bytes[0] == 0xFA) start = i;
    ASSERT_LT(start + 1, sent.size());
    EXPECT_EQ(sent[start + 1].bytes, std::vector<uint8_t>{0xF8});
    EXPECT_EQ(sent[start + 1].timeNs, times[0]);

    // We stop (F1): the session stops.
    m.transport().StartStopSeq();
    EXPECT_TRUE(rig.pumpUntil([&] { return !peer.playing(); }, 1s));
    // Our F1 starts the session again, from our next bar line.
    m.transport().StartStopSeq();
    EXPECT_TRUE(rig.pumpUntil([&] { return peer.playing(); }, 3s));
    // And the peer's stop stops us.
    peer.setPlaying(false);
    EXPECT_TRUE(rig.pumpUntil([&] { return m.state.RunState == 0; }, 1s));
}

TEST_F(LinkModel, LeavingKeepsTheClockGoingAtTheLastTempo) {
    peer.setTempo(160);
    ASSERT_TRUE(rig.pumpUntil([&] { return m.GetBPM() == 160; }, 1s));
    m.transport().StartStopSeq();
    ASSERT_TRUE(rig.pumpUntil([&] { return rig.clockTimes().size() >= 30; }, 4s));
    m.Sync().SetLinkEnabled(false);
    EXPECT_EQ(m.Sync().Peers(), 0u);
    const size_t left = rig.clockTimes().size();
    ASSERT_TRUE(rig.pumpUntil([&] { return rig.clockTimes().size() >= left + 30; }, 3s));
    const std::vector<int64_t> times = rig.clockTimes();
    ASSERT_GE(times.size(), left + 30);
    const double period = 60e9 / (24 * 160);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_NEAR(static_cast<double>(times[i] - times[i - 1]), period, 20'000) << "clock " << i;
    EXPECT_EQ(m.GetBPM(), 160);
}

TEST(LinkSession, OurTempoChangeKeepsTicksOnThePeersGrid) {
    LinkPeer peer;
    LinkSession session;
    session.Enable(true, 120);
    ASSERT_TRUE(Joined(peer, session));
    session.BeginRun(MonotonicNowNs(), true, 0);
    for (double bpm : {131.5, 97.25}) {
        session.SetTempo(bpm);
        ASSERT_TRUE(LinkPeer::waitFor([&] { return std::fabs(peer.tempo() - bpm) < 1e-3; }, 1s));
        for (int wait = 0; wait < 3; ++wait) {
            const int64_t now = MonotonicNowNs();
            const int64_t k = session.FirstTickAtOrAfter(now);
            const double first = peer.beatAt(session.TickDueNs(k));
            EXPECT_NEAR(first * 24, std::round(first * 24), 0.05) << bpm << " BPM, tick " << k;
            EXPECT_NEAR(peer.beatAt(session.TickDueNs(k + 24)) - first, 1.0, 0.002);
            std::this_thread::sleep_for(700ms);
        }
    }
}

TEST(LinkSession, ASettingsPatchNeverJoinsLeavesOrChangesTheSession) {
    ModelRig rig;
    SyncControl& sync = rig.model->Sync();
    rig.model->settings.LINKSTARTSTOPSYNC = true;
    rig.model->settings.LINKQUANTUM = 4;
    sync.ApplySettings();
    rig.folder.write("join.tvp",
                     "[BPM_PRESETS]\nF5BPM=99\n[LINK]\nENABLED=1\nSTARTSTOPSYNC=0\nQUANTUM=8\n");
    rig.folder.write("leave.tvp", "[LINK]\nENABLED=0\n");

    // Its options and presets are taken; its [LINK] keys are not.
    ASSERT_TRUE(SettingsFile::ImportPatch(rig.folder.file("join.tvp"), *rig.model));
    EXPECT_EQ(rig.model->settings.F5BPM.load(), 99);
    EXPECT_FALSE(sync.LinkEnabled());
    EXPECT_FALSE(rig.model->settings.LINKENABLED.load());
    EXPECT_TRUE(rig.model->settings.LINKSTARTSTOPSYNC.load());
    EXPECT_EQ(rig.model->settings.LINKQUANTUM.load(), 4);
    EXPECT_TRUE(sync.Link().StartStopSync());
    EXPECT_EQ(sync.Link().Quantum(), 4);

    // Joined with the box (or Ctrl+L), a patch does not take us out either.
    sync.SetLinkEnabled(true);
    ASSERT_TRUE(SettingsFile::ImportPatch(rig.folder.file("leave.tvp"), *rig.model));
    EXPECT_TRUE(sync.LinkEnabled());
    EXPECT_TRUE(rig.model->settings.LINKENABLED.load());
    sync.SetLinkEnabled(false);
}

// --- Link's own test plan: tempos outside our limits, beat time, start/stop on joining --------

TEST_F(LinkModel, ASessionTempoOutsideOurLimitsIsFollowedAtAPowerOfTwoOnItsBeats) {
    m.settings.BPMMINIMUM = 60;
    m.settings.BPMMAXIMUM = 200;
    peer.setTempo(250);
    ASSERT_TRUE(rig.pumpUntil([&] { return std::fabs(m.GetBPM() - 125) < 1e-3; }, 1s))
        << "half the session's tempo, shown as what the clock sends: " << m.GetBPM();
    EXPECT_EQ(m.state.PendingStatus().text, "Link: clock at 1/2 the session's tempo");
    EXPECT_NE(m.state.PendingStatus().detail.find("250 BPM"), std::string::npos)
        << m.state.PendingStatus().detail;

    peer.setPlaying(true);
    ASSERT_TRUE(rig.pumpUntil([&] { return rig.clockTimes().size() >= 60; }, 5s));
    std::vector<int64_t> times = rig.clockTimes();
    // Each of our ticks is 1/12 of the session's beat: our beat is two of the session's.
    const double first = peer.beatAt(times[0]);
    EXPECT_NEAR(first / 4, std::round(first / 4), 0.002 / 4) << "the first clock on a bar line";
    for (size_t k : {size_t{12}, size_t{24}, size_t{48}})
        EXPECT_NEAR(peer.beatAt(times[k]) - first, k / 12.0, 0.002) << "clock " << k;
    for (size_t k = 1; k < 60; ++k)
        EXPECT_NEAR(static_cast<double>(times[k] - times[k - 1]), 60e9 / (24 * 125), 20'000);

    // Down to 20: four times, 80 BPM, each of our ticks 1/96 of the session's beat.
    peer.setTempo(20);
    ASSERT_TRUE(rig.pumpUntil([&] { return std::fabs(m.GetBPM() - 80) < 1e-3; }, 1s)) << m.GetBPM();
    size_t from = rig.clockTimes().size() + 24;  // past the change
    ASSERT_TRUE(rig.pumpUntil([&] { return rig.clockTimes().size() >= from + 48; }, 5s));
    times = rig.clockTimes();
    for (size_t k = from; k < from + 48; ++k) {
        const double beat = peer.beatAt(times[k]);
        EXPECT_NEAR(beat * 96, std::round(beat * 96), 0.05) << "clock " << k << " off the grid";
        EXPECT_NEAR(static_cast<double>(times[k] - times[k - 1]), 60e9 / (24 * 80), 20'000);
        // A device counts our clocks from the Start: its beats fall on the session's quarters.
        if (k % 24 == 0) {
            EXPECT_NEAR(beat * 4, std::round(beat * 4), 0.01) << "clock " << k;
        }
    }

    // Leaving keeps what the clock sends.
    m.Sync().SetLinkEnabled(false);
    EXPECT_NEAR(m.GetBPM(), 80, 1e-3);
    from = rig.clockTimes().size() + 1;
    ASSERT_TRUE(rig.pumpUntil([&] { return rig.clockTimes().size() >= from + 24; }, 3s));
    times = rig.clockTimes();
    for (size_t k = from; k < from + 24; ++k)
        EXPECT_NEAR(static_cast<double>(times[k] - times[k - 1]), 60e9 / (24 * 80), 20'000);
}

TEST(LinkModelJoining, APlayingSessionNeverStartsOurClockButALaterStartDoes) {
    LinkPeer peer;
    LinkedModel rig;
    KorvidMainModel& m = *rig.model;
    peer.setPlaying(true);
    std::this_thread::sleep_for(300ms);
    for (int join = 0; join < 3; ++join) {
        m.Sync().SetLinkEnabled(true);
        ASSERT_TRUE(Joined(peer, m.Sync().Link())) << "join " << join;
        rig.pumpUntil([] { return false; }, 300ms);
        // Link now and then hands the joiner the session's earlier start; here every time.
        peer.restatePlaying();
        EXPECT_FALSE(rig.pumpUntil([&] { return m.state.RunState == 1; }, 1500ms))
            << "join " << join << ": started by the session's earlier start";
        EXPECT_TRUE(peer.playing()) << "the peer plays on";
        m.Sync().SetLinkEnabled(false);
        ASSERT_TRUE(LinkPeer::waitFor([&] { return peer.peers() == 0; }, 5s));
    }
    // Joined, a start made after we joined starts us.
    m.Sync().SetLinkEnabled(true);
    ASSERT_TRUE(Joined(peer, m.Sync().Link()));
    rig.pumpUntil([] { return false; }, 500ms);
    peer.setPlaying(false);
    peer.setPlaying(true);
    EXPECT_TRUE(rig.pumpUntil([&] { return m.state.RunState == 1; }, 1s));
}

TEST(LinkModelAlone, JoiningAgainAloneTakesTheTempoSetMeanwhile) {
    // Alone in the session, our tempo is the session's, also on the second join: on, off, a
    // new tempo, on again.
    LinkSession session;
    session.Enable(true, 120);
    EXPECT_EQ(session.Tempo(), 120);
    session.Enable(false, 0);
    session.Enable(true, 90);
    EXPECT_EQ(session.Tempo(), 90);
    session.Enable(false, 0);

    // The whole program: what the window shows is what the clock sends.
    LinkedModel rig;
    KorvidMainModel& m = *rig.model;
    m.SetBPM(120);
    m.Sync().SetLinkEnabled(true);
    rig.pumpUntil([] { return false; }, 200ms);
    m.Sync().SetLinkEnabled(false);
    m.SetBPM(90);
    m.Sync().SetLinkEnabled(true);
    rig.pumpUntil([] { return false; }, 200ms);
    EXPECT_EQ(m.Sync().Link().Tempo(), 90);
    EXPECT_EQ(m.GetBPM(), 90);
    m.Timer().SetTempo(static_cast<uint32_t>(m.state.TempoMilliBPM.load()));
    m.StartTransport(true, false);
    ASSERT_TRUE(rig.pumpUntil([&] { return rig.clockTimes().size() >= 30; }, 5s));
    const std::vector<int64_t> times = rig.clockTimes();
    for (size_t k = 1; k < times.size(); ++k)
        ASSERT_NEAR(static_cast<double>(times[k] - times[k - 1]), 60e9 / (24 * 90), 20'000)
            << "clock " << k;
    EXPECT_EQ(m.GetBPM(), 90);
}

TEST(LinkModelAlone, SwitchingLinkOnAndOffWhileRunningMovesNoTickAndNoBar) {
    LinkedModel rig;
    KorvidMainModel& m = *rig.model;
    m.SetBPM(120);
    m.Timer().SetTempo(120000);
    for (int round = 0; round < 3; ++round) {
        m.StartTransport(true, false);
        ASSERT_TRUE(rig.pumpUntil([&] { return rig.clockTimes().size() >= 40; }, 3s));
        m.Sync().SetLinkEnabled(true);  // Ctrl+L, no peer anywhere
        size_t at = rig.clockTimes().size();
        ASSERT_TRUE(rig.pumpUntil([&] { return rig.clockTimes().size() >= at + 40; }, 3s));
        m.Sync().SetLinkEnabled(false);
        at = rig.clockTimes().size();
        ASSERT_TRUE(rig.pumpUntil([&] { return rig.clockTimes().size() >= at + 20; }, 3s));
        const std::vector<int64_t> times = rig.clockTimes();
        for (size_t k = 1; k < times.size(); ++k)
            ASSERT_NEAR(static_cast<double>(times[k] - times[k - 1]), 60e9 / (24 * 120), 20'000)
                << "round " << round << ", clock " << k << " of " << times.size();
        // The count went on one a tick: no bar moved.
        m.StopTransport(false);
        EXPECT_EQ(m.state.TickCount.load(), m.state.TicksSent.load()) << "round " << round;
        EXPECT_EQ(m.GetBPM(), 120);
        rig.memory->clearMessages();
    }
}
