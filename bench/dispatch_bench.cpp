// DispatchShort against a full 32-entry map: nanoseconds per message and allocations per
// message (counted by a replaced global operator new while the loop runs).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "midiin/input_actions.h"
#include "midiin/midi_in_port.h"
#include "platform/midi_system.h"
#include "state/list_model.h"
#include "state/main_state.h"

namespace {
std::atomic<bool> countAllocations{false};
std::atomic<uint64_t> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (countAllocations.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

class CountingActions final : public InputActions {
  public:
    void PerformActionValue(int, double value) override { sum_ += value; }
    double sum_ = 0;
};

struct Rig {
    MainState state;
    ListModel ports, types;
    CheckModel enable{true};
    MidiSystem system;
    CountingActions actions;
    MidiInPort port{"MIDIINPORT1", state, {ports, types, enable}, system, actions, "/nonexistent/"};

    Rig() {
        // 32 entries of every kind: exact messages, byte 2 ranges, byte 1 maps, keys.
        InputMap map;
        for (int i = 0; i < kMapEntries; ++i) {
            const auto n = static_cast<size_t>(i);
            switch (i % 4) {
                case 0:
                    map.InputCodes[n] = 0xB00000 | (i << 8) | 0xF0;
                    map.Actions[n] = 10000;
                    break;
                case 1:
                    map.InputCodes[n] = 0x900000 | (i << 8) | 0x7F;
                    map.Actions[n] = 10001;
                    break;
                case 2:
                    map.InputCodes[n] = 0x91F000;
                    map.Actions[n] = 10000.1;
                    break;
                default:
                    map.InputCodes[n] = 0x600000 | i;
                    map.Actions[n] = 20001;
                    break;
            }
        }
        port.SetMap(map);
    }
};

void Run(benchmark::State& st, uint8_t status, uint8_t d1, uint8_t d2) {
    Rig rig;
    allocations = 0;
    countAllocations = true;
    for (auto _ : st) {
        rig.port.DispatchShort(status, d1, d2, 0);
        benchmark::DoNotOptimize(rig.actions.sum_);
    }
    countAllocations = false;
    st.counters["allocs_per_msg"] =
        benchmark::Counter(static_cast<double>(allocations.load()) / st.iterations());
}

// A controller that no entry takes: all 32 entries compared.
void BM_DispatchShort_NoMatch(benchmark::State& st) {
    Run(st, 0xB5, 0x07, 0x40);
}
// A controller through a range to a tempo: two actions.
void BM_DispatchShort_RangeMatch(benchmark::State& st) {
    Run(st, 0xB0, 0x04, 0x40);
}
// A note through a byte 1 map: eight entries fire.
void BM_DispatchShort_Byte1Map(benchmark::State& st) {
    Run(st, 0x91, 0x30, 0x40);
}
// Timing clock with clock following off: the common case of a busy input.
void BM_DispatchShort_Clock(benchmark::State& st) {
    Run(st, 0xF8, 0, 0);
}

}  // namespace

BENCHMARK(BM_DispatchShort_NoMatch);
BENCHMARK(BM_DispatchShort_RangeMatch);
BENCHMARK(BM_DispatchShort_Byte1Map);
BENCHMARK(BM_DispatchShort_Clock);
BENCHMARK_MAIN();
