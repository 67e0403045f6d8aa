// A definition's device_output_delay_ms through JACK: the delayed port's clocks land that many
// frames later than the other port's, and what JACK hosts are told of our ports' latency says
// the same.
#include <gtest/gtest.h>

#include <cmath>
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

std::vector<uint32_t> ClockFrames(const JackRecorder& recorder, size_t from) {
    std::vector<uint32_t> frames;
    const auto all = recorder.events();
    for (size_t i = from; i < all.size(); ++i)
        if (all[i].bytes == std::vector<uint8_t>{0xF8}) frames.push_back(all[i].frame);
    return frames;
}

jack_nframes_t CaptureLatency(jack_client_t* client, const std::string& port) {
    jack_port_t* found = jack_port_by_name(client, port.c_str());
    if (!found) return 0;
    jack_latency_range_t range{0, 0};
    jack_port_get_latency_range(found, JackCaptureLatency, &range);
    EXPECT_EQ(range.min, range.max) << port;
    return range.max;
}

struct OutputDelayJackTest : ::testing::Test {
    void SetUp() override {
        jack_set_error_function(&QuietJackError);
        folder = ::testing::TempDir() + "jack-delay-" + std::to_string(getpid()) + "/";
        std::filesystem::create_directories(folder);
        early = std::make_unique<JackRecorder>("early");
        late = std::make_unique<JackRecorder>("late");
        ASSERT_TRUE(early->ok() && late->ok()) << "no JACK server; run through run_with_jack.sh";
        auto system = std::make_unique<MidiSystem>();
        auto jack = JackMidiBackend::Create("");
        ASSERT_TRUE(jack);
        jackClient = jack->clientName();
        system->addBackend(std::move(jack));
        model = std::make_unique<KorvidMainModel>(std::move(system));
        model->CreatePorts(folder);
    }
    void TearDown() override {
        model.reset();
        late.reset();
        early.reset();
        std::filesystem::remove_all(folder);
    }

    // Port 1 to the "early" recorder with delay1, port 2 to the "late" one with delay2.
    void useDelays(const std::string& delay1, const std::string& delay2) {
        int n = 0;
        for (const auto& [controls, port, recorder, delay] :
             {std::tuple{&model->out1Controls, model->OutPort1(), early.get(), delay1},
              std::tuple{&model->out2Controls, model->OutPort2(), late.get(), delay2}}) {
            const std::string type = "Delay" + std::to_string(++n);
            std::ofstream(folder + type + ".ini")
                << "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\ndevice_output_delay_ms="
                << delay << "\n";
            port->ListDeviceTypes();
            ASSERT_TRUE(SelectListed(controls->port, *port, "JACK: " + recorder->portName()));
            port->OpenSelectedPort();
            ASSERT_TRUE(port->Device().Using());
            ASSERT_TRUE(SelectByName(controls->deviceType, type));
            port->DeviceTypeChanged();
        }
        model->SetBPM(300);
        model->Timer().SetTempo(static_cast<uint32_t>(model->state.TempoMilliBPM.load()));
        std::this_thread::sleep_for(600ms);  // the backend learns where JACK's cycles lie
    }

    // Runs the clock for 48 ticks; the frames port 2's clocks land after port 1's, tick by tick.
    // Empty when the server had an xrun in every try.
    std::vector<int64_t> clocksApart() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const size_t fromEarly = early->count(), fromLate = late->count();
            const int64_t started = MonotonicNowNs();
            model->StartTransport(true, false);
            EXPECT_TRUE(WaitUntil([&] { return ClockFrames(*late, fromLate).size() >= 48; }));
            model->StopTransport(true);
            std::this_thread::sleep_for(300ms);
            if (early->lastXrunNs() >= started - 500 * kMs) {
                std::cerr << "[ retry    ] the server had an xrun; running again\n";
                continue;
            }
            const auto a = ClockFrames(*early, fromEarly), b = ClockFrames(*late, fromLate);
            EXPECT_EQ(a.size(), b.size());
            std::vector<int64_t> apart;
            for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
                apart.push_back(static_cast<int32_t>(b[i] - a[i]));
            return apart;
        }
        return {};
    }

    std::string folder;
    std::string jackClient;
    std::unique_ptr<JackRecorder> early, late;
    std::unique_ptr<KorvidMainModel> model;
};

}  // namespace

TEST_F(OutputDelayJackTest, APositiveDelayMovesThatPortsClocksByItToTheFrame) {
    useDelays("0", "10");
    const auto apart = clocksApart();
    if (apart.empty()) GTEST_SKIP() << "the test server had xruns in every run";
    ASSERT_GE(apart.size(), 48u);
    for (size_t i = 0; i < apart.size(); ++i) EXPECT_NEAR(apart[i], 480, 1) << "clock " << i;
    // What JACK hosts see: the period and safety margin on both, and 10 ms more on port 2.
    const jack_nframes_t plain = CaptureLatency(early->client(), jackClient + ":clock_out_1");
    const jack_nframes_t delayed = CaptureLatency(early->client(), jackClient + ":clock_out_2");
    const auto margin = static_cast<jack_nframes_t>(
        std::llround(JackMidiBackend::kDefaultSafetyMarginNs * 48000 / 1e9));
    EXPECT_EQ(plain, jack_get_buffer_size(early->client()) + margin);
    EXPECT_EQ(delayed, plain + 480);
}

TEST_F(OutputDelayJackTest, ANegativeDelayHoldsTheOtherPortBackInstead) {
    useDelays("-20", "0");
    const auto apart = clocksApart();
    if (apart.empty()) GTEST_SKIP() << "the test server had xruns in every run";
    ASSERT_GE(apart.size(), 48u);
    for (size_t i = 0; i < apart.size(); ++i) EXPECT_NEAR(apart[i], 960, 1) << "clock " << i;
    const jack_nframes_t early1 = CaptureLatency(early->client(), jackClient + ":clock_out_1");
    const jack_nframes_t held2 = CaptureLatency(early->client(), jackClient + ":clock_out_2");
    EXPECT_EQ(held2, early1 + 960);

    // Once the early device has no delay any more, nothing is held back.
    std::ofstream(folder + "Delay1.ini") << "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\n";
    model->OutPort1()->LoadDeviceDefinition();
    EXPECT_TRUE(WaitUntil(
        [&] { return CaptureLatency(early->client(), jackClient + ":clock_out_2") == early1; },
        5s));
}

TEST_F(OutputDelayJackTest, StartAndStopSentAtOnceAreDelayedWithTheirPort) {
    useDelays("0", "20");
    const size_t fromEarly = early->count(), fromLate = late->count();
    model->StartTransport(true, false);
    ASSERT_TRUE(WaitUntil([&] { return ClockFrames(*late, fromLate).size() >= 4; }));
    model->StopTransport(true);
    std::this_thread::sleep_for(300ms);
    auto frameOf = [](const JackRecorder& r, size_t from, uint8_t status) -> int64_t {
        const auto all = r.events();
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].bytes == std::vector<uint8_t>{status}) return all[i].frame;
        return -1;
    };
    for (uint8_t status : {uint8_t{0xFA}, uint8_t{0xFC}}) {
        const int64_t plain = frameOf(*early, fromEarly, status);
        const int64_t delayed = frameOf(*late, fromLate, status);
        ASSERT_GE(plain, 0);
        ASSERT_GE(delayed, 0);
        // Sent "now", each goes out in the next cycle on the plain port: within a period of
        // 20 ms later on the delayed one.
        EXPECT_NEAR(static_cast<double>(delayed - plain), 960.0, 256.0) << int(status);
    }
    // Start still before the first clock, Stop after the last, on the delayed port too.
    const auto clocks = ClockFrames(*late, fromLate);
    ASSERT_FALSE(clocks.empty());
    EXPECT_LE(frameOf(*late, fromLate, 0xFA), clocks.front());
    EXPECT_GE(frameOf(*late, fromLate, 0xFC), clocks.back());
}
