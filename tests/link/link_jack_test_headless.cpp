// The headless program in a Link session, as a user runs it: its own process on a private JACK
// server, a peer in another process, all in a private network namespace. A JACK client of the
// test records what reaches the device.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "support/headless_program.h"
#include "support/jack_sender.h"
#include "support/jack_support.h"
#include "support/link_peer.h"
#include "support/model_rig.h"

namespace {
using namespace jacktest;
using namespace std::chrono_literals;

class HeadlessLinkTest : public ::testing::Test {
  protected:
    // Forked first, before this process has JACK's threads.
    LinkPeer peer;
    TempFolder folder;
    JackRecorder synth{"synth"};

    void SetUp() override { ASSERT_TRUE(synth.ok()); }

    std::string settings(const std::string& inputLines = "[MIDIINPORT1]\nMIDIPORTNAME=None\n") {
        folder.write("clock.ini",
                     "[APPLICATION_PRESETS]\nDEFAULTSPEED=120\nBPMROUNDING=1\n"
                     "[MIDIOUTPORT1]\nMIDIPORTNAME=JACK: " +
                         synth.portName() + "\n[MIDIOUTPORT2]\nMIDIPORTNAME=None\n" + inputLines +
                         "[LINK]\nENABLED=1\nSTARTSTOPSYNC=1\nQUANTUM=4\n");
        return folder.file("clock.ini");
    }
    std::string log() const { return folder.read("stderr.txt"); }
    bool joined() {
        return LinkPeer::waitFor([&] { return peer.peers() == 1; }, 10s);
    }
    size_t clocks() const { return FramesOf(synth.events(), 0xF8).size(); }
    bool endedWell(HeadlessProgram& program) {
        program.signal(SIGTERM);
        return program.endedCleanly(log());
    }
};

}  // namespace

TEST_F(HeadlessLinkTest, PeersTempoAndStartStopRunTheHeadlessClock) {
    HeadlessProgram program({settings()}, folder.file("stderr.txt"));
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(joined()) << log();
    peer.setTempo(150.0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(clocks(), 0u) << "nothing runs before the session plays";

    peer.setPlaying(true);
    ASSERT_TRUE(WaitUntil([&] { return clocks() >= 97; }, 10s)) << log();
    const auto events = synth.events();
    const std::vector<int64_t> ticks = FramesOf(events, 0xF8);
    ASSERT_GE(ticks.size(), 97u);
    ASSERT_EQ(FramesOf(events, 0xFA).size(), 1u) << log();
    // The peer's tempo, not our 120: a clock of 150 BPM is 800 frames at 48 kHz (120 BPM would
    // be 1000). The median, since the server's xruns on a loaded machine bunch a few clocks up.
    std::vector<int64_t> intervals;
    for (size_t i = 1; i < ticks.size(); ++i) intervals.push_back(ticks[i] - ticks[i - 1]);
    std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
    EXPECT_NEAR(intervals[intervals.size() / 2], 800.0, 1.0) << log();

    peer.setPlaying(false);
    ASSERT_TRUE(WaitUntil([&] { return FramesOf(synth.events(), 0xFC).size() == 1; }, 5s)) << log();
    EXPECT_TRUE(endedWell(program));
    EXPECT_NE(log().find("Link on"), std::string::npos) << log();
    EXPECT_NE(log().find("Link: 1 peer"), std::string::npos) << log();
}

TEST_F(HeadlessLinkTest, ItsStartStartsTheSessionAndTerminatingLeavesThePeersPlaying) {
    HeadlessProgram program({settings(), "--start"}, folder.file("stderr.txt"));
    ASSERT_TRUE(program.started());
    // The start waits for the session's next bar line (4 beats at 120 BPM at most), and then
    // starts the session too.
    ASSERT_TRUE(LinkPeer::waitFor([&] { return peer.playing(); }, 15s)) << log();
    ASSERT_TRUE(WaitUntil([&] { return clocks() >= 24; }, 5s)) << log();
    EXPECT_EQ(peer.peers(), 1u);

    ASSERT_TRUE(endedWell(program)) << log();
    // Our devices hear Stop; the session plays on without us, and knows at once that we left.
    ASSERT_TRUE(WaitUntil([&] { return FramesOf(synth.events(), 0xFC).size() == 1; }, 5s)) << log();
    EXPECT_TRUE(LinkPeer::waitFor([&] { return peer.peers() == 0; }, 2s));
    EXPECT_TRUE(peer.playing());
    EXPECT_NE(log().find("Link off"), std::string::npos) << log();
}

TEST_F(HeadlessLinkTest, TheTempoOfAnIncomingClockGoesToTheSession) {
    // MIDI clock in, Link out: a master on the input at 100 BPM (1200 frames a clock).
    JackSender master{"master"};
    ASSERT_TRUE(master.ok());
    HeadlessProgram program({settings("[MIDIINPORT1]\nMIDIPORTNAME=JACK: " + master.portName() +
                                      "\nDEVICETYPE=ClockFollower\n")},
                            folder.file("stderr.txt"));
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(joined()) << log();
    master.runClock(1200);
    EXPECT_TRUE(LinkPeer::waitFor([&] { return std::fabs(peer.tempo() - 100) < 0.05; }, 10s))
        << peer.tempo() << "\n"
        << log();
    master.runClock(0);
    EXPECT_TRUE(endedWell(program));
}
