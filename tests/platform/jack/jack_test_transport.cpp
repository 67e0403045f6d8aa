// The JACK transport through a real server: jackd2's jack_transport as the timebase master
// (and as a plain starter and stopper), our clock following it, heard by a recorder; and our
// clock as the master with x42's jack_midi_clock following it.
#include <gtest/gtest.h>
#include <jack/transport.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/main_model.h"
#include "app/sync_control.h"
#include "midiout/midi_out_port.h"
#include "platform/midi_system.h"
#include "platform/monotonic_clock.h"
#include "platform/transport_source.h"
#include "state/app_settings.h"
#include "support/jack_model_rig.h"
#include "support/jack_support.h"

using namespace jacktest;

namespace {

// Watches the transport from a client of its own: on which JACK frame the transport's frame 0
// of the present roll lay, and where it last stopped. Its process callback only stores atomics.
class TransportProbe {
  public:
    TransportProbe() {
        client_ = OpenClient("probe", "");
        if (!client_) return;
        jack_set_process_callback(client_, &TransportProbe::onProcess, this);
        jack_activate(client_);
    }
    ~TransportProbe() {
        if (client_) jack_client_close(client_);
    }
    bool ok() const { return client_ != nullptr; }
    // JACK's frame of transport frame 0 in the present roll (valid once rolling).
    int64_t originFrame() const { return origin_.load(); }
    int64_t rolls() const { return rolls_.load(); }
    int64_t stopFrame() const { return stop_.load(); }
    double bpm() const { return bpm_.load(); }

  private:
    static int onProcess(jack_nframes_t, void* self) {
        static_cast<TransportProbe*>(self)->process();
        return 0;
    }
    void process() {
        jack_position_t pos;
        const bool rolling = jack_transport_query(client_, &pos) == JackTransportRolling;
        const int64_t cycle = jack_last_frame_time(client_);
        if (rolling) origin_.store(cycle - pos.frame);
        if (rolling && !rolling_) rolls_.fetch_add(1);
        if (!rolling && rolling_) stop_.store(cycle);
        rolling_ = rolling;
        if (pos.valid & JackPositionBBT) bpm_.store(pos.beats_per_minute);
    }
    jack_client_t* client_ = nullptr;
    bool rolling_ = false;
    std::atomic<int64_t> origin_{0};
    std::atomic<int64_t> rolls_{0};
    std::atomic<int64_t> stop_{-1};
    std::atomic<double> bpm_{0};
};

// jackd2's jack_transport, driven through its command line on a pipe.
class TransportTool {
  public:
    TransportTool() : pipe_(popen("exec jack_transport >/dev/null 2>&1", "w")) {}
    ~TransportTool() {
        if (!pipe_) return;
        say("quit");
        pclose(pipe_);
    }
    bool ok() const { return pipe_ != nullptr; }
    void say(const std::string& line) {
        fputs((line + "\n").c_str(), pipe_);
        fflush(pipe_);
    }

  private:
    FILE* pipe_;
};

// x42's jack_midi_clock, following the transport, its clock sent to `port`.
class MidiClockTool {
  public:
    explicit MidiClockTool(const std::string& port) {
        const char* argv[] = {"jack_midi_clock", "-P", port.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, "jack_midi_clock", &actions, nullptr,
                         const_cast<char* const*>(argv), environ) != 0)
            pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~MidiClockTool() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    bool ok() const { return pid_ > 0; }

  private:
    pid_t pid_ = 0;
};

// Each frame's distance from the nearest point of the grid origin + k * step, for k >= first.
std::vector<double> GridErrors(const std::vector<int64_t>& frames, double origin, double step) {
    std::vector<double> errors;
    for (int64_t frame : frames) {
        const double k = std::round((static_cast<double>(frame) - origin) / step);
        errors.push_back(std::fabs(static_cast<double>(frame) - (origin + k * step)));
    }
    return errors;
}

double Quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1))];
}

struct TransportJackTest : ::testing::Test {
    std::unique_ptr<JackRecorder> ours;
    std::unique_ptr<TransportProbe> probe;
    std::unique_ptr<KorvidMainModel> model;

    void SetUp() override {
        jack_set_error_function(&QuietJackError);
        ours = std::make_unique<JackRecorder>("drums");
        ASSERT_TRUE(ours->ok()) << "no JACK server; run through run_with_jack.sh";
        probe = std::make_unique<TransportProbe>();
        ASSERT_TRUE(probe->ok());
        model = ModelOnJack();
        ASSERT_TRUE(model);
        model->CreatePorts("no-such-folder/");
        ASSERT_TRUE(SelectListed(model->out1Controls.port, *model->OutPort1(),
                                 "JACK: " + ours->portName()));
        model->OutPort1()->OpenSelectedPort();
        ASSERT_TRUE(model->state.PortReady.load());
        std::this_thread::sleep_for(300ms);  // where JACK's cycles lie
    }
    void TearDown() override {
        model.reset();
        probe.reset();
        ours.reset();
    }
    void pump() {
        model->Sync().Pump();
        if (model->state.TempoChanges.exchange(0) != 0)
            model->Timer().SetTempo(static_cast<uint32_t>(model->state.TempoMilliBPM.load()));
    }
    bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
        return WaitUntil(
            [&] {
                pump();
                return condition();
            },
            limit);
    }
    void pumpFor(std::chrono::milliseconds span) {
        pumpUntil([] { return false; }, span);
    }
    // Our clocks from the last Start on.
    std::vector<int64_t> ticksSinceStart() const {
        const auto events = ours->events();
        std::vector<int64_t> ticks;
        for (const auto& e : events) {
            if (e.bytes.size() != 1) continue;
            if (e.bytes[0] == 0xFA) ticks.clear();
            if (e.bytes[0] == 0xF8) ticks.push_back(e.frame);
        }
        return ticks;
    }
    int64_t startFrame() const {
        const auto frames = FramesOf(ours->events(), 0xFA);
        return frames.empty() ? -1 : frames.back();
    }
};

// Follows a master at this tempo for span from the transport's start at frame 0, and checks
// the tempo and every tick against the master's beat grid.
void FollowAtTempo(TransportJackTest& t, double bpm, std::chrono::milliseconds span) {
    ASSERT_TRUE(t.model->Sync().SetTransportMode(AppSettings::kTransportFollow));
    TransportTool tool;
    ASSERT_TRUE(tool.ok());
    tool.say("tempo " + std::to_string(bpm));
    tool.say("master");
    ASSERT_TRUE(WaitUntil([&] { return std::fabs(t.probe->bpm() - bpm) < 1e-9; }));
    tool.say("play");
    ASSERT_TRUE(t.pumpUntil([&] { return t.model->state.RunState.load() == 1; }));
    t.pumpFor(span);
    // One roll: one Start and no Stop, whatever the server's cycles did meanwhile.
    EXPECT_EQ(t.probe->rolls(), 1);
    EXPECT_EQ(CountStatus(t.ours->events(), 0xFA), 1);
    EXPECT_EQ(CountStatus(t.ours->events(), 0xFC), 0);
    const std::vector<int64_t> ticks = t.ticksSinceStart();
    const double perTick = 48000.0 * 60 / bpm / 24;
    ASSERT_GT(ticks.size(), static_cast<size_t>(span.count() / 1000.0 * bpm / 60 * 24 * 0.9));
    EXPECT_NEAR(t.model->GetBPM(), bpm, 0.001);
    // The transport started on a bar line (frame 0): Start at once, with the first tick, and
    // that tick stands for the bar line even when it could only go out a little after it.
    const double origin = static_cast<double>(t.probe->originFrame());
    EXPECT_EQ(t.startFrame(), ticks.front());
    EXPECT_LT(static_cast<double>(ticks.front()) - origin, perTick / 2) << "not the bar line";
    const std::vector<int64_t> onGrid(ticks.begin() + 2, ticks.end());
    const std::vector<double> errors = GridErrors(onGrid, origin, perTick);
    EXPECT_LE(Quantile(errors, 0.99), 1.0) << "max " << Quantile(errors, 1.0);
    // No tick skipped or doubled: tick k on grid point k.
    EXPECT_NEAR(static_cast<double>(ticks.back()) - origin,
                static_cast<double>(ticks.size() - 1) * perTick, 1.5);
    std::printf(
        "follow at %.3f: %zu ticks, p99 %.2f, max %.2f frames off the master's grid; "
        "grid moved %llu times\n",
        bpm, onGrid.size(), Quantile(errors, 0.99), Quantile(errors, 1.0),
        static_cast<unsigned long long>(t.model->Midi().transport()->View().gridSerial));
    // Stop follows at once: within our latency (a period and the margin) and a period more.
    const int64_t stopsBefore = CountStatus(t.ours->events(), 0xFC);
    tool.say("stop");
    ASSERT_TRUE(t.pumpUntil([&] { return t.model->state.RunState.load() == 0; }));
    ASSERT_TRUE(WaitUntil([&] { return CountStatus(t.ours->events(), 0xFC) > stopsBefore; }));
    const auto stops = FramesOf(t.ours->events(), 0xFC);
    EXPECT_LE(stops.back() - t.probe->stopFrame(), 3 * 256);
}

}  // namespace

// 8 s in the suite; TEMPOVANE_TRANSPORT_SECONDS makes the run a bench (docs/measurements.md).
std::chrono::milliseconds FollowSpan() {
    const char* seconds = std::getenv("TEMPOVANE_TRANSPORT_SECONDS");
    return std::chrono::milliseconds(seconds ? std::atoi(seconds) * 1000 : 8000);
}

TEST_F(TransportJackTest, FollowsTheMasterAt120) {
    FollowAtTempo(*this, 120, FollowSpan());
}

TEST_F(TransportJackTest, FollowsTheMasterAt174) {
    FollowAtTempo(*this, 174, FollowSpan());
}

// Each of their ticks' signed distance in frames from our nearest tick.
std::vector<double> Distances(const std::vector<int64_t>& theirs,
                              const std::vector<int64_t>& ours) {
    std::vector<double> distances;
    for (int64_t frame : theirs) {
        const auto it = std::lower_bound(ours.begin(), ours.end(), frame);
        double best = 1e18;
        if (it != ours.end()) best = static_cast<double>(*it - frame);
        if (it != ours.begin() &&
            std::fabs(static_cast<double>(frame - *(it - 1))) < std::fabs(best))
            best = static_cast<double>(*(it - 1) - frame);
        distances.push_back(-best);
    }
    return distances;
}

// The tempo a receiver counting these ticks sees over them.
double TempoOf(const std::vector<int64_t>& ticks) {
    if (ticks.size() < 2) return 0;
    const double span = static_cast<double>(ticks.back() - ticks.front());
    return 48000.0 * 60 / (span / static_cast<double>(ticks.size() - 1) * 24);
}

TEST_F(TransportJackTest, JackMidiClockFollowsUsAsTimebaseMaster) {
    JackRecorder theirs("mclk");
    ASSERT_TRUE(theirs.ok());
    ASSERT_TRUE(model->Sync().SetTransportMode(AppSettings::kTransportMaster));
    model->SetBPM(120);
    pump();
    MidiClockTool tool(theirs.portName());
    ASSERT_TRUE(tool.ok());
    ASSERT_TRUE(WaitUntil([&] {
        return jack_port_connected(jack_port_by_name(theirs.client(), theirs.portName().c_str())) >
               0;
    }));
    model->StartTransport(true, false);  // F1: our start starts the transport
    ASSERT_TRUE(pumpUntil([&] { return probe->rolls() == 1; }));
    const auto measure = [&](double bpm, const char* what) {
        const size_t oursFrom = FramesOf(ours->events(), 0xF8).size();
        const size_t theirsFrom = FramesOf(theirs.events(), 0xF8).size();
        pumpFor(6s);
        const auto oursNow = FramesOf(ours->events(), 0xF8);
        const auto theirsNow = FramesOf(theirs.events(), 0xF8);
        // A beat in to settle after the start or the change.
        const std::vector<int64_t> a(oursNow.begin() + static_cast<long>(oursFrom) + 24,
                                     oursNow.end());
        const std::vector<int64_t> b(theirsNow.begin() + static_cast<long>(theirsFrom) + 24,
                                     theirsNow.end());
        ASSERT_GT(b.size(), 200u) << what;
        const std::vector<double> d = Distances(b, a);
        std::printf(
            "%s: ours %.4f BPM, theirs %.4f BPM, their ticks after ours: p1 %.1f p50 %.1f "
            "p99 %.1f frames\n",
            what, TempoOf(a), TempoOf(b), Quantile(d, 0.01), Quantile(d, 0.5), Quantile(d, 0.99));
        EXPECT_NEAR(TempoOf(b), bpm, 0.001) << what;
        EXPECT_NEAR(TempoOf(a), bpm, 0.001) << what;
        // Locked to ours: a constant distance (its own phase, see the closing note), never a
        // drift; within the frame rounding of its clocks and ours.
        EXPECT_LE(Quantile(d, 0.99) - Quantile(d, 0.01), 2.0) << what;
    };
    measure(120, "at 120");
    model->SetBPM(174);  // as a tap would
    pump();
    measure(174, "at 174");
}

TEST_F(TransportJackTest, MidBarStartWaitsForTheBarAndTempoOrRelocateMovesNoStartOrStop) {
    ASSERT_TRUE(model->Sync().SetTransportMode(AppSettings::kTransportFollow));
    TransportTool tool;
    ASSERT_TRUE(tool.ok());
    tool.say("tempo 120");
    tool.say("master");
    ASSERT_TRUE(WaitUntil([&] { return std::fabs(probe->bpm() - 120) < 1e-9; }));
    // 1.25 beats into bar 1: the first tick on bar 2, transport frame 96000, and Start just
    // before it (sent when the tick is raised: as soon as possible, the cycle before).
    tool.say("locate 30000");
    std::this_thread::sleep_for(200ms);
    tool.say("play");
    ASSERT_TRUE(pumpUntil([&] { return ticksSinceStart().size() >= 48; }));
    const int64_t barTwo = probe->originFrame() + 96000;
    EXPECT_LE(std::llabs(ticksSinceStart().front() - barTwo), 1);
    EXPECT_LE(startFrame(), ticksSinceStart().front());
    EXPECT_GE(startFrame(), ticksSinceStart().front() - 256);
    // A new tempo: followed from the next tick, without a Stop or a Start.
    tool.say("tempo 140");
    ASSERT_TRUE(WaitUntil([&] { return std::fabs(probe->bpm() - 140) < 1e-9; }));
    pumpFor(2s);
    EXPECT_NEAR(model->GetBPM(), 140, 0.001);
    std::vector<int64_t> ticks = ticksSinceStart();
    ASSERT_GT(ticks.size(), 72u);
    const std::vector<int64_t> last(ticks.end() - 24, ticks.end());
    EXPECT_NEAR(static_cast<double>(last.back() - last.front()) / 23, 48000.0 * 60 / 140 / 24, 0.1);
    // A relocate while rolling: the clock runs on, no Stop, no second Start.
    const size_t before = ticks.size();
    tool.say("locate 12000");
    pumpFor(2s);
    EXPECT_GT(ticksSinceStart().size(), before + 48);
    EXPECT_EQ(CountStatus(ours->events(), 0xFA), 1);
    EXPECT_EQ(CountStatus(ours->events(), 0xFC), 0);
    EXPECT_EQ(model->state.RunState.load(), 1);
}
