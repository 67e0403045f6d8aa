#pragma once

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi_backend.h"
#include "platform/midi_jack.h"

struct JackInSlot;

// The input side of the JACK backend: our input ports on the backend's client. The process
// callback only copies each event, with its absolute frame time, into the port's lock-free
// ring and posts the port's semaphore; a thread per open input waits on that semaphore and calls
// the handler, so nothing a message triggers ever runs on JACK's process thread.
class JackInputHub final : public JackProcessHook,
                           public std::enable_shared_from_this<JackInputHub> {
  public:
    static constexpr size_t kMaxInputs = 8;

    JackInputHub(jack_client_t* client, std::string clientName,
                 std::function<bool()> serverRunning);
    ~JackInputHub();

    std::vector<std::string> list();
    std::unique_ptr<MidiInConnection> open(const std::string& name, const std::string& ownPortName,
                                           MidiInHandler handler);
    void close(const std::shared_ptr<JackInSlot>& slot);
    bool isAlive(const JackInSlot& slot) const;

    // Process thread.
    void process(uint32_t frames) override;

    // The client is closed: no callback runs any more and no JACK call may be made.
    void clientClosed();

    // Events that did not fit a ring (the input thread fell far behind), over all inputs.
    uint64_t droppedEvents() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    bool waitForCycle();
    std::string uniquePortName(const std::string& wanted);
    std::string findSource(const std::string& name);

    jack_client_t* client_;
    const std::string clientName_;
    std::function<bool()> serverRunning_;

    std::mutex adminMutex_;  // opening and closing
    std::atomic<bool> clientClosed_{false};
    std::array<std::atomic<JackInSlot*>, kMaxInputs> active_{};
    std::atomic<uint64_t> cyclesDone_{0};
    std::atomic<uint64_t> dropped_{0};
    std::vector<std::shared_ptr<JackInSlot>> retired_;  // guarded by adminMutex_
};
