#pragma once

#include <cstdint>

class MainState;

// One sample for the tempo chart, taken by the pump every tenth pass (every 0.5 s).
struct StatsSample {
    static constexpr int kPassesPerSample = 10;
    static constexpr double kInterval = 0.05 * kPassesPerSample;  // seconds

    double interval = kInterval;
    double mainOutput = 0;  // BPM sent while running, 0 while stopped
    double rawClockIn = 0;  // negative: no new value, nothing to draw
    double filteredClockIn = 0;

    // measureRequested: no new input-clock measurement since the previous sample. A value that
    // was measured once (above 0) is then passed as -1, so the chart draws nothing for it,
    // while one never measured (0) keeps drawing at 0.
    static StatsSample Take(const MainState& state, bool measureRequested);
};
