// tempovane-linkprobe: proves where a MIDI clock lands against a Link session's beat grid (or
// against a reference MIDI clock), as a JACK receiver sees it.

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/statistics.h>
#include <ableton/Link.hpp>

#include <time.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kHelp =
    "Usage: tempovane-linkprobe [options]\n"
    "\n"
    "Joins the Link session on the local network and listens to a MIDI clock on a JACK input.\n"
    "For every 24th clock (each beat, counted from a Start, or from the first clock) it prints\n"
    "how far the clock landed from the session's nearest beat, in microseconds, from the\n"
    "event's JACK frame time and Link's clock; with the session tempo and the tempo measured\n"
    "from the clock over that beat.\n"
    "\n"
    "Options:\n"
    "  --connect PORT     connect this source port to our input <name>:in\n"
    "  --reference PORT   compare with a reference MIDI clock (a master) instead of Link: it is\n"
    "                     connected to <name>:ref; the beat offset is taken against a line\n"
    "                     fitted through the reference's ticks (two seconds either side), so\n"
    "                     the reference's own jitter does not count\n"
    "  --quantum N        beats in a bar of the session (default 4)\n"
    "  --seconds N        stop after N seconds (default: run until Ctrl+C)\n"
    "  --skip N           leave the first N seconds out of the summary (default 0)\n"
    "  --tempo-at S:BPM   set the session's tempo to BPM S seconds after the start (repeatable)\n"
    "  --play-at S:0|1    stop (0) or start (1) the session S seconds after the start\n"
    "  --name NAME        JACK client name (default: linkprobe)\n"
    "  --quiet            no line per beat, only events and the summary\n"
    "  -h, --help         this text\n"
    "\n"
    "Lines: \"beat N offset_us X session_bpm Y measured_bpm Z bar_beat B mono T\" (B: where\n"
    "the clock landed in the session's bar, in beats; T: when the line was printed);\n"
    "session events as \"event ...\".\n"
    "At the end, SUMMARY with offset_p50_us, offset_p99_us, offset_max_us (absolute offsets),\n"
    "spread_p99_us (|offset - median offset|), beats, and the last tempos.\n"
    "Exit status: 0 after a run, 1 on bad options, 2 when JACK cannot be used.\n";

// Link's clock: CLOCK_MONOTONIC_RAW, which jackd2's clock reads too; the offset between them is
// measured anyway, so another server's clock works as well.
using LinkClockUs = std::chrono::microseconds;

struct Event {
    int64_t frame;
    int64_t jackUs;
    uint8_t status;
    bool reference;
};

// Single producer (JACK's process thread), single consumer (main thread).
class EventRing {
  public:
    bool push(const Event& e) {
        const size_t head = head_.load(std::memory_order_relaxed);
        const size_t next = (head + 1) % kSize;
        if (next == tail_.load(std::memory_order_acquire)) return false;
        events_[head] = e;
        head_.store(next, std::memory_order_release);
        return true;
    }
    bool pop(Event& e) {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire)) return false;
        e = events_[tail];
        tail_.store((tail + 1) % kSize, std::memory_order_release);
        return true;
    }

  private:
    static constexpr size_t kSize = 1 << 16;
    Event events_[kSize];
    std::atomic<size_t> head_{0};
    std::atomic<size_t> tail_{0};
};

// When each frame was, in JACK's clock. Not by jack_frames_to_time: that goes through the
// server's delay-locked loop, which a driver xrun throws off by the length of the stall and which
// then takes seconds to settle (measured on the dummy driver: an 80 ms stall put it 104 ms off,
// 2.5 s later it was 22 ms off the other way, settled after 7 s), so a clock landing exactly on
// the beat looked off by as much across every xrun. Here a straight line at the nominal rate goes
// through the earliest wake-up of this client's callback over the last second (a late wake-up
// only ever comes later), and moves at each driver xrun by as long as the server says its
// driver was held up (the frames stood still while time went on). Process thread only; no
// allocation. The program's outputs place by a line of the same idea (CycleClock); the probe
// keeps its own, simpler one on purpose: a measuring tool built on the estimator it measures
// would agree with that estimator's faults.
class FrameTimer {
  public:
    // The time of the cycle's first frame, and per frame.
    // xrunDelayUs: how late the driver was, when xrun says it was held up since the cycle
    // before.
    double cycleStartUs(jack_nframes_t first, int64_t wokeUs, jack_nframes_t rate, bool xrun,
                        double xrunDelayUs) {
        if (!started_ || rate != rate_) restart(first, wokeUs, rate);
        frames_ += static_cast<jack_nframes_t>(first - lastFrame_);
        lastFrame_ = first;
        double lineUs = static_cast<double>(frames_) * usPerFrame_;
        double excessUs = static_cast<double>(wokeUs - baseUs_) - lineUs;
        if (xrun && filled_ > 0) {
            // The driver's line moved by as long as it was held up; our own wake-up may come
            // well after that on a busy machine, so the new line begins where the old one
            // said, plus the delay.
            const double movedUs = static_cast<double>(baseUs_) + lineUs + lowest() + xrunDelayUs;
            restart(first, std::min(wokeUs, static_cast<int64_t>(std::llround(movedUs))), rate);
            lineUs = 0;
            excessUs = 0;
        }
        // Without word of an xrun (a server that does not keep the figure), a line that stays
        // far behind for several cycles has moved all the same.
        behind_ = filled_ > 0 && excessUs - lowest() > kMovedUs ? behind_ + 1 : 0;
        if (behind_ >= kMovedAfterCycles) {
            restart(first, wokeUs, rate);
            return static_cast<double>(wokeUs);
        }
        excess_[next_] = excessUs;
        next_ = (next_ + 1) % window_;
        if (filled_ < window_) ++filled_;
        return static_cast<double>(baseUs_) + lineUs + lowest();
    }
    double usPerFrame() const { return usPerFrame_; }

  private:
    static constexpr size_t kMaxWindow = 1024;
    static constexpr double kMovedUs = 1000;
    static constexpr int kMovedAfterCycles = 8;

    void restart(jack_nframes_t first, int64_t wokeUs, jack_nframes_t rate) {
        started_ = true;
        rate_ = rate;
        usPerFrame_ = 1e6 / (rate > 0 ? rate : 48000);
        lastFrame_ = first;
        frames_ = 0;
        baseUs_ = wokeUs;
        filled_ = 0;
        next_ = 0;
        behind_ = 0;
        // About a second of cycles at a buffer of 256; fewer for bigger buffers is fine.
        window_ =
            std::min<size_t>(kMaxWindow, std::max<size_t>(16, (rate > 0 ? rate : 48000) / 256));
    }
    double lowest() const {
        double low = excess_[0];
        for (size_t i = 1; i < filled_; ++i) low = std::min(low, excess_[i]);
        return filled_ > 0 ? low : 0.0;
    }

    bool started_ = false;
    jack_nframes_t rate_ = 0;
    double usPerFrame_ = 0;
    jack_nframes_t lastFrame_ = 0;
    uint64_t frames_ = 0;
    int64_t baseUs_ = 0;
    double excess_[kMaxWindow] = {};
    size_t window_ = 16;
    size_t filled_ = 0;
    size_t next_ = 0;
    int behind_ = 0;
};

struct Probe {
    jack_client_t* client = nullptr;
    jack_port_t* in = nullptr;
    jack_port_t* ref = nullptr;
    EventRing ring;
    std::atomic<uint64_t> dropped{0};
    FrameTimer frameTimer;
    float lastXrunDelayedUs = 0;
};

int OnProcess(jack_nframes_t frames, void* arg) {
    auto* probe = static_cast<Probe*>(arg);
    const auto wokeUs = static_cast<int64_t>(jack_get_time());
    const jack_nframes_t first = jack_last_frame_time(probe->client);
    // The server notes how late its driver was at each driver xrun before the next cycle runs.
    const float xrunDelayedUs = jack_get_xrun_delayed_usecs(probe->client);
    const bool xrun = xrunDelayedUs != probe->lastXrunDelayedUs;
    probe->lastXrunDelayedUs = xrunDelayedUs;
    const double startUs = probe->frameTimer.cycleStartUs(
        first, wokeUs, jack_get_sample_rate(probe->client), xrun, xrunDelayedUs);
    for (jack_port_t* port : {probe->in, probe->ref}) {
        if (!port) continue;
        void* buffer = jack_port_get_buffer(port, frames);
        const uint32_t count = jack_midi_get_event_count(buffer);
        for (uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0 || event.size != 1) continue;
            const uint8_t status = event.buffer[0];
            if (status != 0xF8 && status != 0xFA && status != 0xFB && status != 0xFC) continue;
            const jack_nframes_t frame = first + event.time;
            const double atUs = startUs + event.time * probe->frameTimer.usPerFrame();
            Event e{static_cast<int64_t>(frame), std::llround(atUs), status, port == probe->ref};
            if (!probe->ring.push(e)) probe->dropped.fetch_add(1, std::memory_order_relaxed);
        }
    }
    return 0;
}

// Seconds on CLOCK_MONOTONIC, the same in every process of the machine: event lines carry it so
// that two programs' logs can be laid side by side.
double Mono() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

std::atomic<bool> stopRequested{false};
void OnSignal(int) {
    stopRequested = true;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(std::ceil(p * values.size())) - 1);
    return values[index];
}

struct Scheduled {
    double at;
    double value;
};

// The time of the reference's tick nearest to t on a line fitted through its ticks within two
// seconds either side (times in us), or NAN.
double ReferenceBeat(const std::vector<int64_t>& ticks, double t, double* periodUs) {
    const double window = 2e6;
    double n = 0, sumJ = 0, sumT = 0, sumJJ = 0, sumJT = 0;
    const auto lo = std::lower_bound(ticks.begin(), ticks.end(), static_cast<int64_t>(t - window));
    const auto hi = std::upper_bound(ticks.begin(), ticks.end(), static_cast<int64_t>(t + window));
    if (hi - lo < 24) return NAN;
    for (auto it = lo; it != hi; ++it) {
        const double j = static_cast<double>(it - lo);
        const double x = static_cast<double>(*it) - t;
        n += 1;
        sumJ += j;
        sumT += x;
        sumJJ += j * j;
        sumJT += j * x;
    }
    const double slope = (sumJT - sumJ * sumT / n) / (sumJJ - sumJ * sumJ / n);
    const double intercept = sumT / n - slope * sumJ / n;  // time (relative to t) of tick j = 0
    *periodUs = slope;
    const double nearest = std::round(-intercept / slope);
    return t + intercept + nearest * slope;
}

}  // namespace

int main(int argc, char** argv) {
    std::string connect, reference, name = "linkprobe";
    double quantum = 4, seconds = 0, skip = 0;
    bool quiet = false;
    std::vector<Scheduled> tempoAt, playAt;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", arg.c_str());
                std::exit(1);
            }
            return argv[++i];
        };
        auto pair = [&](std::vector<Scheduled>& list) {
            const std::string v = value();
            const size_t colon = v.find(':');
            if (colon == std::string::npos) {
                std::fprintf(stderr, "%s wants SECONDS:VALUE\n", arg.c_str());
                std::exit(1);
            }
            list.push_back(
                {std::atof(v.substr(0, colon).c_str()), std::atof(v.substr(colon + 1).c_str())});
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--connect") {
            connect = value();
        } else if (arg == "--reference") {
            reference = value();
        } else if (arg == "--quantum") {
            quantum = std::max(1.0, std::atof(value().c_str()));
        } else if (arg == "--seconds") {
            seconds = std::atof(value().c_str());
        } else if (arg == "--skip") {
            skip = std::atof(value().c_str());
        } else if (arg == "--tempo-at") {
            pair(tempoAt);
        } else if (arg == "--play-at") {
            pair(playAt);
        } else if (arg == "--name") {
            name = value();
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            std::fprintf(stderr, "unknown option %s (try --help)\n", arg.c_str());
            return 1;
        }
    }

    Probe probe;
    jack_status_t status;
    probe.client = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (!probe.client) {
        std::fprintf(stderr, "cannot reach a JACK server\n");
        return 2;
    }
    probe.in = jack_port_register(probe.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!reference.empty())
        probe.ref =
            jack_port_register(probe.client, "ref", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(probe.client, OnProcess, &probe);
    if (!probe.in || (!reference.empty() && !probe.ref) || jack_activate(probe.client) != 0) {
        std::fprintf(stderr, "cannot set up the JACK ports\n");
        return 2;
    }
    if (!connect.empty() && jack_connect(probe.client, connect.c_str(), jack_port_name(probe.in)))
        std::fprintf(stderr, "cannot connect %s\n", connect.c_str());
    if (!reference.empty() &&
        jack_connect(probe.client, reference.c_str(), jack_port_name(probe.ref)))
        std::fprintf(stderr, "cannot connect %s\n", reference.c_str());
    const double sampleRate = jack_get_sample_rate(probe.client);

    const bool useLink = reference.empty();
    ableton::Link link(120);
    if (useLink) {
        link.enableStartStopSync(true);
        link.setTempoCallback(
            [](double bpm) { std::printf("event tempo %.6f mono %.6f\n", bpm, Mono()); });
        link.setStartStopCallback([](bool playing) {
            std::printf("event playing %d mono %.6f\n", playing ? 1 : 0, Mono());
        });
        link.setNumPeersCallback(
            [](std::size_t n) { std::printf("event peers %zu mono %.6f\n", n, Mono()); });
        link.enable(true);
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    const auto begin = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    };

    std::vector<double> offsets;
    std::vector<int64_t> refTicks;  // reference tick times, us
    struct Beat {
        double timeUs;
        double at;  // seconds into the run
        double measuredBpm;
    };
    std::vector<Beat> ourBeats;  // for the reference comparison at the end
    int64_t clocks = -1;
    int64_t lastBeatFrame = -1;
    double sessionBpm = 0, measuredBpm = 0;
    size_t nextTempo = 0, nextPlay = 0;
    std::sort(tempoAt.begin(), tempoAt.end(), [](auto a, auto b) { return a.at < b.at; });
    std::sort(playAt.begin(), playAt.end(), [](auto a, auto b) { return a.at < b.at; });

    while (!stopRequested && (seconds <= 0 || elapsed() < seconds)) {
        if (useLink) {
            while (nextTempo < tempoAt.size() && elapsed() >= tempoAt[nextTempo].at) {
                auto state = link.captureAppSessionState();
                state.setTempo(tempoAt[nextTempo].value, link.clock().micros());
                link.commitAppSessionState(state);
                std::printf("event set_tempo %.6f mono %.6f\n", tempoAt[nextTempo].value, Mono());
                ++nextTempo;
            }
            while (nextPlay < playAt.size() && elapsed() >= playAt[nextPlay].at) {
                auto state = link.captureAppSessionState();
                const auto now = link.clock().micros();
                if (playAt[nextPlay].value != 0)
                    state.setIsPlayingAndRequestBeatAtTime(true, now, 0, quantum);
                else
                    state.setIsPlaying(false, now);
                link.commitAppSessionState(state);
                std::printf("event set_playing %d mono %.6f\n", playAt[nextPlay].value != 0,
                            Mono());
                ++nextPlay;
            }
        }
        Event e;
        // JACK's clock against Link's, read together; both are monotonic clocks of this machine.
        int64_t jackToLinkUs = 0;
        for (int i = 0, gap = INT32_MAX; useLink && i < 3; ++i) {
            // The closest pair of readings of three: a preemption between two reads would
            // otherwise count as an offset.
            const auto before = static_cast<int64_t>(jack_get_time());
            const int64_t linkUs = link.clock().micros().count();
            const auto after = static_cast<int64_t>(jack_get_time());
            if (after - before < gap) {
                gap = static_cast<int>(after - before);
                jackToLinkUs = linkUs - (before + after) / 2;
            }
        }
        while (probe.ring.pop(e)) {
            if (e.reference) {
                if (e.status == 0xF8) refTicks.push_back(e.jackUs);
                continue;
            }
            if (e.status == 0xFA) {
                clocks = -1;  // the next clock is the first of the song
                std::printf("event start mono %.6f\n", Mono());
                continue;
            }
            if (e.status == 0xFC || e.status == 0xFB) {
                std::printf("event %s mono %.6f\n", e.status == 0xFC ? "stop" : "continue", Mono());
                continue;
            }
            ++clocks;
            if (clocks % 24 != 0) continue;
            if (lastBeatFrame >= 0 && e.frame > lastBeatFrame)
                measuredBpm = 60.0 * sampleRate / static_cast<double>(e.frame - lastBeatFrame);
            lastBeatFrame = e.frame;
            if (!useLink) {
                ourBeats.push_back({static_cast<double>(e.jackUs), elapsed(), measuredBpm});
                continue;
            }
            const auto state = link.captureAppSessionState();
            sessionBpm = state.tempo();
            const LinkClockUs at(e.jackUs + jackToLinkUs);
            const double beat = state.beatAtTime(at, quantum);
            const double nearest = std::round(beat);
            const double offsetUs =
                static_cast<double>((at - state.timeAtBeat(nearest, quantum)).count());
            if (elapsed() >= skip) offsets.push_back(offsetUs);
            if (!quiet)
                std::printf(
                    "beat %lld offset_us %.0f session_bpm %.4f measured_bpm %.4f bar_beat %.4f "
                    "mono %.6f\n",
                    static_cast<long long>(clocks / 24), offsetUs, sessionBpm, measuredBpm,
                    beat - std::floor(beat / quantum) * quantum, Mono());
        }
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    if (!useLink) {
        // Against the reference's fitted grid, now that its ticks on both sides are known.
        double refPeriod = 0;
        for (const Beat& b : ourBeats) {
            const double master = ReferenceBeat(refTicks, b.timeUs, &refPeriod);
            if (std::isnan(master)) continue;
            const double offsetUs = b.timeUs - master;
            if (b.at >= skip) offsets.push_back(offsetUs);
            sessionBpm = 60e6 / (24 * refPeriod);
            if (!quiet)
                std::printf("beat_at %.3f offset_us %.0f reference_bpm %.4f measured_bpm %.4f\n",
                            b.at, offsetUs, sessionBpm, b.measuredBpm);
        }
    }
    std::vector<double> absolute, spread;
    for (double o : offsets) absolute.push_back(std::fabs(o));
    const double median = Percentile(offsets, 0.5);
    for (double o : offsets) spread.push_back(std::fabs(o - median));
    std::printf(
        "SUMMARY beats=%zu offset_median_us=%.0f offset_p50_us=%.0f offset_p99_us=%.0f "
        "offset_max_us=%.0f spread_p99_us=%.0f %s_bpm=%.4f measured_bpm=%.4f dropped=%llu\n",
        offsets.size(), median, Percentile(absolute, 0.5), Percentile(absolute, 0.99),
        Percentile(absolute, 1.0), Percentile(spread, 0.99), useLink ? "session" : "reference",
        sessionBpm, measuredBpm, static_cast<unsigned long long>(probe.dropped.load()));
    if (useLink) link.enable(false);
    jack_client_close(probe.client);
    return 0;
}
