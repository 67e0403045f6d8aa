#pragma once

// Inside the JACK backend: the session of one JACK client (its output ports, their queues, the
// cycle line, the supervisor), shared by the backend's files. Nothing outside src/platform/
// includes it.

#include <jack/jack.h>
#include <semaphore.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/jack/jack_cycle.h"
#include "platform/jack/jack_out_queue.h"
#include "platform/jack/jack_pulse_out.h"
#include "platform/jack/midi_jack.h"
#include "platform/jack/midi_jack_input.h"
#include "platform/monotonic_clock.h"

class JackTransport;

namespace jackbackend {

inline constexpr size_t kMaxConnections = 16;
// About a second of clock at the highest tempo, or a dozen long System Exclusive messages.
inline constexpr size_t kRingBytes = 16 * 1024;
// JACK's clock (CLOCK_MONOTONIC_RAW in jackd2, CLOCK_MONOTONIC in other servers) and ours can
// run apart by up to a few hundred ppm while NTP slews ours, so the offset between them is
// measured again this often: at 500 ppm that keeps the error under one frame.
inline constexpr int64_t kClockOffsetRefreshNs = 20'000'000;
// How long closing a port waits for the process callback to let go of it. A running server
// passes a cycle within milliseconds; a stuck one must not hang the program.
inline constexpr auto kCycleWaitTimeout = std::chrono::milliseconds(500);
// How long a closing connection waits for its queue to go out: far more than the latency of
// any sensible server, short enough that a server which has stopped answering holds nobody up.
inline constexpr auto kDrainTimeout = std::chrono::milliseconds(300);
// How often the supervisor looks for a server that has gone, or for a device that has: a
// restarted server is back in use within this, and a look costs one connect() on a socket.
inline constexpr int64_t kLookAgainNs = 250'000'000;
// How long after a device went before a port of its name counts as back (see lostAtNs).
inline constexpr int64_t kSettleNs = 50'000'000;
// How long a server that still answers after it shut our client down is given to go away
// before the supervisor takes it for one that merely threw our client out.
inline constexpr int64_t kThrownOutNs = 2'000'000'000;
// How long after the shutdown notice the dead client is closed (see supervise()).
inline constexpr int64_t kReleaseGraceNs = 500'000'000;

// libjack's error lines: quiet where no server is an ordinary answer, else on stderr.
void QuietJackError(const char*);
void PrintJackError(const char* text);
// PipeWire's libjack (pw-jack), as opposed to jackd2's.
bool PipeWireLibjack();
// Whether a JACK server of that name answers, asked without libjack (jack_server.cpp).
bool ServerMayAnswer(const std::string& serverName);
// A client of ours, its callbacks not yet set and not activated. Null when no server answers;
// a server is never started.
jack_client_t* OpenClient(const std::string& serverName);

// One of our output ports, shared by its connection and the session. It outlives the JACK
// client: after a server restart the same slot gets a port of the new client.
struct JackOutSlot {
    JackOutSlot() : queue(kRingBytes) {}

    std::atomic<jack_port_t*> port{nullptr};  // of the client open now; null without one
    std::string portName;                     // our port's short name, the same after a restart
    std::string destination;                  // full JACK port name; empty for the virtual port
    std::atomic<bool> closed{false};
    // False while the destination (or the server) is away; sends are then refused.
    std::atomic<bool> alive{true};
    // The delay set for this port (guarded by the session's slotsMutex_), and what the process
    // callback adds to the latency for it: the delay plus the shared base, never below 0.
    int64_t delayNs = 0;
    std::atomic<int64_t> extraNs{0};
    // When the destination went: JACK tells before the port is gone, and a look right after
    // would still find it and connect to a port on its way out.
    std::atomic<int64_t> lostAtNs{0};
    JackOutQueue queue;
    FrameChain chain;  // process thread only
};

// What JACK's callbacks get as their argument: the session and the client they belong to, so
// that a callback never looks at a newer client than its own.
struct ClientContext {
    JackMidiBackend::Session* session;
    jack_client_t* client;
};

}  // namespace jackbackend

using jackbackend::ClientContext;
using jackbackend::JackOutSlot;

class JackMidiBackend::Session : public std::enable_shared_from_this<Session> {
  public:
    explicit Session(int64_t safetyMarginNs) : safetyMarginNs_(safetyMarginNs) {
        sem_init(&wake_, 0, 0);
    }
    ~Session() {
        closeClient();
        sem_destroy(&wake_);
    }

    // False when no server answers, unless waitForServer: then the supervisor looks for one.
    bool open(const std::string& serverName, bool waitForServer);
    // After the inputs are set: from here on a server may come, go and come back.
    void startSupervisor();
    void closeClient();

    std::vector<std::string> listOutputs();
    std::unique_ptr<MidiOutConnection> openOutput(const std::string& name,
                                                  const std::string& ownPortName);
    void close(const std::shared_ptr<JackOutSlot>& slot);
    bool send(JackOutSlot& slot, const uint8_t* bytes, size_t length, int64_t timeNs);
    bool setDelay(JackOutSlot& slot, int64_t delayNs);
    int64_t baseDelayNs() const { return baseDelayNs_.load(std::memory_order_relaxed); }
    bool isAlive(const JackOutSlot& slot) const {
        return slot.alive.load(std::memory_order_acquire) &&
               !serverDown_.load(std::memory_order_acquire) &&
               !clientClosed_.load(std::memory_order_acquire);
    }

    void setProblemSink(ProblemSink sink) {
        std::lock_guard lock(sinkMutex_);
        sink_ = std::move(sink);
    }
    void setRecoverySink(ProblemSink sink) {
        std::lock_guard lock(sinkMutex_);
        recoverySink_ = std::move(sink);
    }
    void setArrivalSink(ArrivalSink sink) {
        std::lock_guard lock(sinkMutex_);
        arrivalSink_ = std::move(sink);
    }
    void reportArrival(bool server) {
        ArrivalSink sink;
        {
            std::lock_guard lock(sinkMutex_);
            sink = arrivalSink_;
        }
        if (sink) sink(server);
    }
    void report(const std::string& text);
    void reportRecovery(const std::string& text);

    std::string clientName() const {
        std::lock_guard lock(nameMutex_);
        return clientName_;
    }
    uint32_t sampleRate() const { return sampleRate_.load(std::memory_order_relaxed); }
    int64_t latencyNs() const;
    uint64_t lateMessages() const { return lateMessages_.load(std::memory_order_relaxed); }
    uint64_t droppedLateTicks() const { return droppedLateTicks_.load(std::memory_order_relaxed); }
    uint64_t lineRestarts() const { return lineRestarts_.load(std::memory_order_relaxed); }
    bool serverRunning() const {
        return !serverDown_.load(std::memory_order_acquire) &&
               !clientClosed_.load(std::memory_order_acquire);
    }
    bool holdsClient() const { return client_.load(std::memory_order_acquire) != nullptr; }
    jack_client_t* client() const { return client_.load(std::memory_order_acquire); }
    // The backend owns the hub and closes this session before it lets the hub go.
    void setInputs(JackInputHub* inputs) {
        inputs_.store(inputs, std::memory_order_release);
        processHook_.store(inputs, std::memory_order_release);
    }
    // The clock pulse outputs (jack_pulse_out.cpp): their ports are registered, published,
    // withdrawn and given their latency alongside the MIDI outputs.
    std::unique_ptr<PulseOutConnection> openPulse(int number);
    void closePulse(const std::shared_ptr<jackbackend::JackPulseSlot>& slot);
    bool sendPulse(jackbackend::JackPulseSlot& slot, uint8_t kind, int64_t timeNs,
                   int64_t intervalNs);
    bool setPulseShift(jackbackend::JackPulseSlot& slot, int64_t shiftNs);

    // The transport, asked once per cycle after the outputs and the inputs; told of every
    // client opened. The backend owns it and closes this session before it lets it go.
    void setTransport(JackTransport* transport) {
        transport_.store(transport, std::memory_order_release);
    }
    // JACK's clock minus ours, for both directions: the senders convert with it and so do the
    // input threads. Any thread; never waits, allocates nothing.
    int64_t jackMinusMonotonicNs();

  private:
    // Where the frames of the current cycle lie in JACK's time, in nanoseconds.
    struct CycleMap {
        int64_t startNs = 0;
        double framesPerNs = 0;
        int64_t latencyNs = 0;
        int64_t jackMinusMonoNs = 0;
        uint32_t firstFrame = 0;
        bool ticksOnLine = false;  // ticks placed by the line alone (a transport's grid)
    };

    static int onProcess(jack_nframes_t frames, void* context);
    static int onSampleRate(jack_nframes_t rate, void* context);
    static int onBufferSize(jack_nframes_t frames, void* context);
    static void onShutdown(jack_status_t, const char*, void* context);
    static void onPlainShutdown(void* context);
    static void onPortRegistration(jack_port_id_t id, int registered, void* context);
    static void onLatency(jack_latency_callback_mode_t mode, void* context);

    // Sets the callbacks of a fresh client and activates it; false (client closed) on failure.
    bool startClient(jack_client_t* client);
    void process(jack_client_t* client, jack_nframes_t frames);
    CycleMap mapCycle(jack_client_t* client, jack_nframes_t frames);
    void writeDue(JackOutSlot& slot, void* buffer, jack_nframes_t frames, const CycleMap& map);
    void processPulses(jack_nframes_t frames, const CycleMap& map);
    // The pulse ports with the client: gone with a dead one (no callback runs), registered and
    // published again for a new one. adminMutex_ held.
    void pulsesClientGone();
    void pulsesClientBack(jack_client_t* client);
    // Capture latency for a port whose messages are delayed by extraNs beyond the latency.
    jack_latency_range_t latencyRangeFor(int64_t extraNs) const;
    // Works out the shared base and every port's extra delay again; slotsMutex_ held.
    void spreadDelaysLocked();
    // Has JACK ask every client for its latencies again (ours from onLatency); on PipeWire sets
    // ours directly. Not from a JACK callback; adminMutex_ held.
    void republishLatency();
    // What the capture latency of a port is: the latency plus the port's delay, in frames.
    jack_latency_range_t latencyRange(const JackOutSlot& slot) const;
    // PipeWire: sets every port's latency from this thread (see onLatency). adminMutex_ held.
    void setLatenciesDirectly();

    // The supervisor thread and what it does, each with adminMutex_ held.
    void supervise();
    void releaseDeadClient();
    bool reopen();
    void reconnectDestinations(bool afterRestart);

    // Stops the connections whose destination isLost(slot) says is gone, and reports each.
    template <class Predicate>
    void markLost(Predicate isLost);
    // afresh: for a new server, forgetting the readings of the one before.
    void measureClockOffset(bool afresh);
    bool waitForCycle();
    bool waitForCallbacks();
    // The last step of closing an output (MIDI or pulse), once it left its slot list: takes it
    // out of the array the process callback reads, then unregisters its port once no callback
    // can hold it, or, with the server gone or stuck, keeps it in `retired` until the client
    // closes.
    template <class Slot, size_t N>
    void withdrawPort(std::array<std::atomic<Slot*>, N>& active, const std::shared_ptr<Slot>& slot,
                      std::vector<std::shared_ptr<Slot>>& retired, jack_client_t* client,
                      jack_port_t* port) {
        for (auto& entry : active) {
            Slot* expected = slot.get();
            entry.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst);
        }
        // Without a client (the server is away) no callback can hold the slot, and the port
        // went with the client.
        if (!client || !port) return;
        if (waitForCycle() && waitForCallbacks()) {
            jack_port_unregister(client, port);
            republishLatency();
        } else {
            std::lock_guard lock(slotsMutex_);
            retired.push_back(slot);
        }
    }
    void waitUntilConnected(jack_client_t* client, jack_port_t* port,
                            const std::string& destination);
    bool waitForDrain(const JackOutSlot& slot);
    bool publish(JackOutSlot* slot);

    const int64_t safetyMarginNs_;
    std::string serverName_;
    std::atomic<jack_client_t*> client_{nullptr};
    std::unique_ptr<ClientContext> context_;  // of client_; replaced with it
    mutable std::mutex nameMutex_;
    std::string clientName_;
    std::atomic<uint32_t> sampleRate_{48000};
    std::atomic<uint32_t> bufferFrames_{256};

    // What the process callback reads. A slot is published after its port exists and withdrawn
    // before the port goes; the withdrawing side then waits for a full cycle.
    std::array<std::atomic<JackOutSlot*>, jackbackend::kMaxConnections> active_{};
    std::atomic<uint64_t> cyclesDone_{0};
    std::atomic<JackProcessHook*> processHook_{nullptr};
    std::atomic<JackInputHub*> inputs_{nullptr};
    std::atomic<JackTransport*> transport_{nullptr};
    std::atomic<uint64_t> lateMessages_{0};
    std::atomic<uint64_t> droppedLateTicks_{0};
    std::atomic<uint64_t> lineRestarts_{0};
    // A new client means a new server, whose frames lie on another line.
    std::atomic<bool> newClient_{false};
    // Process thread only.
    CycleClock cycleClock_;
    float lastXrunDelayedUs_ = 0;

    std::atomic<bool> serverDown_{false};
    std::atomic<bool> clientClosed_{false};
    // PipeWire: a latency callback came, and the supervisor sets our latencies again.
    std::atomic<bool> latencyStale_{false};

    std::atomic<int64_t> baseDelayNs_{0};

    std::atomic<int64_t> jackMinusMonoNs_{0};
    std::atomic<int64_t> nextOffsetMeasureNs_{0};
    // A sender or an input thread (the clock thread among them) only ever tries it: when busy,
    // the reading waits for the next turn.
    std::mutex offsetMutex_;
    ClockOffset clockOffset_;

    // Opening, closing, reconnecting and tear-down; held across server requests, so JACK's own
    // threads never take it.
    std::mutex adminMutex_;
    // The open slots, for the notification thread; only ever held for a short look.
    std::mutex slotsMutex_;
    std::vector<std::shared_ptr<JackOutSlot>> slots_;
    // Slots the process callback might still have held when we gave up waiting for it; freed
    // once the client is closed and no callback can run.
    std::vector<std::shared_ptr<JackOutSlot>> retired_;
    // The pulse outputs, by number less one (slotsMutex_), and as the process callback reads
    // them: published like active_.
    std::array<std::shared_ptr<jackbackend::JackPulseSlot>, jackbackend::kPulseOutputs> pulseSlots_;
    std::array<std::atomic<jackbackend::JackPulseSlot*>, jackbackend::kPulseOutputs> pulseActive_{};
    std::vector<std::shared_ptr<jackbackend::JackPulseSlot>> retiredPulses_;

    // The supervisor sleeps on this; JACK's threads post it (sem_post neither locks nor
    // allocates, so even the process thread may).
    sem_t wake_;
    std::atomic<bool> quit_{false};
    std::thread supervisor_;
    // The supervisor's own: when it let the dead client go, and whether the server has been
    // seen gone since.
    int64_t serverLostNs_ = 0;
    bool serverSeenGone_ = false;
    // When the server told us it went, and how many of our notification callbacks are running.
    std::atomic<int64_t> shutdownNoticeNs_{0};
    std::atomic<int> callbacksRunning_{0};
    struct CallbackGuard {
        explicit CallbackGuard(std::atomic<int>& count) : count_(count) {
            count_.fetch_add(1, std::memory_order_seq_cst);
        }
        ~CallbackGuard() { count_.fetch_sub(1, std::memory_order_seq_cst); }
        std::atomic<int>& count_;
    };

    std::mutex sinkMutex_;
    ProblemSink sink_;
    ProblemSink recoverySink_;
    ArrivalSink arrivalSink_;
};

template <class Predicate>
void JackMidiBackend::Session::markLost(Predicate isLost) {
    if (!serverRunning()) return;
    std::vector<std::string> lost;
    {
        std::lock_guard lock(slotsMutex_);
        for (auto& slot : slots_) {
            if (slot->destination.empty() || !slot->alive.load() || !isLost(*slot)) continue;
            slot->lostAtNs.store(MonotonicNowNs());
            slot->alive.store(false);
            lost.push_back(TrimDeviceName(slot->destination));
        }
    }
    for (const auto& name : lost) report("MIDI Port lost: " + name);
    if (!lost.empty()) sem_post(&wake_);
}
