// A server xrun, made on purpose: the whole server is held still for tens of milliseconds, so
// its driver wakes that late, JACK reports an xrun and the cycles go on from a later time line.
// Nothing queued meanwhile may be lost or reordered, and what is sent afterwards must land
// where the new time line puts it, not where the old one would have.
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <string>

#include "platform/midi_jack.h"
#include "support/jack_support.h"

using namespace jacktest;

namespace {

// Note-ons numbered by their key, so order and losses can be read at the receiver.
bool SendNumbered(MidiOutConnection& connection, uint8_t number, int64_t timeNs) {
    const uint8_t bytes[3] = {0x90, number, 1};
    return connection.sendShort(bytes, 3, timeNs);
}

// "number@frame" of each recorded message from `from` on, for a failure's message.
std::string NumbersAndFrames(const std::vector<JackRecorder::Event>& events, size_t from) {
    std::string text;
    for (size_t i = from; i < events.size(); ++i)
        text += std::to_string(events[i].bytes.size() == 3 ? events[i].bytes[1] : -1) + "@" +
                std::to_string(events[i].frame) + " ";
    return text;
}

}  // namespace

TEST(JackXrun, MessagesWhoseFramesPassedDuringAnXrunGoOutFirstThingInOrder) {
    jack_set_error_function(&QuietJackError);
    PrivateJackServer server;
    ASSERT_TRUE(server.waitUntilAnswering());
    JackRecorder recorder("recorder", server.name());
    ASSERT_TRUE(recorder.ok());
    auto backend = JackMidiBackend::Create(server.name());
    ASSERT_TRUE(backend);
    auto out = backend->openOutput(recorder.portName(), "out");
    ASSERT_TRUE(out);
    std::this_thread::sleep_for(600ms);  // the backend learns where the cycles lie

    for (int attempt = 0; attempt < 5; ++attempt) {
        // 80 messages 1 ms apart, due from 10 ms on; the server is held still from 5 ms to
        // 45 ms, so a good share of them comes due meanwhile.
        constexpr int kMessages = 80;
        const size_t before = recorder.count();
        const uint64_t movesBefore = backend->timeLineRestartCount();
        const uint64_t lateBefore = backend->lateMessageCount();
        const int64_t first = MonotonicNowNs() + 10 * kMs - backend->latencyNs();
        for (int i = 0; i < kMessages; ++i)
            ASSERT_TRUE(SendNumbered(*out, static_cast<uint8_t>(i), first + i * kMs));
        const int64_t frozeAt = MonotonicNowNs();
        std::this_thread::sleep_for(5ms);
        server.freezeFor(40ms);
        ASSERT_TRUE(recorder.waitFor(before + kMessages));
        ASSERT_TRUE(WaitUntil([&] { return recorder.lastXrunNs() >= frozeAt; }, 5s))
            << "holding the server still made no xrun; the test says nothing";
        std::this_thread::sleep_for(100ms);

        // Whatever else happens: every message once, in order.
        const auto all = recorder.events();
        ASSERT_EQ(all.size(), before + kMessages)
            << "a message went out twice: " << NumbersAndFrames(all, before);
        std::vector<JackRecorder::Event> got(all.begin() + static_cast<ptrdiff_t>(before),
                                             all.end());
        for (int i = 0; i < kMessages; ++i) {
            ASSERT_EQ(got[static_cast<size_t>(i)].bytes.size(), 3u);
            ASSERT_EQ(got[static_cast<size_t>(i)].bytes[1], i) << "out of order at " << i;
        }
        // Where they land is only clear when the planned xrun was the only one. Held still,
        // the dummy driver reports its delay twice (once as it wakes, once more as it catches
        // up), so the planned xrun moves the line once or twice.
        const uint64_t moves = backend->timeLineRestartCount() - movesBefore;
        if (moves < 1 || moves > 2) {
            std::cerr << "[ retry    ] another xrun came with the planned one: "
                      << backend->timeLineRestartCount() - movesBefore << " line moves\n";
            continue;
        }
        // The ones that came due while the server stood still all go out at the first frame
        // of the next cycle, together: the largest group of messages on one frame is that burst.
        size_t burstStart = 0, burstLength = 0;
        for (size_t i = 0; i < got.size();) {
            size_t j = i;
            while (j < got.size() && got[j].frame == got[i].frame) ++j;
            if (j - i > burstLength) {
                burstStart = i;
                burstLength = j - i;
            }
            i = j;
        }
        EXPECT_GE(burstLength, 10u) << "the late messages were spread, not sent first thing";
        EXPECT_EQ(got[burstStart].frame % 256, 0u) << "the late messages were not at a cycle's start";
        EXPECT_GE(backend->lateMessageCount() - lateBefore, burstLength - 1);
        // After the burst they are due in later cycles again, not late (where they then land
        // is the other test's matter).
        EXPECT_LT(got.back().frame - got[burstStart].frame, 256u * 12) << "the rest came late";
        return;
    }
    GTEST_SKIP() << "the test server had unplanned xruns in every run";
}

TEST(JackXrun, AfterAnXrunMessagesLandWhereTheNewTimeLinePutsThem) {
    jack_set_error_function(&QuietJackError);
    PrivateJackServer server;
    ASSERT_TRUE(server.waitUntilAnswering());
    JackRecorder recorder("recorder", server.name());
    ASSERT_TRUE(recorder.ok());
    ASSERT_TRUE(recorder.addInput("fresh"));
    auto survivor = JackMidiBackend::Create(server.name());
    ASSERT_TRUE(survivor);
    auto toSurvivor = survivor->openOutput(recorder.portName(0), "out");
    ASSERT_TRUE(toSurvivor);
    std::this_thread::sleep_for(600ms);

    std::string failure;
    for (int attempt = 0; attempt < 5; ++attempt) {
        // 30 ms still moves the time line by far more than the few frames allowed below.
        const uint64_t movesBefore = survivor->timeLineRestartCount();
        const int64_t frozeAt = MonotonicNowNs();
        server.freezeFor(30ms);
        ASSERT_TRUE(WaitUntil([&] { return recorder.lastXrunNs() >= frozeAt; }, 5s));
        // A backend that starts after the xrun knows only the new time line. The survivor has
        // cycles of the old one in its memory for seconds yet.
        auto fresh = JackMidiBackend::Create(server.name());
        ASSERT_TRUE(fresh);
        auto toFresh = fresh->openOutput(recorder.portName(1), "out");
        ASSERT_TRUE(toFresh);
        std::this_thread::sleep_for(500ms);

        const size_t before = recorder.count();
        const int64_t due = MonotonicNowNs() + 50 * kMs;
        ASSERT_TRUE(SendNumbered(*toSurvivor, 1, due));
        ASSERT_TRUE(SendNumbered(*toFresh, 2, due));
        ASSERT_TRUE(recorder.waitFor(before + 2));
        const auto events = recorder.events();
        ASSERT_GE(events.size(), before + 2);
        uint32_t survivorFrame = 0, freshFrame = 0;
        for (size_t i = before; i < before + 2; ++i) {
            ASSERT_EQ(events[i].bytes.size(), 3u);
            (events[i].bytes[1] == 1 ? survivorFrame : freshFrame) = events[i].frame;
        }
        // Two clients that learnt the same line each from their own wake-ups agree to a few
        // frames; one still on the old line is off by the slip, over a thousand frames.
        const double apart = static_cast<double>(static_cast<int32_t>(survivorFrame - freshFrame));
        if (std::fabs(apart) <= 24.0) return;
        failure = "the backend that lived through the xrun placed its message " +
                  std::to_string(apart) + " frames from where a fresh one did (time line moves " +
                  std::to_string(survivor->timeLineRestartCount()) + " and " +
                  std::to_string(fresh->timeLineRestartCount()) + ")";
        // Another, unplanned xrun of the driver (the test server may lack real-time rights)
        // makes both learn the cycles afresh once more, maybe just before the messages went;
        // then the comparison says nothing, and it is made again.
        const bool onlyThePlannedOne = survivor->timeLineRestartCount() == movesBefore + 1 &&
                                       fresh->timeLineRestartCount() == 0;
        if (onlyThePlannedOne) break;
        std::cerr << "[ retry    ] another xrun came after the planned one\n";
    }
    ADD_FAILURE() << failure;
}
