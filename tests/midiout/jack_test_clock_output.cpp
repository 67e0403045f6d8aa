// The whole clock path against a real JACK server: the model with its BPM timer on the clock
// thread, an output port, the JACK backend, and an independent client that records what
// arrives. Order and content are checked exactly; spacing by frames, which JACK computes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "app/main_model.h"
#include "midiout/midi_out_port.h"
#include "platform/jack/midi_jack.h"
#include "platform/midi_system.h"
#include "support/jack_model_rig.h"
#include "support/jack_support.h"

using namespace jacktest;

namespace {

std::unique_ptr<KorvidMainModel> ModelOn(const std::string& server = "") {
    auto system = std::make_unique<MidiSystem>();
    auto jack = JackMidiBackend::Create(server);
    if (!jack) return nullptr;
    system->addBackend(std::move(jack));
    auto model = std::make_unique<KorvidMainModel>(std::move(system));
    model->CreatePorts("no-such-folder/");
    return model;
}

bool OpenPort1(KorvidMainModel& m, const std::string& destination) {
    if (!SelectListed(m.out1Controls.port, *m.OutPort1(), "JACK: " + destination)) return false;
    m.OutPort1()->OpenSelectedPort();
    return m.state.PortReady.load();
}

// What the pump does with a tempo set by SetBPM.
void SetTempo(KorvidMainModel& m, double bpm) {
    m.SetBPM(bpm);
    m.Timer().SetTempo(static_cast<uint32_t>(m.state.TempoMilliBPM.load()));
}

struct ClockOutputTest : ::testing::Test {
    void SetUp() override {
        jack_set_error_function(&QuietJackError);
        recorder = std::make_unique<JackRecorder>("synth");
        ASSERT_TRUE(recorder->ok()) << "no JACK server; run through run_with_jack.sh";
        model = ModelOn();
        ASSERT_TRUE(model);
        ASSERT_TRUE(OpenPort1(*model, recorder->portName()));
        std::this_thread::sleep_for(600ms);  // the backend learns where JACK's cycles lie
    }
    void TearDown() override {
        model.reset();
        recorder.reset();
    }
    std::unique_ptr<JackRecorder> recorder;
    std::unique_ptr<KorvidMainModel> model;
};

}  // namespace

TEST_F(ClockOutputTest, StartThenClocksAtTwentyFourPerQuarterNoteThenStop) {
    SetTempo(*model, 120);
    // A run during which the unprivileged test server had an xrun (it then drops whole cycles,
    // and whatever they carried) says nothing about us; such a run is made again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const size_t before = recorder->count();
        auto run = [&] {
            auto all = recorder->events();
            return std::vector<JackRecorder::Event>(all.begin() + static_cast<ptrdiff_t>(before),
                                                    all.end());
        };
        const int64_t started = MonotonicNowNs();
        model->transport().StartStopSeq();
        ASSERT_TRUE(recorder->waitFor(before + 1 + 96));  // Start and four beats of clocks
        model->transport().StartStopSeq();
        const size_t atStop = model->state.TickCount.load();
        const bool stopped = WaitUntil([&] { return CountStatus(run(), 0xFC) == 1; }, 5s);
        // The server tells its clients of an xrun through their notification threads, which on
        // a loaded machine can lag the cycles by a few hundred milliseconds.
        std::this_thread::sleep_for(500ms);
        if (recorder->lastXrunNs() >= started - 500 * kMs) {
            std::cerr << "[ retry    ] the server had an xrun; running again\n";
            continue;
        }
        ASSERT_TRUE(stopped);
        const auto events = run();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events.front().bytes, std::vector<uint8_t>{0xFA});
        EXPECT_EQ(events.back().bytes, std::vector<uint8_t>{0xFC});
        EXPECT_EQ(CountStatus(events, 0xFA), 1);
        EXPECT_EQ(static_cast<size_t>(CountStatus(events, 0xF8)),
                  atStop);                            // every tick, none after Stop
        EXPECT_LE(events[0].frame, events[1].frame);  // Start before the first clock
        // At 48 kHz a tick of 120 BPM is 1000 frames.
        for (size_t i = 2; i + 1 < events.size(); ++i)
            EXPECT_NEAR(static_cast<double>(events[i].frame - events[i - 1].frame), 1000.0, 1.0)
                << i;
        return;
    }
    GTEST_SKIP() << "the test server had xruns in every run";
}

TEST_F(ClockOutputTest, SystemExclusiveOfADefinitionArrivesIntact) {
    const std::string folder =
        ::testing::TempDir() + "jack-outdrv-" + std::to_string(getpid()) + "/";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "Long.ini")
        << "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\ndevice_sysex_enable=1\n"
           "device_sysexinit_string=F0 7D 10 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "
           "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 20 21 22 23 24 25 26 27 28 29 2A 2B "
           "2C 2D 2E 2F 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F F7\n"
           "device_sysextemposet1_string=F0 7D 01\ndevice_sysextemposet2_string=F7\n";
    MidiOutPort& port = *model->OutPort1();
    port.SetDefinitionFolder(folder);
    port.ListDeviceTypes();
    SelectByName(model->out1Controls.deviceType, "Long");
    port.DeviceTypeChanged();
    SetTempo(*model, 300);
    ASSERT_TRUE(recorder->waitFor(2));
    const auto events = recorder->events();
    ASSERT_EQ(events[0].bytes.size(), 68u);
    EXPECT_EQ(events[0].bytes.front(), 0xF0);
    EXPECT_EQ(events[0].bytes[66], 0x3F);
    EXPECT_EQ(events[0].bytes.back(), 0xF7);
    EXPECT_EQ(events.back().bytes, (std::vector<uint8_t>{0xF0, 0x7D, 0x01, 0x2C, 0x02, 0xF7}));
    std::filesystem::remove_all(folder);
}

TEST(ClockOutputServerLoss, TheServerGoingAwayWhileTheClockRunsIsReportedAndHarmless) {
    jack_set_error_function(&QuietJackError);
    PrivateJackServer server;
    ASSERT_TRUE(server.waitUntilAnswering());
    auto recorder = std::make_unique<JackRecorder>("synth", server.name());
    ASSERT_TRUE(recorder->ok());
    auto model = ModelOn(server.name());
    ASSERT_TRUE(model);
    ASSERT_TRUE(OpenPort1(*model, recorder->portName()));
    SetTempo(*model, 300);
    model->StartTransport(true, false);
    ASSERT_TRUE(recorder->waitFor(10));

    server.stop(SIGKILL);
    ASSERT_TRUE(WaitUntil([&] {
        return model->state.PendingStatus().text == "MIDI Port lost: JACK server stopped";
    }));
    EXPECT_EQ(model->state.PendingStatus().color, StatusColors::red);
    // The clock keeps ticking into nothing; stopping, a tempo change and closing all work.
    const int ticks = model->state.TickCount.load();
    ASSERT_TRUE(WaitUntil([&] { return model->state.TickCount.load() > ticks + 10; }));
    SetTempo(*model, 120);
    model->StopTransport(true);
    EXPECT_FALSE(model->Timer().Enabled());
    model.reset();
    recorder.reset();
}
