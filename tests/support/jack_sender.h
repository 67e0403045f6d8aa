#pragma once

// A JACK client with one MIDI output that plays what a test asks: single messages in the next
// cycle, and a running timing clock placed on exact frames. Its process callback neither locks
// nor allocates.

#include <jack/jack.h>
#include <jack/midiport.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "support/jack_support.h"

namespace jacktest {

class JackSender {
  public:
    explicit JackSender(const char* name, const std::string& server = "") {
        client_ = OpenClient(name, server);
        if (!client_) return;
        port_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client_, &JackSender::onProcess, this);
        if (port_) jack_activate(client_);
    }
    ~JackSender() {
        if (client_) jack_client_close(client_);
    }

    bool ok() const { return client_ && port_; }
    jack_client_t* client() const { return client_; }
    std::string portName() const { return jack_port_name(port_); }
    std::string shortPortName() const { return portName(); }

    // One short message, out in the next cycle. Up to 256 may wait.
    void send(std::vector<uint8_t> bytes) {
        const uint32_t index = written_.load(std::memory_order_relaxed);
        Message& m = queue_[index % queue_.size()];
        m.length = static_cast<uint8_t>(std::min<size_t>(bytes.size(), 3));
        std::copy(bytes.begin(), bytes.begin() + m.length, m.bytes.begin());
        m.sentNs = MonotonicNowNs();
        written_.store(index + 1, std::memory_order_release);
    }
    // Timing clock every framesPerClock frames from the next cycle on; 0 stops it.
    void runClock(uint32_t framesPerClock) {
        clockStart_.store(-1, std::memory_order_relaxed);
        framesPerClock_.store(framesPerClock, std::memory_order_release);
    }
    // When (our monotonic clock) the callback wrote the n-th single message into its cycle.
    uint32_t sentCount() const { return read_.load(std::memory_order_acquire); }

  private:
    struct Message {
        std::array<uint8_t, 3> bytes{};
        uint8_t length = 0;
        int64_t sentNs = 0;
    };

    static int onProcess(jack_nframes_t frames, void* self) {
        static_cast<JackSender*>(self)->process(frames);
        return 0;
    }

    void process(jack_nframes_t frames) {
        void* buffer = jack_port_get_buffer(port_, frames);
        jack_midi_clear_buffer(buffer);
        uint32_t read = read_.load(std::memory_order_relaxed);
        while (read != written_.load(std::memory_order_acquire)) {
            const Message& m = queue_[read % queue_.size()];
            jack_midi_event_write(buffer, 0, m.bytes.data(), m.length);
            ++read;
        }
        read_.store(read, std::memory_order_release);

        const uint32_t period = framesPerClock_.load(std::memory_order_acquire);
        if (period == 0) return;
        const int64_t first = jack_last_frame_time(client_);
        if (clockStart_.load(std::memory_order_relaxed) < 0) {
            clockStart_.store(first, std::memory_order_relaxed);
            nextClock_ = 0;
        }
        const int64_t start = clockStart_.load(std::memory_order_relaxed);
        // Clocks of cycles the unprivileged test server skipped go out first thing, so that the
        // count stays right; only their frames are late.
        for (int64_t frame = start + nextClock_ * period; frame < first + frames;
             frame = start + (++nextClock_) * period) {
            const uint8_t clock = 0xF8;
            const int64_t offset = frame < first ? 0 : frame - first;
            jack_midi_event_write(buffer, static_cast<jack_nframes_t>(offset), &clock, 1);
        }
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    std::array<Message, 256> queue_{};
    std::atomic<uint32_t> written_{0};
    std::atomic<uint32_t> read_{0};
    std::atomic<uint32_t> framesPerClock_{0};
    std::atomic<int64_t> clockStart_{-1};
    int64_t nextClock_ = 0;  // process thread
};

}  // namespace jacktest
