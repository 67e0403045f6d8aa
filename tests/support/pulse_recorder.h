#pragma once

// An audio capture client of the test's own, recording our pulse outputs on JACK's frame count.

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cmath>
#include <string>
#include <vector>

#include "support/jack_support.h"

namespace jacktest {

// An audio capture client: for each input, the frames where the signal rises above half of
// full scale (either sign) and where it falls back.
class PulseRecorder {
  public:
    static constexpr size_t kInputs = 2;
    static constexpr size_t kEdges = 4096;

    explicit PulseRecorder(const char* name = "pulses", const std::string& server = "") {
        client_ = OpenClient(name, server);
        if (!client_) return;
        for (size_t i = 0; i < kInputs; ++i) {
            const std::string port = "in_" + std::to_string(i + 1);
            inputs_[i] = jack_port_register(client_, port.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                            JackPortIsInput, 0);
        }
        jack_set_process_callback(client_, &PulseRecorder::onProcess, this);
        jack_set_xrun_callback(client_, &PulseRecorder::onXrun, this);
        jack_activate(client_);
    }
    ~PulseRecorder() {
        if (client_) jack_client_close(client_);
    }
    bool ok() const { return client_ && inputs_[0] && inputs_[1]; }
    jack_client_t* client() const { return client_; }
    std::string portName(size_t i) const { return jack_port_name(inputs_[i]); }
    int64_t lastXrunNs() const { return lastXrunNs_.load(); }

    struct Pulse {
        int64_t rise;
        int64_t width;  // -1 while still high
    };
    size_t rises(size_t input) const { return lines_[input].rises.load(std::memory_order_acquire); }
    size_t falls(size_t input) const { return lines_[input].falls.load(std::memory_order_acquire); }
    bool waitFor(size_t input, size_t count) {
        return WaitUntil([&] { return rises(input) >= count && falls(input) >= count; }, 10s);
    }
    // The pulses from the index'th on.
    std::vector<Pulse> pulses(size_t input, size_t from) const {
        const Line& line = lines_[input];
        const size_t risen = line.rises.load(std::memory_order_acquire);
        const size_t fallen = line.falls.load(std::memory_order_acquire);
        std::vector<Pulse> result;
        for (size_t i = from; i < risen; ++i) {
            const int64_t rise = line.riseAt[i];
            const int64_t width =
                i < fallen ? static_cast<int32_t>(line.fallAt[i] - line.riseAt[i]) : -1;
            result.push_back({rise, width});
        }
        return result;
    }

  private:
    struct Line {
        bool high = false;  // process thread
        std::array<uint32_t, kEdges> riseAt{};
        std::array<uint32_t, kEdges> fallAt{};
        std::atomic<size_t> rises{0};
        std::atomic<size_t> falls{0};
    };
    static int onProcess(jack_nframes_t frames, void* self) {
        static_cast<PulseRecorder*>(self)->process(frames);
        return 0;
    }
    static int onXrun(void* self) {
        static_cast<PulseRecorder*>(self)->lastXrunNs_.store(MonotonicNowNs());
        return 0;
    }
    void process(jack_nframes_t frames) {
        const jack_nframes_t start = jack_last_frame_time(client_);
        for (size_t i = 0; i < kInputs; ++i)
            Scan(static_cast<const float*>(jack_port_get_buffer(inputs_[i], frames)), frames, start,
                 lines_[i]);
    }
    // The buffer is what our backend's callback wrote; JACK orders the two callbacks through
    // its futexes, out of ThreadSanitizer's sight (see JackRecorder).
    NotSanitizedForThreads static void Scan(const float* samples, jack_nframes_t frames,
                                            jack_nframes_t start, Line& line) {
        const volatile float* source = samples;
        size_t rises = line.rises.load(std::memory_order_relaxed);
        size_t falls = line.falls.load(std::memory_order_relaxed);
        for (jack_nframes_t f = 0; f < frames; ++f) {
            const bool high = std::fabs(source[f]) > 0.5f;
            if (high && !line.high && rises < kEdges) line.riseAt[rises++] = start + f;
            if (!high && line.high && falls < kEdges) line.fallAt[falls++] = start + f;
            line.high = high;
        }
        line.rises.store(rises, std::memory_order_release);
        line.falls.store(falls, std::memory_order_release);
    }

    jack_client_t* client_ = nullptr;
    std::array<jack_port_t*, kInputs> inputs_{};
    std::array<Line, kInputs> lines_;
    std::atomic<int64_t> lastXrunNs_{INT64_MIN};
};

}  // namespace jacktest
