#pragma once

#include <atomic>
#include <cstdint>

// Every setting of the settings file, named after its key. All are atomics: the clock thread
// reads the flash settings, the MIDI input thread the tempo limits, rounding and tap options.
struct AppSettings {
    // The window's design geometry: its frame (outer) size and position.
    static constexpr int kDesignLeft = 343;
    static constexpr int kDesignTop = 226;
    static constexpr int kDesignWidth = 262;
    static constexpr int kDesignHeight = 528;

    std::atomic<int32_t> MAINSCREENPOSITIONTOP;
    std::atomic<int32_t> MAINSCREENPOSITIONLEFT;
    std::atomic<int32_t> MAINSCREENPOSITIONWIDTH;
    std::atomic<int32_t> MAINSCREENPOSITIONHEIGHT;
    std::atomic<double> DEFAULTSPEED;
    std::atomic<double> BPMROUNDING;
    std::atomic<double> BPMMINIMUM;
    std::atomic<double> BPMMAXIMUM;
    std::atomic<bool> SHOWFLASHING;
    std::atomic<bool> FULLFLASHING;
    std::atomic<int32_t> FLASHINGDURATION;
    std::atomic<int32_t> FLASHINGPERIOD;
    std::atomic<int32_t> IGNOREMOUSEWHEEL;
    std::atomic<int32_t> IGNOREKEYBOARDTAP;
    std::atomic<bool> DONTASKSAVESETTINGS;
    std::atomic<bool> CLOSEMINIMIZESWHENRUNNING;
    std::atomic<bool> MINIMIZEONSTARTUP;
    std::atomic<bool> ALWAYSONTOP;
    std::atomic<bool> AUTOSTARTONTAP;
    std::atomic<bool> STARTONLIVETAP;
    std::atomic<int32_t> TAPTEMPOTIMEOUT;
    std::atomic<int32_t> TAPTEMPOCOUNT;
    std::atomic<double> F5BPM;
    std::atomic<double> F6BPM;
    std::atomic<double> F7BPM;
    std::atomic<double> F8BPM;
    // The network tempo session.
    std::atomic<bool> LINKENABLED;
    std::atomic<bool> LINKSTARTSTOPSYNC;
    std::atomic<double> LINKQUANTUM;
    // JACK transport: off, follow the timebase master, or lead as the master ([JACKTRANSPORT]
    // MODE=off|follow|master).
    enum TransportMode : int32_t { kTransportOff = 0, kTransportFollow = 1, kTransportMaster = 2 };
    std::atomic<int32_t> JACKTRANSPORTMODE;

    AppSettings() { InitializeSettings(); }

    // Puts every setting back to its default.
    void InitializeSettings();

    // Whether the beat flash runs at all: SHOWFLASHING, with a period that can flash (1 tick
    // or more) and a lit part that is not negative. Anything else counts as flashing off, so
    // a running lamp shows lit rather than steadily dark. Clock thread and UI alike; real-time
    // safe.
    bool Flashing() const {
        return SHOWFLASHING.load(std::memory_order_relaxed) &&
               FLASHINGPERIOD.load(std::memory_order_relaxed) >= 1 &&
               FLASHINGDURATION.load(std::memory_order_relaxed) >= 0;
    }
};
