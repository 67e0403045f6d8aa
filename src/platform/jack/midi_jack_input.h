#pragma once

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/jack/midi_jack.h"
#include "platform/midi_backend.h"

struct JackInSlot;

// The input side of the JACK backend: our input ports on the backend's client. The process
// callback only copies each event, with its absolute frame time, into the port's lock-free
// ring and posts the port's semaphore; a thread per open input waits on that semaphore and calls
// the handler, so nothing a message triggers ever runs on JACK's process thread.
//
// The session's supervisor carries the inputs over a server restart (clientGone, clientBack,
// reconnectSources) and connects a source again when its client comes back.
class JackInputHub final : public JackProcessHook,
                           public std::enable_shared_from_this<JackInputHub> {
  public:
    static constexpr size_t kMaxInputs = 8;

    // jackMinusMonotonicNs: the offset from our clock to JACK's, as the outputs convert with it.
    JackInputHub(jack_client_t* client, std::string clientName, std::function<bool()> serverRunning,
                 std::function<int64_t()> jackMinusMonotonicNs);
    ~JackInputHub();

    std::vector<std::string> list();
    std::unique_ptr<MidiInConnection> open(const std::string& name, const std::string& ownPortName,
                                           MidiInHandler handler);
    void close(const std::shared_ptr<JackInSlot>& slot);
    bool isAlive(const JackInSlot& slot) const;

    // Process thread.
    void process(uint32_t frames, uint32_t firstFrame, int64_t startNs, double nsPerFrame) override;

    // The client is closed: no callback runs any more and no JACK call may be made.
    void clientClosed();

    // Notification thread: the server went (true when an input was open), a port went (the
    // sources of ours it was, now lost).
    bool serverGone();
    std::vector<std::string> sourceGone(const std::string& portName);
    // The supervisor: the dead client is closed; a new one (not active yet) takes our ports
    // under their old names; after it runs, sources that are there again are connected (the
    // full names of those that were lost, unless afterRestart, when every one counts).
    void clientGone();
    void clientBack(jack_client_t* client, const std::string& clientName);
    std::vector<std::string> reconnectSources(bool afterRestart);
    bool anySourceMissing();
    size_t openCount();

    // Events that did not fit a ring (the input thread fell far behind), over all inputs.
    uint64_t droppedEvents() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    bool waitForCycle();

    std::atomic<jack_client_t*> client_;
    std::string clientName_;  // guarded by adminMutex_
    std::function<bool()> serverRunning_;
    std::function<int64_t()> jackMinusMonotonicNs_;

    std::mutex adminMutex_;  // opening, closing, reconnecting
    std::atomic<bool> clientClosed_{false};
    std::array<std::atomic<JackInSlot*>, kMaxInputs> active_{};
    std::atomic<uint64_t> cyclesDone_{0};
    std::atomic<uint64_t> dropped_{0};
    // Every open input, for the notification thread and the supervisor.
    std::mutex slotsMutex_;
    std::vector<std::shared_ptr<JackInSlot>> open_;
    std::vector<std::shared_ptr<JackInSlot>> retired_;  // guarded by adminMutex_
};
