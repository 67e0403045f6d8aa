#include "platform/midi_jack.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/statistics.h>

#include <semaphore.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "platform/deadline_thread.h"
#include "platform/jack_cycle.h"
#include "platform/jack_out_queue.h"
#include "platform/jack_ports.h"
#include "platform/midi_jack_input.h"
#include "platform/monotonic_clock.h"

// ---------------------------------------------------------------------------------------------
// The JACK client and its output ports

namespace {

constexpr size_t kMaxConnections = 16;
constexpr uint8_t kTimingClock = 0xF8;
// About a second of clock at the highest tempo, or a dozen long System Exclusive messages.
constexpr size_t kRingBytes = 16 * 1024;
// JACK's clock (CLOCK_MONOTONIC_RAW in jackd2, CLOCK_MONOTONIC in other servers) and ours can
// run apart by up to a few hundred ppm while NTP slews ours, so the offset between them is
// measured again this often: at 500 ppm that keeps the error under one frame.
constexpr int64_t kClockOffsetRefreshNs = 20'000'000;
// How long closing a port waits for the process callback to let go of it. A running server
// passes a cycle within milliseconds; a stuck one must not hang the program.
constexpr auto kCycleWaitTimeout = std::chrono::milliseconds(500);
// How long a closing connection waits for its queue to go out: far more than the latency of
// any sensible server, short enough that a server which has stopped answering holds nobody up.
constexpr auto kDrainTimeout = std::chrono::milliseconds(300);
// How long opening a port waits for PipeWire to make its connection, and the cycles it lets
// pass after (see openOutput).
constexpr auto kConnectWait = std::chrono::milliseconds(500);
constexpr uint64_t kConnectCycles = 3;
// How often the supervisor looks for a server that has gone, or for a device that has: a
// restarted server is back in use within this, and a look costs one connect() on a socket.
constexpr int64_t kLookAgainNs = 250'000'000;
// How long after a device went before a port of its name counts as back (see lostAtNs).
constexpr int64_t kSettleNs = 50'000'000;
// How long a server that still answers after it shut our client down is given to go away
// before the supervisor takes it for one that merely threw our client out.
constexpr int64_t kThrownOutNs = 2'000'000'000;
// How long after the shutdown notice the dead client is closed (see supervise()).
constexpr int64_t kReleaseGraceNs = 500'000'000;

void QuietJackError(const char*) {}
void PrintJackError(const char* text) {
    std::fprintf(stderr, "%s\n", text);
}

// The server name a jackd2 client would connect to.
std::string EffectiveServerName(const std::string& serverName) {
    if (!serverName.empty()) return serverName;
    const char* fromEnvironment = std::getenv("JACK_DEFAULT_SERVER");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : "default";
}

// Where PipeWire's libjack would connect: the daemon's socket, named after PIPEWIRE_REMOTE (which
// wins over the server name a client asks for), else that name, else "pipewire-0", in
// PipeWire's runtime folder or the system's.
std::vector<std::string> PipeWireSockets(const std::string& serverName) {
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    std::string name = remote && *remote ? remote : serverName;
    if (name.empty() || name == "default") name = "pipewire-0";
    if (name[0] == '/') return {name};
    std::vector<std::string> paths;
    for (const char* variable : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
        const char* folder = std::getenv(variable);
        if (folder && *folder) {
            paths.push_back(std::string(folder) + "/" + name);
            break;
        }
    }
    paths.push_back("/run/pipewire/" + name);
    return paths;
}

// PipeWire's libjack (pw-jack), as opposed to jackd2's.
bool PipeWireLibjack() {
    static const bool pipeWire =
        std::string(jack_get_version_string()).find("PipeWire") != std::string::npos;
    return pipeWire;
}

// Whether a JACK server of that name answers, asked without libjack. Each jack_client_open
// in jackd2's libjack, even one that finds no server, first frees every client of a server
// that has gone (the program's own, a test's), so the supervisor must not knock with it
// every 250 ms. jackd2 listens on a socket in /dev/shm named after the server and the user
// (without the user where JACK_PROMISCUOUS_SERVER is set); a server in good order removes it
// when it stops, a killed one leaves it behind refusing connections. PipeWire's libjack frees
// nothing, but every open makes and tears down a whole context; its daemon's socket tells as
// cheaply. Any other libjack: "try".
bool ServerMayAnswer(const std::string& serverName) {
    static const std::string version = jack_get_version_string();
    std::vector<std::string> paths;
    if (version.compare(0, 4, "1.9.") == 0) {
        const std::string name = EffectiveServerName(serverName);
        paths = {
            "/dev/shm/jack_" + name + "_" + std::to_string(getuid()) + "_0",
            "/dev/shm/jack_" + name + "_0",
        };
    } else if (PipeWireLibjack()) {
        paths = PipeWireSockets(serverName);
    } else {
        return true;
    }
    for (const std::string& path : paths) {
        sockaddr_un address{};
        if (path.size() >= sizeof address.sun_path) continue;
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return true;  // cannot tell: let libjack find out
        const bool answered =
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (answered) return true;
    }
    return false;
}

// A client of ours, its callbacks not yet set and not activated. Null when no server answers;
// a server is never started.
jack_client_t* OpenClient(const std::string& serverName) {
    auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
    if (serverName.empty()) options = JackNoStartServer;
    jack_status_t status{};
    // No server is an ordinary situation here, not worth libjack's lines on stderr.
    jack_set_error_function(&QuietJackError);
    // The test runs set a name of their own: jackd2 names a client's socket after the client
    // and the user alone, so two programs named alike on two private servers (tests run in
    // parallel) would take each other's socket. Users always see "tempovane".
    const char* testName = std::getenv("TEMPOVANE_TEST_JACK_CLIENT");
    const char* name = testName && *testName ? testName : "tempovane";
    jack_client_t* client = serverName.empty()
                                ? jack_client_open(name, options, &status)
                                : jack_client_open(name, options, &status, serverName.c_str());
    jack_set_error_function(&PrintJackError);
    return client;
}

// One of our output ports, shared by its connection and the session. It outlives the JACK
// client: after a server restart the same slot gets a port of the new client.
struct JackOutSlot {
    JackOutSlot() : queue(kRingBytes) {}

    std::atomic<jack_port_t*> port{nullptr};  // of the client open now; null without one
    std::string portName;                     // our port's short name, the same after a restart
    std::string destination;  // full JACK port name; empty for the virtual port
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

}  // namespace

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
    std::array<std::atomic<JackOutSlot*>, kMaxConnections> active_{};
    std::atomic<uint64_t> cyclesDone_{0};
    std::atomic<JackProcessHook*> processHook_{nullptr};
    std::atomic<JackInputHub*> inputs_{nullptr};
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

namespace {

class JackConnection : public MidiOutConnection {
  public:
    JackConnection(std::shared_ptr<JackMidiBackend::Session> session,
                   std::shared_ptr<JackOutSlot> slot)
        : session_(std::move(session)), slot_(std::move(slot)) {}
    ~JackConnection() override { session_->close(slot_); }

    bool sendShort(const uint8_t* bytes, size_t length, int64_t timeNs) override {
        if (length < 1 || length > 3) return false;
        return session_->send(*slot_, bytes, length, timeNs);
    }
    bool sendLong(const uint8_t* bytes, size_t length, int64_t timeNs) override {
        return session_->send(*slot_, bytes, length, timeNs);
    }
    bool isAlive() const override { return session_->isAlive(*slot_); }
    // A message handed over within the safety margin of its time stamp is placed on its own
    // frame; up to a whole latency late it still goes out, in the cycle right after. A port
    // delayed by extraNs gives its senders that much more time.
    int64_t lookaheadNs() const override {
        return session_->latencyNs() + slot_->extraNs.load(std::memory_order_relaxed);
    }
    bool setDelayNs(int64_t delayNs) override { return session_->setDelay(*slot_, delayNs); }

  private:
    std::shared_ptr<JackMidiBackend::Session> session_;
    std::shared_ptr<JackOutSlot> slot_;
};

}  // namespace

bool JackMidiBackend::Session::open(const std::string& serverName, bool waitForServer) {
    serverName_ = serverName;
    jack_client_t* client = OpenClient(serverName);
    std::lock_guard admin(adminMutex_);
    if (client) {
        measureClockOffset(true);
        if (startClient(client)) return true;
    }
    if (!waitForServer) return false;
    // No server yet (the program started before the sound server, as at login): the supervisor
    // looks for one from the start, as for a server that went away.
    serverDown_.store(true, std::memory_order_release);
    serverSeenGone_ = true;
    serverLostNs_ = MonotonicNowNs();
    return true;
}

void JackMidiBackend::Session::startSupervisor() {
    supervisor_ = std::thread([this] { supervise(); });
}

bool JackMidiBackend::Session::startClient(jack_client_t* client) {
    {
        std::lock_guard lock(nameMutex_);
        clientName_ = jack_get_client_name(client);
    }
    sampleRate_.store(jack_get_sample_rate(client), std::memory_order_relaxed);
    bufferFrames_.store(jack_get_buffer_size(client), std::memory_order_relaxed);
    auto context = std::make_unique<ClientContext>(ClientContext{this, client});
    void* arg = context.get();
    jack_set_process_callback(client, &Session::onProcess, arg);
    jack_set_sample_rate_callback(client, &Session::onSampleRate, arg);
    jack_set_buffer_size_callback(client, &Session::onBufferSize, arg);
    // jackd2 calls the first of these, PipeWire's libjack only the second.
    jack_on_info_shutdown(client, &Session::onShutdown, arg);
    jack_on_shutdown(client, &Session::onPlainShutdown, arg);
    jack_set_port_registration_callback(client, &Session::onPortRegistration, arg);
    jack_set_latency_callback(client, &Session::onLatency, arg);
    newClient_.store(true, std::memory_order_release);
    client_.store(client, std::memory_order_release);
    context_ = std::move(context);
    if (jack_activate(client) != 0) {
        client_.store(nullptr, std::memory_order_release);
        jack_client_close(client);
        context_.reset();
        return false;
    }
    return true;
}

void JackMidiBackend::Session::closeClient() {
    // The supervisor first: it takes adminMutex_ and may be opening a client right now.
    quit_.store(true, std::memory_order_release);
    sem_post(&wake_);
    if (supervisor_.joinable()) supervisor_.join();

    std::lock_guard admin(adminMutex_);
    if (clientClosed_.load()) return;
    std::vector<std::shared_ptr<JackOutSlot>> open;
    {
        std::lock_guard lock(slotsMutex_);
        open = slots_;
    }
    // Connections may outlive the backend; from here on they refuse every send.
    for (auto& slot : open) {
        slot->closed.store(true);
        slot->alive.store(false);
    }
    clientClosed_.store(true);
    for (auto& entry : active_) entry.store(nullptr);
    // Stops the process and notification threads, also when the server is already gone.
    if (jack_client_t* client = client_.exchange(nullptr)) jack_client_close(client);
    if (JackInputHub* inputs = inputs_.exchange(nullptr)) inputs->clientClosed();
    processHook_.store(nullptr);
    context_.reset();
    std::lock_guard lock(slotsMutex_);
    slots_.clear();
    retired_.clear();
}

int64_t JackMidiBackend::Session::latencyNs() const {
    const int64_t frames = bufferFrames_.load(std::memory_order_relaxed);
    return frames * 1'000'000'000 / std::max<uint32_t>(1, sampleRate()) + safetyMarginNs_;
}

// --- clock domains ---------------------------------------------------------------------------

void JackMidiBackend::Session::measureClockOffset(bool afresh) {
    std::unique_lock lock(offsetMutex_, std::defer_lock);
    if (afresh) {
        lock.lock();
        clockOffset_.forget();
    } else if (!lock.try_lock()) {
        return;
    }
    // Our clock on both sides of JACK's, the tightest of a few: on an idle core well under a
    // microsecond.
    int64_t bestBefore = 0, bestAfter = INT64_MAX;
    jack_time_t bestJackUs = 0;
    for (int reading = 0; reading < 5; ++reading) {
        const int64_t before = MonotonicNowNs();
        const jack_time_t jackUs = jack_get_time();
        const int64_t after = MonotonicNowNs();
        if (after - before < bestAfter - bestBefore) {
            bestBefore = before;
            bestAfter = after;
            bestJackUs = jackUs;
        }
    }
    jackMinusMonoNs_.store(clockOffset_.add(bestBefore, bestJackUs, bestAfter),
                           std::memory_order_relaxed);
}

int64_t JackMidiBackend::Session::jackMinusMonotonicNs() {
    // Measured by a sender or an input thread (a few clock reads through the vDSO) rather than
    // in the process callback, which then needs no clock of its own. One caller wins the turn.
    const int64_t now = MonotonicNowNs();
    int64_t due = nextOffsetMeasureNs_.load(std::memory_order_relaxed);
    if (now >= due && nextOffsetMeasureNs_.compare_exchange_strong(due, now + kClockOffsetRefreshNs,
                                                                   std::memory_order_relaxed)) {
        measureClockOffset(false);
    }
    return jackMinusMonoNs_.load(std::memory_order_relaxed);
}

// --- sending ---------------------------------------------------------------------------------

bool JackMidiBackend::Session::send(JackOutSlot& slot, const uint8_t* bytes, size_t length,
                                    int64_t timeNs) {
    if (slot.closed.load(std::memory_order_acquire) || !isAlive(slot)) return false;
    // The queue keeps our clock's times, which order the messages of both its rings; the
    // process callback turns them into JACK's time. (Converted here, two messages a few
    // microseconds apart could meet offsets measured a little differently and swap.) The
    // offset is measured again by the senders, so the process callback needs no clock read.
    jackMinusMonotonicNs();
    const bool now = timeNs == 0;
    return slot.queue.push(now ? MonotonicNowNs() : timeNs, now, bytes, length);
}

int JackMidiBackend::Session::onProcess(jack_nframes_t frames, void* context) {
    auto* c = static_cast<ClientContext*>(context);
    c->session->process(c->client, frames);
    return 0;
}

void JackMidiBackend::Session::process(jack_client_t* client, jack_nframes_t frames) {
    const CycleMap map = mapCycle(client, frames);
    for (auto& entry : active_) {
        // seq_cst with the increment below: see waitForCycle().
        JackOutSlot* slot = entry.load(std::memory_order_seq_cst);
        if (!slot) continue;
        jack_port_t* port = slot->port.load(std::memory_order_acquire);
        if (!port) continue;
        void* buffer = jack_port_get_buffer(port, frames);
        jack_midi_clear_buffer(buffer);
        writeDue(*slot, buffer, frames, map);
    }
    if (JackProcessHook* hook = processHook_.load(std::memory_order_acquire))
        hook->process(frames, map.firstFrame, cycleClock_.countedStartNs(),
                      cycleClock_.nsPerFrame());
    cyclesDone_.fetch_add(1, std::memory_order_seq_cst);
}

JackMidiBackend::Session::CycleMap JackMidiBackend::Session::mapCycle(jack_client_t* client,
                                                                      jack_nframes_t frames) {
    // Frame count first, then the clock: a callback running so late that the server has begun
    // the next cycle may read that cycle's count, and the clock read after it is then still
    // after that cycle's boundary, as CycleClock needs. jack_get_time() reads the clock through
    // the vDSO: no system call on the process thread.
    const jack_nframes_t firstFrame = jack_last_frame_time(client);
    const int64_t wokeNs = static_cast<int64_t>(jack_get_time()) * 1000;
    const uint32_t rate = sampleRate_.load(std::memory_order_relaxed);
    // The server notes how late its driver was at each driver xrun before the cycle after it
    // runs, in memory it shares with its clients: a changed figure is word of an xrun in the
    // very cycle it matters to. (The xrun callback comes through another thread, often cycles
    // later, and also for clients that merely did not finish, which leave the line alone.)
    const float xrunDelayedUs = jack_get_xrun_delayed_usecs(client);
    const bool driverXrun = xrunDelayedUs != lastXrunDelayedUs_;
    lastXrunDelayedUs_ = xrunDelayedUs;
    // A new client means a new server, whose frames lie on another line.
    if (newClient_.exchange(false, std::memory_order_acq_rel)) cycleClock_.forget();
    CycleMap map;
    map.startNs = cycleClock_.update(firstFrame, wokeNs, frames, rate, driverXrun,
                                     static_cast<int64_t>(std::llround(xrunDelayedUs * 1000.0)));
    lineRestarts_.store(cycleClock_.lineMoves(), std::memory_order_relaxed);
    map.framesPerNs = 1.0 / cycleClock_.nsPerFrame();
    map.latencyNs = static_cast<int64_t>(frames) * 1'000'000'000 / std::max<uint32_t>(1, rate) +
                    safetyMarginNs_;
    map.firstFrame = firstFrame;
    map.jackMinusMonoNs = jackMinusMonoNs_.load(std::memory_order_relaxed);
    return map;
}

void JackMidiBackend::Session::writeDue(JackOutSlot& slot, void* buffer, jack_nframes_t frames,
                                        const CycleMap& map) {
    const size_t largestEvent = jack_midi_max_event_size(buffer);
    const bool deliver = slot.alive.load(std::memory_order_acquire);
    jack_nframes_t lastFrame = 0;  // JACK wants the events of a cycle in time order
    int64_t lastTickFrame = -1;
    const int64_t extraNs = slot.extraNs.load(std::memory_order_relaxed);
    MidiEventRing::Header header;
    while (slot.queue.front(header)) {
        FramePlacement place;
        const int64_t jackNs = header.timeNs + map.jackMinusMonoNs;
        const bool timed = (header.flags & JackOutQueue::kAsSoonAsPossible) == 0;
        if (timed) {
            place = PlaceOnFrameChained(jackNs, map.latencyNs + extraNs, map.startNs,
                                        map.framesPerNs, frames, lastFrame, map.firstFrame,
                                        slot.chain);
            uint8_t status = 0;
            if (header.length == 1) slot.queue.copyFrontBytes(&status);
            if (status == kTimingClock) {
                const double duePosition =
                    static_cast<double>(jackNs + map.latencyNs + extraNs - map.startNs) *
                    map.framesPerNs;
                const TickPlacement tick =
                    PlaceTick(place, duePosition, map.framesPerNs, frames, lastTickFrame);
                if (tick.kind == TickPlacement::Kind::NextCycle) break;
                if (tick.kind == TickPlacement::Kind::Drop) {
                    slot.queue.pop();
                    droppedLateTicks_.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                place.frame = tick.frame;
                lastTickFrame = tick.frame;
            }
        } else if (extraNs <= 0) {
            place = PlaceOnFrame(0, 0, 0, 0, frames, lastFrame);
        } else {
            // "Now" on a delayed port: the port's delay after it was queued. Past that it is
            // simply due, not late.
            place = PlaceOnFrame(jackNs, extraNs, map.startNs, map.framesPerNs, frames,
                                 lastFrame);
            if (place.kind == FramePlacement::Kind::Late) place.kind = FramePlacement::Kind::Now;
        }
        // Due in a later cycle: stays, and so does all after it.
        if (place.kind == FramePlacement::Kind::LaterCycle) break;
        if (place.kind == FramePlacement::Kind::Late)
            lateMessages_.fetch_add(1, std::memory_order_relaxed);
        const jack_nframes_t frame = place.frame;
        if (!deliver || header.length > largestEvent) {
            slot.queue.pop();  // destination gone, or a message no cycle could ever carry
            continue;
        }
        jack_midi_data_t* space = jack_midi_event_reserve(buffer, frame, header.length);
        if (!space) break;  // this cycle's buffer is full: first thing next cycle
        slot.queue.copyFrontBytes(space);
        slot.queue.pop();
        lastFrame = frame;
    }
}

// --- ports -----------------------------------------------------------------------------------

std::vector<std::string> JackMidiBackend::Session::listOutputs() {
    std::lock_guard admin(adminMutex_);
    std::vector<std::string> names;
    jack_client_t* client = client_.load();
    if (!serverRunning() || !client) return names;
    names.push_back(kVirtualPortName);
    for (auto& name : jackports::OtherClientsPorts(client, clientName(), JackPortIsInput))
        names.push_back(std::move(name));
    return names;
}

bool JackMidiBackend::Session::publish(JackOutSlot* slot) {
    for (auto& entry : active_) {
        JackOutSlot* expected = nullptr;
        if (entry.compare_exchange_strong(expected, slot, std::memory_order_seq_cst)) return true;
    }
    return false;
}

std::unique_ptr<MidiOutConnection> JackMidiBackend::Session::openOutput(
    const std::string& name, const std::string& ownPortName) {
    std::unique_lock admin(adminMutex_);
    jack_client_t* client = client_.load();
    if (!serverRunning() || !client) return nullptr;
    std::string destination;
    if (name != kVirtualPortName) {
        destination = jackports::FindOtherClientsPort(client, clientName(), name, JackPortIsInput);
        if (destination.empty()) return nullptr;
    }
    if (std::none_of(active_.begin(), active_.end(), [](auto& entry) { return !entry.load(); }))
        return nullptr;

    const std::string portName = jackports::FreePortName(client, clientName(), ownPortName, "out");
    if (portName.empty()) return nullptr;
    jack_port_t* port = jackports::RegisterConnected(client, portName, destination, JackPortIsInput);
    if (!port) return nullptr;
    if (PipeWireLibjack() && !destination.empty()) {
        // PipeWire makes the connection a moment after jack_connect returns (many cycles later
        // on a loaded machine), and what the port carries until then is lost: a device's init
        // string or a Start sent right after choosing it never arrived. The first send waits
        // until our client sees the connection, and a few cycles more, in which the link
        // becomes active (measured on a loaded machine: 18 of 48 such opens lost their first
        // messages without the wait, 1 of 72 with the first part, none of 72 with both).
        // jackd2 connects within the call.
        const auto deadline = std::chrono::steady_clock::now() + kConnectWait;
        while (jack_port_connected(port) == 0 && !serverDown_.load() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const uint64_t seen = cyclesDone_.load(std::memory_order_seq_cst);
        while (cyclesDone_.load(std::memory_order_seq_cst) < seen + kConnectCycles &&
               !serverDown_.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    auto slot = std::make_shared<JackOutSlot>();
    slot->port.store(port);
    slot->portName = portName;
    slot->destination = destination;
    {
        std::lock_guard lock(slotsMutex_);
        slots_.push_back(slot);
        spreadDelaysLocked();
    }
    publish(slot.get());
    republishLatency();
    // The destination may have gone between the connect and now, its notice already handled.
    const bool goneAlready =
        !destination.empty() && !jack_port_by_name(client, destination.c_str());
    admin.unlock();
    if (goneAlready) {
        markLost([&](const JackOutSlot& candidate) { return &candidate == slot.get(); });
    }
    return std::make_unique<JackConnection>(shared_from_this(), slot);
}

bool JackMidiBackend::Session::waitForCycle() {
    // A callback that still saw the slot has not counted its cycle yet: once the count moves,
    // it is done (all seq_cst, so no callback can see the slot after a newer one has not).
    const uint64_t seen = cyclesDone_.load(std::memory_order_seq_cst);
    const auto deadline = std::chrono::steady_clock::now() + kCycleWaitTimeout;
    while (cyclesDone_.load(std::memory_order_seq_cst) == seen) {
        if (serverDown_.load() || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool JackMidiBackend::Session::waitForCallbacks() {
    // A callback that counted itself in before the slot was withdrawn may still use its port.
    const auto deadline = std::chrono::steady_clock::now() + kCycleWaitTimeout;
    while (callbacksRunning_.load(std::memory_order_seq_cst) != 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool JackMidiBackend::Session::waitForDrain(const JackOutSlot& slot) {
    const auto deadline = std::chrono::steady_clock::now() + kDrainTimeout;
    while (!slot.queue.empty()) {
        if (!serverRunning() || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void JackMidiBackend::Session::close(const std::shared_ptr<JackOutSlot>& slot) {
    std::lock_guard admin(adminMutex_);
    slot->closed.store(true);
    jack_client_t* client = client_.load();
    jack_port_t* port = slot->port.load();
    // A release string or a Stop sent just before the close goes out first. Once the queue is
    // empty, one more cycle with the slot still published clears the port's buffer, so the
    // cycles after it cannot hand the receiver the last messages a second time.
    if (client && port && slot->alive.load() && waitForDrain(*slot)) waitForCycle();
    slot->alive.store(false);
    if (clientClosed_.load()) return;  // the client took the port with it
    {
        std::lock_guard lock(slotsMutex_);
        slots_.erase(std::remove(slots_.begin(), slots_.end(), slot), slots_.end());
        // A port that was set earlier than the others no longer holds them back.
        spreadDelaysLocked();
    }
    for (auto& entry : active_) {
        JackOutSlot* expected = slot.get();
        entry.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst);
    }
    // Without a client (the server is away) no callback can hold the slot, and the port went
    // with the client.
    if (!client || !port) return;
    if (waitForCycle() && waitForCallbacks()) {
        jack_port_unregister(client, port);
        republishLatency();
    } else {
        // Server gone or stuck: no request to it, and the memory stays until the client closes.
        std::lock_guard lock(slotsMutex_);
        retired_.push_back(slot);
    }
}

// --- delays and the latency JACK is told --------------------------------------------------

bool JackMidiBackend::Session::setDelay(JackOutSlot& slot, int64_t delayNs) {
    std::lock_guard admin(adminMutex_);
    if (clientClosed_.load()) return false;
    {
        std::lock_guard lock(slotsMutex_);
        slot.delayNs = delayNs;
        spreadDelaysLocked();
    }
    republishLatency();
    return true;
}

void JackMidiBackend::Session::spreadDelaysLocked() {
    // A port cannot send before its time stamp plus the latency, so "earlier than the others"
    // is made by holding all the others back by as much.
    int64_t base = 0;
    for (const auto& slot : slots_) base = std::max(base, -slot->delayNs);
    for (const auto& slot : slots_)
        slot->extraNs.store(base + slot->delayNs, std::memory_order_relaxed);
    baseDelayNs_.store(base, std::memory_order_relaxed);
}

void JackMidiBackend::Session::republishLatency() {
    jack_client_t* client = client_.load(std::memory_order_acquire);
    if (!client || !serverRunning()) return;
    if (PipeWireLibjack())
        setLatenciesDirectly();
    else
        jack_recompute_total_latencies(client);
}

void JackMidiBackend::Session::onLatency(jack_latency_callback_mode_t mode, void* context) {
    // Our ports are where the messages start, so what a host compensates for is the time from
    // a message's time stamp until it is in the graph: the capture latency of the output port.
    // Nothing of ours passes from an input to an output, so the playback side stays as JACK has
    // it.
    if (mode != JackCaptureLatency) return;
    auto* session = static_cast<ClientContext*>(context)->session;
    // No lock of ours here: PipeWire's libjack runs this callback again from inside
    // jack_port_set_latency_range (it flushes its queued work on the same thread), and a lock
    // held across that call was taken a second time by the same thread: the program hung for
    // good. The slots are read from the published array instead; a closer withdraws a slot
    // there and waits until no callback is counted in before its port goes (see close()).
    const CallbackGuard running(session->callbacksRunning_);
    if (session->clientClosed_.load()) return;
    if (PipeWireLibjack()) {
        // PipeWire's libjack (0.3.65) runs this callback holding a lock of its own that is not
        // recursive, and setting a latency from inside it can run a queued latency request on
        // the same thread, which takes that lock again: the client hung for good, also a plain
        // C client with no lock of its own. There a latency set from an ordinary thread takes
        // effect as well, so the supervisor sets it.
        session->latencyStale_.store(true, std::memory_order_release);
        sem_post(&session->wake_);
        return;
    }
    for (auto& entry : session->active_) {
        JackOutSlot* slot = entry.load(std::memory_order_seq_cst);
        if (!slot) continue;
        jack_port_t* port = slot->port.load(std::memory_order_acquire);
        if (!port) continue;
        jack_latency_range_t range = session->latencyRange(*slot);
        jack_port_set_latency_range(port, JackCaptureLatency, &range);
    }
}

jack_latency_range_t JackMidiBackend::Session::latencyRange(const JackOutSlot& slot) const {
    const double framesPerNs = sampleRate() / 1e9;
    const auto frames = static_cast<jack_nframes_t>(std::llround(
        static_cast<double>(latencyNs() + slot.extraNs.load(std::memory_order_relaxed)) *
        framesPerNs));
    return {frames, frames};
}

void JackMidiBackend::Session::setLatenciesDirectly() {
    std::vector<std::shared_ptr<JackOutSlot>> open;
    {
        std::lock_guard lock(slotsMutex_);
        open = slots_;
    }
    for (const auto& slot : open) {
        jack_port_t* port = slot->port.load(std::memory_order_acquire);
        if (!port || slot->closed.load()) continue;
        jack_latency_range_t wanted = latencyRange(*slot);
        // PipeWire's graph now and then writes its own figure over ours (0.3.65 keeps what the
        // server computes for the port's own direction): set again only what differs.
        jack_latency_range_t now{};
        jack_port_get_latency_range(port, JackCaptureLatency, &now);
        if (now.min != wanted.min || now.max != wanted.max)
            jack_port_set_latency_range(port, JackCaptureLatency, &wanted);
    }
}

// --- notifications (JACK's notification thread) ----------------------------------------------

int JackMidiBackend::Session::onSampleRate(jack_nframes_t rate, void* context) {
    static_cast<ClientContext*>(context)->session->sampleRate_.store(rate,
                                                                     std::memory_order_relaxed);
    return 0;
}

int JackMidiBackend::Session::onBufferSize(jack_nframes_t frames, void* context) {
    static_cast<ClientContext*>(context)->session->bufferFrames_.store(frames,
                                                                       std::memory_order_relaxed);
    return 0;
}

void JackMidiBackend::Session::onShutdown(jack_status_t, const char*, void* context) {
    // Never jack_client_close here: this runs on one of the client's own threads. The
    // supervisor lets the client go.
    auto* session = static_cast<ClientContext*>(context)->session;
    const CallbackGuard running(session->callbacksRunning_);
    if (session->serverDown_.exchange(true)) return;
    session->shutdownNoticeNs_.store(MonotonicNowNs());
    bool anyAlive = false;
    {
        std::lock_guard lock(session->slotsMutex_);
        for (auto& slot : session->slots_) anyAlive |= slot->alive.exchange(false);
    }
    if (JackInputHub* inputs = session->inputs_.load()) anyAlive |= inputs->serverGone();
    if (anyAlive) session->report("MIDI Port lost: JACK server stopped");
    sem_post(&session->wake_);
}

void JackMidiBackend::Session::onPlainShutdown(void* context) {
    onShutdown(JackServerError, "", context);
}

void JackMidiBackend::Session::onPortRegistration(jack_port_id_t id, int registered,
                                                  void* context) {
    auto* c = static_cast<ClientContext*>(context);
    Session* session = c->session;
    const CallbackGuard running(session->callbacksRunning_);
    if (registered) {
        // A device that went may be back; connecting is the supervisor's (no server request
        // may be made from a notification). One the program has not opened yet may be one it
        // waits for.
        sem_post(&session->wake_);
        session->reportArrival(false);
        return;
    }
    // JACK tells before the port has left its lists (a look-up by name would still find it),
    // so the id tells which port went.
    const jack_port_t* port = jack_port_by_id(c->client, id);
    const char* name = port ? jack_port_name(port) : nullptr;
    if (!name) return;
    const std::string gone = name;
    session->markLost([&](const JackOutSlot& slot) { return slot.destination == gone; });
    if (JackInputHub* inputs = session->inputs_.load()) {
        for (const auto& source : inputs->sourceGone(gone))
            session->report("MIDI IN Port lost: " + TrimDeviceName(source));
    }
}

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

void JackMidiBackend::Session::report(const std::string& text) {
    ProblemSink sink;
    {
        std::lock_guard lock(sinkMutex_);
        sink = sink_;
    }
    if (sink) sink(text);
}

void JackMidiBackend::Session::reportRecovery(const std::string& text) {
    ProblemSink sink;
    {
        std::lock_guard lock(sinkMutex_);
        sink = recoverySink_;
    }
    if (sink) sink(text);
}

// --- the supervisor --------------------------------------------------------------------------

void JackMidiBackend::Session::supervise() {
    for (;;) {
        // Asleep until JACK posts; while something is missing, it also looks every 250 ms
        // (a client whose port is registered but not yet active cannot be connected to).
        bool missing = serverDown_.load();
        if (!missing) {
            std::lock_guard lock(slotsMutex_);
            missing = std::any_of(slots_.begin(), slots_.end(), [](const auto& slot) {
                return !slot->destination.empty() && !slot->alive.load() && !slot->closed.load();
            });
        }
        if (!missing && inputs_.load()) missing = inputs_.load()->anySourceMissing();
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        const int64_t ns = until.tv_nsec + (missing ? kLookAgainNs : 2'000'000'000);
        until.tv_sec += ns / 1'000'000'000;
        until.tv_nsec = ns % 1'000'000'000;
        int woken = -1;
        while ((woken = sem_timedwait(&wake_, &until)) != 0 && errno == EINTR) {
        }
        if (quit_.load(std::memory_order_acquire)) return;
        // PipeWire: asked for our latencies, or a while went by (its graph may have written
        // over them).
        const bool latencyDue =
            PipeWireLibjack() && (latencyStale_.exchange(false) || woken != 0);
        if (woken != 0 && !missing && !latencyDue) continue;  // nothing told, nothing to look for

        std::lock_guard admin(adminMutex_);
        if (quit_.load() || clientClosed_.load()) return;
        if (latencyDue && !serverDown_.load() && client_.load()) setLatenciesDirectly();
        if (serverDown_.load()) {
            if (client_.load()) {
                // Closing a client cancels its threads, and libjack's own shutdown path on them
                // (and ours, in onShutdown) must be over by then: a thread cancelled in the
                // middle of it has ended the program ("terminate called without an active
                // exception"). So the dead client is left alone for a moment first.
                if (MonotonicNowNs() - shutdownNoticeNs_.load() < kReleaseGraceNs ||
                    callbacksRunning_.load() != 0)
                    continue;
                releaseDeadClient();
            }
            if (!ServerMayAnswer(serverName_)) {
                serverSeenGone_ = true;
                continue;
            }
            // A dying server still takes connections on its socket for a moment after it has
            // told us, so it must have been seen gone before it counts as back. One that never
            // went (it threw our client out) is tried again after a while.
            if (!serverSeenGone_ && MonotonicNowNs() - serverLostNs_ < kThrownOutNs) continue;
            if (!reopen()) continue;
            reconnectDestinations(true);
            reportArrival(true);
        } else {
            reconnectDestinations(false);
        }
    }
}

void JackMidiBackend::Session::releaseDeadClient() {
    serverLostNs_ = MonotonicNowNs();
    serverSeenGone_ = false;
    jack_client_t* dead = client_.exchange(nullptr, std::memory_order_acq_rel);
    for (auto& entry : active_) entry.store(nullptr, std::memory_order_seq_cst);
    if (JackInputHub* inputs = inputs_.load()) inputs->clientGone();
    // Stops the client's threads; from here on no callback of it runs. It has to happen before
    // any other client is opened in the process (see ServerMayAnswer).
    jack_client_close(dead);
    context_.reset();
    std::vector<std::shared_ptr<JackOutSlot>> open;
    {
        std::lock_guard lock(slotsMutex_);
        open = slots_;
        retired_.clear();
    }
    // With no callback left, this thread is the queues' reader: what was queued for the old
    // server would otherwise reach the new one stale.
    for (auto& slot : open) {
        slot->port.store(nullptr);
        slot->queue.clear();
    }
}

bool JackMidiBackend::Session::reopen() {
    jack_client_t* client = OpenClient(serverName_);
    if (!client) return false;
    std::vector<std::shared_ptr<JackOutSlot>> open;
    {
        std::lock_guard lock(slotsMutex_);
        open = slots_;
    }
    {
        std::lock_guard lock(nameMutex_);
        clientName_ = jack_get_client_name(client);
    }
    // Every port again under its old name (the new client has none yet), published before the
    // client runs.
    for (auto& slot : open) {
        const std::string name =
            jackports::FreePortName(client, clientName(), slot->portName, "out");
        jack_port_t* port =
            name.empty() ? nullptr : jackports::RegisterConnected(client, name, "", JackPortIsInput);
        if (!port) continue;
        slot->portName = name;
        slot->port.store(port);
        publish(slot.get());
    }
    JackInputHub* inputs = inputs_.load();
    if (inputs) inputs->clientBack(client, clientName());
    if (!startClient(client)) {
        for (auto& entry : active_) entry.store(nullptr);
        for (auto& slot : open) slot->port.store(nullptr);
        if (inputs) inputs->clientGone();
        return false;
    }
    measureClockOffset(true);
    serverDown_.store(false, std::memory_order_release);
    return true;
}

void JackMidiBackend::Session::reconnectDestinations(bool afterRestart) {
    jack_client_t* client = client_.load();
    if (!client) return;
    std::vector<std::shared_ptr<JackOutSlot>> open;
    {
        std::lock_guard lock(slotsMutex_);
        open = slots_;
    }
    std::vector<std::string> back;
    size_t ours = 0;
    // A device still missing refuses the connection; libjack would say so on every look.
    jack_set_error_function(&QuietJackError);
    for (auto& slot : open) {
        if (slot->closed.load()) continue;
        ++ours;
        jack_port_t* port = slot->port.load();
        if (slot->alive.load() || !port) continue;
        if (slot->destination.empty()) {
            slot->alive.store(true);  // our virtual port: nothing to connect
            continue;
        }
        if (MonotonicNowNs() - slot->lostAtNs.load() < kSettleNs) continue;
        if (!jack_port_by_name(client, slot->destination.c_str())) continue;
        if (!jackports::ConnectWithPeer(client, port, slot->destination, JackPortIsInput)) continue;
        slot->alive.store(true);
        back.push_back(TrimDeviceName(slot->destination));
    }
    std::vector<std::string> inputsBack;
    if (JackInputHub* inputs = inputs_.load()) {
        ours += inputs->openCount();
        inputsBack = inputs->reconnectSources(afterRestart);
    }
    jack_set_error_function(&PrintJackError);
    if (afterRestart) {
        if (ours > 0) reportRecovery("JACK server back: MIDI ports reconnected");
        return;
    }
    for (const auto& name : back) reportRecovery("MIDI Port reconnected: " + name);
    for (const auto& name : inputsBack)
        reportRecovery("MIDI IN Port reconnected: " + TrimDeviceName(name));
}

// ---------------------------------------------------------------------------------------------
// JackMidiBackend

std::unique_ptr<JackMidiBackend> JackMidiBackend::Create(const std::string& serverName,
                                                         int64_t safetyMarginNs,
                                                         WithoutServer withoutServer) {
    auto session = std::make_shared<Session>(safetyMarginNs);
    if (!session->open(serverName, withoutServer == WithoutServer::WaitForOne)) return nullptr;
    std::unique_ptr<JackMidiBackend> backend(new JackMidiBackend(std::move(session)));
    backend->session_->startSupervisor();
    return backend;
}

JackMidiBackend::JackMidiBackend(std::shared_ptr<Session> session) : session_(std::move(session)) {
    std::weak_ptr<Session> weak = session_;
    inputs_ = std::make_shared<JackInputHub>(
        session_->client(), session_->clientName(),
        [weak] {
            auto session = weak.lock();
            return session && session->serverRunning();
        },
        [weak] {
            auto session = weak.lock();
            return session ? session->jackMinusMonotonicNs() : int64_t{0};
        });
    session_->setInputs(inputs_.get());
}

JackMidiBackend::~JackMidiBackend() {
    session_->closeClient();  // no process callback runs after this
}

std::vector<std::string> JackMidiBackend::listOutputs() {
    return session_->listOutputs();
}

std::unique_ptr<MidiOutConnection> JackMidiBackend::openOutput(const std::string& name,
                                                               const std::string& ownPortName) {
    return session_->openOutput(name, ownPortName);
}

void JackMidiBackend::setProblemSink(ProblemSink sink) {
    session_->setProblemSink(std::move(sink));
}

void JackMidiBackend::setRecoverySink(ProblemSink sink) {
    session_->setRecoverySink(std::move(sink));
}

void JackMidiBackend::setArrivalSink(ArrivalSink sink) {
    session_->setArrivalSink(std::move(sink));
}

std::string JackMidiBackend::clientName() const {
    return session_->clientName();
}
uint32_t JackMidiBackend::sampleRate() const {
    return session_->sampleRate();
}
int64_t JackMidiBackend::latencyNs() const {
    return session_->latencyNs();
}
int64_t JackMidiBackend::sharedBaseDelayNs() const {
    return session_->baseDelayNs();
}
uint64_t JackMidiBackend::lateMessageCount() const {
    return session_->lateMessages();
}
uint64_t JackMidiBackend::droppedLateTickCount() const {
    return session_->droppedLateTicks();
}
uint64_t JackMidiBackend::timeLineRestartCount() const {
    return session_->lineRestarts();
}
bool JackMidiBackend::serverRunning() const {
    return session_->serverRunning();
}
bool JackMidiBackend::holdsClient() const {
    return session_->holdsClient();
}
