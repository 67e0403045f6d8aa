#include "app/main_model.h"

#include <algorithm>
#include <vector>

#include "app/sync_control.h"
#include "midiin/midi_in_port.h"
#include "midiout/midi_out_port.h"
#include "midiout/pulse_output.h"
#include "platform/midi_system.h"
#include "state/action_codes.h"
#include "state/hexroutines.h"

namespace {
// Where the port's sequencer grid sits in the window (row origin, column origin).
constexpr int kPort1GridRow = 50, kPort1GridColumn = 300;
constexpr int kPort2GridRow = 300, kPort2GridColumn = 300;
const char* const kDividerItems[] = {"1", "2", "4", "8", "16", "32", "64"};
constexpr int64_t kScheduledLateTickLimitNs = 250'000'000;
constexpr const char* kNoJack = "No JACK server running";
constexpr const char* kServerBack = "JACK server back: MIDI ports reconnected";

// The input dispatch reaches the model's actions through this.
class ModelInputActions final : public InputActions {
  public:
    explicit ModelInputActions(KorvidMainModel& model) : model_(model) {}
    void PerformActionValue(int index, double value) override {
        model_.PerformActionValue(index, value);
    }
    void FollowTempo(double bpm) override { model_.tempo().FollowBPM(bpm); }
    void FollowContinue() override { model_.transport().ResumeTransport(); }

  private:
    KorvidMainModel& model_;
};
}  // namespace

// Devices of a running JACK server are listed as "JACK: ...", our own virtual port first.
bool ListsJackPorts(const std::vector<std::string>& items) {
    return std::any_of(items.begin(), items.end(),
                       [](const std::string& item) { return item.rfind("JACK: ", 0) == 0; });
}

KorvidMainModel::KorvidMainModel(std::unique_ptr<MidiSystem> midi, const MonotonicClock& clock,
                                 TBPMTimer::Drive drive)
    : midi_(std::move(midi)),
      timer_(clock, drive),
      transport_(state, settings, timer_, ports_),
      tempo_(state, settings, timer_, ports_),
      tap_(
          state, settings, timer_,
          [this](int index, double value) { PerformActionValue(index, value); },
          [this](bool sendNow, bool onNextBeat) { StartTransport(sendNow, onNextBeat); }, clock) {
    for (OutPortControls* controls : {&out1Controls, &out2Controls}) {
        for (const char* item : kDividerItems) controls->divider.add(item);
        controls->divider.setIndex(0);
    }
    timer_.SetOnTimer([this](TBPMTimer&, uint8_t) { transport_.TempoTimer1Timer(); });
    timer_.SetLookahead(this);
    // A lost server or destination is told on a backend's own thread; the status line shows it,
    // and the pump looks at the lamp again (see OutputPortLost), also while the clock stands.
    midi_->setProblemListener([this](const std::string& text) {
        state.PostStatus(text, StatusColors::red);
        state.RunStateChanges.fetch_add(1);
    });
    midi_->setRecoveryListener([this](const std::string& text) {
        state.PostStatus(text, StatusColors::teal);
        state.RunStateChanges.fetch_add(1);
    });
    // Opening ports is the pump's (the backend's own thread may not call back into it).
    midi_->setArrivalListener([this](bool server) {
        (server ? serverArrived_ : deviceArrived_).store(true, std::memory_order_release);
    });
    sync_ = std::make_unique<SyncControl>(*this);
}

KorvidMainModel::~KorvidMainModel() {
    sync_.reset();  // the clock stops following anything before what it follows goes
    DestroyInPort();
    timer_.SetEnabled(false);
    timer_.SetLookahead(nullptr);
    DestroyPorts();
    midi_->setProblemListener(nullptr);
    midi_->setRecoveryListener(nullptr);
    midi_->setArrivalListener(nullptr);
}

void KorvidMainModel::StartTransport(bool sendNow, bool onNextBeat) {
    if (sync_ && sync_->RollFirst()) return;
    transport_.StartTransport(sendNow, onNextBeat);
}

void KorvidMainModel::CreatePorts(const std::string& definitionFolder,
                                  const std::string& shippedFolder) {
    auto make = [&](const char* name, OutPortControls& c, const char* ownPort, int row,
                    int column) {
        auto port = std::make_unique<MidiOutPort>(
            name, state, MidiOutPort::Controls{c.port, c.deviceType, c.divider, c.enable}, timer_,
            *midi_, ownPort, row, column);
        port->SetDefinitionFolder(definitionFolder);
        port->SetShippedDefinitionFolder(shippedFolder);
        port->ListDeviceTypes();
        return port;
    };
    outPort1_ = make("MIDIOUTPORT1", out1Controls, "clock_out_1", kPort1GridRow, kPort1GridColumn);
    outPort2_ = make("MIDIOUTPORT2", out2Controls, "clock_out_2", kPort2GridRow, kPort2GridColumn);
    pulses_ = std::make_unique<PulseOutputs>(timer_, *midi_);
    ports_ = {outPort1_.get(), outPort2_.get(), pulses_.get()};
    state.PortReady = false;
}

void KorvidMainModel::ApplyPulseOutput(int number, const PulseOutputSettings& settings) {
    if (!pulses_) return;
    const std::string problem = pulses_->Apply(number, settings);
    if (!problem.empty()) PostStatus(problem, StatusColors::red);
    if (pulses_->IsOpen(number) && !state.PortReady.load()) {
        state.PortReady = true;
        state.RunStateChanges.fetch_add(1);
    }
}

void KorvidMainModel::RefreshPortList(MidiOutPort& port) {
    port.RefreshPortList();
    OutPortControls& controls = &port == OutPort1() ? out1Controls : out2Controls;
    const std::vector<std::string> items = controls.port.items();
    if (ListsJackPorts(items)) return;
    // Red when the list offers nothing at all; otherwise only a hint beside what is offered.
    PostStatus(kNoJack, items.size() <= 1 ? StatusColors::red : StatusColors::blue);
}

void KorvidMainModel::ReportMissingJackIfNothingToChoose() {
    for (const OutPortControls* controls : {&out1Controls, &out2Controls}) {
        const std::vector<std::string> items = controls->port.items();
        if (items.size() > 1 || ListsJackPorts(items)) return;
    }
    PostStatus(kNoJack, StatusColors::red);
}

bool KorvidMainModel::PumpArrivals() {
    const bool server = serverArrived_.exchange(false, std::memory_order_acq_rel);
    const bool device = deviceArrived_.exchange(false, std::memory_order_acq_rel);
    // A device is listed a moment before it can be connected to (its program still starting):
    // after each notice the saved devices still missing are tried again every tenth pass
    // (half a second), for five seconds.
    if (server || device) {
        retryPasses_ = kArrivalRetryPasses;
    } else if (retryPasses_ > 0 && --retryPasses_ % 10 != 0) {
        return false;
    } else if (retryPasses_ == 0) {
        return false;
    }
    // Pulse outputs that found no server open now.
    for (int number = 1; server && pulses_ && number <= PulseOutputs::kOutputs; ++number) {
        const PulseOutputSettings settings = pulses_->Settings(number);
        if (settings.enabled && !pulses_->IsOpen(number)) ApplyPulseOutput(number, settings);
    }
    std::vector<std::string> opened;
    for (OutPortControls* controls : {&out1Controls, &out2Controls}) {
        MidiOutPort* port = controls == &out1Controls ? OutPort1() : OutPort2();
        if (port && port->OpenMissingSavedPort()) opened.push_back(controls->port.text());
    }
    std::vector<std::string> openedInputs;
    if (inPort_ && inPort_->OpenMissingSavedPort()) openedInputs.push_back(inControls.port.text());
    if (opened.empty() && openedInputs.empty()) return true;
    if (server) {
        PostStatus(kServerBack, StatusColors::teal);
        return true;
    }
    // As the backend tells of a device it connected again: the name without the backend's.
    const auto withoutBackend = [](const std::string& name) {
        const size_t colon = name.find(": ");
        return colon == std::string::npos ? name : name.substr(colon + 2);
    };
    for (const std::string& name : opened)
        PostStatus("MIDI Port reconnected: " + withoutBackend(name), StatusColors::teal);
    for (const std::string& name : openedInputs)
        PostStatus("MIDI IN Port reconnected: " + withoutBackend(name), StatusColors::teal);
    return true;
}

int64_t KorvidMainModel::TickLookaheadNs() const {
    int64_t shortest = -1;
    for (MidiOutPort* port : {outPort1_.get(), outPort2_.get()}) {
        if (!port) continue;
        const TMidiOutput& device = port->Device();
        if (!device.Using()) continue;
        const int64_t lookahead = device.LookaheadNs();
        shortest = shortest < 0 ? lookahead : std::min(shortest, lookahead);
    }
    if (pulses_) {
        const int64_t lookahead = pulses_->LookaheadNs();
        if (lookahead >= 0) shortest = shortest < 0 ? lookahead : std::min(shortest, lookahead);
    }
    return std::max<int64_t>(shortest, 0);
}

int64_t KorvidMainModel::LateTickLimitNs() const {
    const int64_t lookahead = TickLookaheadNs();
    return lookahead > 0 ? std::max(lookahead, kScheduledLateTickLimitNs) : 0;
}

bool KorvidMainModel::OutputPortLost() const {
    for (MidiOutPort* port : {outPort1_.get(), outPort2_.get()}) {
        if (!port) continue;
        const TMidiOutput& device = port->Device();
        if (device.Using() && !device.Alive()) return true;
    }
    return false;
}

void KorvidMainModel::DestroyPorts() {
    DestroyInPort();  // its actions reach the output ports
    ports_ = {nullptr, nullptr, nullptr};
    pulses_.reset();
    outPort1_.reset();
    outPort2_.reset();
}

void KorvidMainModel::StopForClose() {
    if (sync_ && sync_->LinkEnabled()) {
        const bool chosen = settings.LINKENABLED.load();
        sync_->SetLinkEnabled(false);
        settings.LINKENABLED = chosen;
    }
    if (state.RunState.load() != 0) StopTransport(true);
    timer_.SetEnabled(false);
}

void KorvidMainModel::PerformActionValue(int index, double value) {
    const int32_t m = RoundToInt(value * 1000);
    // Truncating division, so that negative values split toward zero.
    PerformAction(m / 1000, index, m % 1000);
}

void KorvidMainModel::SetLearnTarget(LearnReceiver* receiver) {
    learnTarget_ = receiver;
    if (inPort_) inPort_->SetLearnTarget(receiver ? &receiver->LearnBox() : nullptr);
}

void KorvidMainModel::ClearLearnTarget() {
    learnTarget_ = nullptr;
    if (inPort_) inPort_->ClearLearnTarget();
}

bool KorvidMainModel::PumpLearn() {
    if (state.LearnChanges.exchange(0, std::memory_order_acq_rel) == 0) return false;
    if (!learnTarget_) return false;
    learnTarget_->Learn(state.LearnText());
    return true;
}

void KorvidMainModel::CreateInPort(const std::string& inputFolder,
                                   const std::string& shippedFolder) {
    DestroyInPort();
    if (!inputActions_) inputActions_ = std::make_unique<ModelInputActions>(*this);
    inPort_ = std::make_unique<MidiInPort>(
        "MIDIINPORT1", state,
        MidiInPort::Controls{inControls.port, inControls.deviceType, inControls.enable}, *midi_,
        *inputActions_, inputFolder, "midi_in");
    inPort_->SetShippedFolder(shippedFolder);
    inPort_->UseMeasureFlag(MeasureRequested);  // the statistics pump asks through this
    inPort_->Lock().SetTimer(&timer_);
    inPort_->Lock().SetLatency(this);
    inPort_->ListDeviceTypes();
    MidiInPort* port = inPort_.get();
    SetInputDispatch([port](uint8_t status, uint8_t data1, uint8_t data2, uint32_t timeStamp) {
        return port->DispatchShort(status, data1, data2, static_cast<int32_t>(timeStamp));
    });
}

void KorvidMainModel::DestroyInPort() {
    if (!inPort_) return;
    if (sync_) sync_->InputGoing();
    SetInputDispatch(nullptr);
    inPort_.reset();  // closes the device: no action of it runs after this
}

bool KorvidMainModel::PerformAction(int code, int index, int fraction) {
    if (code < kLowestTempoCode) return code == static_cast<int>(ActionCode::DoNothing);
    if (code <= kHighestTempoCode) {
        SetBPM(code + fraction * 0.001);
        return true;
    }
    const double rounding = settings.BPMROUNDING.load(std::memory_order_relaxed);
    const auto action = static_cast<ActionCode>(code);
    switch (action) {
        case ActionCode::StartStop:
            transport_.StartStopSeq();
            return true;
        case ActionCode::Pause:
            transport_.SendPause();
            return true;
        case ActionCode::Continue:
            transport_.SendContinue();
            return true;
        case ActionCode::Start:
            transport_.StartSeq();
            return true;
        case ActionCode::Stop:
            transport_.StopSeq();
            return true;
        case ActionCode::BpmMinus1:
            SetBPM(GetBPM() - 1);
            return true;
        case ActionCode::BpmPlus1:
            SetBPM(GetBPM() + 1);
            return true;
        case ActionCode::BpmMinus2:
            SetBPM(GetBPM() - 2);
            return true;
        case ActionCode::BpmPlus2:
            SetBPM(GetBPM() + 2);
            return true;
        case ActionCode::BpmTimes2:
            SetBPM(GetBPM() * 2);
            return true;
        case ActionCode::BpmHalf:
            SetBPM(GetBPM() * 0.5);
            return true;
        case ActionCode::TristateTempo:
        case ActionCode::TristateDividerPort1:
        case ActionCode::TristateDividerPort2:
        case ActionCode::TristateDividerBoth: {
            if (!inPort_) return true;
            const int step = inPort_->TristateStep(index, fraction);
            if (step == 0) return true;
            if (action == ActionCode::TristateTempo) {
                SetBPM(GetBPM() * (step < 0 ? 0.5 : 2.0));
                return true;
            }
            // Entering the low zone slows the port down (a larger divider), the high zone
            // speeds it up.
            auto apply = [step](MidiOutPort* port) {
                if (!port) return;
                if (step < 0)
                    port->DoubleDivider();
                else
                    port->HalveDivider();
            };
            if (action != ActionCode::TristateDividerPort2) apply(outPort1_.get());
            if (action != ActionCode::TristateDividerPort1) apply(outPort2_.get());
            return true;
        }
        case ActionCode::BpmMinusRounding:
            SetBPM(GetBPM() - rounding);
            return true;
        case ActionCode::BpmPlusRounding:
            SetBPM(GetBPM() + rounding);
            return true;
        case ActionCode::BeatReset:
            state.TickCount.store(0, std::memory_order_release);
            return true;
        case ActionCode::Tap:
            tap_.TapButtonClick();
            return true;
        case ActionCode::ControllerToTempo:
        case ActionCode::ControlInput:
            return true;  // the dispatch acts on these itself
        case ActionCode::DoNothing:
            break;
    }
    return false;
}

std::atomic<double>* KorvidMainModel::presetField(int functionKey) {
    switch (functionKey) {
        case 5:
            return &settings.F5BPM;
        case 6:
            return &settings.F6BPM;
        case 7:
            return &settings.F7BPM;
        case 8:
            return &settings.F8BPM;
        default:
            return nullptr;
    }
}

void KorvidMainModel::RecallPreset(int functionKey) {
    if (auto* preset = presetField(functionKey)) PerformActionValue(-1, preset->load());
}

void KorvidMainModel::StorePreset(int functionKey) {
    if (auto* preset = presetField(functionKey)) *preset = tempo_.StorePresetText(functionKey);
}

bool KorvidMainModel::PassKeyToInputMap(int virtualKey) {
    return inputDispatch_ && inputDispatch_(0x60, static_cast<uint8_t>(virtualKey / 256),
                                            static_cast<uint8_t>(virtualKey % 256), 0);
}
