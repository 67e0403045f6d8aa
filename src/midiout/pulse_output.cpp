#include "midiout/pulse_output.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "platform/midi_system.h"
#include "tempo/bpm_timer.h"

namespace {
constexpr int64_t kNsPerMs = 1'000'000;
constexpr int32_t kTicksPerBeat = 24;
}  // namespace

PulseOutputs::PulseOutputs(TBPMTimer& timer, MidiSystem& system) : timer_(timer), system_(system) {}

PulseOutputs::~PulseOutputs() {
    for (int number = 1; number <= kOutputs; ++number) {
        PulseOutputSettings off = Settings(number);
        off.enabled = false;
        Apply(number, off);
    }
}

PulseOutputSettings PulseOutputs::Held(int number, const PulseOutputSettings& settings) {
    PulseOutputSettings held = settings;
    held.ppq = NearestPulsesPerQuarter(settings.ppq);
    // NaN falls to the default, like a number the file does not hold.
    const auto within = [](double value, double low, double high, double otherwise) {
        return std::isnan(value) ? otherwise : std::clamp(value, low, high);
    };
    held.widthMs =
        within(settings.widthMs, kMinPulseWidthMs, kMaxPulseWidthMs, kDefaultPulseWidthMs);
    held.level = within(settings.level, 0.0, 1.0, 1.0);
    held.shiftMs = within(settings.shiftMs, kMinPulseShiftMs, kMaxPulseShiftMs, 0.0);
    held.run = number == 2 && settings.run;
    return held;
}

std::string PulseOutputs::Apply(int number, const PulseOutputSettings& wanted) {
    if (number < 1 || number > kOutputs) return "";
    Output& output = outputs_[static_cast<size_t>(number - 1)];
    std::lock_guard lock(mutex_);
    const PulseOutputSettings settings = Held(number, wanted);
    output.settings = settings;
    output.ppq.store(settings.ppq, std::memory_order_release);
    const bool wasRun = output.run.exchange(settings.run, std::memory_order_acq_rel);
    if (!settings.enabled && output.owned) {
        // The run line goes low before the port goes.
        if (wasRun && output.owned->isAlive()) output.owned->run(false, 0);
        output.live.store(nullptr, std::memory_order_seq_cst);
        while (output.users.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
        output.owned.reset();
    }
    std::string problem;
    if (settings.enabled && !output.owned) {
        output.owned = system_.openPulseOutput(number);
        if (!output.owned)
            problem = "Pulse Output " + std::to_string(number) + " not open: no JACK server";
    }
    if (output.owned) {
        output.owned->setShape(std::llround(settings.widthMs * kNsPerMs), settings.level,
                               settings.inverted);
        output.owned->setShiftNs(std::llround(settings.shiftMs * kNsPerMs));
        const bool running = run_.load(std::memory_order_acquire) == Run::Running;
        if (wasRun && !settings.run) output.owned->run(false, 0);
        if (settings.run && running && (!wasRun || !output.live.load()))
            output.raise.store(true, std::memory_order_release);
        output.live.store(output.owned.get(), std::memory_order_seq_cst);
    }
    return problem;
}

PulseOutputSettings PulseOutputs::Settings(int number) const {
    if (number < 1 || number > kOutputs) return {};
    std::lock_guard lock(mutex_);
    return outputs_[static_cast<size_t>(number - 1)].settings;
}

bool PulseOutputs::IsOpen(int number) const {
    if (number < 1 || number > kOutputs) return false;
    return outputs_[static_cast<size_t>(number - 1)].live.load(std::memory_order_acquire) !=
           nullptr;
}

template <class Use>
void PulseOutputs::WithConnection(Output& output, Use use) {
    // Counted in before the pointer is read: Apply withdraws the pointer, then waits for the
    // count, so no connection is used after it is gone.
    output.users.fetch_add(1, std::memory_order_seq_cst);
    if (PulseOutConnection* connection = output.live.load(std::memory_order_seq_cst))
        use(*connection);
    output.users.fetch_sub(1, std::memory_order_seq_cst);
}

int64_t PulseOutputs::LookaheadNs() const {
    int64_t shortest = -1;
    for (const Output& output : outputs_) {
        output.users.fetch_add(1, std::memory_order_seq_cst);
        if (PulseOutConnection* connection = output.live.load(std::memory_order_seq_cst)) {
            const int64_t lookahead = connection->lookaheadNs();
            shortest = shortest < 0 ? lookahead : std::min(shortest, lookahead);
        }
        output.users.fetch_sub(1, std::memory_order_seq_cst);
    }
    return shortest;
}

void PulseOutputs::ClockTick(int32_t n, int64_t timeNs) {
    Run state = run_.load(std::memory_order_acquire);
    bool first = false;
    if (state == Run::FromNextTick ||
        (state == Run::FromNextBeat && n >= 0 && n % kTicksPerBeat == 0)) {
        // A Stop in between wins: only the state seen here becomes Running.
        first = run_.compare_exchange_strong(state, Run::Running, std::memory_order_acq_rel);
        state = first ? Run::Running : state;
    }
    if (state != Run::Running) return;
    const auto periodNs = static_cast<int64_t>(std::llround(timer_.Period() * kNsPerMs));
    for (Output& output : outputs_) {
        if (output.run.load(std::memory_order_acquire)) {
            const bool raise = output.raise.exchange(false, std::memory_order_acq_rel);
            if (first || raise) WithConnection(output, [&](auto& c) { c.run(true, timeNs); });
            continue;
        }
        const TickEdges edges =
            PulseEdgesOfTick(n, timeNs, periodNs, output.ppq.load(std::memory_order_acquire));
        if (edges.count == 0) continue;
        WithConnection(output, [&](PulseOutConnection& connection) {
            for (int i = 0; i < edges.count; ++i)
                connection.edge(edges.timeNs[static_cast<size_t>(i)], edges.intervalNs);
        });
    }
}

void PulseOutputs::TransportStart(bool, bool onNextBeat) {
    // A Start while running begins a new run: the run line drops first (before the new state,
    // so that no tick in between raises it for the new run).
    if (run_.load(std::memory_order_acquire) != Run::Stopped) LowerRunLines();
    run_.store(onNextBeat ? Run::FromNextBeat : Run::FromNextTick, std::memory_order_release);
}

void PulseOutputs::TransportStop(bool) {
    run_.store(Run::Stopped, std::memory_order_release);
    LowerRunLines();
}

void PulseOutputs::TransportPause() {
    TransportStop(true);
}

void PulseOutputs::TransportContinue() {
    run_.store(Run::FromNextTick, std::memory_order_release);
}

void PulseOutputs::LowerRunLines() {
    for (Output& output : outputs_) {
        if (!output.run.load(std::memory_order_acquire)) continue;
        output.raise.store(false, std::memory_order_release);
        WithConnection(output, [](PulseOutConnection& c) { c.run(false, 0); });
    }
}
