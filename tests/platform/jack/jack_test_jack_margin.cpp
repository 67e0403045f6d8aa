// Where scheduled messages land in absolute terms: the safety margin is part of the latency
// every scheduled message waits out, not only of the figure reported.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/jack/midi_jack.h"
#include "support/jack_support.h"

using namespace jacktest;

namespace {

bool SendTick(MidiOutConnection& connection, int64_t timeNs) {
    const uint8_t tick = 0xF8;
    return connection.sendShort(&tick, 1, timeNs);
}

}  // namespace

TEST(JackPlacement, TheSafetyMarginDelaysEveryScheduledMessageByItself) {
    jack_set_error_function(&QuietJackError);
    constexpr int64_t kWideMargin = 20 * kMs;
    auto usual = JackMidiBackend::Create();
    auto wide = JackMidiBackend::Create("", kWideMargin);
    ASSERT_TRUE(usual && wide) << "no JACK server; run through run_with_jack.sh";
    JackRecorder recorder("recorder");
    ASSERT_TRUE(recorder.ok());
    ASSERT_TRUE(recorder.addInput("wide"));
    auto toUsual = OpenOnceListed([&] { return usual->openOutput(recorder.portName(0), "out"); });
    auto toWide = OpenOnceListed([&] { return wide->openOutput(recorder.portName(1), "out"); });
    ASSERT_TRUE(toUsual && toWide);
    EXPECT_EQ(wide->latencyNs() - usual->latencyNs(),
              kWideMargin - JackMidiBackend::kDefaultSafetyMarginNs);
    std::this_thread::sleep_for(600ms);  // both learn where the cycles lie

    // The same time stamp through both: the wide one lands the difference of the margins
    // later, to within the few frames by which two clients' estimates of the cycles differ.
    const double expectedApart =
        static_cast<double>(kWideMargin - JackMidiBackend::kDefaultSafetyMarginNs) *
        usual->sampleRate() / 1e9;
    std::string failure;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const size_t before = recorder.count();
        const int64_t due = MonotonicNowNs() + 50 * kMs;
        ASSERT_TRUE(SendTick(*toUsual, due));
        ASSERT_TRUE(SendTick(*toWide, due));
        ASSERT_TRUE(recorder.waitFor(before + 2));
        const auto events = recorder.events();
        ASSERT_GE(events.size(), before + 2);
        const double apart = static_cast<double>(
            static_cast<int32_t>(events[before + 1].frame - events[before].frame));
        if (std::fabs(apart - expectedApart) <= 3.0) return;
        failure = "the wide margin's tick came " + std::to_string(apart) + " frames after, not " +
                  std::to_string(expectedApart);
        if (recorder.lastXrunNs() < due - 500 * kMs) break;  // no xrun to blame
    }
    ADD_FAILURE() << failure;
}
