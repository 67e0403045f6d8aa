#pragma once

#include <jack/jack.h>
#include <jack/transport.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/transport_source.h"

// JACK transport for the backend's client: every cycle the process callback reads where the
// transport is (jack_transport_query, which neither waits nor allocates) and publishes it as a
// TransportView on our clock; a thread of its own tells the listener of starts, stops and
// tempo changes, so nothing a start sets off runs on JACK's process thread. As timebase master
// it writes bars, beats and our clock's tempo into every cycle's position, on a grid counted
// from the transport's own frames.
class JackTransport final : public TransportSource {
  public:
    static constexpr double kTicksPerBeat = 1920;
    static constexpr double kBeatsPerBar = 4;

    JackTransport();
    ~JackTransport() override;
    JackTransport(const JackTransport&) = delete;
    JackTransport& operator=(const JackTransport&) = delete;

    // The client the transport is asked through; null while none is open. Not from JACK's
    // threads. A new client (after a server restart) is made master again if we were.
    void setClient(jack_client_t* client);

    // Process thread, once per cycle after the outputs: cycleFrame is JACK's frame count at the
    // cycle's start, which lies at startNs on our clock, a frame every nsPerFrame.
    void cycle(jack_client_t* client, uint32_t frames, uint32_t cycleFrame, int64_t startNs,
               double nsPerFrame, uint32_t sampleRate);

    TransportView View() const override { return latch_.read(); }
    void SetListener(TransportListener* listener) override;
    bool Lead(const BeatClock* clock) override;
    bool Leading() const override { return clock_.load(std::memory_order_acquire) != nullptr; }
    void Roll(bool roll) override;
    void SetTicksOnGrid(bool on) override { onGrid_.store(on, std::memory_order_release); }
    // Process thread: whether the outputs place ticks by the cycle line alone.
    bool ticksOnGrid() const { return onGrid_.load(std::memory_order_acquire); }

  private:
    static void onTimebase(jack_transport_state_t state, jack_nframes_t frames,
                           jack_position_t* position, int newPosition, void* arg);
    void timebase(bool rolling, bool moved, jack_nframes_t frames, jack_position_t* position);
    void watch();

    TransportViewLatch latch_;
    // Process thread only.
    TransportAnchor anchor_;
    TransportView view_;
    int64_t cycleFrames_ = 0;  // JACK's frame count carried past its wrap
    uint32_t lastFrame_ = 0;
    bool counting_ = false;
    // Leading: beat position beat lies on transport frame frame, a beat every 60/bpm seconds.
    struct LeadGrid {
        double bpm = 0;
        double frame = 0;
        double beat = 0;
    } lead_;
    // What the timebase callback last wrote: for the transport's frame frame, beat at bpm.
    struct Written {
        bool valid = false;
        uint32_t frame = 0;
        double bpm = 0;
        double beat = 0;
    } written_;
    // What the watcher last told, as the process thread saw it.
    std::atomic<bool> rolling_{false};
    std::atomic<double> bpm_{0};

    std::mutex clientMutex_;  // setClient, Lead, Roll
    jack_client_t* client_ = nullptr;
    std::atomic<const BeatClock*> clock_{nullptr};
    std::atomic<bool> onGrid_{false};
    // Timebase callbacks running now: a clock let go of is not asked again once Lead returns.
    std::atomic<int> inTimebase_{0};

    std::mutex listenerMutex_;  // held by the watcher while it calls the listener
    TransportListener* listener_ = nullptr;
    sem_t wake_;
    std::atomic<bool> quit_{false};
    std::thread watcher_;
};
