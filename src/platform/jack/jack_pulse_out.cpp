// The clock pulse outputs: their connection, opening and closing their audio ports, and the
// per-cycle writer the process callback runs for each.
#include "platform/jack/jack_pulse_out.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/jack/jack_ports.h"
#include "platform/jack/jack_session.h"

using namespace jackbackend;

std::array<uint8_t, JackPulseSlot::kMessageBytes> jackbackend::PulseMessage(
    JackPulseSlot::Kind kind, int64_t intervalNs) {
    std::array<uint8_t, JackPulseSlot::kMessageBytes> bytes{};
    bytes[0] = kind;
    std::memcpy(bytes.data() + 1, &intervalNs, sizeof intervalNs);
    return bytes;
}

PulseCycleCounts jackbackend::WritePulseCycle(JackPulseSlot& slot, float* buffer, uint32_t frames,
                                              const PulseCycle& cycle) {
    PulseCycleCounts counts;
    PulseWriter& writer = slot.writer;
    if (slot.silent.load(std::memory_order_acquire)) {
        std::fill(buffer, buffer + frames, 0.0f);
        return counts;
    }
    if (slot.restart.exchange(false, std::memory_order_acq_rel)) {
        writer.reset();
        slot.chain.valid = false;
    }
    writer.setShape(std::clamp(slot.level.load(std::memory_order_relaxed), 0.0f, 1.0f),
                    slot.inverted.load(std::memory_order_relaxed));
    writer.beginCycle(buffer, frames, cycle.firstFrame);
    const int64_t latencyNs = cycle.latencyNs + slot.extraNs.load(std::memory_order_relaxed);
    const int64_t widthNs = slot.widthNs.load(std::memory_order_relaxed);
    uint32_t lastFrame = 0;
    int64_t lastEdgeFrame = -1;
    MidiEventRing::Header header;
    std::array<uint8_t, JackPulseSlot::kMessageBytes> bytes{};
    while (slot.queue.front(header)) {
        if (header.length != bytes.size()) {  // nothing of ours; never queued
            slot.queue.pop();
            continue;
        }
        slot.queue.copyFrontBytes(bytes.data());
        int64_t intervalNs = 0;
        std::memcpy(&intervalNs, bytes.data() + 1, sizeof intervalNs);
        const int64_t jackNs = header.timeNs + cycle.jackMinusMonoNs;
        if (bytes[0] != JackPulseSlot::kEdge) {
            const FramePlacement place = PlaceOnFrame(jackNs, latencyNs, cycle.startNs,
                                                      cycle.framesPerNs, frames, lastFrame);
            if (place.kind == FramePlacement::Kind::LaterCycle) break;
            writer.setRun(place.frame, bytes[0] == JackPulseSlot::kRunHigh);
            lastFrame = place.frame;
            slot.queue.pop();
            continue;
        }
        // The same steps as a MIDI clock tick of this time stamp takes, so both land on one
        // frame.
        FrameChain chain = slot.chain;
        FramePlacement place =
            PlaceOnFrameChained(jackNs, latencyNs, cycle.startNs, cycle.framesPerNs, frames,
                                lastFrame, cycle.firstFrame, chain);
        const double duePosition =
            static_cast<double>(jackNs + latencyNs - cycle.startNs) * cycle.framesPerNs;
        const TickPlacement tick =
            PlaceTick(place, duePosition, cycle.framesPerNs, frames, lastEdgeFrame);
        if (tick.kind == TickPlacement::Kind::NextCycle) break;
        if (tick.kind == TickPlacement::Kind::Drop) {
            slot.chain = chain;
            slot.queue.pop();
            ++counts.dropped;
            continue;
        }
        // A pulse still high (or only just ended) when a late one comes holds it back: every
        // edge shows.
        const int64_t frame = std::max<int64_t>(tick.frame, writer.earliestFrame());
        if (frame >= static_cast<int64_t>(frames)) break;  // next cycle, placed afresh there
        slot.chain = chain;
        if (place.kind == FramePlacement::Kind::Late || frame > tick.frame) ++counts.late;
        writer.pulse(static_cast<uint32_t>(frame),
                     PulseWidthFrames(widthNs, intervalNs, cycle.framesPerNs));
        lastFrame = static_cast<uint32_t>(frame);
        lastEdgeFrame = frame;
        slot.queue.pop();
    }
    slot.pulsing.store(writer.pulsing(), std::memory_order_release);
    return counts;
}

// ---------------------------------------------------------------------------------------------
// The connection

namespace {

class JackPulseConnection : public PulseOutConnection {
  public:
    JackPulseConnection(std::shared_ptr<JackMidiBackend::Session> session,
                        std::shared_ptr<JackPulseSlot> slot)
        : session_(std::move(session)), slot_(std::move(slot)) {}
    ~JackPulseConnection() override { session_->closePulse(slot_); }

    bool edge(int64_t timeNs, int64_t intervalNs) override {
        return session_->sendPulse(*slot_, JackPulseSlot::kEdge, timeNs, intervalNs);
    }
    bool run(bool high, int64_t timeNs) override {
        return session_->sendPulse(*slot_, high ? JackPulseSlot::kRunHigh : JackPulseSlot::kRunLow,
                                   timeNs, 0);
    }
    void setShape(int64_t widthNs, double level, bool inverted) override {
        slot_->widthNs.store(std::max<int64_t>(1, widthNs), std::memory_order_relaxed);
        slot_->level.store(static_cast<float>(std::clamp(level, 0.0, 1.0)),
                           std::memory_order_relaxed);
        slot_->inverted.store(inverted, std::memory_order_relaxed);
    }
    bool setShiftNs(int64_t shiftNs) override { return session_->setPulseShift(*slot_, shiftNs); }
    int64_t lookaheadNs() const override {
        return session_->latencyNs() + slot_->extraNs.load(std::memory_order_relaxed);
    }
    bool isAlive() const override { return session_->serverRunning(); }

  private:
    std::shared_ptr<JackMidiBackend::Session> session_;
    std::shared_ptr<JackPulseSlot> slot_;
};

}  // namespace

std::unique_ptr<PulseOutConnection> JackMidiBackend::openPulseOutput(int number) {
    return session_->openPulse(number);
}

// ---------------------------------------------------------------------------------------------
// The session's part

bool JackMidiBackend::Session::sendPulse(JackPulseSlot& slot, uint8_t kind, int64_t timeNs,
                                         int64_t intervalNs) {
    if (slot.closed.load(std::memory_order_acquire) || !serverRunning()) return false;
    jackMinusMonotonicNs();  // keeps the offset fresh, as a MIDI send does
    // A run change "now" is placed a latency after now like everything else: never ahead of an
    // edge queued before it.
    const auto bytes = PulseMessage(static_cast<JackPulseSlot::Kind>(kind), intervalNs);
    return slot.queue.push(timeNs == 0 ? MonotonicNowNs() : timeNs, false, bytes.data(),
                           bytes.size());
}

std::unique_ptr<PulseOutConnection> JackMidiBackend::Session::openPulse(int number) {
    if (number < 1 || number > kPulseOutputs) return nullptr;
    std::unique_lock admin(adminMutex_);
    jack_client_t* client = client_.load();
    if (!serverRunning() || !client) return nullptr;
    const size_t index = static_cast<size_t>(number - 1);
    {
        std::lock_guard lock(slotsMutex_);
        if (pulseSlots_[index]) return nullptr;
    }
    const std::string wanted = "pulse_" + std::to_string(number);
    const std::string portName = jackports::FreePortName(client, clientName(), wanted, "pulse");
    if (portName.empty()) return nullptr;
    jack_port_t* port =
        jack_port_register(client, portName.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (!port) return nullptr;
    auto slot = std::make_shared<JackPulseSlot>();
    slot->port.store(port);
    slot->portName = portName;
    {
        std::lock_guard lock(slotsMutex_);
        pulseSlots_[index] = slot;
        spreadDelaysLocked();
    }
    pulseActive_[index].store(slot.get(), std::memory_order_seq_cst);
    republishLatency();
    admin.unlock();
    return std::make_unique<JackPulseConnection>(shared_from_this(), slot);
}

void JackMidiBackend::Session::closePulse(const std::shared_ptr<JackPulseSlot>& slot) {
    std::lock_guard admin(adminMutex_);
    slot->closed.store(true);
    jack_client_t* client = client_.load();
    jack_port_t* port = slot->port.load();
    // A run line set low just before the close goes out first, and a pulse begun ends whole.
    if (client && port && serverRunning()) {
        const auto deadline = std::chrono::steady_clock::now() + kDrainTimeout;
        while ((!slot->queue.empty() || slot->pulsing.load(std::memory_order_acquire)) &&
               serverRunning() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Two cycles of silence with the port still published: the one under way may have
        // begun before the flag.
        slot->silent.store(true, std::memory_order_release);
        if (waitForCycle()) waitForCycle();
    }
    if (clientClosed_.load()) return;
    {
        std::lock_guard lock(slotsMutex_);
        for (auto& entry : pulseSlots_)
            if (entry == slot) entry.reset();
        spreadDelaysLocked();
    }
    withdrawPort(pulseActive_, slot, retiredPulses_, client, port);
}

bool JackMidiBackend::Session::setPulseShift(JackPulseSlot& slot, int64_t shiftNs) {
    std::lock_guard admin(adminMutex_);
    if (clientClosed_.load()) return false;
    {
        std::lock_guard lock(slotsMutex_);
        slot.shiftNs = shiftNs;
        spreadDelaysLocked();
    }
    republishLatency();
    return true;
}

void JackMidiBackend::Session::processPulses(jack_nframes_t frames, const CycleMap& map) {
    const PulseCycle cycle{map.startNs, map.framesPerNs, map.latencyNs, map.jackMinusMonoNs,
                           map.firstFrame};
    for (auto& entry : pulseActive_) {
        JackPulseSlot* slot = entry.load(std::memory_order_seq_cst);
        if (!slot) continue;
        jack_port_t* port = slot->port.load(std::memory_order_acquire);
        if (!port) continue;
        auto* buffer = static_cast<float*>(jack_port_get_buffer(port, frames));
        const PulseCycleCounts counts = WritePulseCycle(*slot, buffer, frames, cycle);
        if (counts.late) lateMessages_.fetch_add(counts.late, std::memory_order_relaxed);
        if (counts.dropped) droppedLateTicks_.fetch_add(counts.dropped, std::memory_order_relaxed);
    }
}

void JackMidiBackend::Session::pulsesClientGone() {
    // No callback runs now: this thread reads the queues, and what was queued for the old server
    // would reach the new one stale.
    for (auto& entry : pulseActive_) entry.store(nullptr, std::memory_order_seq_cst);
    std::lock_guard lock(slotsMutex_);
    retiredPulses_.clear();
    for (auto& slot : pulseSlots_) {
        if (!slot) continue;
        slot->port.store(nullptr);
        slot->queue.clear();
    }
}

void JackMidiBackend::Session::pulsesClientBack(jack_client_t* client) {
    std::array<std::shared_ptr<JackPulseSlot>, kPulseOutputs> open;
    {
        std::lock_guard lock(slotsMutex_);
        open = pulseSlots_;
    }
    for (size_t i = 0; i < open.size(); ++i) {
        if (!open[i]) continue;
        jack_port_t* port = jack_port_register(client, open[i]->portName.c_str(),
                                               JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        if (!port) continue;
        open[i]->port.store(port);
        open[i]->restart.store(true);
        pulseActive_[i].store(open[i].get(), std::memory_order_seq_cst);
    }
}
