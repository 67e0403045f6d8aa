#include "app/stats_sample.h"

#include "state/main_state.h"

StatsSample StatsSample::Take(const MainState& state, bool measureRequested) {
    StatsSample s;
    if (state.RunState.load(std::memory_order_acquire) > 0)
        s.mainOutput = state.TempoMilliBPM.load(std::memory_order_acquire) * 0.001;
    const double raw = state.RawClockInBPM.load(std::memory_order_acquire);
    const double filtered = state.FilteredClockInBPM.load(std::memory_order_acquire);
    if (measureRequested) {
        s.rawClockIn = raw > 0 ? -1 : 0;
        s.filteredClockIn = filtered > 0 ? -1 : 0;
    } else {
        s.rawClockIn = raw;
        s.filteredClockIn = filtered;
    }
    return s;
}
