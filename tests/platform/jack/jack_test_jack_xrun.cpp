// A server xrun, made on purpose: the whole server is held still for tens of milliseconds, so
// its driver wakes that late, JACK reports an xrun and the cycles go on from a later time line.
// Nothing queued meanwhile may be lost or reordered, and what is sent afterwards must land
// where the new time line puts it, not where the old one would have.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/jack/jack_cycle.h"
#include "platform/jack/midi_jack.h"
#include "support/bounded_wait.h"
#include "support/jack_support.h"

using namespace jacktest;

namespace {

constexpr uint8_t kNumbered = 0x90;   // our backend's messages
constexpr uint8_t kCycleMark = 0x91;  // the numbering client's

// Note-ons numbered by their key, so order and losses can be read at the receiver.
bool SendNumbered(MidiOutConnection& connection, uint8_t number, int64_t timeNs) {
    const uint8_t bytes[3] = {kNumbered, number, 1};
    return connection.sendShort(bytes, 3, timeNs);
}

// A plain JACK client that numbers its cycles: one message a cycle, at the cycle's first
// frame, its number in the two data bytes. Held still, the server now and then loses a cycle
// or hands one twice to the clients downstream, by itself: seen with two plain clients and
// nothing of ours, and here as a cycle whose frames no mark came with (our backend had written
// its messages into it) or a cycle whose marks came twice (and our messages with them). Where
// the recorder's marks do not come one a cycle, the attempt says nothing about our backend.
class CycleNumberer {
  public:
    explicit CycleNumberer(const std::string& server) {
        client_ = OpenClient("numberer", server);
        if (!client_) return;
        port_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client_, &CycleNumberer::onProcess, this);
        if (port_) jack_activate(client_);
    }
    ~CycleNumberer() {
        if (client_) jack_client_close(client_);
    }
    bool ok() const { return client_ && port_; }
    std::string portName() const { return jack_port_name(port_); }

  private:
    static int onProcess(jack_nframes_t frames, void* self) {
        auto* me = static_cast<CycleNumberer*>(self);
        void* buffer = jack_port_get_buffer(me->port_, frames);
        jack_midi_clear_buffer(buffer);
        if (uint8_t* bytes = jack_midi_event_reserve(buffer, 0, 3)) {
            bytes[0] = kCycleMark;
            bytes[1] = static_cast<uint8_t>(me->cycle_ & 0x7F);
            bytes[2] = static_cast<uint8_t>((me->cycle_ >> 7) & 0x7F);
        }
        ++me->cycle_;
        return 0;
    }
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    uint32_t cycle_ = 0;  // process thread only
};

// Where the recorder's marks among `events` do not come one a cycle, cycle after cycle ("" where
// they do): a cycle missing or repeated, by its frames or by the numberer's count.
std::string CycleBreaks(const std::vector<JackRecorder::Event>& events, uint32_t period) {
    std::string breaks;
    bool first = true;
    uint32_t frame = 0;
    int number = 0;
    for (const auto& event : events) {
        if (event.bytes.size() != 3 || event.bytes[0] != kCycleMark) continue;
        const int n = event.bytes[1] | (event.bytes[2] << 7);
        if (!first && (event.frame != frame + period || n != ((number + 1) & 0x3FFF)))
            breaks += std::to_string(number) + "@" + std::to_string(frame) + "->" +
                      std::to_string(n) + "@" + std::to_string(event.frame) + " ";
        first = false;
        frame = event.frame;
        number = n;
    }
    return breaks;
}

// Our backend's messages among `events`.
std::vector<JackRecorder::Event> Numbered(const std::vector<JackRecorder::Event>& events) {
    std::vector<JackRecorder::Event> numbered;
    for (const auto& event : events)
        if (!event.bytes.empty() && event.bytes[0] == kNumbered) numbered.push_back(event);
    return numbered;
}

// "number@frame" of each message, for a failure's message.
std::string NumbersAndFrames(const std::vector<JackRecorder::Event>& events) {
    std::string text;
    for (const auto& event : events)
        text += std::to_string(event.bytes.size() == 3 ? event.bytes[1] : -1) + "@" +
                std::to_string(event.frame) + " ";
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
    auto out = OpenOnceListed([&] { return backend->openOutput(recorder.portName(), "out"); });
    ASSERT_TRUE(out);
    CycleNumberer numberer(server.name());
    ASSERT_TRUE(numberer.ok());
    ASSERT_TRUE(recorder.addInput("marks"));
    ASSERT_TRUE(ConnectOnceListed(recorder.client(), numberer.portName(), recorder.portName(1)));
    std::this_thread::sleep_for(600ms);  // the backend learns where the cycles lie

    // The server often loses a cycle when held still (more often while the machine's cores are
    // kept awake): attempts enough that one without goes through nearly always.
    for (int attempt = 0; attempt < 12; ++attempt) {
        // 80 messages 1 ms apart, due from 10 ms on; the server is held still for 40 ms from the
        // end of the first cycle after 5 ms, so a good share of them comes due meanwhile.
        constexpr int kMessages = 80;
        const size_t before = recorder.count();
        const uint64_t movesBefore = backend->timeLineRestartCount();
        const uint64_t lateBefore = backend->lateMessageCount();
        const int64_t first = MonotonicNowNs() + 10 * kMs - backend->latencyNs();
        for (int i = 0; i < kMessages; ++i)
            ASSERT_TRUE(SendNumbered(*out, static_cast<uint8_t>(i), first + i * kMs));
        const int64_t frozeAt = MonotonicNowNs();
        std::this_thread::sleep_for(5ms);
        // Held still in the middle of a cycle, the server is the likelier to lose it: the hold
        // begins just after the recorder, the last client of a cycle, has taken its marks.
        const size_t seen = recorder.count();
        WaitUntil([&] { return recorder.count() > seen; }, 50ms, 50us);
        server.freezeFor(40ms);
        const auto since = [&] {
            const auto all = recorder.events();
            return std::vector<JackRecorder::Event>(all.begin() + static_cast<ptrdiff_t>(before),
                                                    all.end());
        };
        const uint32_t period = jack_get_buffer_size(recorder.client());
        // Until all have come, or a lost cycle makes waiting for them pointless.
        const bool arrived = WaitUntil(
            [&] {
                const auto events = since();
                return Numbered(events).size() >= kMessages || !CycleBreaks(events, period).empty();
            },
            5s);
        // PipeWire tells its clients of no xrun when the daemon was held still.
        ASSERT_TRUE(OnPipeWire() || WaitUntil([&] { return recorder.lastXrunNs() >= frozeAt; }, 5s))
            << "holding the server still made no xrun; the test says nothing";
        std::this_thread::sleep_for(100ms);
        const auto events = since();
        const std::string breaks = CycleBreaks(events, period);
        if (!breaks.empty()) {
            std::cerr << "[ retry    ] the server lost or repeated a cycle for every client: "
                      << breaks << "\n";
            continue;
        }

        // Whatever else happens: every message once, in order.
        const auto got = Numbered(events);
        if (OnPipeWire()) {
            // PipeWire, its daemon held still, runs the cycles it missed in a hurry afterwards
            // and drops what every client wrote into some of them (two or three cycles a hold,
            // seen with plain clients too), without a word of an xrun; what is lost there is the
            // server's. What arrives still comes once and in order.
            for (size_t i = 1; i < got.size(); ++i)
                ASSERT_GT(got[i].bytes[1], got[i - 1].bytes[1])
                    << "twice or out of order: " << NumbersAndFrames(got);
            EXPECT_TRUE(got.empty() || got.back().bytes[1] == kMessages - 1)
                << "the messages due after the hold are missing: " << NumbersAndFrames(got);
            return;
        }
        ASSERT_TRUE(arrived) << "only " << got.size() << " arrived: " << NumbersAndFrames(got);
        ASSERT_EQ(got.size(), static_cast<size_t>(kMessages))
            << "a message went out twice: " << NumbersAndFrames(got);
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
        EXPECT_EQ(got[burstStart].frame % 256, 0u)
            << "the late messages were not at a cycle's start";
        EXPECT_GE(backend->lateMessageCount() - lateBefore, burstLength - 1);
        // After the burst they are due in later cycles again, not late (where they then land
        // is the other test's matter).
        EXPECT_LT(got.back().frame - got[burstStart].frame, 256u * 12) << "the rest came late";
        return;
    }
    GTEST_SKIP() << "the test server had unplanned xruns or lost cycles in every run";
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
    auto toSurvivor =
        OpenOnceListed([&] { return survivor->openOutput(recorder.portName(0), "out"); });
    ASSERT_TRUE(toSurvivor);
    std::this_thread::sleep_for(600ms);

    std::string failure;
    for (int attempt = 0; attempt < 5; ++attempt) {
        // 30 ms still moves the time line by far more than the few frames allowed below.
        const uint64_t movesBefore = survivor->timeLineRestartCount();
        const int64_t frozeAt = MonotonicNowNs();
        server.freezeFor(30ms);
        ASSERT_TRUE(OnPipeWire() ||
                    WaitUntil([&] { return recorder.lastXrunNs() >= frozeAt; }, 5s));
        if (OnPipeWire()) std::this_thread::sleep_for(100ms);
        // A backend that starts after the xrun knows only the new time line. The survivor has
        // cycles of the old one in its memory for seconds yet.
        auto fresh = JackMidiBackend::Create(server.name());
        ASSERT_TRUE(fresh);
        auto toFresh =
            OpenOnceListed([&] { return fresh->openOutput(recorder.portName(1), "out"); });
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

namespace {

// A running clock's ticks, each handed to the backend a little before its time as the clock
// thread does, on a thread of the test's own, until stopped.
class TickSource {
  public:
    TickSource(MidiOutConnection& out, int64_t periodNs) : out_(out), periodNs_(periodNs) {
        thread_ = std::thread([this] { run(); });
    }
    ~TickSource() { stop(); }
    void stop() {
        stop_.store(true);
        const testwait::Watchdog watchdog("the tick source's last send");
        if (thread_.joinable()) thread_.join();
    }
    int sent() const { return sent_.load(); }

  private:
    void run() {
        const int64_t first = MonotonicNowNs() + 5 * kMs;
        for (int64_t k = 0; !stop_.load(); ++k) {
            const int64_t due = first + k * periodNs_;
            while (MonotonicNowNs() < due && !stop_.load())
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            const uint8_t clock = 0xF8;
            if (out_.sendShort(&clock, 1, due)) sent_.fetch_add(1);
        }
    }
    MidiOutConnection& out_;
    const int64_t periodNs_;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

// Where two clock ticks arrived on one frame of one cycle ("" where none did). Two cycles the
// server handed with the same frames are two cycles all the same: a device hears them apart.
std::string SharedFrames(const std::vector<JackRecorder::Event>& events) {
    std::string shared;
    const JackRecorder::Event* previous = nullptr;
    for (const auto& event : events) {
        if (event.bytes != std::vector<uint8_t>{0xF8}) continue;
        if (previous && previous->cycle == event.cycle && previous->frame == event.frame)
            shared += std::to_string(event.frame) + " ";
        previous = &event;
    }
    return shared;
}

// The most clock ticks any one cycle carried.
size_t MostTicksInACycle(const std::vector<JackRecorder::Event>& events) {
    size_t most = 0, run = 0;
    uint64_t cycle = UINT64_MAX;
    for (const auto& event : events) {
        if (event.bytes != std::vector<uint8_t>{0xF8}) continue;
        run = event.cycle == cycle ? run + 1 : 1;
        cycle = event.cycle;
        most = std::max(most, run);
    }
    return most;
}

}  // namespace

// A server held still for long owes the receiver more ticks than it can take as clock: beyond
// the bound they are dropped and counted, and the clock carries on on its grid. A short hold
// keeps every tick, sent late with its own time. Never two ticks on one frame, either way.
TEST(JackXrun, ALongHoldDropsTheOwedTicksAShortOneKeepsThemNeverTwoOnOneFrame) {
    jack_set_error_function(&QuietJackError);
    PrivateJackServer server;
    ASSERT_TRUE(server.waitUntilAnswering());
    JackRecorder recorder("stall-recorder", server.name());
    ASSERT_TRUE(recorder.ok());
    auto backend = JackMidiBackend::Create(server.name());
    ASSERT_TRUE(backend);
    auto out = OpenOnceListed([&] { return backend->openOutput(recorder.portName(), "out"); });
    ASSERT_TRUE(out);
    CycleNumberer numberer(server.name());
    ASSERT_TRUE(numberer.ok());
    ASSERT_TRUE(recorder.addInput("marks"));
    ASSERT_TRUE(ConnectOnceListed(recorder.client(), numberer.portName(), recorder.portName(1)));
    const uint32_t period = jack_get_buffer_size(recorder.client());
    std::this_thread::sleep_for(600ms);  // the backend learns where the cycles lie

    struct Hold {
        int64_t tickNs;
        std::chrono::milliseconds hold;
        bool dropsExpected;
    };
    // 2500 BPM (a tick a millisecond): 3 ms owes three ticks, late by less than the bound;
    // 200 ms owes 200. 120 BPM: two seconds owe 96.
    for (const Hold& h : {Hold{1'000'000, 3ms, false}, Hold{1'000'000, 200ms, true},
                          Hold{20'833'333, 2000ms, true}}) {
        SCOPED_TRACE("a hold of " + std::to_string(h.hold.count()) + " ms with a tick every " +
                     std::to_string(h.tickNs / 1000) + " us");
        bool measured = false;
        for (int attempt = 0; attempt < 5 && !measured; ++attempt) {
            const size_t before = recorder.count();
            const uint64_t droppedBefore = backend->droppedLateTickCount();
            TickSource ticks(*out, h.tickNs);
            std::this_thread::sleep_for(300ms);
            server.freezeFor(h.hold);
            std::this_thread::sleep_for(300ms);
            ticks.stop();
            std::this_thread::sleep_for(100ms);  // the last ones go out
            const auto all = recorder.events();
            const std::vector<JackRecorder::Event> events(
                all.begin() + static_cast<ptrdiff_t>(before), all.end());
            const uint64_t dropped = backend->droppedLateTickCount() - droppedBefore;
            std::cerr << "[ figures  ] hold " << h.hold.count() << " ms, tick " << h.tickNs / 1000
                      << " us: " << dropped << " dropped, at most " << MostTicksInACycle(events)
                      << " in a cycle\n";
            EXPECT_EQ(SharedFrames(events), "") << "ticks on one frame";
            // A cycle carries its own ticks (five or six a period at 2500 BPM) and at most the
            // bound's worth of late ones: never the whole hold's.
            const double perCycle = 256.0 / 48000 * 1e9 / static_cast<double>(h.tickNs);
            const double bound = static_cast<double>(TickPlacement::kLateBoundNs) / h.tickNs;
            EXPECT_LE(static_cast<double>(MostTicksInACycle(events)), perCycle + bound + 2);
            if (h.dropsExpected) {
                // PipeWire runs some of the held cycles afterwards, and ticks go out in those.
                const double owed = std::chrono::duration<double>(h.hold).count() * 1e9 / h.tickNs;
                EXPECT_GE(static_cast<double>(dropped), owed * (OnPipeWire() ? 0.5 : 0.8));
                EXPECT_LE(static_cast<double>(dropped), owed + 2);
                measured = true;
                continue;
            }
            EXPECT_EQ(dropped, 0u);
            // Late, not lost: every tick sent reached the receiver, unless the server itself
            // lost or repeated a cycle at the hold (jackd2 now and then, PipeWire nearly always).
            const std::string breaks = CycleBreaks(events, period);
            if (!breaks.empty()) {
                std::cerr << "[ retry    ] the server lost or repeated a cycle: " << breaks << "\n";
                continue;
            }
            measured = true;
            EXPECT_GE(FramesOf(events, 0xF8).size() + 1, static_cast<size_t>(ticks.sent()));
        }
        if (!measured) ADD_FAILURE() << "the server lost or repeated a cycle at every hold";
    }
}
