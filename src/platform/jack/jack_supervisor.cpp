// JACK's notices and the supervisor thread they wake: a server that goes, comes (at last or
// again) or throws us out, devices that go and come back, and latencies PipeWire asks for.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include <ctime>
#include "platform/jack/jack_ports.h"
#include "platform/jack/jack_session.h"
#include "platform/jack/jack_transport.h"
#include "platform/jack/midi_jack_input.h"

using namespace jackbackend;

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
        const bool latencyDue = PipeWireLibjack() && (latencyStale_.exchange(false) || woken != 0);
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
    if (JackTransport* transport = transport_.load()) transport->setClient(nullptr);
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
    pulsesClientGone();
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
        jack_port_t* port = name.empty()
                                ? nullptr
                                : jackports::RegisterConnected(client, name, "", JackPortIsInput);
        if (!port) continue;
        slot->portName = name;
        slot->port.store(port);
        publish(slot.get());
    }
    pulsesClientBack(client);
    JackInputHub* inputs = inputs_.load();
    if (inputs) inputs->clientBack(client, clientName());
    if (!startClient(client)) {
        for (auto& entry : active_) entry.store(nullptr);
        pulsesClientGone();
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
