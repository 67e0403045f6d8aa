// MIDI input through a real JACK server (JACK_DEFAULT_SERVER; start one with
//   jackd -n NAME --no-realtime -d dummy -r 48000 -p 256):
//  1. latency from an incoming event to the action it triggers: a sender client writes a note in
//     its process callback; the action, on our input thread, notes the time. Reported from the
//     event's frame time and from the moment the sender wrote it;
//  2. the output clock's tick-to-tick jitter at an independent receiver, without and with 1000
//     controller messages a second arriving at the input.
//   tempovane-input-bench [seconds per run]
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "app/main_model.h"
#include "midiin/input_actions.h"
#include "midiin/midi_in_port.h"
#include "midiout/midi_out_port.h"
#include "platform/jack/midi_jack.h"
#include "platform/midi_system.h"
#include "state/list_model.h"
#include "state/main_state.h"
#include "support/jack_support.h"

using namespace jacktest;

namespace {

constexpr size_t kMaxNotes = 1 << 16;

// Writes a note every few cycles (note number = sequence mod 128), or a stream of controllers,
// and keeps when each note went out.
class Player {
  public:
    Player() {
        client_ = OpenClient("player", "");
        if (!client_) return;
        port_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client_, &Player::onProcess, this);
        jack_activate(client_);
    }
    ~Player() {
        if (client_) jack_client_close(client_);
    }
    bool ok() const { return client_ && port_; }
    std::string portName() const { return jack_port_name(port_); }
    jack_client_t* client() const { return client_; }

    std::atomic<bool> playNotes{false};
    std::atomic<uint32_t> controllersPerSecond{0};
    std::atomic<uint32_t> notesSent{0};
    // Per note: JACK time (us) of the callback that wrote it.
    std::vector<jack_time_t> writtenUs = std::vector<jack_time_t>(kMaxNotes);

  private:
    static int onProcess(jack_nframes_t frames, void* self) {
        static_cast<Player*>(self)->process(frames);
        return 0;
    }
    void process(jack_nframes_t frames) {
        void* buffer = jack_port_get_buffer(port_, frames);
        jack_midi_clear_buffer(buffer);
        const jack_nframes_t first = jack_last_frame_time(client_);
        ++cycle_;
        const uint32_t rate = jack_get_sample_rate(client_);
        const uint32_t cps = controllersPerSecond.load(std::memory_order_relaxed);
        // Controllers spread over the cycle; a note every eighth cycle at a moving offset.
        const bool note = playNotes.load(std::memory_order_relaxed) && cycle_ % 8 == 0;
        const jack_nframes_t noteFrame = static_cast<jack_nframes_t>((cycle_ * 37) % frames);
        bool noteDone = !note;
        if (cps > 0) {
            const double spacing = static_cast<double>(rate) / cps;
            if (controllerPos_ < first) {  // (re)starting: no backlog
                controllerPos_ = first;
                nextController_ = first;
            }
            while (nextController_ < first + frames) {
                const jack_nframes_t offset =
                    nextController_ < first ? 0
                                            : static_cast<jack_nframes_t>(nextController_ - first);
                if (!noteDone && noteFrame <= offset)
                    noteDone = writeNote(buffer, noteFrame, first);
                const uint8_t cc[3] = {0xB0, 0x01, 120};
                jack_midi_event_write(buffer, offset, cc, 3);
                controllerPos_ += spacing;
                nextController_ = static_cast<uint64_t>(controllerPos_);
            }
        } else {
            controllerPos_ = 0;
        }
        if (!noteDone) writeNote(buffer, noteFrame, first);
    }
    bool writeNote(void* buffer, jack_nframes_t frame, jack_nframes_t) {
        const uint32_t n = notesSent.load(std::memory_order_relaxed);
        if (n >= kMaxNotes) return true;
        const uint8_t on[3] = {0x90, static_cast<uint8_t>(n % 128), 100};
        if (jack_midi_event_write(buffer, frame, on, 3) != 0) return true;
        writtenUs[n] = jack_get_time();
        notesSent.store(n + 1, std::memory_order_release);
        return true;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    uint64_t cycle_ = 0;
    uint64_t nextController_ = 0;
    double controllerPos_ = 0;
};

// Notes the JACK time at which each note's action ran (the note number comes back as value-40).
class TimingActions final : public InputActions {
  public:
    explicit TimingActions(const Player& player) : player_(player) {}
    void PerformActionValue(int, double value) override {
        if (value >= 10000) return;  // the entry's own action value
        const uint32_t seen = received.load(std::memory_order_relaxed);
        const uint32_t sent = player_.notesSent.load(std::memory_order_acquire);
        const auto note = static_cast<uint32_t>(std::lround(value - 40));
        // The newest note sent with that number.
        if (sent == 0 || seen >= kMaxNotes) return;
        uint32_t n = sent - 1;
        while (n % 128 != note && n > 0) --n;
        actionUs[n] = jack_get_time();
        received.store(seen + 1, std::memory_order_release);
    }
    std::atomic<uint32_t> received{0};
    std::vector<jack_time_t> actionUs = std::vector<jack_time_t>(kMaxNotes, 0);

  private:
    const Player& player_;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

void Latency(Player& player, int seconds) {
    MainState state;
    ListModel ports, types;
    CheckModel enable{true};
    auto system = std::make_unique<MidiSystem>();
    system->addBackend(JackMidiBackend::Create());
    TimingActions actions(player);
    const std::string folder = std::filesystem::temp_directory_path() /
                               ("tempovane-input-bench-" + std::to_string(getpid())) / "";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "Notes.ini") << "[SPECIAL_COMMANDS]\nINPUT0=90F500\nACTION0=10000.1\n";
    {
        MidiInPort port("MIDIINPORT1", state, {ports, types, enable}, *system, actions, folder);
        port.ListDeviceTypes();
        SelectByName(types, "Notes");
        port.DeviceTypeChanged();
        SelectByName(ports, "JACK: " + player.portName());
        port.OpenSelectedPort();
        if (!port.Device().Using()) {
            std::fprintf(stderr, "could not open the input\n");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        player.playNotes = true;
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        player.playNotes = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::filesystem::remove_all(folder);
    std::vector<double> fromWrite;
    const uint32_t sent = player.notesSent.load();
    for (uint32_t n = 0; n < sent; ++n) {
        if (actions.actionUs[n] == 0) continue;
        fromWrite.push_back(static_cast<double>(actions.actionUs[n]) - player.writtenUs[n]);
    }
    const double periodUs =
        1e6 * jack_get_buffer_size(player.client()) / jack_get_sample_rate(player.client());
    // An event reaches any JACK client in the cycle after the one it happened in (the driver's
    // period, the same for every client); what follows is ours: the process callback, the
    // semaphore, the input thread and the dispatch.
    std::printf("event -> action, %zu of %u notes acted on (period %.0f us)\n", fromWrite.size(),
                sent, periodUs);
    std::printf(
        "  from the cycle that carried it: p50 %.0f us  p99 %.0f us  max %.0f us "
        "(target: period + p99 <= period + 200 us)\n",
        Percentile(fromWrite, 0.5), Percentile(fromWrite, 0.99), Percentile(fromWrite, 1.0));
}

void Jitter(Player& player, int seconds, uint32_t controllersPerSecond) {
    JackRecorder meter("meter");
    auto system = std::make_unique<MidiSystem>();
    system->addBackend(JackMidiBackend::Create());
    KorvidMainModel model(std::move(system));
    model.CreatePorts("no-such-folder/");
    const std::string folder = std::filesystem::temp_directory_path() /
                               ("tempovane-input-bench-j" + std::to_string(getpid())) / "";
    std::filesystem::create_directories(folder);
    // The controller sets the tempo it already has: the whole action path runs, the clock stays.
    std::ofstream(folder + "Pedal.ini") << "[SPECIAL_COMMANDS]\nINPUT0=B001F1\nACTION0=10000\n";
    model.CreateInPort(folder);
    SelectByName(model.inControls.deviceType, "Pedal");
    model.InPort()->DeviceTypeChanged();
    SelectByName(model.inControls.port, "JACK: " + player.portName());
    model.InPort()->OpenSelectedPort();
    SelectByName(model.out1Controls.port, "JACK: " + meter.portName());
    model.OutPort1()->OpenSelectedPort();
    model.SetBPM(120);
    model.Timer().SetTempo(120000);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    model.transport().StartSeq();
    player.controllersPerSecond = controllersPerSecond;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    player.controllersPerSecond = 0;
    model.transport().StopSeq();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    model.DestroyPorts();
    std::filesystem::remove_all(folder);

    std::vector<uint32_t> frames;
    for (const auto& e : meter.events())
        if (e.bytes.size() == 1 && e.bytes[0] == 0xF8) frames.push_back(e.frame);
    std::vector<double> deviation;
    for (size_t i = 10; i < frames.size(); ++i)
        deviation.push_back(std::fabs(static_cast<double>(frames[i] - frames[i - 1]) - 1000.0));
    const double usPerFrame = 1e6 / 48000;
    const auto exact =
        std::count_if(deviation.begin(), deviation.end(), [](double d) { return d <= 1.0; });
    std::printf(
        "clock jitter at 120 BPM with %u controllers/s arriving: %zu ticks, %.1f %% within "
        "1 frame, p50 %.1f, p90 %.1f, p99 %.1f frames (%.0f us), max %.0f frames\n",
        controllersPerSecond, deviation.size(),
        deviation.empty() ? 0.0 : 100.0 * exact / deviation.size(), Percentile(deviation, 0.5),
        Percentile(deviation, 0.9), Percentile(deviation, 0.99),
        Percentile(deviation, 0.99) * usPerFrame, Percentile(deviation, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    jack_set_error_function(&QuietJackError);
    Player player;
    if (!player.ok()) {
        std::fprintf(stderr, "no JACK server (set JACK_DEFAULT_SERVER)\n");
        return 1;
    }
    Latency(player, seconds);
    Jitter(player, seconds, 0);
    Jitter(player, seconds, 1000);
    return 0;
}
