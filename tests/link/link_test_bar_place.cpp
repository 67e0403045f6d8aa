// Link switched on while the clock runs: besides the session's tick grid, our count follows
// the session's place in its bar, so our bar lines fall on the session's. Runs in a private
// network namespace against a peer in another process.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include <filesystem>
#include <vector>

#include "app/main_model.h"
#include "app/sync_control.h"
#include "link/link_session.h"
#include "midiout/midi_out_port.h"
#include "platform/midi_memory.h"
#include "platform/midi_system.h"
#include "platform/monotonic_clock.h"
#include "support/link_peer.h"
#include "support/model_rig.h"

using namespace std::chrono_literals;

TEST(LinkBarPlace, TakingOverARunningClockTellsTheSessionsPlaceInItsBar) {
    LinkPeer peer;
    LinkSession session;
    session.Enable(true, 120);
    ASSERT_TRUE(
        LinkPeer::waitFor([&] { return peer.peers() == 1 && session.NumPeers() == 1; }, 10s));
    peer.setTempo(133.0);
    ASSERT_TRUE(LinkPeer::waitFor([&] { return std::fabs(session.Tempo() - 133.0) < 1e-3; }, 2s));

    for (double quantum : {4.0, 3.0}) {
        session.SetQuantum(quantum);
        // Several takeovers at places spread over a bar (a bar at 133 BPM is 1.35-1.8 s).
        for (int i = 0; i < 4; ++i) {
            const int64_t now = MonotonicNowNs();
            session.BeginRun(now, false, now - 3'000'000);
            const TickSchedule::BarPlace place = session.FirstTickInBar();
            ASSERT_EQ(place.length, static_cast<int64_t>(quantum * 24));
            ASSERT_GE(place.tick, 0);
            ASSERT_LT(place.tick, place.length);
            // The peer's bar lines, with its quantum 4; for 3 compare against our own beat.
            if (quantum == 4.0) {
                const double beat = peer.beatAt(session.TickDueNs(0));
                const double inBar = beat - std::floor(beat / 4) * 4;
                double ticks = inBar * 24 - static_cast<double>(place.tick);
                ticks -= std::round(ticks / 96) * 96;  // a bar line either side is the same
                EXPECT_NEAR(ticks, 0.0, 0.05) << "beat " << beat;
            }
            // The tick the count moves to is the schedule's own tick 0 and lies on the grid:
            // tick place.length - place.tick is the next bar line.
            const int64_t toBar = place.length - place.tick;
            const double barBeat = peer.beatAt(session.TickDueNs(toBar));
            if (quantum == 4.0) {
                EXPECT_NEAR(barBeat / 4, std::round(barBeat / 4), 0.002 / 4);
            }
            std::this_thread::sleep_for(370ms);
        }
    }
    session.Enable(false, 0);
}

TEST(LinkBarPlace, TakingOverJustBeforeOrAfterAGridTickNeverSendsATickTwice) {
    // The session's grid stays where it is (no tick count: nothing to hand the session), and
    // our last tick lies a hair before or after one of its ticks: the first tick of ours is the
    // grid's next, never the one our last tick already stood for.
    LinkSession session;
    session.Enable(true, 120);
    session.SetQuantum(4);
    const int64_t period = static_cast<int64_t>(60e9 / (24 * 120));
    for (const int64_t hair : {-2'000, -40'000, 0, 2'000, 40'000}) {
        const int64_t now = MonotonicNowNs();
        session.BeginRun(now, true, 0);
        const int64_t gridTick = session.TickDueNs(3);
        const int64_t ourLast = gridTick + hair;
        session.BeginRun(ourLast + 1'000, false, ourLast);
        const int64_t first = session.TickDueNs(0);
        EXPECT_NEAR(static_cast<double>(first - gridTick), static_cast<double>(period), 2'000)
            << "our last tick " << hair << " ns from the grid's: the next came " << first - ourLast
            << " ns after it";
    }
    session.Enable(false, 0);
}

TEST(LinkBarPlace, AStartJustAfterABarLineTakesThatBar) {
    // A start a few milliseconds after the session's bar line (our start following a peer's a
    // moment later) still takes that bar, its first ticks going out at once; one clearly later
    // waits for the next bar line.
    LinkSession session;
    session.Enable(true, 120);
    session.SetQuantum(4);
    const int64_t period = static_cast<int64_t>(60e9 / (24 * 120));
    const int64_t bar = 96 * period;
    session.BeginRun(MonotonicNowNs(), true, 0);
    const int64_t barLine = session.TickDueNs(0);
    for (const int64_t late : {int64_t{1'000'000}, int64_t{5'000'000}, period + period / 2}) {
        session.BeginRun(barLine + late, true, 0);
        EXPECT_NEAR(static_cast<double>(session.TickDueNs(0) - barLine), 0, 2'000)
            << "started " << late / 1'000 << " us after the bar line";
    }
    for (const int64_t late : {3 * period, 24 * period}) {
        session.BeginRun(barLine + late, true, 0);
        EXPECT_NEAR(static_cast<double>(session.TickDueNs(0) - barLine), static_cast<double>(bar),
                    2'000)
            << "started " << late / 1'000 << " us after the bar line";
    }
    session.Enable(false, 0);
}

TEST(LinkBarPlace, AloneTheSessionStillHasBars) {
    LinkSession session;
    session.Enable(true, 120);
    session.SetQuantum(4);
    const int64_t now = MonotonicNowNs();
    session.BeginRun(now, false, now - 1'000'000);
    const TickSchedule::BarPlace place = session.FirstTickInBar();
    EXPECT_EQ(place.length, 96);
    EXPECT_GE(place.tick, 0);
    EXPECT_LT(place.tick, 96);
    session.Enable(false, 0);
}

TEST(LinkBarPlace, LinkSwitchedOnWhileRunningPutsTheNextBarStartOnTheSessionsBar) {
    LinkPeer peer;
    auto system = std::make_unique<MidiSystem>();
    auto backend = std::make_unique<MemoryMidiBackend>();
    MemoryMidiBackend* memory = backend.get();
    memory->addDevice("synth");
    system->addBackend(std::move(backend));
    TempFolder folder;
    KorvidMainModel m(std::move(system));  // real clock thread
    folder.write("outdrv/BarStart.ini",
                 "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\n"
                 "device_clockoutput_startbeforeevery1=1\n");
    m.CreatePorts(folder.path() + "outdrv/");
    SelectByName(m.out1Controls.port, "Memory: synth");
    SelectByName(m.out1Controls.deviceType, "BarStart");
    m.OutPort1()->DeviceTypeChanged();
    m.OutPort1()->OpenSelectedPort();
    m.settings.LINKSTARTSTOPSYNC = false;
    m.Sync().ApplySettings();
    peer.setTempo(140);

    auto sent = [&](uint8_t status) {
        std::vector<int64_t> times;
        for (const auto& msg : memory->messagesFor("synth"))
            if (msg.bytes.size() == 1 && msg.bytes[0] == status) times.push_back(msg.timeNs);
        return times;
    };
    // Our own clock first, a little over a beat, so our bar is anywhere in the session's.
    m.SetBPM(140);
    m.StartTransport(true, false);
    ASSERT_TRUE(LinkPeer::waitFor([&] { return sent(0xF8).size() >= 31; }, 3s));
    m.Sync().SetLinkEnabled(true);
    ASSERT_TRUE(LinkPeer::waitFor([&] { return peer.peers() == 1; }, 10s));
    const size_t startsBefore = sent(0xFA).size();
    // The next Start at a bar line of ours (a bar at 140 BPM is 1.7 s).
    ASSERT_TRUE(LinkPeer::waitFor(
        [&] {
            m.Sync().Pump();
            return sent(0xFA).size() >= startsBefore + 2;
        },
        6s));
    const std::vector<int64_t> starts = sent(0xFA);
    ASSERT_GE(starts.size(), startsBefore + 2);
    for (size_t i = startsBefore; i < starts.size(); ++i) {
        const double beat = peer.beatAt(starts[i]);
        EXPECT_NEAR(beat / 4, std::round(beat / 4), 0.002 / 4)
            << "Start " << i << " at beat " << beat;
    }
    m.StopTransport(false);
}
