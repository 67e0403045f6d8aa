// JackMidiBackend against a real JACK server (a private one, started by run_with_jack.sh).
// Every timing check is on frame positions, which JACK computes exactly; nothing here depends
// on how fast this machine is.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/jack/jack_out_queue.h"
#include "platform/jack/midi_jack.h"
#include "platform/midi_system.h"
#include "platform/monotonic_clock.h"
#include "support/bounded_wait.h"
#include "support/jack_support.h"

extern char** environ;

// The recorder and the backend under test are two JACK clients in one process: one writes a
// port buffer in its process callback, the other reads it in its own, and the JACK server puts
// the second after the first through its own semaphores, which ThreadSanitizer does not see.
// The same holds for our input hub reading what a test client wrote into its output port.
extern "C" const char* __tsan_default_suppressions() {
    return "race:ReadJackMidiEvents\nrace:JackInputHub::process\n";
}

namespace {

using namespace jacktest;

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

bool SendTick(MidiOutConnection& connection, int64_t timeNs, uint8_t status = 0xF8) {
    return connection.sendShort(&status, 1, timeNs);
}

// The frame each scheduled tick must keep to its predecessor: spacingNs at 48 kHz.
double FramesFor(int64_t spacingNs, uint32_t rate) {
    return static_cast<double>(spacingNs) * rate / 1e9;
}

// Runs a frame-exact check. When the server's dummy driver slipped a period (an xrun: this
// machine is shared and the server has no real-time rights) during the check or within
// settleNs before it, frames and time parted ways for a moment and the check is made again.
// The check returns "" when it passed, else what went wrong.
void CheckBetweenXruns(const JackRecorder& recorder, const std::function<std::string()>& check,
                       int64_t settleNs = 500 * kMs) {
    std::string failure;
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int64_t started = MonotonicNowNs();
        failure = check();
        if (failure.empty()) return;
        if (recorder.lastXrunNs() < started - settleNs) break;
        std::cerr << "[ retry    ] the server had an xrun; measuring again\n";
        failure = "xruns all along; last: " + failure;
        std::this_thread::sleep_for(1s);  // let whatever loads the machine pass
    }
    ADD_FAILURE() << failure;
}

class JackBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        jack_set_error_function(&QuietJackError);
        backend_ = JackMidiBackend::Create();
        ASSERT_TRUE(backend_) << "no JACK server; run through run_with_jack.sh";
        backend_->setProblemSink(problems_.sink());
        recorder_ = std::make_unique<JackRecorder>("recorder");
        ASSERT_TRUE(recorder_->ok());
        // The backend learns where the cycles lie from its first half second of wake-ups; a
        // program has long been running when its first tick goes out.
        std::this_thread::sleep_for(600ms);
    }
    void TearDown() override {
        backend_.reset();
        recorder_.reset();
    }

    std::unique_ptr<MidiOutConnection> openRecorder(const std::string& ownPort = "out") {
        return OpenOnceListed([&] { return backend_->openOutput(recorder_->portName(), ownPort); });
    }

    // Schedules count ticks spacingNs apart, far enough ahead that all are queued in time.
    void scheduleTicks(MidiOutConnection& connection, int count, int64_t spacingNs) {
        const int64_t first = MonotonicNowNs() + 50 * kMs;
        for (int i = 0; i < count; ++i) EXPECT_TRUE(SendTick(connection, first + i * spacingNs));
    }

    // Sends count ticks spacingNs apart and checks that they arrive exactly that many frames
    // apart (within the one frame that rounding to whole frames allows). Queued well ahead,
    // none of them may come late either.
    std::string ticksKeepSpacing(MidiOutConnection& connection, int count, int64_t spacingNs) {
        const size_t before = recorder_->count();
        const uint64_t lateBefore = backend_->lateMessageCount();
        scheduleTicks(connection, count, spacingNs);
        if (!recorder_->waitFor(before + count, 5s)) return "ticks did not arrive";
        if (backend_->lateMessageCount() != lateBefore) return "ticks came late";
        auto events = recorder_->events();
        events.erase(events.begin(), events.begin() + static_cast<ptrdiff_t>(before));
        return spacingProblem(events, FramesFor(spacingNs, backend_->sampleRate()));
    }

    // Sends one message at once and waits for it at the recorder.
    std::string arrives(MidiOutConnection& connection, const std::vector<uint8_t>& message) {
        const size_t before = recorder_->count();
        const bool sent = message.size() <= 3
                              ? connection.sendShort(message.data(), message.size(), 0)
                              : connection.sendLong(message.data(), message.size(), 0);
        if (!sent) return "send refused";
        if (!recorder_->waitFor(before + 1, 5s)) return "message did not arrive";
        if (recorder_->events()[before].bytes != message) return "message arrived changed";
        return "";
    }

    static std::string spacingProblem(const std::vector<JackRecorder::Event>& events,
                                      double framesApart) {
        for (size_t i = 1; i < events.size(); ++i) {
            const double spacing = static_cast<double>(events[i].frame - events[i - 1].frame);
            if (std::fabs(spacing - framesApart) > 1.0 + 1e-3) {
                return "ticks " + std::to_string(i - 1) + " and " + std::to_string(i) + " are " +
                       std::to_string(spacing) + " frames apart, not " +
                       std::to_string(framesApart);
            }
        }
        return "";
    }

    ProblemLog problems_;
    std::unique_ptr<JackMidiBackend> backend_;
    std::unique_ptr<JackRecorder> recorder_;
};

}  // namespace

TEST_F(JackBackendTest, ListsTheVirtualPortFirstThenOtherClientsMidiInputs) {
    // A trailing blank in a port name is padding, not part of the name shown.
    ASSERT_TRUE(recorder_->addInput("padded \t"));
    const std::string padded = recorder_->clientName() + ":padded";
    std::vector<std::string> names;
    ASSERT_TRUE(WaitUntil([&] {
        names = backend_->listOutputs();
        return Contains(names, padded);
    }));
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), kVirtualPortName);
    EXPECT_TRUE(Contains(names, recorder_->portName()));
    // Audio ports and other clients' outputs are no destinations.
    for (const auto& name : names) {
        EXPECT_EQ(name.find("system:"), std::string::npos) << name;
    }
    // Our own ports are outputs; our client never lists itself.
    auto connection = backend_->openOutput(kVirtualPortName, "out");
    ASSERT_TRUE(connection);
    for (const auto& name : backend_->listOutputs()) {
        EXPECT_NE(name.rfind(backend_->clientName() + ":", 0), 0u) << name;
    }

    auto trimmed = backend_->openOutput(padded, "to-padded");
    ASSERT_TRUE(trimmed);
    CheckBetweenXruns(*recorder_, [&] { return arrives(*trimmed, {0xF8}); });

    // Through MidiSystem, the same with "JACK: " before every name.
    MidiSystem system;
    system.addBackend(std::move(backend_));
    const auto shown = system.listOutputs();
    ASSERT_EQ(shown.size(), names.size());
    EXPECT_EQ(system.firstVirtualOutput(), std::string("JACK: ") + kVirtualPortName);
    EXPECT_EQ(shown.front(), system.firstVirtualOutput());
    EXPECT_TRUE(Contains(shown, "JACK: " + recorder_->portName()));
    EXPECT_TRUE(system.openOutput("JACK: " + recorder_->portName(), "via-system"));
}

TEST_F(JackBackendTest, UnknownOrUnsuitableNamesOpenNothing) {
    EXPECT_FALSE(backend_->openOutput("nobody:in", "out"));
    EXPECT_FALSE(backend_->openOutput("", "out"));
    EXPECT_FALSE(backend_->openOutput("system:playback_1", "out"));  // audio, not MIDI
    // A failed open leaves no port of ours behind.
    EXPECT_FALSE(jack_port_by_name(recorder_->client(), (backend_->clientName() + ":out").c_str()));
}

TEST_F(JackBackendTest, OpenConnectsOurOwnPortToTheDestination) {
    auto connection = openRecorder("clock out");
    ASSERT_TRUE(connection);
    EXPECT_TRUE(connection->isAlive());
    // Another client sees our new port at once on jackd2, a moment later on PipeWire.
    jack_port_t* ours = nullptr;
    ASSERT_TRUE(WaitUntil(
        [&] {
            ours = jack_port_by_name(recorder_->client(),
                                     (backend_->clientName() + ":clock out").c_str());
            return ours != nullptr;
        },
        5s));
    // JACK shows a new connection to other clients from its next cycle on.
    EXPECT_TRUE(
        WaitUntil([&] { return jack_port_connected_to(ours, recorder_->portName().c_str()); }));

    // The same own name again gets a port of its own, also connected.
    auto second = openRecorder("clock out");
    ASSERT_TRUE(second);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return jack_port_by_name(recorder_->client(),
                                     (backend_->clientName() + ":clock out-2").c_str()) != nullptr;
        },
        5s));

    // Closing takes our port away.
    connection.reset();
    EXPECT_TRUE(WaitUntil([&] {
        return !jack_port_by_name(recorder_->client(),
                                  (backend_->clientName() + ":clock out").c_str());
    }));
}

TEST_F(JackBackendTest, ScheduledTicksKeepTheirSpacingToTheFrame) {
    auto connection = openRecorder();
    ASSERT_TRUE(connection);
    // 120 BPM: 20.8333 ms, exactly 1000 frames at 48 kHz, several periods apart.
    CheckBetweenXruns(*recorder_, [&] { return ticksKeepSpacing(*connection, 30, 20'833'333); });
    // 2500 BPM, the highest tempo: 1 ms, 48 frames; several ticks in one period.
    CheckBetweenXruns(*recorder_, [&] { return ticksKeepSpacing(*connection, 200, 1'000'000); });
    // An odd spacing that falls between frames: 30.3 frames.
    CheckBetweenXruns(*recorder_, [&] { return ticksKeepSpacing(*connection, 100, 631'250); });
}

TEST_F(JackBackendTest, TicksLandOneLatencyAfterTheirTimeStamp) {
    // The absolute position, not just the spacing, judged by JACK's own idea of where a moment
    // falls: a latency of one period plus the margin, not none and not two periods. JACK's
    // estimate wanders by a millisecond or two for seconds after an xrun, hence the half-period
    // tolerance and the long settling time.
    auto connection = openRecorder();
    ASSERT_TRUE(connection);
    const int64_t halfPeriod = static_cast<int64_t>(jack_get_buffer_size(recorder_->client())) *
                               1'000'000'000 / backend_->sampleRate() / 2;
    CheckBetweenXruns(
        *recorder_,
        [&]() -> std::string {
            const size_t before = recorder_->count();
            const int64_t due = MonotonicNowNs() + 100 * kMs;
            if (!SendTick(*connection, due)) return "send refused";
            if (!recorder_->waitFor(before + 1)) return "tick did not arrive";
            const int64_t jackMinusMono =
                static_cast<int64_t>(jack_get_time()) * 1000 - MonotonicNowNs();
            const jack_nframes_t expected = jack_time_to_frames(
                recorder_->client(),
                static_cast<jack_time_t>((due + backend_->latencyNs() + jackMinusMono) / 1000));
            const double errorFrames = static_cast<double>(
                static_cast<int32_t>(recorder_->events()[before].frame - expected));
            const double allowed = FramesFor(halfPeriod, backend_->sampleRate());
            if (std::fabs(errorFrames) > allowed) {
                return "tick " + std::to_string(errorFrames) + " frames away from due + latency";
            }
            return "";
        },
        4000 * kMs);
}

TEST_F(JackBackendTest, StartAndClockArriveInSendOrder) {
    auto connection = openRecorder();
    ASSERT_TRUE(connection);
    CheckBetweenXruns(*recorder_, [&]() -> std::string {
        const size_t before = recorder_->count();
        const int64_t first = MonotonicNowNs() + 30 * kMs;
        // Start "now", then ticks; a Stop as soon as possible after a scheduled tick must not
        // overtake it.
        SendTick(*connection, 0, 0xFA);
        for (int i = 0; i < 5; ++i) SendTick(*connection, first + i * 2 * kMs);
        SendTick(*connection, 0, 0xFC);
        const uint8_t noteOn[3] = {0x90, 60, 100};
        connection->sendShort(noteOn, 3, first + 20 * kMs);
        const std::vector<std::vector<uint8_t>> expected = {
            {0xFA}, {0xF8}, {0xF8}, {0xF8}, {0xF8}, {0xF8}, {0xFC}, {0x90, 60, 100}};
        if (!recorder_->waitFor(before + expected.size(), 5s)) return "messages missing";
        auto events = recorder_->events();
        events.erase(events.begin(), events.begin() + static_cast<ptrdiff_t>(before));
        if (events.size() != expected.size()) return "too many messages";
        for (size_t i = 0; i < events.size(); ++i) {
            if (events[i].bytes != expected[i]) return "wrong order at " + std::to_string(i);
            if (i > 0 && events[i].frame < events[i - 1].frame) {
                return "frame going back at " + std::to_string(i);
            }
        }
        return "";
    });
}

TEST_F(JackBackendTest, SystemExclusiveArrivesIntact) {
    auto connection = openRecorder();
    ASSERT_TRUE(connection);
    for (size_t length : {120u, 512u}) {
        std::vector<uint8_t> sysex(length);
        sysex.front() = 0xF0;
        for (size_t i = 1; i + 1 < length; ++i) sysex[i] = static_cast<uint8_t>(i % 0x80);
        sysex.back() = 0xF7;
        CheckBetweenXruns(*recorder_, [&] { return arrives(*connection, sysex); });
    }
    // Longer than a connection carries: refused, not cut.
    std::vector<uint8_t> huge(MidiEventRing::kMaxMessageBytes + 1, 0x11);
    huge.front() = 0xF0;
    huge.back() = 0xF7;
    EXPECT_FALSE(connection->sendLong(huge.data(), huge.size(), 0));
}

TEST_F(JackBackendTest, VirtualPortStaysUnconnectedUntilSomeoneConnectsIt) {
    auto connection = backend_->openOutput(kVirtualPortName, "virtual out");
    ASSERT_TRUE(connection);
    const std::string ours = backend_->clientName() + ":virtual out";
    jack_port_t* port = nullptr;
    ASSERT_TRUE(WaitUntil(
        [&] { return (port = jack_port_by_name(recorder_->client(), ours.c_str())); }, 5s));
    EXPECT_EQ(jack_port_connected(port), 0);

    // Any program may connect to it, and then hears our clock.
    ASSERT_TRUE(ConnectOnceListed(recorder_->client(), ours, recorder_->portName()));
    ASSERT_TRUE(WaitUntil([&] { return jack_port_connected(port) == 1; }));
    CheckBetweenXruns(*recorder_, [&] { return ticksKeepSpacing(*connection, 3, 10 * kMs); });
}

TEST_F(JackBackendTest, VanishedDestinationStopsItsConnectionOnly) {
    JackRecorder other("vanishing");
    ASSERT_TRUE(other.ok());
    auto doomed =
        OpenOnceListed([&] { return backend_->openOutput(other.portName(), "to-vanishing"); });
    auto survivor = openRecorder();
    auto virtualPort = backend_->openOutput(kVirtualPortName, "virtual");
    ASSERT_TRUE(doomed && survivor && virtualPort);
    const std::string lostName = other.portName();

    other.close();
    ASSERT_TRUE(problems_.waitFor("MIDI Port lost: " + lostName));
    EXPECT_FALSE(doomed->isAlive());
    EXPECT_FALSE(SendTick(*doomed, 0));
    EXPECT_TRUE(survivor->isAlive());
    EXPECT_TRUE(virtualPort->isAlive());
    CheckBetweenXruns(*recorder_, [&] { return arrives(*survivor, {0xF8}); });
    EXPECT_EQ(problems_.texts().size(), 1u);
    doomed.reset();  // closing a dead connection is quiet and quick
}

TEST_F(JackBackendTest, DisconnectingByHandIsNoLoss) {
    auto connection = openRecorder("by-hand");
    ASSERT_TRUE(connection);
    const std::string ours = backend_->clientName() + ":by-hand";
    // PipeWire tells each client of a new connection on its own thread, a moment later: the
    // hand that disconnects is the recorder's client, so it must have seen the connection.
    jack_port_t* theirs = jack_port_by_name(recorder_->client(), recorder_->portName().c_str());
    ASSERT_TRUE(theirs);
    ASSERT_TRUE(WaitUntil([&] { return jack_port_connected_to(theirs, ours.c_str()) != 0; }, 5s));
    ASSERT_EQ(jack_disconnect(recorder_->client(), ours.c_str(), recorder_->portName().c_str()), 0);
    // JACK notifies in order: once a later loss is reported, the disconnect has been seen.
    JackRecorder marker("marker");
    ASSERT_TRUE(marker.ok());
    auto toMarker =
        OpenOnceListed([&] { return backend_->openOutput(marker.portName(), "marker"); });
    ASSERT_TRUE(toMarker);
    const std::string markerName = marker.portName();
    marker.close();
    ASSERT_TRUE(problems_.waitFor("MIDI Port lost: " + markerName));
    EXPECT_TRUE(connection->isAlive());
    EXPECT_EQ(problems_.texts().size(), 1u);
}

TEST_F(JackBackendTest, SendersOnSeveralThreadsWhilePortsComeAndGo) {
    auto steady = openRecorder("steady");
    ASSERT_TRUE(steady);
    constexpr int kPerThread = 300;
    CheckBetweenXruns(*recorder_, [&]() -> std::string {
        const size_t before = recorder_->count();
        std::atomic<int> accepted{0};
        auto sender = [&](uint8_t status) {
            for (int i = 0; i < kPerThread; ++i) {
                if (SendTick(*steady, 0, status)) accepted.fetch_add(1);
                std::this_thread::sleep_for(100us);
            }
        };
        const testwait::Watchdog watchdog("the senders on two threads");
        std::thread clockThread(sender, 0xF8);
        std::thread uiThread(sender, 0xFE);
        // Meanwhile the process callback must cope with slots appearing and going.
        bool allOpened = true;
        for (int i = 0; i < 20; ++i) {
            auto passing = backend_->openOutput(kVirtualPortName, "passing");
            allOpened = allOpened && passing && SendTick(*passing, 0);
        }
        clockThread.join();
        uiThread.join();
        if (!allOpened) return "a passing port failed";
        if (accepted.load() != 2 * kPerThread) return "sends refused";
        if (!recorder_->waitFor(before + 2 * kPerThread, 5s)) return "messages missing";
        auto events = recorder_->events();
        const auto clocks = std::count_if(events.begin() + static_cast<ptrdiff_t>(before),
                                          events.end(), [](const JackRecorder::Event& event) {
                                              return event.bytes == std::vector<uint8_t>{0xF8};
                                          });
        return clocks == kPerThread ? "" : "clock ticks missing";
    });
}

// Each open and close has JACK ask for our latencies while the port's state changes, from a
// thread of JACK's own; on PipeWire a lock held across that callback's libjack call hung the
// program at about every other close. Forty opens and closes, each on a connected and a virtual
// port, all done in a few seconds; a hang fails the test (and ends the program, which could
// not end otherwise) instead of waiting for CTest's timeout.
TEST_F(JackBackendTest, PortsOpenedAndClosedManyTimesNeverHang) {
    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (int i = 0; i < 40; ++i) {
            auto connected = openRecorder("churn");
            auto virtualPort = backend_->openOutput(kVirtualPortName, "churn-virtual");
            if (connected) connected->setDelayNs((i % 5) * 1'000'000);
            SendTick(connected ? *connected : *virtualPort, 0);
        }
        done.store(true);
    });
    if (!WaitUntil([&] { return done.load(); }, 30s)) {
        ADD_FAILURE() << "opening and closing ports hung";
        std::fflush(nullptr);
        std::_Exit(1);
    }
    churn.join();
}

// --- a server that dies ------------------------------------------------------------------------

namespace {

// What every client of a server that goes away must see, however it went.
void ExpectServerLossHandled(int signal) {
    jack_set_error_function(&QuietJackError);
    PrivateJackServer server;
    ASSERT_TRUE(server.waitUntilAnswering());
    auto backend = JackMidiBackend::Create(server.name());
    ASSERT_TRUE(backend);
    ProblemLog problems;
    backend->setProblemSink(problems.sink());
    auto recorder = std::make_unique<JackRecorder>("recorder", server.name());
    ASSERT_TRUE(recorder->ok());
    auto connection =
        OpenOnceListed([&] { return backend->openOutput(recorder->portName(), "out"); });
    auto virtualPort = backend->openOutput(kVirtualPortName, "virtual");
    ASSERT_TRUE(connection && virtualPort);
    // The path works (a message may be lost in an xrun, so try until one arrives).
    ASSERT_TRUE(WaitUntil([&] { return SendTick(*connection, 0) && recorder->waitFor(1, 100ms); }));
    // Ticks still queued when the server goes must not matter either.
    for (int i = 0; i < 50; ++i) SendTick(*connection, MonotonicNowNs() + 200 * kMs);

    server.stop(signal);
    ASSERT_TRUE(problems.waitFor("MIDI Port lost: JACK server stopped"));
    EXPECT_EQ(problems.texts().size(), 1u);
    EXPECT_FALSE(connection->isAlive());
    EXPECT_FALSE(virtualPort->isAlive());
    EXPECT_FALSE(backend->serverRunning());
    EXPECT_FALSE(SendTick(*connection, 0));
    const uint8_t sysex[4] = {0xF0, 0x7D, 0x01, 0xF7};
    EXPECT_FALSE(connection->sendLong(sysex, sizeof sysex, 0));
    EXPECT_TRUE(backend->listOutputs().empty());
    EXPECT_FALSE(backend->openOutput(kVirtualPortName, "again"));

    // Closing and tearing down must neither crash nor hang (ctest's timeout would show a hang).
    connection.reset();
    backend.reset();
    // A connection may even outlive its backend.
    EXPECT_FALSE(virtualPort->isAlive());
    EXPECT_FALSE(SendTick(*virtualPort, 0));
    virtualPort.reset();
    recorder.reset();
}

}  // namespace

TEST(JackServerLoss, ServerStoppedInGoodOrder) {
    ExpectServerLossHandled(SIGTERM);
}

TEST(JackServerLoss, ServerKilled) {
    ExpectServerLossHandled(SIGKILL);
}

TEST(JackServerLoss, NoServerMeansNoBackend) {
    jack_set_error_function(&QuietJackError);
    EXPECT_FALSE(JackMidiBackend::Create("tempovane-nobody-" + std::to_string(getpid())));
}
