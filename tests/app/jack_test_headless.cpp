// The headless program as a user runs it: a separate process on the test's JACK server, given a
// settings file, steered by --start, incoming MIDI and signals. An independent client records
// what reaches the device.
#include <gtest/gtest.h>
#include <jack/transport.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pulse_train.h"
#include "support/headless_program.h"
#include "support/jack_sender.h"
#include "support/jack_support.h"
#include "support/model_rig.h"
#include "support/pulse_recorder.h"

namespace {
using namespace jacktest;
using namespace std::chrono_literals;

// The position of the last event with this status, or -1.
long LastOf(const std::vector<JackRecorder::Event>& events, uint8_t status) {
    for (size_t i = events.size(); i-- > 0;)
        if (!events[i].bytes.empty() && events[i].bytes[0] == status) return static_cast<long>(i);
    return -1;
}

class HeadlessJackTest : public ::testing::Test {
  protected:
    TempFolder folder;
    JackRecorder synth{"synth"};
    JackSender master{"master"};

    void SetUp() override {
        ASSERT_TRUE(synth.ok());
        ASSERT_TRUE(master.ok());
    }
    std::string settings(const std::string& inputMap) {
        folder.write("clock.ini",
                     "[APPLICATION_PRESETS]\nDEFAULTSPEED=300\n"
                     "[MIDIOUTPORT1]\nMIDIPORTNAME=JACK: " +
                         synth.portName() +
                         "\n[MIDIOUTPORT2]\nMIDIPORTNAME=None\n"
                         "[MIDIINPORT1]\nMIDIPORTNAME=JACK: " +
                         master.portName() + "\nDEVICETYPE=" + inputMap + "\n");
        return folder.file("clock.ini");
    }
    std::string log() const { return folder.read("stderr.txt"); }
};

}  // namespace

TEST_F(HeadlessJackTest, StartsAtOnceAndSendsStopOnTerminate) {
    HeadlessProgram program({"--headless", settings("Default"), "--start"},
                            folder.file("stderr.txt"));
    ASSERT_TRUE(program.started());
    // 300 BPM is 120 clocks a second.
    ASSERT_TRUE(WaitUntil([&] { return CountStatus(synth.events(), 0xF8) >= 48; })) << log();
    ASSERT_EQ(CountStatus(synth.events(), 0xFA), 1);
    program.signal(SIGTERM);
    ASSERT_TRUE(program.endedCleanly(log())) << log();
    // The Stop went out before the port closed, and no clock after it.
    ASSERT_TRUE(WaitUntil([&] { return CountStatus(synth.events(), 0xFC) == 1; }, 2s)) << log();
    const auto events = synth.events();
    EXPECT_GT(LastOf(events, 0xFC), LastOf(events, 0xF8));
    EXPECT_LT(LastOf(events, 0xFA), LastOf(events, 0xF8));
    // Status lines carry the time of day: "hh:mm:ss.mmm text".
    EXPECT_NE(log().find("Running ..."), std::string::npos) << log();
    ASSERT_NE(log().find("Stopped ..."), std::string::npos) << log();
    EXPECT_EQ(log().find("Stopped ..."), log().rfind("Stopped ...")) << "told once: " << log();
}

// Leading the JACK transport, --start rolls the transport and its roll starts the clock: one
// start, not a second one from the wait for a port.
TEST_F(HeadlessJackTest, LeadingTheTransportStartsOnce) {
    HeadlessProgram program({"--headless", settings("Default"), "--start", "--transport", "master"},
                            folder.file("stderr.txt"));
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(WaitUntil([&] { return CountStatus(synth.events(), 0xF8) >= 120; })) << log();
    EXPECT_EQ(CountStatus(synth.events(), 0xFA), 1);
    EXPECT_NE(log().find("JACK transport: leading"), std::string::npos) << log();
    EXPECT_EQ(log().find("Running ..."), log().rfind("Running ...")) << "told once: " << log();
    program.signal(SIGTERM);
    ASSERT_TRUE(program.endedCleanly(log())) << log();
    ASSERT_TRUE(WaitUntil([&] { return CountStatus(synth.events(), 0xFC) == 1; }, 2s)) << log();
}

// Without a port to send to, a start while leading only asks for one: the transport, and every
// program following it, stays still.
TEST_F(HeadlessJackTest, LeadingWithoutAPortRollsNothing) {
    folder.write("noport.ini",
                 "[MIDIOUTPORT1]\nMIDIPORTNAME=None\n[MIDIOUTPORT2]\nMIDIPORTNAME=None\n");
    HeadlessProgram program(
        {"--headless", folder.file("noport.ini"), "--start", "--transport", "master"},
        folder.file("stderr.txt"));
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(WaitUntil([&] {
        return log().find("JACK transport: leading") != std::string::npos;
    })) << log();
    std::this_thread::sleep_for(1s);
    jack_position_t position;
    EXPECT_EQ(jack_transport_query(synth.client(), &position), JackTransportStopped) << log();
    EXPECT_EQ(log().find("Running ..."), std::string::npos) << log();
    program.signal(SIGTERM);
    EXPECT_TRUE(program.endedCleanly(log())) << log();
}

TEST_F(HeadlessJackTest, ListPortsOnARunningServerEndsWithStatusZero) {
    HeadlessProgram program({"--list-ports"}, folder.file("stderr.txt"));
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(program.endedCleanly(log())) << log();
    EXPECT_EQ(log(), "");
}

TEST_F(HeadlessJackTest, IncomingStartAndStopSteerItAndInterruptEndsQuietlyWhenStopped) {
    HeadlessProgram program({"--headless", settings("ClockFollower")}, folder.file("stderr.txt"));
    ASSERT_TRUE(program.started());
    // Nothing runs before the master says so.
    ASSERT_TRUE(WaitUntil([&] {
        jack_port_t* out = jack_port_by_name(synth.client(), master.portName().c_str());
        return out && jack_port_connected(out) > 0;
    })) << log();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(CountStatus(synth.events(), 0xF8), 0);
    master.send({0xFA});
    ASSERT_TRUE(WaitUntil([&] { return CountStatus(synth.events(), 0xF8) >= 24; })) << log();
    master.send({0xFC});
    ASSERT_TRUE(WaitUntil([&] { return CountStatus(synth.events(), 0xFC) == 1; })) << log();
    std::this_thread::sleep_for(200ms);
    const size_t afterStop = synth.count();

    program.signal(SIGINT);
    ASSERT_TRUE(program.endedCleanly(log())) << log();
    // Stopped already: the interrupt sends no second Stop, and no clock.
    std::this_thread::sleep_for(200ms);
    const auto events = synth.events();
    EXPECT_EQ(CountStatus(events, 0xFC), 1);
    EXPECT_EQ(CountStatus(std::vector<JackRecorder::Event>(
                              events.begin() + static_cast<long>(afterStop), events.end()),
                          0xF8),
              0);
}

namespace {
std::string SettingsFor(TempFolder& folder, const std::string& synthPort) {
    folder.write("late.ini",
                 "[APPLICATION_PRESETS]\nDEFAULTSPEED=300\n[MIDIOUTPORT1]\n"
                 "MIDIPORTNAME=JACK: " +
                     synthPort + "\n[MIDIOUTPORT2]\nMIDIPORTNAME=None\n");
    return folder.file("late.ini");
}
}  // namespace

// A box that boots into its settings file: the program starts with --start before the sound
// server. The server and the synth come later; the clock reaches the synth within 3 s of the
// server's start, and a stop ends the program as usual.
TEST(HeadlessServerOrder, StartedBeforeTheServerItStartsOnceTheServerAndTheSynthAreThere) {
    jack_set_error_function(&QuietJackError);
    TempFolder folder;
    PrivateJackServer server = PrivateJackServer::NotStartedYet();
    HeadlessProgram program(
        {"--headless", SettingsFor(folder, RunName("bootsynth") + ":in"), "--start"},
        folder.file("stderr.txt"), server.asDefault());
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(WaitUntil([&] {
        return folder.read("stderr.txt").find("Saved ports not found") != std::string::npos;
    })) << folder.read("stderr.txt");

    ASSERT_TRUE(server.restart());
    const auto back = std::chrono::steady_clock::now();
    JackRecorder synth("bootsynth", server.name());
    ASSERT_TRUE(synth.ok());
    ASSERT_TRUE(WaitUntil([&] { return CountStatus(synth.events(), 0xF8) >= 3; }, 5s))
        << folder.read("stderr.txt");
    EXPECT_LT(std::chrono::steady_clock::now() - back, 3s) << folder.read("stderr.txt");
    EXPECT_EQ(CountStatus(synth.events(), 0xFA), 1) << "a start, then the clock";
    program.signal(SIGTERM);
    ASSERT_TRUE(program.endedCleanly(folder.read("stderr.txt")));
    EXPECT_TRUE(WaitUntil([&] { return CountStatus(synth.events(), 0xFC) == 1; }, 2s));
}

// Closing never hangs: with the server held still (it answers nothing), a stop still ends the
// program within two seconds, with its usual status.
TEST(HeadlessServerOrder, AStopEndsTheProgramWithinTwoSecondsWhileTheServerIsHeldStill) {
    jack_set_error_function(&QuietJackError);
    TempFolder folder;
    PrivateJackServer server;
    ASSERT_TRUE(server.waitUntilAnswering());
    JackRecorder synth("stillsynth", server.name());
    ASSERT_TRUE(synth.ok());
    HeadlessProgram program(
        {"--headless", SettingsFor(folder, RunName("stillsynth") + ":in"), "--start"},
        folder.file("stderr.txt"), server.asDefault());
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(WaitUntil([&] { return CountStatus(synth.events(), 0xF8) >= 3; }))
        << folder.read("stderr.txt");
    std::optional<int> status;
    std::chrono::steady_clock::duration took{};
    std::thread hold([&] { server.freezeFor(4s); });
    std::this_thread::sleep_for(100ms);
    const auto asked = std::chrono::steady_clock::now();
    program.signal(SIGTERM);
    status = program.waitForExit(10s);
    took = std::chrono::steady_clock::now() - asked;
    hold.join();
    ASSERT_TRUE(status) << "the program hung: " << folder.read("stderr.txt");
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << folder.read("stderr.txt");
    EXPECT_LT(took, 2s) << folder.read("stderr.txt");
}

TEST_F(HeadlessJackTest, PulseOutputsFromTheSettingsFileFollowTheClockAndStop) {
    // A DIN sync machine: clock pulses on pulse_1, the run line on pulse_2.
    PulseRecorder pulses("din");
    ASSERT_TRUE(pulses.ok());
    folder.write("din.ini",
                 "[APPLICATION_PRESETS]\nDEFAULTSPEED=300\n"
                 "[MIDIOUTPORT1]\nMIDIPORTNAME=JACK: " +
                     synth.portName() +
                     "\n[MIDIOUTPORT2]\nMIDIPORTNAME=None\n"
                     "[PULSEOUT1]\nENABLED=1\nPPQ=24\n"
                     "[PULSEOUT2]\nENABLED=1\nRUN=1\n");
    HeadlessProgram program({"--headless", folder.file("din.ini"), "--start"},
                            folder.file("stderr.txt"));
    ASSERT_TRUE(program.started());
    const char* client = std::getenv("TEMPOVANE_TEST_JACK_CLIENT");
    const std::string ours = client ? client : "tempovane";
    for (size_t i = 0; i < 2; ++i)
        ASSERT_TRUE(ConnectOnceListed(pulses.client(), ours + ":pulse_" + std::to_string(i + 1),
                                      pulses.portName(i), 10s))
            << log();
    ASSERT_TRUE(pulses.waitFor(0, 48)) << log();
    EXPECT_EQ(pulses.rises(1), 1u) << "the run line went up once";
    EXPECT_EQ(pulses.falls(1), 0u);
    program.signal(SIGTERM);
    ASSERT_TRUE(program.endedCleanly(log())) << log();
    EXPECT_TRUE(WaitUntil([&] { return pulses.falls(1) == 1; }, 2s)) << "the run line went down";
    // Each pulse rose on the frame of a MIDI clock to the synth.
    const auto clocks = FramesOf(synth.events(), 0xF8);
    const auto all = pulses.pulses(0, 0);
    // A connection made while a pulse was high shows only its end: no edge of ours.
    // 5 ms, but at 300 BPM no more than half the 8.3 ms to the next pulse.
    const int64_t fullWidth = PulseWidthFrames(5'000'000, 8'333'333, 48000 / 1e9);
    EXPECT_EQ(fullWidth, 199);
    ASSERT_FALSE(all.empty());
    for (size_t i = all[0].width == fullWidth ? 0 : 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i].width, fullWidth) << "pulse " << i;
        const auto next = std::lower_bound(clocks.begin(), clocks.end(), all[i].rise);
        EXPECT_TRUE(next != clocks.end() && *next == all[i].rise)
            << "pulse " << i << " of " << all.size() << " at " << all[i].rise << ", width "
            << all[i].width << "; next clock at " << (next == clocks.end() ? -1 : *next)
            << ", first clock at " << (clocks.empty() ? -1 : clocks.front());
    }
}
