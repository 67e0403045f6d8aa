// The session's life and its output ports: opening and closing the client, opening, sending
// to, delaying and closing ports, the latency JACK is told, and the offset between JACK's clock
// and ours.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "platform/jack/jack_ports.h"
#include "platform/jack/jack_session.h"
#include "platform/jack/jack_transport.h"
#include "platform/jack/midi_jack_input.h"

using namespace jackbackend;

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
    if (JackTransport* transport = transport_.load(std::memory_order_acquire))
        transport->setClient(client);
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
    for (auto& entry : pulseActive_) entry.store(nullptr);
    if (JackTransport* transport = transport_.exchange(nullptr)) transport->setClient(nullptr);
    // Stops the process and notification threads, also when the server is already gone.
    if (jack_client_t* client = client_.exchange(nullptr)) jack_client_close(client);
    if (JackInputHub* inputs = inputs_.exchange(nullptr)) inputs->clientClosed();
    processHook_.store(nullptr);
    context_.reset();
    std::lock_guard lock(slotsMutex_);
    slots_.clear();
    retired_.clear();
    for (auto& slot : pulseSlots_)
        if (slot) slot->closed.store(true);
    pulseSlots_ = {};
    retiredPulses_.clear();
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
    jack_port_t* port =
        jackports::RegisterConnected(client, portName, destination, JackPortIsInput);
    if (!port) return nullptr;

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
    if (!destination.empty()) waitUntilConnected(client, port, destination);
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

void JackMidiBackend::Session::waitUntilConnected(jack_client_t* /*client*/, jack_port_t* port,
                                                  const std::string& destination) {
    // A connection just made may carry nothing for a cycle or more: jackd2 may run the two
    // clients in the old order once, and PipeWire makes the link a moment after jack_connect
    // has returned (many cycles later on a loaded machine): a device's init string or a Start
    // sent right after choosing it never arrived (on a loaded machine 18 of 48 such opens lost
    // their first messages without the wait, none of 72 with it). So the open returns once our
    // client sees the connection and three more cycles have passed, or after half a second.
    const auto deadline = std::chrono::steady_clock::now() + kCycleWaitTimeout;
    while (!jack_port_connected_to(port, destination.c_str())) {
        if (std::chrono::steady_clock::now() > deadline || !serverRunning()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int cycle = 0; cycle < 3 && waitForCycle(); ++cycle) {
    }
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
    withdrawPort(active_, slot, retired_, client, port);
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
    for (const auto& pulse : pulseSlots_)
        if (pulse) base = std::max(base, -pulse->shiftNs);
    for (const auto& slot : slots_)
        slot->extraNs.store(base + slot->delayNs, std::memory_order_relaxed);
    for (const auto& pulse : pulseSlots_)
        if (pulse) pulse->extraNs.store(base + pulse->shiftNs, std::memory_order_relaxed);
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
    for (auto& entry : session->pulseActive_) {
        JackPulseSlot* pulse = entry.load(std::memory_order_seq_cst);
        if (!pulse) continue;
        jack_port_t* port = pulse->port.load(std::memory_order_acquire);
        if (!port) continue;
        jack_latency_range_t range =
            session->latencyRangeFor(pulse->extraNs.load(std::memory_order_relaxed));
        jack_port_set_latency_range(port, JackCaptureLatency, &range);
    }
}

jack_latency_range_t JackMidiBackend::Session::latencyRange(const JackOutSlot& slot) const {
    return latencyRangeFor(slot.extraNs.load(std::memory_order_relaxed));
}

jack_latency_range_t JackMidiBackend::Session::latencyRangeFor(int64_t extraNs) const {
    const double framesPerNs = sampleRate() / 1e9;
    const auto frames = static_cast<jack_nframes_t>(
        std::llround(static_cast<double>(latencyNs() + extraNs) * framesPerNs));
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
    std::array<std::shared_ptr<JackPulseSlot>, kPulseOutputs> pulses;
    {
        std::lock_guard lock(slotsMutex_);
        pulses = pulseSlots_;
    }
    for (const auto& pulse : pulses) {
        jack_port_t* port = pulse ? pulse->port.load(std::memory_order_acquire) : nullptr;
        if (!port || pulse->closed.load()) continue;
        jack_latency_range_t wanted = latencyRangeFor(pulse->extraNs.load());
        jack_latency_range_t now{};
        jack_port_get_latency_range(port, JackCaptureLatency, &now);
        if (now.min != wanted.min || now.max != wanted.max)
            jack_port_set_latency_range(port, JackCaptureLatency, &wanted);
    }
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
