#include "platform/midi_jack_input.h"

#include <jack/midiport.h>
#include <semaphore.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/input_time.h"
#include "platform/monotonic_clock.h"

namespace {
// A few seconds of dense controller traffic, or many System Exclusive dumps.
constexpr size_t kInputRingBytes = 64 * 1024;
constexpr auto kCycleWaitTimeout = std::chrono::milliseconds(500);

#if defined(__SANITIZE_THREAD__)
#define OUT_OF_THREAD_SANITIZERS_SIGHT __attribute__((no_sanitize_thread))
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define OUT_OF_THREAD_SANITIZERS_SIGHT __attribute__((no_sanitize_thread))
#endif
#endif
#ifndef OUT_OF_THREAD_SANITIZERS_SIGHT
#define OUT_OF_THREAD_SANITIZERS_SIGHT
#endif

// Copies an event's bytes out of a port buffer that another client's process callback wrote.
// The server runs that client's cycle before ours through semaphores ThreadSanitizer does not
// see, so under the sanitizer each first read would be reported as a race; and the report is
// symbolised right here on the process thread, for some hundreds of milliseconds, long enough
// for the server to skip whole cycles of every client in the graph (a test's clock source then
// sends its clocks late, and a clock-following test measures a wrong tempo). So the bytes are
// read out of the sanitizer's sight (byte by byte: a memcpy would still be watched).
OUT_OF_THREAD_SANITIZERS_SIGHT void CopyFromPortBuffer(uint8_t* to, const uint8_t* from,
                                                       size_t size) {
    const volatile uint8_t* source = from;
    for (size_t i = 0; i < size; ++i) to[i] = source[i];
}
}  // namespace

struct JackInSlot {
    JackInSlot() : ring(kInputRingBytes) { sem_init(&wake, 0, 0); }
    ~JackInSlot() { sem_destroy(&wake); }

    jack_port_t* port = nullptr;
    std::string source;  // full JACK port name; empty for the virtual input
    MidiEventRing ring;  // written by the process thread, read by the input thread
    sem_t wake;          // posted by the process thread after it wrote to the ring
    std::atomic<bool> stopping{false};
    int64_t openTimeNs = 0;  // JACK's clock
    MidiInHandler handler;
    std::thread thread;

    // The input thread: sleeps until the process callback posts, then delivers what is queued.
    void run() {
        uint8_t bytes[MidiEventRing::kMaxMessageBytes];
        for (;;) {
            while (sem_wait(&wake) != 0 && errno == EINTR) {
            }
            MidiEventRing::Header header;
            while (ring.front(header)) {
                ring.copyFrontBytes(bytes);
                ring.pop();
                if (stopping.load(std::memory_order_acquire)) break;
                const auto timeMs = static_cast<uint32_t>((header.timeNs - openTimeNs) / 1'000'000);
                // JACK's clock to ours: the offset between them is read afresh for each message,
                // since NTP may slew ours.
                const int64_t offsetNs = MonotonicNowNs() - static_cast<int64_t>(jack_get_time()) * 1000;
                SetDeliveredInputTimeNs(header.timeNs + offsetNs);
                handler(bytes, header.length, timeMs);
            }
            if (stopping.load(std::memory_order_acquire)) return;
        }
    }
};

namespace {

class JackInputConnection : public MidiInConnection {
  public:
    JackInputConnection(std::shared_ptr<JackInputHub> hub, std::shared_ptr<JackInSlot> slot)
        : hub_(std::move(hub)), slot_(std::move(slot)) {}
    ~JackInputConnection() override { hub_->close(slot_); }
    bool isAlive() const override { return hub_->isAlive(*slot_); }

  private:
    std::shared_ptr<JackInputHub> hub_;
    std::shared_ptr<JackInSlot> slot_;
};

}  // namespace

JackInputHub::JackInputHub(jack_client_t* client, std::string clientName,
                           std::function<bool()> serverRunning)
    : client_(client),
      clientName_(std::move(clientName)),
      serverRunning_(std::move(serverRunning)) {}

JackInputHub::~JackInputHub() = default;

void JackInputHub::process(uint32_t frames) {
    const jack_nframes_t firstFrame = jack_last_frame_time(client_);
    for (auto& entry : active_) {
        JackInSlot* slot = entry.load(std::memory_order_seq_cst);
        if (!slot) continue;
        void* buffer = jack_port_get_buffer(slot->port, frames);
        const uint32_t count = jack_midi_get_event_count(buffer);
        bool queued = false;
        for (uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0 || event.size == 0) continue;
            // The event's time on JACK's clock, from its frame.
            const int64_t timeNs =
                static_cast<int64_t>(jack_frames_to_time(client_, firstFrame + event.time)) * 1000;
            // Long System Exclusive goes in consecutive pieces; the receiver cuts them smaller.
            for (size_t offset = 0; offset < event.size;
                 offset += MidiEventRing::kMaxMessageBytes) {
                const size_t length =
                    std::min(event.size - offset, MidiEventRing::kMaxMessageBytes);
                uint8_t piece[MidiEventRing::kMaxMessageBytes];
                CopyFromPortBuffer(piece, event.buffer + offset, length);
                if (slot->ring.push(timeNs, piece, length))
                    queued = true;
                else
                    dropped_.fetch_add(1, std::memory_order_relaxed);
            }
        }
        if (queued) sem_post(&slot->wake);
    }
    cyclesDone_.fetch_add(1, std::memory_order_seq_cst);
}

std::vector<std::string> JackInputHub::list() {
    std::lock_guard admin(adminMutex_);
    std::vector<std::string> names;
    if (clientClosed_.load() || !serverRunning_()) return names;
    names.push_back(kVirtualInputName);
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
    if (!ports) return names;
    const std::string ours = clientName_ + ":";
    for (const char** port = ports; *port; ++port) {
        if (std::strncmp(*port, ours.c_str(), ours.size()) == 0) continue;
        std::string name = TrimDeviceName(*port);
        if (!name.empty()) names.push_back(std::move(name));
    }
    jack_free(ports);
    return names;
}

std::string JackInputHub::findSource(const std::string& name) {
    std::string found;
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
    if (!ports) return found;
    const std::string ours = clientName_ + ":";
    for (const char** port = ports; *port && found.empty(); ++port) {
        if (std::strncmp(*port, ours.c_str(), ours.size()) == 0) continue;
        if (TrimDeviceName(*port) == name) found = *port;
    }
    jack_free(ports);
    return found;
}

std::string JackInputHub::uniquePortName(const std::string& wanted) {
    std::string base = TrimDeviceName(wanted);
    if (base.empty()) base = "in";
    const size_t room = static_cast<size_t>(jack_port_name_size()) - clientName_.size() - 8;
    if (base.size() > room) base.resize(room);
    for (int counter = 1; counter < 1000; ++counter) {
        std::string candidate = counter == 1 ? base : base + "-" + std::to_string(counter);
        if (!jack_port_by_name(client_, (clientName_ + ":" + candidate).c_str())) return candidate;
    }
    return "";
}

std::unique_ptr<MidiInConnection> JackInputHub::open(const std::string& name,
                                                     const std::string& ownPortName,
                                                     MidiInHandler handler) {
    std::lock_guard admin(adminMutex_);
    if (!handler || clientClosed_.load() || !serverRunning_()) return nullptr;
    std::string source;
    if (name != kVirtualInputName) {
        source = findSource(name);
        if (source.empty()) return nullptr;
    }
    size_t index = kMaxInputs;
    for (size_t i = 0; i < kMaxInputs; ++i) {
        if (!active_[i].load()) {
            index = i;
            break;
        }
    }
    if (index == kMaxInputs) return nullptr;
    const std::string portName = uniquePortName(ownPortName);
    if (portName.empty()) return nullptr;
    jack_port_t* port =
        jack_port_register(client_, portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!port) return nullptr;
    if (!source.empty()) {
        const int result = jack_connect(client_, source.c_str(), jack_port_name(port));
        if (result != 0 && result != EEXIST) {
            jack_port_unregister(client_, port);
            return nullptr;
        }
    }
    auto slot = std::make_shared<JackInSlot>();
    slot->port = port;
    slot->source = source;
    slot->handler = std::move(handler);
    // Time stamps count from here; events before the open never reach the ring.
    slot->openTimeNs = static_cast<int64_t>(jack_get_time()) * 1000;
    slot->thread = std::thread([raw = slot.get()] { raw->run(); });
    active_[index].store(slot.get(), std::memory_order_seq_cst);
    return std::make_unique<JackInputConnection>(shared_from_this(), slot);
}

bool JackInputHub::waitForCycle() {
    const uint64_t seen = cyclesDone_.load(std::memory_order_seq_cst);
    const auto deadline = std::chrono::steady_clock::now() + kCycleWaitTimeout;
    while (cyclesDone_.load(std::memory_order_seq_cst) == seen) {
        if (clientClosed_.load() || !serverRunning_() ||
            std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void JackInputHub::close(const std::shared_ptr<JackInSlot>& slot) {
    std::lock_guard admin(adminMutex_);
    for (auto& entry : active_) {
        JackInSlot* expected = slot.get();
        entry.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst);
    }
    // First the thread: once it has ended, nothing of this input is delivered any more.
    slot->stopping.store(true, std::memory_order_release);
    sem_post(&slot->wake);
    if (slot->thread.joinable()) slot->thread.join();
    if (clientClosed_.load()) return;  // the client took the port with it
    if (waitForCycle()) {
        jack_port_unregister(client_, slot->port);
    } else {
        // Server gone or stuck: the process callback might still hold the slot.
        retired_.push_back(slot);
    }
}

bool JackInputHub::isAlive(const JackInSlot& slot) const {
    if (clientClosed_.load() || !serverRunning_()) return false;
    if (slot.source.empty()) return true;
    return jack_port_by_name(client_, slot.source.c_str()) != nullptr;
}

void JackInputHub::clientClosed() {
    std::lock_guard admin(adminMutex_);
    clientClosed_.store(true);
    for (auto& entry : active_) entry.store(nullptr);
    retired_.clear();
}

// ---------------------------------------------------------------------------------------------
// The backend's input entry points.

std::vector<std::string> JackMidiBackend::listInputs() {
    return inputs_->list();
}

std::unique_ptr<MidiInConnection> JackMidiBackend::openInput(const std::string& name,
                                                             const std::string& ownPortName,
                                                             MidiInHandler handler) {
    return inputs_->open(name, ownPortName, std::move(handler));
}
