#include "platform/jack/midi_jack_input.h"

#include <jack/midiport.h>
#include <semaphore.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "platform/input_time.h"
#include "platform/jack/jack_out_queue.h"
#include "platform/jack/jack_ports.h"
#include "platform/monotonic_clock.h"

namespace {
// A few seconds of dense controller traffic, or many System Exclusive dumps.
constexpr size_t kInputRingBytes = 64 * 1024;
constexpr auto kCycleWaitTimeout = std::chrono::milliseconds(500);
// How long after a source went before a port of its name counts as back: JACK tells before
// the port is gone, and a look right after would still find it.
constexpr int64_t kSettleNs = 50'000'000;

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

    std::atomic<jack_port_t*> port{nullptr};  // of the client open now
    std::string portName;                     // our port's short name, kept over a restart
    std::string source;                       // full JACK port name; empty for the virtual input
    MidiEventRing ring;  // written by the process thread, read by the input thread
    sem_t wake;          // posted by the process thread after it wrote to the ring
    std::atomic<bool> stopping{false};
    std::atomic<bool> alive{true};  // false while the source (or the server) is away
    std::atomic<int64_t> lostAtNs{0};
    // JACK's clock at the open. It is the system's clock, not the server's frame count, so the
    // milliseconds since the open go on across a server restart.
    int64_t openTimeNs = 0;
    MidiInHandler handler;
    std::thread thread;
    // The client's fitted offset from our clock to JACK's (the one the outputs convert with), so
    // a message's time is not off by a single reading's microsecond, or by more when the thread
    // was held up between two clock reads.
    std::function<int64_t()> jackMinusMonotonicNs;

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
                SetDeliveredInputTimeNs(header.timeNs - jackMinusMonotonicNs());
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
                           std::function<bool()> serverRunning,
                           std::function<int64_t()> jackMinusMonotonicNs)
    : client_(client),
      clientName_(std::move(clientName)),
      serverRunning_(std::move(serverRunning)),
      jackMinusMonotonicNs_(std::move(jackMinusMonotonicNs)) {}

JackInputHub::~JackInputHub() = default;

void JackInputHub::process(uint32_t frames, uint32_t /*firstFrame*/, int64_t startNs,
                           double nsPerFrame) {
    // The client whose cycle this is; none while a restarted server's client is being set up.
    jack_client_t* const client = client_.load(std::memory_order_acquire);
    for (auto& entry : active_) {
        if (!client) break;
        JackInSlot* slot = entry.load(std::memory_order_seq_cst);
        if (!slot) continue;
        jack_port_t* port = slot->port.load(std::memory_order_acquire);
        if (!port) continue;
        void* buffer = jack_port_get_buffer(port, frames);
        const uint32_t count = jack_midi_get_event_count(buffer);
        bool queued = false;
        for (uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0 || event.size == 0) continue;
            // The event's time on JACK's clock, from its frame, by the frames counted on the
            // cycle line the outputs place their messages by. (jack_frames_to_time goes through
            // JACK's own filter, which a server stall throws off by the length of the stall for
            // seconds: a followed clock would seem to jump and drift after every xrun.)
            const int64_t timeNs =
                startNs + static_cast<int64_t>(std::llround(event.time * nsPerFrame));
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
    jack_client_t* client = client_.load();
    if (clientClosed_.load() || !client || !serverRunning_()) return names;
    names.push_back(kVirtualInputName);
    for (auto& name : jackports::OtherClientsPorts(client, clientName_, JackPortIsOutput))
        names.push_back(std::move(name));
    return names;
}

std::unique_ptr<MidiInConnection> JackInputHub::open(const std::string& name,
                                                     const std::string& ownPortName,
                                                     MidiInHandler handler) {
    std::lock_guard admin(adminMutex_);
    jack_client_t* client = client_.load();
    if (!handler || clientClosed_.load() || !client || !serverRunning_()) return nullptr;
    std::string source;
    if (name != kVirtualInputName) {
        source = jackports::FindOtherClientsPort(client, clientName_, name, JackPortIsOutput);
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
    const std::string portName = jackports::FreePortName(client, clientName_, ownPortName, "in");
    if (portName.empty()) return nullptr;
    jack_port_t* port = jackports::RegisterConnected(client, portName, source, JackPortIsOutput);
    if (!port) return nullptr;
    auto slot = std::make_shared<JackInSlot>();
    slot->port.store(port);
    slot->portName = portName;
    slot->source = source;
    slot->handler = std::move(handler);
    slot->jackMinusMonotonicNs = jackMinusMonotonicNs_;
    // Time stamps count from here; events before the open never reach the ring.
    slot->openTimeNs = static_cast<int64_t>(jack_get_time()) * 1000;
    slot->thread = std::thread([raw = slot.get()] { raw->run(); });
    {
        std::lock_guard lock(slotsMutex_);
        open_.push_back(slot);
    }
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
    {
        std::lock_guard lock(slotsMutex_);
        open_.erase(std::remove(open_.begin(), open_.end(), slot), open_.end());
    }
    for (auto& entry : active_) {
        JackInSlot* expected = slot.get();
        entry.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst);
    }
    // First the thread: once it has ended, nothing of this input is delivered any more.
    slot->stopping.store(true, std::memory_order_release);
    sem_post(&slot->wake);
    if (slot->thread.joinable()) slot->thread.join();
    jack_client_t* client = client_.load();
    jack_port_t* port = slot->port.load();
    // Without a client the port went with it, and no callback can hold the slot.
    if (clientClosed_.load() || !client || !port) return;
    if (waitForCycle()) {
        jack_port_unregister(client, port);
    } else {
        // Server gone or stuck: the process callback might still hold the slot.
        retired_.push_back(slot);
    }
}

bool JackInputHub::isAlive(const JackInSlot& slot) const {
    if (clientClosed_.load() || !serverRunning_()) return false;
    return slot.alive.load(std::memory_order_acquire);
}

void JackInputHub::clientClosed() {
    std::lock_guard admin(adminMutex_);
    clientClosed_.store(true);
    client_.store(nullptr);
    for (auto& entry : active_) entry.store(nullptr);
    retired_.clear();
}

bool JackInputHub::serverGone() {
    std::lock_guard lock(slotsMutex_);
    bool anyAlive = false;
    for (auto& slot : open_) {
        if (slot->alive.exchange(false)) anyAlive = true;
        slot->lostAtNs.store(MonotonicNowNs());
    }
    return anyAlive;
}

std::vector<std::string> JackInputHub::sourceGone(const std::string& portName) {
    std::vector<std::string> lost;
    if (!serverRunning_()) return lost;
    std::lock_guard lock(slotsMutex_);
    for (auto& slot : open_) {
        if (slot->source.empty() || slot->source != portName || !slot->alive.load()) continue;
        slot->lostAtNs.store(MonotonicNowNs());
        slot->alive.store(false);
        lost.push_back(slot->source);
    }
    return lost;
}

void JackInputHub::clientGone() {
    std::lock_guard admin(adminMutex_);
    client_.store(nullptr);
    for (auto& entry : active_) entry.store(nullptr, std::memory_order_seq_cst);
    retired_.clear();
    std::lock_guard lock(slotsMutex_);
    for (auto& slot : open_) slot->port.store(nullptr);
}

void JackInputHub::clientBack(jack_client_t* client, const std::string& clientName) {
    std::lock_guard admin(adminMutex_);
    clientName_ = clientName;
    // Before any port: the process callback places events by this client's frames.
    client_.store(client, std::memory_order_release);
    std::vector<std::shared_ptr<JackInSlot>> open;
    {
        std::lock_guard lock(slotsMutex_);
        open = open_;
    }
    size_t index = 0;
    for (auto& slot : open) {
        const std::string name = jackports::FreePortName(client, clientName_, slot->portName, "in");
        jack_port_t* port = name.empty()
                                ? nullptr
                                : jackports::RegisterConnected(client, name, "", JackPortIsOutput);
        if (!port || index == kMaxInputs) continue;
        slot->portName = name;
        slot->port.store(port);
        active_[index++].store(slot.get(), std::memory_order_seq_cst);
    }
}

std::vector<std::string> JackInputHub::reconnectSources(bool afterRestart) {
    std::lock_guard admin(adminMutex_);
    std::vector<std::string> back;
    jack_client_t* client = client_.load();
    if (!client) return back;
    std::vector<std::shared_ptr<JackInSlot>> open;
    {
        std::lock_guard lock(slotsMutex_);
        open = open_;
    }
    for (auto& slot : open) {
        jack_port_t* port = slot->port.load();
        if (slot->alive.load() || !port) continue;
        if (slot->source.empty()) {
            slot->alive.store(true);  // our virtual input: nothing to connect
            continue;
        }
        if (!afterRestart && MonotonicNowNs() - slot->lostAtNs.load() < kSettleNs) continue;
        if (!jack_port_by_name(client, slot->source.c_str())) continue;
        if (!jackports::ConnectWithPeer(client, port, slot->source, JackPortIsOutput)) continue;
        slot->alive.store(true);
        back.push_back(slot->source);
    }
    return back;
}

bool JackInputHub::anySourceMissing() {
    std::lock_guard lock(slotsMutex_);
    return std::any_of(open_.begin(), open_.end(),
                       [](const auto& slot) { return !slot->alive.load(); });
}

size_t JackInputHub::openCount() {
    std::lock_guard lock(slotsMutex_);
    return open_.size();
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
