#include "platform/midi_jack.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/statistics.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/midi_jack_input.h"
#include "platform/monotonic_clock.h"

// ---------------------------------------------------------------------------------------------
// MidiEventRing

MidiEventRing::MidiEventRing(size_t capacityBytes) {
    size_t capacity = 64;
    while (capacity < capacityBytes) capacity <<= 1;
    storage_.assign(capacity, 0);
    mask_ = capacity - 1;
}

size_t MidiEventRing::recordSize(size_t length) {
    // Records stay 8-byte aligned so that a header is never split more than necessary.
    return sizeof(Header) + ((length + 7) & ~size_t{7});
}

void MidiEventRing::copyIn(size_t position, const void* source, size_t length) {
    const size_t offset = position & mask_;
    const size_t first = std::min(length, storage_.size() - offset);
    const auto* bytes = static_cast<const uint8_t*>(source);
    std::memcpy(storage_.data() + offset, bytes, first);
    std::memcpy(storage_.data(), bytes + first, length - first);
}

void MidiEventRing::copyOut(size_t position, void* destination, size_t length) const {
    const size_t offset = position & mask_;
    const size_t first = std::min(length, storage_.size() - offset);
    auto* bytes = static_cast<uint8_t*>(destination);
    std::memcpy(bytes, storage_.data() + offset, first);
    std::memcpy(bytes + first, storage_.data(), length - first);
}

bool MidiEventRing::push(int64_t timeNs, const uint8_t* bytes, size_t length, uint32_t flags) {
    if (length == 0 || length > kMaxMessageBytes) return false;
    const size_t size = recordSize(length);
    const size_t written = written_.load(std::memory_order_relaxed);
    const size_t read = read_.load(std::memory_order_acquire);
    if (storage_.size() - (written - read) < size) return false;
    const Header header{timeNs, static_cast<uint32_t>(length), flags};
    copyIn(written, &header, sizeof header);
    copyIn(written + sizeof header, bytes, length);
    written_.store(written + size, std::memory_order_release);
    return true;
}

bool MidiEventRing::front(Header& header) const {
    const size_t read = read_.load(std::memory_order_relaxed);
    if (written_.load(std::memory_order_acquire) == read) return false;
    copyOut(read, &header, sizeof header);
    return true;
}

void MidiEventRing::copyFrontBytes(uint8_t* destination) const {
    const size_t read = read_.load(std::memory_order_relaxed);
    Header header;
    copyOut(read, &header, sizeof header);
    copyOut(read + sizeof header, destination, header.length);
}

void MidiEventRing::pop() {
    const size_t read = read_.load(std::memory_order_relaxed);
    Header header;
    copyOut(read, &header, sizeof header);
    read_.store(read + recordSize(header.length), std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// CycleClock

namespace {
// Sound card crystals and the system clock part by well under this.
constexpr double kMaxDrift = 300e-6;
// A move of the line no drift explains: taken at once.
constexpr double kJumpNs = 1'000'000;
}  // namespace

void CycleClock::restart(uint32_t firstFrame, int64_t wokeNs, uint32_t sampleRate) {
    started_ = true;
    sampleRate_ = sampleRate;
    nsPerFrame_ = 1e9 / sampleRate;
    lastFrame_ = firstFrame;
    framesSinceBase_ = 0;
    baseNs_ = wokeNs;
    filled_ = 0;
    next_ = 0;
    cycles_ = 0;
    behindInARow_ = 0;
}

int64_t CycleClock::update(uint32_t firstFrame, int64_t wokeNs, uint32_t frames,
                           uint32_t sampleRate, bool driverXrun) {
    if (sampleRate == 0) sampleRate = 48000;
    if (!started_ || sampleRate != sampleRate_) restart(firstFrame, wokeNs, sampleRate);
    framesSinceBase_ += static_cast<uint32_t>(firstFrame - lastFrame_);
    lastFrame_ = firstFrame;

    double lineNs = static_cast<double>(framesSinceBase_) * nsPerFrame_;
    double excessNs = static_cast<double>(wokeNs - baseNs_) - lineNs;
    // A driver xrun restarts the driver's line from when it woke, however late that was; by a
    // few tens of microseconds or by whole periods. Without word of one, a cycle far behind the
    // line is a late wake-up, and only many of them in a row a moved line.
    const bool behind = filled_ > 0 && excessNs - lineOffsetNs_ > kJumpNs;
    behindInARow_ = behind ? behindInARow_ + 1 : 0;
    if ((driverXrun && filled_ > 0) || behindInARow_ >= kMovedAfterCycles) {
        restart(firstFrame, wokeNs, sampleRate);
        ++lineMoves_;
        lineNs = 0;
        excessNs = 0;
    }

    // About two seconds of cycles: on a loaded machine whole stretches of a few hundred
    // milliseconds go by without one prompt wake-up.
    const size_t window =
        std::clamp<size_t>(2 * sampleRate / std::max<uint32_t>(frames, 1), 16, kMaxWindow);
    if (filled_ > window) filled_ = window;  // bigger buffers: fewer cycles make two seconds
    if (next_ >= window) next_ = 0;
    excessNs_[next_] = excessNs;
    next_ = (next_ + 1) % window;
    if (filled_ < window) ++filled_;
    double lowest = excessNs_[0];
    for (size_t i = 1; i < filled_; ++i) lowest = std::min(lowest, excessNs_[i]);

    // The first quarter second takes the lowest value as it comes; later on it is followed
    // at a drift rate, unless the line has plainly moved by more than any drift could.
    const double periodNs = frames * nsPerFrame_;
    const uint32_t warmUp = std::max<uint32_t>(4, sampleRate / 4 / std::max<uint32_t>(frames, 1));
    if (cycles_ < warmUp || std::fabs(lowest - lineOffsetNs_) > kJumpNs) {
        lineOffsetNs_ = lowest;
    } else {
        const double step = periodNs * kMaxDrift;
        lineOffsetNs_ += std::clamp(lowest - lineOffsetNs_, -step, step);
    }
    if (cycles_ < warmUp) ++cycles_;
    return baseNs_ + static_cast<int64_t>(std::llround(lineNs + lineOffsetNs_));
}

// ---------------------------------------------------------------------------------------------
// Placing a message on a frame

FramePlacement PlaceOnFrame(int64_t timeNs, int64_t latencyNs, int64_t cycleStartNs,
                            double framesPerNs, uint32_t cycleFrames, uint32_t previousFrame) {
    if (timeNs == 0) return {FramePlacement::Kind::Now, previousFrame};
    const double position = static_cast<double>(timeNs + latencyNs - cycleStartNs) * framesPerNs;
    // To the nearest frame: rounding down would move half of all messages a frame early.
    const double nearest = std::floor(position + 0.5);
    if (nearest >= cycleFrames) return {FramePlacement::Kind::LaterCycle, 0};
    const FramePlacement::Kind kind =
        nearest < 0 ? FramePlacement::Kind::Late : FramePlacement::Kind::Due;
    // A late message goes out first thing; none goes before the one written ahead of it.
    if (nearest <= previousFrame) return {kind, previousFrame};
    return {kind, static_cast<uint32_t>(nearest)};
}

// ---------------------------------------------------------------------------------------------
// The JACK client and its output ports

namespace {

constexpr size_t kMaxConnections = 16;
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

void QuietJackError(const char*) {}
void PrintJackError(const char* text) {
    std::fprintf(stderr, "%s\n", text);
}

// One of our output ports, shared by its connection and the client.
struct JackOutSlot {
    JackOutSlot() : ring(kRingBytes) {}

    jack_port_t* port = nullptr;
    std::string destination;  // full JACK port name; empty for the virtual port
    std::mutex sendMutex;     // serialises the senders; held only for the copy into the ring
    bool closed = false;      // guarded by sendMutex
    std::atomic<bool> alive{true};
    // The delay set for this port (guarded by the session's slotsMutex_), and what the process
    // callback adds to the latency for it: the delay plus the shared base, never below 0.
    int64_t delayNs = 0;
    std::atomic<int64_t> extraNs{0};
    MidiEventRing ring;
};

}  // namespace

class JackMidiBackend::Session : public std::enable_shared_from_this<Session> {
  public:
    explicit Session(int64_t safetyMarginNs) : safetyMarginNs_(safetyMarginNs) {}
    ~Session() { closeClient(); }

    bool open(const std::string& serverName);
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

    std::string clientName() const { return clientName_; }
    uint32_t sampleRate() const { return sampleRate_.load(std::memory_order_relaxed); }
    int64_t latencyNs() const;
    uint64_t lateMessages() const { return lateMessages_.load(std::memory_order_relaxed); }
    uint64_t lineRestarts() const { return lineRestarts_.load(std::memory_order_relaxed); }
    bool serverRunning() const {
        return !serverDown_.load(std::memory_order_acquire) &&
               !clientClosed_.load(std::memory_order_acquire);
    }
    jack_client_t* client() const { return client_; }
    void setProcessHook(JackProcessHook* hook) {
        processHook_.store(hook, std::memory_order_release);
    }

  private:
    // Where the frames of the current cycle lie in JACK's time, in nanoseconds.
    struct CycleMap {
        int64_t startNs = 0;
        double framesPerNs = 0;
        int64_t latencyNs = 0;
    };

    static int onProcess(jack_nframes_t frames, void* self);
    static int onSampleRate(jack_nframes_t rate, void* self);
    static void onShutdown(jack_status_t, const char*, void* self);
    static void onPortRegistration(jack_port_id_t id, int registered, void* self);
    static void onLatency(jack_latency_callback_mode_t mode, void* self);

    void process(jack_nframes_t frames);
    CycleMap mapCycle(jack_nframes_t frames);
    void writeDue(JackOutSlot& slot, void* buffer, jack_nframes_t frames, const CycleMap& map);
    // Works out the shared base and every port's extra delay again; slotsMutex_ held.
    void spreadDelaysLocked();
    // Has JACK ask every client for its latencies again (ours from onLatency). Not from a
    // JACK callback.
    void republishLatency();

    // Stops the connections whose destination isLost(slot) says is gone, and reports each.
    template <class Predicate>
    void markLost(Predicate isLost);
    void report(const std::string& text);
    int64_t jackMinusMonotonicNs();
    void measureClockOffset();
    std::string findDestination(const std::string& name);
    std::string uniquePortName(const std::string& wanted);
    bool waitForCycle();
    bool waitForDrain(const JackOutSlot& slot);

    const int64_t safetyMarginNs_;
    jack_client_t* client_ = nullptr;
    std::string clientName_;
    std::atomic<uint32_t> sampleRate_{48000};

    // What the process callback reads. A slot is published after its port exists and withdrawn
    // before the port goes; the withdrawing side then waits for a full cycle.
    std::array<std::atomic<JackOutSlot*>, kMaxConnections> active_{};
    std::atomic<uint64_t> cyclesDone_{0};
    std::atomic<JackProcessHook*> processHook_{nullptr};
    std::atomic<uint64_t> lateMessages_{0};
    std::atomic<uint64_t> lineRestarts_{0};
    // Process thread only.
    CycleClock cycleClock_;
    float lastXrunDelayedUs_ = 0;

    std::atomic<bool> serverDown_{false};
    std::atomic<bool> clientClosed_{false};

    std::atomic<int64_t> baseDelayNs_{0};

    std::atomic<int64_t> jackMinusMonoNs_{0};
    std::atomic<int64_t> nextOffsetMeasureNs_{0};

    // Opening, closing and tear-down; held across server requests, so JACK's own threads never
    // take it.
    std::mutex adminMutex_;
    // The open slots, for the notification thread; only ever held for a short look.
    std::mutex slotsMutex_;
    std::vector<std::shared_ptr<JackOutSlot>> slots_;
    // Slots the process callback might still have held when we gave up waiting for it; freed
    // once the client is closed and no callback can run.
    std::vector<std::shared_ptr<JackOutSlot>> retired_;

    std::mutex sinkMutex_;
    ProblemSink sink_;
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

bool JackMidiBackend::Session::open(const std::string& serverName) {
    auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
    if (serverName.empty()) options = JackNoStartServer;
    jack_status_t status{};
    // No server is an ordinary situation here, not worth libjack's lines on stderr.
    jack_set_error_function(&QuietJackError);
    client_ = serverName.empty()
                  ? jack_client_open("tempovane", options, &status)
                  : jack_client_open("tempovane", options, &status, serverName.c_str());
    jack_set_error_function(&PrintJackError);
    if (!client_) return false;

    clientName_ = jack_get_client_name(client_);
    sampleRate_.store(jack_get_sample_rate(client_), std::memory_order_relaxed);
    jack_set_process_callback(client_, &Session::onProcess, this);
    jack_set_sample_rate_callback(client_, &Session::onSampleRate, this);
    jack_on_info_shutdown(client_, &Session::onShutdown, this);
    jack_set_port_registration_callback(client_, &Session::onPortRegistration, this);
    jack_set_latency_callback(client_, &Session::onLatency, this);
    measureClockOffset();
    if (jack_activate(client_) != 0) {
        jack_client_close(client_);
        client_ = nullptr;
        return false;
    }
    return true;
}

void JackMidiBackend::Session::closeClient() {
    std::lock_guard admin(adminMutex_);
    if (!client_ || clientClosed_.load()) return;
    std::vector<std::shared_ptr<JackOutSlot>> open;
    {
        std::lock_guard lock(slotsMutex_);
        open = slots_;
    }
    // Connections may outlive the backend; from here on they refuse every send.
    for (auto& slot : open) {
        std::lock_guard lock(slot->sendMutex);
        slot->closed = true;
        slot->alive.store(false);
    }
    clientClosed_.store(true);
    for (auto& entry : active_) entry.store(nullptr);
    // Stops the process and notification threads, also when the server is already gone.
    jack_client_close(client_);
    std::lock_guard lock(slotsMutex_);
    slots_.clear();
    retired_.clear();
}

int64_t JackMidiBackend::Session::latencyNs() const {
    if (clientClosed_.load()) return safetyMarginNs_;
    const int64_t frames = jack_get_buffer_size(client_);
    return frames * 1'000'000'000 / std::max<uint32_t>(1, sampleRate()) + safetyMarginNs_;
}

// --- clock domains ---------------------------------------------------------------------------

void JackMidiBackend::Session::measureClockOffset() {
    // Read our clock on both sides of JACK's and keep the tightest bracket: on an idle core the
    // bracket is well under a microsecond, far below a frame.
    int64_t bestWidth = INT64_MAX;
    int64_t bestOffset = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int64_t before = MonotonicNowNs();
        const jack_time_t jackUs = jack_get_time();
        const int64_t after = MonotonicNowNs();
        if (after - before < bestWidth) {
            bestWidth = after - before;
            // jack_get_time() truncates to whole microseconds; +500 ns centres it.
            bestOffset = static_cast<int64_t>(jackUs) * 1000 + 500 - (before + after) / 2;
        }
    }
    jackMinusMonoNs_.store(bestOffset, std::memory_order_relaxed);
}

int64_t JackMidiBackend::Session::jackMinusMonotonicNs() {
    // Measured by a sender (a few clock reads through the vDSO) rather than in the process
    // callback, which then needs no clock of its own. One sender wins the turn.
    const int64_t now = MonotonicNowNs();
    int64_t due = nextOffsetMeasureNs_.load(std::memory_order_relaxed);
    if (now >= due && nextOffsetMeasureNs_.compare_exchange_strong(due, now + kClockOffsetRefreshNs,
                                                                   std::memory_order_relaxed)) {
        measureClockOffset();
    }
    return jackMinusMonoNs_.load(std::memory_order_relaxed);
}

// --- sending ---------------------------------------------------------------------------------

bool JackMidiBackend::Session::send(JackOutSlot& slot, const uint8_t* bytes, size_t length,
                                    int64_t timeNs) {
    std::lock_guard lock(slot.sendMutex);
    if (slot.closed || !isAlive(slot)) return false;
    // The ring carries JACK's time, so the process callback only compares with its cycle. A
    // message for "now" carries when it was queued, so that a delayed port can delay it too.
    if (timeNs == 0) {
        return slot.ring.push(MonotonicNowNs() + jackMinusMonotonicNs(), bytes, length,
                              MidiEventRing::kAsap);
    }
    return slot.ring.push(timeNs + jackMinusMonotonicNs(), bytes, length);
}

int JackMidiBackend::Session::onProcess(jack_nframes_t frames, void* self) {
    static_cast<Session*>(self)->process(frames);
    return 0;
}

void JackMidiBackend::Session::process(jack_nframes_t frames) {
    const CycleMap map = mapCycle(frames);
    for (auto& entry : active_) {
        // seq_cst with the increment below: see waitForCycle().
        JackOutSlot* slot = entry.load(std::memory_order_seq_cst);
        if (!slot) continue;
        void* buffer = jack_port_get_buffer(slot->port, frames);
        jack_midi_clear_buffer(buffer);
        writeDue(*slot, buffer, frames, map);
    }
    if (JackProcessHook* hook = processHook_.load(std::memory_order_acquire)) hook->process(frames);
    cyclesDone_.fetch_add(1, std::memory_order_seq_cst);
}

JackMidiBackend::Session::CycleMap JackMidiBackend::Session::mapCycle(jack_nframes_t frames) {
    // Frame count first, then the clock: a callback running so late that the server has begun
    // the next cycle may read that cycle's count, and the clock read after it is then still
    // after that cycle's boundary, as CycleClock needs. jack_get_time() reads the clock through
    // the vDSO: no system call on the process thread.
    const jack_nframes_t firstFrame = jack_last_frame_time(client_);
    const int64_t wokeNs = static_cast<int64_t>(jack_get_time()) * 1000;
    const uint32_t rate = sampleRate_.load(std::memory_order_relaxed);
    // The server notes how late its driver was at each driver xrun before the cycle after it
    // runs, in memory it shares with its clients: a changed figure is word of an xrun in the
    // very cycle it matters to. (The xrun callback comes through another thread, often cycles
    // later, and also for clients that merely did not finish, which leave the line alone.)
    const float xrunDelayedUs = jack_get_xrun_delayed_usecs(client_);
    const bool driverXrun = xrunDelayedUs != lastXrunDelayedUs_;
    lastXrunDelayedUs_ = xrunDelayedUs;
    CycleMap map;
    map.startNs = cycleClock_.update(firstFrame, wokeNs, frames, rate, driverXrun);
    lineRestarts_.store(cycleClock_.lineMoves(), std::memory_order_relaxed);
    map.framesPerNs = 1.0 / cycleClock_.nsPerFrame();
    map.latencyNs = static_cast<int64_t>(frames) * 1'000'000'000 / std::max<uint32_t>(1, rate) +
                    safetyMarginNs_;
    return map;
}

void JackMidiBackend::Session::writeDue(JackOutSlot& slot, void* buffer, jack_nframes_t frames,
                                        const CycleMap& map) {
    const size_t largestEvent = jack_midi_max_event_size(buffer);
    const bool deliver = slot.alive.load(std::memory_order_acquire);
    jack_nframes_t lastFrame = 0;  // JACK wants the events of a cycle in time order
    const int64_t extraNs = slot.extraNs.load(std::memory_order_relaxed);
    MidiEventRing::Header header;
    while (slot.ring.front(header)) {
        FramePlacement place;
        if ((header.flags & MidiEventRing::kAsap) == 0) {
            place = PlaceOnFrame(header.timeNs, map.latencyNs + extraNs, map.startNs,
                                 map.framesPerNs, frames, lastFrame);
        } else if (extraNs <= 0) {
            place = PlaceOnFrame(0, 0, 0, 0, frames, lastFrame);
        } else {
            // "Now" on a delayed port: the port's delay after it was queued. Past that it is
            // simply due, not late.
            place = PlaceOnFrame(header.timeNs, extraNs, map.startNs, map.framesPerNs, frames,
                                 lastFrame);
            if (place.kind == FramePlacement::Kind::Late) place.kind = FramePlacement::Kind::Now;
        }
        // Due in a later cycle: stays, and so does all after it.
        if (place.kind == FramePlacement::Kind::LaterCycle) break;
        if (place.kind == FramePlacement::Kind::Late)
            lateMessages_.fetch_add(1, std::memory_order_relaxed);
        const jack_nframes_t frame = place.frame;
        if (!deliver || header.length > largestEvent) {
            slot.ring.pop();  // destination gone, or a message no cycle could ever carry
            continue;
        }
        jack_midi_data_t* space = jack_midi_event_reserve(buffer, frame, header.length);
        if (!space) break;  // this cycle's buffer is full: first thing next cycle
        slot.ring.copyFrontBytes(space);
        slot.ring.pop();
        lastFrame = frame;
    }
}

// --- ports -----------------------------------------------------------------------------------

std::vector<std::string> JackMidiBackend::Session::listOutputs() {
    std::lock_guard admin(adminMutex_);
    std::vector<std::string> names;
    if (!serverRunning()) return names;
    names.push_back(kVirtualPortName);
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
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

std::string JackMidiBackend::Session::findDestination(const std::string& name) {
    std::string found;
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    if (!ports) return found;
    const std::string ours = clientName_ + ":";
    for (const char** port = ports; *port && found.empty(); ++port) {
        if (std::strncmp(*port, ours.c_str(), ours.size()) == 0) continue;
        if (TrimDeviceName(*port) == name) found = *port;
    }
    jack_free(ports);
    return found;
}

std::string JackMidiBackend::Session::uniquePortName(const std::string& wanted) {
    std::string base = TrimDeviceName(wanted);
    if (base.empty()) base = "out";
    // JACK limits the whole "client:port" name; leave room for a counter.
    const size_t room = static_cast<size_t>(jack_port_name_size()) - clientName_.size() - 8;
    if (base.size() > room) base.resize(room);
    for (int counter = 1; counter < 1000; ++counter) {
        std::string candidate = counter == 1 ? base : base + "-" + std::to_string(counter);
        if (!jack_port_by_name(client_, (clientName_ + ":" + candidate).c_str())) return candidate;
    }
    return "";
}

std::unique_ptr<MidiOutConnection> JackMidiBackend::Session::openOutput(
    const std::string& name, const std::string& ownPortName) {
    std::unique_lock admin(adminMutex_);
    if (!serverRunning()) return nullptr;
    std::string destination;
    if (name != kVirtualPortName) {
        destination = findDestination(name);
        if (destination.empty()) return nullptr;
    }
    size_t index = kMaxConnections;
    for (size_t i = 0; i < kMaxConnections; ++i) {
        if (!active_[i].load()) {
            index = i;
            break;
        }
    }
    if (index == kMaxConnections) return nullptr;

    const std::string portName = uniquePortName(ownPortName);
    if (portName.empty()) return nullptr;
    jack_port_t* port =
        jack_port_register(client_, portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!port) return nullptr;
    if (!destination.empty()) {
        const int result = jack_connect(client_, jack_port_name(port), destination.c_str());
        if (result != 0 && result != EEXIST) {
            jack_port_unregister(client_, port);
            return nullptr;
        }
    }

    auto slot = std::make_shared<JackOutSlot>();
    slot->port = port;
    slot->destination = destination;
    {
        std::lock_guard lock(slotsMutex_);
        slots_.push_back(slot);
        spreadDelaysLocked();
    }
    active_[index].store(slot.get(), std::memory_order_seq_cst);
    republishLatency();
    // The destination may have gone between the connect and now, its notice already handled.
    const bool goneAlready =
        !destination.empty() && !jack_port_by_name(client_, destination.c_str());
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

bool JackMidiBackend::Session::waitForDrain(const JackOutSlot& slot) {
    const auto deadline = std::chrono::steady_clock::now() + kDrainTimeout;
    while (!slot.ring.empty()) {
        if (!serverRunning() || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void JackMidiBackend::Session::close(const std::shared_ptr<JackOutSlot>& slot) {
    std::lock_guard admin(adminMutex_);
    {
        std::lock_guard lock(slot->sendMutex);
        slot->closed = true;
    }
    // A release string or a Stop sent just before the close goes out first. Once the queue is
    // empty, one more cycle with the slot still published clears the port's buffer, so the
    // cycles after it cannot hand the receiver the last messages a second time.
    if (!clientClosed_.load() && slot->alive.load() && waitForDrain(*slot)) waitForCycle();
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
    if (waitForCycle()) {
        jack_port_unregister(client_, slot->port);
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
    if (serverRunning()) jack_recompute_total_latencies(client_);
}

void JackMidiBackend::Session::onLatency(jack_latency_callback_mode_t mode, void* self) {
    // Our ports are where the messages start, so what a host compensates for is the time from
    // a message's time stamp until it is in the graph: the capture latency of the output port.
    // Nothing of ours passes from an input to an output, so the playback side stays as JACK has
    // it.
    if (mode != JackCaptureLatency) return;
    auto* session = static_cast<Session*>(self);
    if (session->clientClosed_.load()) return;
    const double framesPerNs = session->sampleRate() / 1e9;
    const int64_t latencyNs = session->latencyNs();
    std::lock_guard lock(session->slotsMutex_);
    for (const auto& slot : session->slots_) {
        const auto frames = static_cast<jack_nframes_t>(std::llround(
            static_cast<double>(latencyNs + slot->extraNs.load(std::memory_order_relaxed)) *
            framesPerNs));
        jack_latency_range_t range{frames, frames};
        jack_port_set_latency_range(slot->port, JackCaptureLatency, &range);
    }
}

// --- notifications (JACK's notification thread) ----------------------------------------------

int JackMidiBackend::Session::onSampleRate(jack_nframes_t rate, void* self) {
    static_cast<Session*>(self)->sampleRate_.store(rate, std::memory_order_relaxed);
    return 0;
}

void JackMidiBackend::Session::onShutdown(jack_status_t, const char*, void* self) {
    auto* session = static_cast<Session*>(self);
    if (session->serverDown_.exchange(true)) return;
    bool anyAlive = false;
    {
        std::lock_guard lock(session->slotsMutex_);
        for (auto& slot : session->slots_) anyAlive |= slot->alive.exchange(false);
    }
    if (anyAlive) session->report("MIDI Port lost: JACK server stopped");
}

void JackMidiBackend::Session::onPortRegistration(jack_port_id_t id, int registered, void* self) {
    if (registered) return;
    auto* session = static_cast<Session*>(self);
    // JACK tells before the port has left its lists (a look-up by name would still find it),
    // so the id tells which port went.
    const jack_port_t* port = jack_port_by_id(session->client_, id);
    const char* name = port ? jack_port_name(port) : nullptr;
    if (name) session->markLost([&](const JackOutSlot& slot) { return slot.destination == name; });
}

template <class Predicate>
void JackMidiBackend::Session::markLost(Predicate isLost) {
    if (!serverRunning()) return;
    std::vector<std::string> lost;
    {
        std::lock_guard lock(slotsMutex_);
        for (auto& slot : slots_) {
            if (slot->destination.empty() || !slot->alive.load() || !isLost(*slot)) continue;
            slot->alive.store(false);
            lost.push_back(TrimDeviceName(slot->destination));
        }
    }
    for (const auto& name : lost) report("MIDI Port lost: " + name);
}

void JackMidiBackend::Session::report(const std::string& text) {
    ProblemSink sink;
    {
        std::lock_guard lock(sinkMutex_);
        sink = sink_;
    }
    if (sink) sink(text);
}

// ---------------------------------------------------------------------------------------------
// JackMidiBackend

std::unique_ptr<JackMidiBackend> JackMidiBackend::Create(const std::string& serverName,
                                                         int64_t safetyMarginNs) {
    auto session = std::make_shared<Session>(safetyMarginNs);
    if (!session->open(serverName)) return nullptr;
    return std::unique_ptr<JackMidiBackend>(new JackMidiBackend(std::move(session)));
}

JackMidiBackend::JackMidiBackend(std::shared_ptr<Session> session) : session_(std::move(session)) {
    std::weak_ptr<Session> weak = session_;
    inputs_ = std::make_shared<JackInputHub>(session_->client(), session_->clientName(), [weak] {
        auto session = weak.lock();
        return session && session->serverRunning();
    });
    session_->setProcessHook(inputs_.get());
}

JackMidiBackend::~JackMidiBackend() {
    session_->closeClient();  // no process callback runs after this
    inputs_->clientClosed();
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
uint64_t JackMidiBackend::timeLineRestartCount() const {
    return session_->lineRestarts();
}
bool JackMidiBackend::serverRunning() const {
    return session_->serverRunning();
}
