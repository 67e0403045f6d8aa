// The other end of bench/soak.sh: a JACK client that counts the clock arriving on two inputs,
// finds the gaps where ticks went missing, and feeds the program's input with a dense stream
// (controllers at a given rate) and a tempo controller that swings every second.
//   tempovane-soak-probe [--rate messages per second] [--name client name]
// Prints a line of totals every 10 seconds and at the end (SIGINT or SIGTERM); at the end also,
// per port, where ticks went missing: in the first or the last second of the clock, near a
// disturbance of the JACK graph (an xrun, or a cycle of the probe's own that did not follow on
// from the one before), or elsewhere; and how far Start and Stop were from the first and last
// tick.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/statistics.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
constexpr int kPorts = 2;
// The soak swings between 2400 and 2500 BPM: a tick is 50 or 48 frames at 48 kHz. A spacing
// of more than one and a half of the longer period is a gap: at least one tick is missing.
constexpr double kSlowestPeriodFrames = 50.0;
// The gaps and the disturbances are kept for the closing report (a soak has a few hundred).
constexpr size_t kMaxGaps = 65536;
constexpr size_t kMaxDisturbances = 65536;

// A spacing that is not one tick: ticks missing in a gap (delta > 0), or a tick that came on
// the heels of the one before (delta -1). Around an xrun the ticks held up come bunched right
// after the gap they left, so a gap is only a loss as far as no bunch makes up for it.
struct Gap {
    uint64_t fromFrame, toFrame;
    int64_t delta;
};

uint64_t MissingIn(int64_t spacing) {
    if (spacing <= 1.5 * kSlowestPeriodFrames) return 0;
    return static_cast<uint64_t>(std::lround(static_cast<double>(spacing) / kSlowestPeriodFrames) -
                                 1);
}

struct Port {
    jack_port_t* port = nullptr;
    std::atomic<uint64_t> ticks{0}, starts{0}, stops{0}, gaps{0}, missing{0}, backwards{0};
    std::atomic<uint32_t> widest{0};
    uint64_t lastFrame = 0;
    bool haveLast = false;
    // Written on the process thread, read once it has stopped.
    bool started = false, ticked = false, stopped = false;
    uint64_t startFrame = 0, firstTickFrame = 0, stopFrame = 0;
    Gap gapList[kMaxGaps];
    std::atomic<size_t> gapCount{0};
};

Port inputs[kPorts];
jack_port_t* output = nullptr;
jack_client_t* client = nullptr;
double framesPerMessage = 48;
uint64_t sampleRate = 48000;
uint64_t frameCounter = 0;
double nextMessage = 0;
uint64_t nextTempo = 0;
uint8_t controllerValue = 0;
bool tempoHigh = false;
std::atomic<uint64_t> messagesSent{0};
std::atomic<bool> stopRequested{false};
// Where the graph was disturbed, in frames: a cycle that does not follow on from the last one,
// or an xrun the server reported (its callback comes on another thread, often cycles later).
std::atomic<uint64_t> xrunCallbacks{0};
uint64_t disturbances[kMaxDisturbances];
std::atomic<size_t> disturbanceCount{0};
uint64_t expectedCycle = 0, xrunsSeen = 0;
float lastXrunDelayed = 0;
bool haveCycle = false;

int Xrun(void*) {
    xrunCallbacks.fetch_add(1);
    return 0;
}

void NoteDisturbance(uint64_t cycleStart, jack_nframes_t frames) {
    bool disturbed = haveCycle && cycleStart != expectedCycle;
    const float delayed = jack_get_xrun_delayed_usecs(client);
    if (delayed != lastXrunDelayed) disturbed = true;
    lastXrunDelayed = delayed;
    const uint64_t xruns = xrunCallbacks.load();
    if (xruns != xrunsSeen) disturbed = true;
    xrunsSeen = xruns;
    haveCycle = true;
    expectedCycle = cycleStart + frames;
    const size_t n = disturbanceCount.load(std::memory_order_relaxed);
    if (disturbed && n < kMaxDisturbances) {
        disturbances[n] = cycleStart;
        disturbanceCount.store(n + 1, std::memory_order_release);
    }
}

int Process(jack_nframes_t frames, void*) {
    const uint64_t cycleStart = jack_last_frame_time(client);
    NoteDisturbance(cycleStart, frames);
    for (Port& p : inputs) {
        void* buffer = jack_port_get_buffer(p.port, frames);
        const uint32_t n = jack_midi_get_event_count(buffer);
        for (uint32_t i = 0; i < n; ++i) {
            jack_midi_event_t e;
            if (jack_midi_event_get(&e, buffer, i) != 0 || e.size == 0) continue;
            const uint64_t frame = cycleStart + e.time;
            if (e.buffer[0] == 0xFA) {
                p.starts.fetch_add(1);
                p.haveLast = false;  // the first clock after Start starts the spacing anew
                if (!p.started) p.startFrame = frame;
                p.started = true;
            } else if (e.buffer[0] == 0xFC) {
                p.stops.fetch_add(1);
                p.stopFrame = frame;
                p.stopped = true;
            } else if (e.buffer[0] == 0xF8) {
                if (!p.ticked) p.firstTickFrame = frame;
                p.ticked = true;
                if (p.haveLast) {
                    // After a server xrun JACK's frame time may restart behind the last one: a
                    // spacing of zero or less says nothing about lost ticks.
                    const int64_t spacing =
                        static_cast<int64_t>(frame) - static_cast<int64_t>(p.lastFrame);
                    if (spacing < kSlowestPeriodFrames / 2) {
                        const size_t g = p.gapCount.load(std::memory_order_relaxed);
                        if (g < kMaxGaps) {
                            p.gapList[g] = {p.lastFrame, frame, -1};
                            p.gapCount.store(g + 1, std::memory_order_release);
                        }
                    }
                    if (spacing <= 0) {
                        p.backwards.fetch_add(1);
                    } else {
                        if (spacing > p.widest.load())
                            p.widest.store(
                                static_cast<uint32_t>(std::min<int64_t>(spacing, 1 << 30)));
                        if (const uint64_t missing = MissingIn(spacing)) {
                            p.gaps.fetch_add(1);
                            p.missing.fetch_add(missing);
                            const size_t g = p.gapCount.load(std::memory_order_relaxed);
                            if (g < kMaxGaps) {
                                p.gapList[g] = {p.lastFrame, frame, static_cast<int64_t>(missing)};
                                p.gapCount.store(g + 1, std::memory_order_release);
                            }
                        }
                    }
                }
                p.lastFrame = frame;
                p.haveLast = true;
                p.ticks.fetch_add(1);
            }
        }
    }
    void* out = jack_port_get_buffer(output, frames);
    jack_midi_clear_buffer(out);
    const uint64_t end = frameCounter + frames;
    while (nextMessage < static_cast<double>(end)) {
        const auto at =
            static_cast<jack_nframes_t>(nextMessage - static_cast<double>(frameCounter));
        if (static_cast<uint64_t>(nextMessage) >= nextTempo) {
            // CC 20 through the soak map's range: 0 is 2400 BPM, 100 is 2500 BPM.
            tempoHigh = !tempoHigh;
            const uint8_t m[3] = {0xB0, 20, static_cast<uint8_t>(tempoHigh ? 100 : 0)};
            jack_midi_event_write(out, at, m, 3);
            nextTempo += sampleRate;
        } else {
            // A controller the map does not use: the dispatch compares it with every entry.
            controllerValue = static_cast<uint8_t>((controllerValue + 1) & 0x7F);
            const uint8_t m[3] = {0xB0, 7, controllerValue};
            jack_midi_event_write(out, at, m, 3);
        }
        messagesSent.fetch_add(1);
        nextMessage += framesPerMessage;
    }
    frameCounter = end;
    return 0;
}

void Print(const char* what, double seconds) {
    std::printf("%s t=%.0fs sent_messages=%llu", what, seconds,
                static_cast<unsigned long long>(messagesSent.load()));
    for (int i = 0; i < kPorts; ++i) {
        const Port& p = inputs[i];
        std::printf(
            " | port%d ticks=%llu starts=%llu stops=%llu gaps=%llu missing=%llu "
            "widest=%u backwards=%llu",
            i + 1, static_cast<unsigned long long>(p.ticks.load()),
            static_cast<unsigned long long>(p.starts.load()),
            static_cast<unsigned long long>(p.stops.load()),
            static_cast<unsigned long long>(p.gaps.load()),
            static_cast<unsigned long long>(p.missing.load()), p.widest.load(),
            static_cast<unsigned long long>(p.backwards.load()));
    }
    std::printf("\n");
    std::fflush(stdout);
}
// Where each port's missing ticks were, once the process thread has stopped.
void PrintWhere(uint64_t sampleRate) {
    const size_t nDisturbances = disturbanceCount.load(std::memory_order_acquire);
    // The xrun callback may come a good while after the cycle it is about.
    const uint64_t near = sampleRate / 10;
    const double msPerFrame = 1000.0 / static_cast<double>(sampleRate);
    for (int i = 0; i < kPorts; ++i) {
        const Port& p = inputs[i];
        const uint64_t clockStart = p.started ? p.startFrame : p.firstTickFrame;
        const uint64_t clockEnd = p.stopped ? p.stopFrame : p.lastFrame;
        int64_t first = 0, last = 0, atXrun = 0, elsewhere = 0;
        const size_t nGaps = p.gapCount.load(std::memory_order_acquire);
        for (size_t g = 0; g < nGaps; ++g) {
            const Gap& gap = p.gapList[g];
            bool disturbed = false;
            for (size_t d = 0; d < nDisturbances && !disturbed; ++d)
                disturbed = disturbances[d] + near >= gap.fromFrame &&
                            disturbances[d] <= gap.toFrame + near;
            if (gap.toFrame <= clockStart + sampleRate) {
                first += gap.delta;
            } else if (gap.fromFrame + sampleRate >= clockEnd) {
                last += gap.delta;
            } else if (disturbed) {
                atXrun += gap.delta;
            } else {
                elsewhere += gap.delta;
            }
        }
        // Start goes out at once and the first tick a latency later, at its own time; Stop after
        // the last tick.
        const double startLead =
            p.started && p.ticked
                ? static_cast<double>(static_cast<int64_t>(p.firstTickFrame - p.startFrame)) *
                      msPerFrame
                : -1;
        const double stopLag =
            p.stopped && p.ticked
                ? static_cast<double>(static_cast<int64_t>(p.stopFrame - p.lastFrame)) * msPerFrame
                : -1;
        std::printf(
            "where port%d net missing (gaps less the ticks bunched after them): "
            "first_second=%lld last_second=%lld at_xruns=%lld elsewhere=%lld%s | "
            "Start %.2f ms before the first tick, Stop %.2f ms after the last | "
            "clock %.3f s\n",
            i + 1, static_cast<long long>(first), static_cast<long long>(last),
            static_cast<long long>(atXrun), static_cast<long long>(elsewhere),
            nGaps >= kMaxGaps ? " (list full)" : "", startLead, stopLag,
            static_cast<double>(clockEnd - clockStart) / static_cast<double>(sampleRate));
    }
    std::printf(
        "where disturbances=%zu%s xrun_callbacks=%llu (a gap within 0.1 s of one counts "
        "as at an xrun)\n",
        nDisturbances, nDisturbances >= kMaxDisturbances ? " (list full)" : "",
        static_cast<unsigned long long>(xrunCallbacks.load()));
    std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
    double rate = 1000;
    std::string name = "soakprobe";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--rate")) rate = std::atof(argv[i + 1]);
        if (!std::strcmp(argv[i], "--name")) name = argv[i + 1];
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    jack_status_t status{};
    client = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (!client) {
        std::fprintf(stderr, "no JACK server\n");
        return 1;
    }
    sampleRate = jack_get_sample_rate(client);
    framesPerMessage = static_cast<double>(sampleRate) / (rate > 0 ? rate : 1);
    nextTempo = sampleRate;
    for (int i = 0; i < kPorts; ++i) {
        const std::string port = "in" + std::to_string(i + 1);
        inputs[i].port =
            jack_port_register(client, port.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    }
    output = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(client, Process, nullptr);
    jack_set_xrun_callback(client, Xrun, nullptr);
    if (jack_activate(client) != 0) return 1;

    const timespec tenSeconds{10, 0};
    double seconds = 0;
    while (sigtimedwait(&set, nullptr, &tenSeconds) < 0) {
        seconds += 10;
        Print("probe", seconds);
    }
    jack_deactivate(client);
    Print("final", seconds);
    PrintWhere(sampleRate);
    jack_client_close(client);
    return 0;
}
