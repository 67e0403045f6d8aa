#include "tempo/transport.h"

#include "state/app_settings.h"
#include "state/main_state.h"
#include "tempo/bpm_timer.h"

namespace {
constexpr const char* kChoosePort = "Choose MIDI Port...";
}

Transport::Transport(MainState& main, const AppSettings& settings, TBPMTimer& timer,
                     const OutPorts& ports)
    : main_(main), settings_(settings), timer_(timer), ports_(ports) {}

void Transport::TempoTimer1Timer() {
    const int64_t tickTime = timer_.TickTimeNs();
    if (startOnFirstTick_.load(std::memory_order_acquire) &&
        startOnFirstTick_.exchange(false, std::memory_order_acq_rel)) {
        for (ClockOutput* port : ports_)
            if (port) port->TransportStart(true, false);
    }
    int64_t barTick = 0;
    int64_t barLength = 0;
    if (timer_.TakeBarPlace(barTick, barLength)) {
        // A schedule has taken over the running clock: the count goes on to the schedule's
        // place in its bar (never back, so no step of the sequencer comes twice), and the next
        // bar line, Start and sequencer step fall on the schedule's.
        const int64_t n = main_.TickCount.load(std::memory_order_acquire);
        const int64_t ahead = ((barTick - n) % barLength + barLength) % barLength;
        main_.TickCount.fetch_add(static_cast<int32_t>(ahead), std::memory_order_acq_rel);
    }
    if (const int64_t skipped = timer_.TakeSkippedTicks())
        main_.TickCount.fetch_add(static_cast<int32_t>(skipped), std::memory_order_acq_rel);
    const int32_t n = main_.TickCount.load(std::memory_order_acquire);
    marks_.write({runs_.load(std::memory_order_acquire), n, tickTime,
                  static_cast<double>(timer_.Period()) * 1e6});
    for (ClockOutput* port : ports_)
        if (port) port->ClockTick(n, tickTime);
    const int32_t next = main_.TickCount.fetch_add(1, std::memory_order_acq_rel) + 1;
    main_.TicksSent.fetch_add(1, std::memory_order_relaxed);  // a count, ordering nothing
    for (ClockOutput* port : ports_)
        if (port) port->AfterTick(next, tickTime);
    FlashStep();
}

void Transport::FlashStep() {
    // A period below 1 (which the remainder below would divide by) or a negative lit part
    // cannot flash; they count as flashing off.
    if (!settings_.Flashing()) return;
    const int32_t period = settings_.FLASHINGPERIOD.load(std::memory_order_relaxed);
    if (period < 1) return;  // changed since the check: never divide by it
    const int32_t r = main_.TickCount.load(std::memory_order_acquire) % period;
    if (r == 1) {
        main_.FlashOn.store(!main_.FlashOn.load(std::memory_order_acquire),
                            std::memory_order_release);
        main_.FlashChanges.fetch_add(1, std::memory_order_acq_rel);
    }
    if (r >= settings_.FLASHINGDURATION.load(std::memory_order_relaxed) &&
        main_.FlashOn.load(std::memory_order_acquire)) {
        main_.FlashOn.store(false, std::memory_order_release);
        main_.FlashChanges.fetch_add(1, std::memory_order_acq_rel);
    }
}

void Transport::StartTransport(bool sendNow, bool onNextBeat) {
    if (!main_.PortReady) {
        main_.PostStatus(kChoosePort, StatusColors::green);
        return;
    }
    const bool withFirstTick = sendNow && !onNextBeat && timer_.HasSchedule();
    startOnFirstTick_.store(withFirstTick, std::memory_order_release);
    for (ClockOutput* port : ports_)
        if (port) port->TransportStart(sendNow && !withFirstTick, onNextBeat);
    main_.TickCount = 0;
    main_.TicksSent = 0;
    runs_.fetch_add(1, std::memory_order_acq_rel);
    // The newest tempo rules from the first clock on: a tap that starts the clock has just set
    // its tempo, which the pump would hand the timer only up to a pass later.
    const int32_t milliBpm = main_.TempoMilliBPM.load(std::memory_order_acquire);
    if (milliBpm > 0) timer_.SetTempo(static_cast<uint32_t>(milliBpm));
    timer_.SetEnabled(true);
    main_.RunState = 1;
    main_.RunStateChanges.fetch_add(1);
}

void Transport::ResumeTransport() {
    if (!main_.PortReady) {
        main_.PostStatus(kChoosePort, StatusColors::green);
        return;
    }
    startOnFirstTick_.store(false, std::memory_order_release);
    for (ClockOutput* port : ports_)
        if (port) port->TransportContinue();
    const int32_t milliBpm = main_.TempoMilliBPM.load(std::memory_order_acquire);
    if (milliBpm > 0) timer_.SetTempo(static_cast<uint32_t>(milliBpm));
    timer_.SetEnabled(true);
    main_.RunState = 1;
    main_.RunStateChanges.fetch_add(1);
}

void Transport::StopTransport(bool sendStop) {
    startOnFirstTick_.store(false, std::memory_order_release);
    if (!main_.PortReady) {
        main_.PostStatus(kChoosePort, StatusColors::green);
        return;
    }
    for (ClockOutput* port : ports_)
        if (port) port->TransportStop(sendStop);
    main_.RunState = 0;
    main_.RunStateChanges.fetch_add(1);
    main_.SetTapStep(0);
}

void Transport::StartStopSeq() {
    if (!main_.PortReady)
        main_.PostStatus(kChoosePort, StatusColors::red);
    else if (main_.RunState != 0)
        StopTransport(true);
    else
        StartTransport(true, false);
}

void Transport::StartSeq() {
    StartTransport(true, false);
}

void Transport::StopSeq() {
    StopTransport(true);
}

void Transport::SendPause() {
    if (!main_.PortReady) {
        main_.PostStatus(kChoosePort, StatusColors::red);
        return;
    }
    for (ClockOutput* port : ports_)
        if (port) port->TransportPause();
}

void Transport::SendContinue() {
    if (!main_.PortReady) {
        main_.PostStatus(kChoosePort, StatusColors::red);
        return;
    }
    for (ClockOutput* port : ports_)
        if (port) port->TransportContinue();
}
