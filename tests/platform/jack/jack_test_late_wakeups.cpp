// Ticks handed to the JACK backend up to 2 ms after their time stamps, as a clock thread that
// wakes up late on a loaded machine hands them over, still land on their own frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "platform/jack/midi_jack.h"
#include "support/jack_support.h"

using namespace jacktest;

TEST(JackLateWakeUps, TicksHandedOverTwoMillisecondsLateLandOnTheirFrames) {
    jack_set_error_function(&QuietJackError);
    auto backend = JackMidiBackend::Create();
    ASSERT_TRUE(backend) << "no JACK server; run through run_with_jack.sh";
    JackRecorder recorder("recorder");
    ASSERT_TRUE(recorder.ok());
    auto out = OpenOnceListed([&] { return backend->openOutput(recorder.portName(), "out"); });
    ASSERT_TRUE(out);
    std::this_thread::sleep_for(600ms);

    // Each tick is stamped 2 ms before the moment it is handed over, so it is exactly that late
    // wherever the moment falls against the cycles, however the test thread is scheduled. Over
    // some hundreds of ticks every position in a period comes up.
    constexpr int kTicks = 400;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const size_t before = recorder.count();
        const uint64_t lateBefore = backend->lateMessageCount();
        const int64_t started = MonotonicNowNs();
        int64_t slowestSend = 0;
        for (int i = 0; i < kTicks; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(700 + (i * 137) % 900));
            const uint8_t tick = 0xF8;
            const int64_t now = MonotonicNowNs();
            ASSERT_TRUE(out->sendShort(&tick, 1, now - 2 * kMs));
            slowestSend = std::max(slowestSend, MonotonicNowNs() - now);
        }
        ASSERT_TRUE(recorder.waitFor(before + kTicks));
        std::this_thread::sleep_for(300ms);
        // A send held up on its way (this is no real-time thread), or an xrun of the
        // unprivileged server, makes ticks late that say nothing of the margin: run again.
        if (slowestSend > 300'000 || recorder.lastXrunNs() >= started - 500 * kMs) {
            std::cerr << "[ retry    ] a send took " << slowestSend / 1000
                      << " us, or the server had an xrun\n";
            continue;
        }
        EXPECT_EQ(backend->lateMessageCount(), lateBefore) << "ticks missed their frames";
        const auto all = recorder.events();
        ASSERT_EQ(all.size(), before + kTicks);
        for (size_t i = before + 1; i < all.size(); ++i)
            EXPECT_GE(all[i].frame, all[i - 1].frame) << "tick " << i - before;
        return;
    }
    GTEST_SKIP() << "no run without a slow send or a server xrun";
}
