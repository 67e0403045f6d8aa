#pragma once

// What the fuzz targets share: the main model on the memory backend with a hand-driven clock,
// made once per process (a fuzzer runs millions of inputs through one), and a reader that cuts
// the fuzzer's bytes into the numbers a target needs.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "app/main_model.h"
#include "midiout/midi_out_port.h"
#include "platform/deadline_thread.h"
#include "platform/midi_memory.h"
#include "platform/midi_system.h"
#include "platform/monotonic_clock.h"
#include "state/list_model.h"

namespace fuzz {

struct ModelRig {
    ManualClock clock;
    MemoryMidiBackend* memory = nullptr;
    std::string folder;
    std::unique_ptr<KorvidMainModel> model;

    ModelRig() {
        // Memory-backed where there is such a folder: a target that writes a file each run
        // would otherwise wait on the disk's write-back more than it fuzzes.
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        folder = (base / ("tempovane-fuzz-" + std::to_string(getpid()))).string() + "/";
        std::filesystem::create_directories(folder + "outdrv");
        std::filesystem::create_directories(folder + "indrv");
        auto system = std::make_unique<MidiSystem>();
        auto backend = std::make_unique<MemoryMidiBackend>();
        memory = backend.get();
        memory->addDevice("synth");
        memory->addDevice("drums");
        memory->addInputDevice("pedal");
        system->addBackend(std::move(backend));
        model =
            std::make_unique<KorvidMainModel>(std::move(system), clock, TBPMTimer::Drive::Manual);
    }
    ~ModelRig() {
        model.reset();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }

    void openPort1() {
        SelectByName(model->out1Controls.port, "Memory: synth");
        model->OutPort1()->OpenSelectedPort();
    }
    // Runs the clock for n ticks as its thread would, the tempo handed over as the pump does.
    void ticks(int n) {
        TBPMTimer& timer = model->Timer();
        const int32_t milliBpm = model->state.TempoMilliBPM.load();
        if (milliBpm > 0) timer.SetTempo(static_cast<uint32_t>(milliBpm));
        for (int i = 0; i < n; ++i) {
            const int64_t due = timer.NextDueNs();
            if (due == DeadlineThread::kNoDeadline) return;
            clock.setNs(std::max(clock.nowNs(), due));
            timer.Poll();
        }
    }
};

// Reads numbers from the front of the fuzzer's bytes; zeros once they are used up.
class Bytes {
  public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    template <typename T>
    T value() {
        T v{};
        uint8_t raw[sizeof(T)] = {};
        for (auto& b : raw) b = byte();
        std::memcpy(&v, raw, sizeof(T));
        return v;
    }
    // The rest as text.
    std::string_view rest() const {
        return {reinterpret_cast<const char*>(data_ + pos_), size_ - pos_};
    }
    bool empty() const { return pos_ >= size_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace fuzz
