// The headless program as a user runs it: a separate process on the test's JACK server, given a
// settings file, steered by --start, incoming MIDI and signals. An independent client records
// what reaches the device.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/headless_program.h"
#include "support/jack_sender.h"
#include "support/jack_support.h"
#include "support/model_rig.h"

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
