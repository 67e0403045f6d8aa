// tempovane-clockmeter: listens to MIDI clock on a JACK input and reports tempo, tick-to-tick
// jitter, drift and lost ticks, measured on the frame positions JACK gives each event.

#include <jack/jack.h>
#include <jack/midiport.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "clock_stats.h"

namespace {

const char* const kHelp =
    "Usage: tempovane-clockmeter [options]\n"
    "\n"
    "Measures a MIDI beat clock arriving through JACK: the tempo it carries, how evenly the\n"
    "ticks are spaced, whether it drifts against the tempo you expect, and whether ticks go\n"
    "missing. Every event is timed on the frame JACK delivers it at, so the figures show the\n"
    "clock as a JACK synth or sequencer sees it.\n"
    "\n"
    "Options:\n"
    "  --connect PORT   connect this source port to our input, e.g. \"tempovane:out1\"\n"
    "                   (otherwise connect one yourself to <name>:in)\n"
    "  --bpm BPM        the tempo the clock should run at; jitter and drift are measured\n"
    "                   against it. Without it jitter is measured against the mean interval\n"
    "                   and drift is not reported\n"
    "  --seconds N      stop after N seconds (default: run until Ctrl+C)\n"
    "  --name NAME      JACK client name (default: clockmeter)\n"
    "  --server NAME    JACK server to use (default: $JACK_DEFAULT_SERVER or \"default\")\n"
    "  --quiet          no line per second, only the summary\n"
    "  -h, --help       this text\n"
    "\n"
    "Every second a line shows that second's figures; at the end one line starting with\n"
    "SUMMARY gives the whole run as key=value fields:\n"
    "  bpm          tempo from the mean tick interval (24 ticks per quarter note)\n"
    "  ticks        timing clocks (F8) received\n"
    "  jitter_*     |tick interval - nominal interval|: median, 99th percentile and maximum,\n"
    "               in microseconds and in frames (one frame is 20.8 us at 48 kHz)\n"
    "  drift_ppm    how much longer (+) or shorter (-) the clock ran than the nominal tempo\n"
    "               says, in parts per million of the JACK sample clock (nan without --bpm)\n"
    "  lost         with --bpm: how many ticks fewer came than the time they covered\n"
    "               holds at the nominal tempo (a tick that came late is not lost);\n"
    "               without: judged from intervals over 1.5 mean intervals\n"
    "  starts, stops, continues   transport messages (FA, FC, FB) received\n"
    "  rate         JACK sample rate\n"
    "  off_over_1_frame  intervals (losses aside) more than one frame from the nominal one\n"
    "  received_bpm the tempo a receiver counting ticks over time sees; losses slow it down\n"
    "  xruns        the server's xruns while the meter listened\n"
    "Intervals across a Stop are not measured: a master may pause its clock while stopped.\n"
    "Nor are intervals that run backwards, which JACK produces now and then during an xrun.\n"
    "\n"
    "Exit status: 0 after a run, 1 on bad options, 2 when JACK cannot be used.\n";

struct Options {
    std::string name = "clockmeter";
    std::string connect;
    std::string server;
    double bpm = 0;
    double seconds = 0;
    bool quiet = false;
};

// Parses the command line; false (after a message) when it makes no sense.
bool ParseOptions(int argc, char** argv, Options& options, bool& helpOnly) {
    helpOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "clockmeter: %s needs %s\n", arg.c_str(), what);
                return nullptr;
            }
            return argv[++i];
        };
        auto number = [&](const char* text, double& out) {
            char* end = nullptr;
            errno = 0;
            out = std::strtod(text, &end);
            if (errno != 0 || end == text || *end != '\0' || !(out > 0)) {
                std::fprintf(stderr, "clockmeter: %s wants a positive number, not \"%s\"\n",
                             arg.c_str(), text);
                return false;
            }
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            helpOnly = true;
            return true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--connect" || arg == "--name" || arg == "--server") {
            const char* text = value("a name");
            if (!text) return false;
            (arg == "--connect" ? options.connect
             : arg == "--name"  ? options.name
                                : options.server) = text;
        } else if (arg == "--bpm" || arg == "--seconds") {
            const char* text = value("a number");
            if (!text || !number(text, arg == "--bpm" ? options.bpm : options.seconds)) {
                return false;
            }
        } else {
            std::fprintf(stderr, "clockmeter: unknown option \"%s\" (see --help)\n", arg.c_str());
            return false;
        }
    }
    return true;
}

// Real-time messages from the process callback to the reader: fixed records, no allocation
// and no lock on the JACK side.
class ClockEventRing {
  public:
    bool push(const ClockEvent& event) {
        const size_t written = written_.load(std::memory_order_relaxed);
        if (written - read_.load(std::memory_order_acquire) == kCapacity) return false;
        slots_[written % kCapacity] = event;
        written_.store(written + 1, std::memory_order_release);
        return true;
    }
    bool pop(ClockEvent& event) {
        const size_t read = read_.load(std::memory_order_relaxed);
        if (written_.load(std::memory_order_acquire) == read) return false;
        event = slots_[read % kCapacity];
        read_.store(read + 1, std::memory_order_release);
        return true;
    }

  private:
    // Many seconds of clock at the highest tempo, if the reader ever falls behind.
    static constexpr size_t kCapacity = 1 << 16;
    std::array<ClockEvent, kCapacity> slots_{};
    alignas(64) std::atomic<size_t> written_{0};
    alignas(64) std::atomic<size_t> read_{0};
};

std::atomic<bool> gStopRequested{false};

// libjack's own lines about a missing server would only repeat our one-line message.
void QuietJackError(const char*) {}
void PrintJackError(const char* text) {
    std::fprintf(stderr, "%s\n", text);
}

void OnSignal(int) {
    gStopRequested.store(true);
}

// The JACK side: one MIDI input, every clock byte into the ring with its frame time.
class MeterClient {
  public:
    ~MeterClient() {
        if (client_) jack_client_close(client_);
    }

    bool open(const Options& options) {
        jack_status_t status{};
        const auto flags = static_cast<jack_options_t>(
            JackNoStartServer | (options.server.empty() ? 0 : JackServerName));
        jack_set_error_function(&QuietJackError);
        client_ = options.server.empty() ? jack_client_open(options.name.c_str(), flags, &status)
                                         : jack_client_open(options.name.c_str(), flags, &status,
                                                            options.server.c_str());
        jack_set_error_function(&PrintJackError);
        if (!client_) {
            std::fprintf(stderr, "clockmeter: no JACK server answers%s%s\n",
                         options.server.empty() ? "" : " under the name ", options.server.c_str());
            return false;
        }
        input_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (!input_) {
            std::fprintf(stderr, "clockmeter: could not create a MIDI input port\n");
            return false;
        }
        jack_set_process_callback(client_, &MeterClient::onProcess, this);
        jack_on_shutdown(client_, &MeterClient::onShutdown, this);
        jack_set_xrun_callback(client_, &MeterClient::onXrun, this);
        if (jack_activate(client_) != 0) {
            std::fprintf(stderr, "clockmeter: could not activate the JACK client\n");
            return false;
        }
        if (!options.connect.empty() &&
            jack_connect(client_, options.connect.c_str(), jack_port_name(input_)) != 0) {
            std::fprintf(stderr, "clockmeter: could not connect \"%s\" to %s\n",
                         options.connect.c_str(), jack_port_name(input_));
            return false;
        }
        return true;
    }

    std::string portName() const { return jack_port_name(input_); }
    double sampleRate() const { return jack_get_sample_rate(client_); }
    unsigned bufferSize() const { return jack_get_buffer_size(client_); }
    bool serverGone() const { return serverGone_.load(); }
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
    uint64_t xruns() const { return xruns_.load(std::memory_order_relaxed); }
    ClockEventRing& events() { return ring_; }

  private:
    static int onProcess(jack_nframes_t frames, void* self) {
        static_cast<MeterClient*>(self)->process(frames);
        return 0;
    }
    static int onXrun(void* self) {
        static_cast<MeterClient*>(self)->xruns_.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    static void onShutdown(void* self) {
        static_cast<MeterClient*>(self)->serverGone_.store(true);
        gStopRequested.store(true);
    }

    void process(jack_nframes_t frames) {
        // JACK counts frames in 32 bits (a day at 48 kHz); extend to 64 so long runs go on.
        const jack_nframes_t cycleStart = jack_last_frame_time(client_);
        if (haveCycle_)
            frameBase_ += static_cast<jack_nframes_t>(cycleStart - lastCycleStart_);
        else
            frameBase_ = cycleStart;
        haveCycle_ = true;
        lastCycleStart_ = cycleStart;

        void* buffer = jack_port_get_buffer(input_, frames);
        const uint32_t count = jack_midi_get_event_count(buffer);
        for (uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0 || event.size == 0) continue;
            // Real-time bytes may also arrive inside other messages' events; take each one.
            for (size_t b = 0; b < event.size; ++b) {
                const uint8_t status = event.buffer[b];
                if (status != kTimingClock && status != kStart && status != kContinue &&
                    status != kStop) {
                    continue;
                }
                if (!ring_.push({frameBase_ + event.time, status})) {
                    dropped_.fetch_add(1, std::memory_order_relaxed);
                }
            }
        }
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* input_ = nullptr;
    ClockEventRing ring_;
    std::atomic<bool> serverGone_{false};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> xruns_{0};
    // Touched by the process thread only.
    bool haveCycle_ = false;
    jack_nframes_t lastCycleStart_ = 0;
    uint64_t frameBase_ = 0;
};

void PrintSecond(double seconds, const ClockFigures& window, const ClockFigures& total,
                 double sampleRate) {
    const double usPerFrame = 1e6 / sampleRate;
    if (total.ticks == 0) {
        std::printf("%6.0f s  waiting for clock...\n", seconds);
    } else {
        char drift[32] = "";
        if (total.driftKnown)
            std::snprintf(drift, sizeof drift, "  drift %+.2f ppm", total.driftPpm);
        std::printf(
            "%6.0f s  %8.3f BPM  ticks %5llu  jitter p50 %6.1f us  p99 %6.1f us  "
            "max %6.1f us (%.1f frames)  lost %llu%s\n",
            seconds, window.bpm, static_cast<unsigned long long>(window.ticks),
            window.jitterP50Frames * usPerFrame, window.jitterP99Frames * usPerFrame,
            window.jitterMaxFrames * usPerFrame, window.jitterMaxFrames,
            static_cast<unsigned long long>(total.lost), drift);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool helpOnly = false;
    if (!ParseOptions(argc, argv, options, helpOnly)) return 1;
    if (helpOnly) {
        std::fputs(kHelp, stdout);
        return 0;
    }

    MeterClient meter;
    if (!meter.open(options)) return 2;
    std::signal(SIGINT, &OnSignal);
    std::signal(SIGTERM, &OnSignal);

    const double sampleRate = meter.sampleRate();
    std::printf("clockmeter: listening on %s, %.0f Hz, %u frames per period (%.2f ms)%s\n",
                meter.portName().c_str(), sampleRate, meter.bufferSize(),
                meter.bufferSize() * 1000.0 / sampleRate,
                options.bpm > 0 ? "" : "; no --bpm, jitter against the mean interval");
    std::fflush(stdout);

    ClockStatistics statistics(sampleRate, options.bpm);
    const auto started = std::chrono::steady_clock::now();
    auto nextReport = started + std::chrono::seconds(1);
    auto drain = [&] {
        ClockEvent event;
        while (meter.events().pop(event)) statistics.add(event);
    };
    while (!gStopRequested.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        drain();
        const auto now = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(now - started).count();
        if (options.seconds > 0 && elapsed >= options.seconds) break;
        if (now >= nextReport) {
            nextReport += std::chrono::seconds(1);
            const ClockFigures window = statistics.takeWindow();
            if (!options.quiet) PrintSecond(elapsed, window, statistics.total(), sampleRate);
        }
    }
    drain();

    if (meter.serverGone()) std::fprintf(stderr, "clockmeter: the JACK server stopped\n");
    if (meter.dropped() > 0) {
        std::fprintf(stderr, "clockmeter: %llu events dropped (reader fell behind)\n",
                     static_cast<unsigned long long>(meter.dropped()));
    }
    // The server's xruns while the meter listened: every client hears of each one.
    std::printf("%s xruns=%llu\n", SummaryLine(statistics.total(), sampleRate).c_str(),
                static_cast<unsigned long long>(meter.xruns()));
    return 0;
}
