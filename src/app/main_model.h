#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/monotonic_clock.h"
#include "state/app_settings.h"
#include "state/list_model.h"
#include "state/main_state.h"
#include "tempo/bpm_timer.h"
#include "tempo/out_ports.h"
#include "tempo/tap_tempo.h"
#include "tempo/tempo_model.h"
#include "tempo/transport.h"

class CheckModel;
class MidiInPort;
class MidiOutPort;
class PulseOutputs;
struct PulseOutputSettings;
class MidiSystem;
class InputActions;
class SyncControl;

// Whether a port list holds devices of a running JACK server ("JACK: ..."): with the JACK
// backend present but no server answering, it lists none of its own.
bool ListsJackPorts(const std::vector<std::string>& items);

// An open editor that takes learnt MIDI messages: the box that switches its learning on, and
// the learn step the pump runs with each message (on the UI thread).
class LearnReceiver {
  public:
    virtual ~LearnReceiver() = default;
    virtual const CheckModel& LearnBox() const = 0;
    virtual void Learn(const std::string& message) = 0;
};

// Everything of the main window that is not a widget: the state record, the settings, the BPM
// timer, the output ports with the models of their controls, and the operations other units
// call on "the main window". The window owns one and mirrors its models into widgets; the core
// and its tests use it without any display.
class KorvidMainModel : private TickLookahead {
  public:
    // The controls one output port works on.
    struct OutPortControls {
        ListModel port;
        ListModel deviceType;
        ListModel divider;
        CheckModel enable{true};
    };

    explicit KorvidMainModel(std::unique_ptr<MidiSystem> midi,
                             const MonotonicClock& clock = SystemClock(),
                             TBPMTimer::Drive drive = TBPMTimer::Drive::Thread);
    ~KorvidMainModel();
    KorvidMainModel(const KorvidMainModel&) = delete;
    KorvidMainModel& operator=(const KorvidMainModel&) = delete;

    MainState state;
    // No new input-clock measurement since the last statistics sample: set by the pump after
    // each sample, cleared by the input side when it measures a new tempo.
    std::atomic<bool> MeasureRequested{true};
    AppSettings settings;
    OutPortControls out1Controls;
    OutPortControls out2Controls;
    // The "Midi Input Port + Key Setup" box.
    struct InPortControls {
        ListModel port;
        ListModel deviceType;
        CheckModel enable{true};
    };
    InPortControls inControls;

    TBPMTimer& Timer() { return timer_; }
    MidiSystem& Midi() { return *midi_; }
    Transport& transport() { return transport_; }
    TempoModel& tempo() { return tempo_; }
    TapTempo& tap() { return tap_; }
    // The network tempo session and the lock onto an input clock.
    SyncControl& Sync() { return *sync_; }
    // How much earlier than its beat a tick is handed to the outputs: their latency.
    const TickLookahead& Lookahead() const { return *this; }

    // Creates both output ports and lists their device types (outdrv relative to the current
    // directory unless another folder is given); shippedFolder, when given, is searched after it.
    void CreatePorts(const std::string& definitionFolder = "outdrv/",
                     const std::string& shippedFolder = {});
    // Destroys OutPort1, then OutPort2; their devices close.
    void DestroyPorts();
    // Reads a port's device list again, as each time the user opens it; with no JACK server
    // running the status line says so, since its devices are then missing from the list.
    void RefreshPortList(MidiOutPort& port);
    // At start-up: when neither port has anything to choose but "None" and no JACK server
    // runs, the status line says so instead of leaving the user to guess.
    void ReportMissingJackIfNothingToChoose();
    // The pump's step after devices may have come (a server at last or again, a device that
    // appeared): saved devices that were missing are opened if they are there now, and the
    // status line says so. UI thread; true when anything had come since the last call.
    bool PumpArrivals();
    // Whether an open output port's device or server has gone away (until the backend brings
    // it back): the lamp then shows that no port is ready. UI thread.
    bool OutputPortLost() const;
    MidiOutPort* OutPort1() { return outPort1_.get(); }
    MidiOutPort* OutPort2() { return outPort2_.get(); }
    // The two clock pulse outputs (JACK audio ports); null before CreatePorts.
    PulseOutputs* Pulses() { return pulses_.get(); }
    // Sets pulse output number (1 or 2) as PulseOutputs::Apply does and tells a problem on the
    // status line. An open pulse output is a port the clock can start on, like an open MIDI
    // port: gear that takes only pulses needs no MIDI port. UI thread.
    void ApplyPulseOutput(int number, const PulseOutputSettings& settings);
    const OutPorts& Ports() const { return ports_; }

    // Creates InPort ("MIDIINPORT1"), lists the input definitions of inputFolder and routes the
    // window's keys through its map. Destroyed before the output ports it may act on.
    void CreateInPort(const std::string& inputFolder, const std::string& shippedFolder = {});
    void DestroyInPort();
    MidiInPort* InPort() { return inPort_.get(); }

    void PostStatus(std::string_view text, StatusColor color, std::string_view detail = {}) {
        state.PostStatus(text, color, detail);
    }
    void SetBPM(double bpm) { tempo_.SetBPM(bpm); }
    double GetBPM() const { return tempo_.GetBPM(); }
    // Leading a JACK transport that stands, a start rolls it instead, and its roll starts the
    // clock on its first frame.
    void StartTransport(bool sendNow, bool onNextBeat);
    void StopTransport(bool sendStop) { transport_.StopTransport(sendStop); }
    // The end of a run, the window's close and the headless program's alike: the network
    // session is left first (its peers play on; the setting keeps what the user chose), then a
    // running clock sends Stop, and the sequencer's note-offs, to every open device, and the
    // clock stops. The ports stay open, so that closing them lets all of it out.
    void StopForClose();
    void AdvanceTapStep() { state.AdvanceTapStep(); }
    void SetTapStep(int32_t step) { state.SetTapStep(step); }

    // Action values and codes: the whole part of a value is the code (1 to 9999: set that
    // tempo), its thousandths the parameter.
    void PerformActionValue(int index, double value);
    // True when the code is one of the action codes (ActionCode, or a tempo); others do nothing.
    bool PerformAction(int code, int index, int fraction);

    // Computer keys enter the input map as messages with status 0x60 and the key's
    // virtual-key number in the data bytes. The input dispatch registers itself here; it says
    // whether an entry of the enabled map took the key, and PassKeyToInputMap passes that on.
    using InputDispatch =
        std::function<bool(uint8_t status, uint8_t data1, uint8_t data2, uint32_t timeStamp)>;
    void SetInputDispatch(InputDispatch dispatch) { inputDispatch_ = std::move(dispatch); }
    bool PassKeyToInputMap(int virtualKey);

    // The editor that learns while it is open (one at a time), or none. Clearing returns only
    // when the input thread no longer reads its learn box.
    void SetLearnTarget(LearnReceiver* receiver);
    void ClearLearnTarget();
    LearnReceiver* LearnTarget() const { return learnTarget_; }
    // The pump's learn step: when a message was learnt since the last pass, the learn target
    // gets the newest one. True when a target took it.
    bool PumpLearn();

    // F5Tempo .. F8Tempo and SetF5Tempo .. SetF8Tempo (functionKey 5 to 8).
    void RecallPreset(int functionKey);
    void StorePreset(int functionKey);

  private:
    std::atomic<double>* presetField(int functionKey);
    // The shortest lookahead of the open ports: a late tick is still placed on time only if
    // every port can place it. Clock thread; real-time safe (the ports' atomics).
    int64_t TickLookaheadNs() const override;
    // Where every open port schedules, a quarter of a second: a clock thread held up that long
    // by the machine still hands on every tick. Longer stalls (a suspended machine) would come
    // out as a burst of hundreds, so they are dropped as elsewhere. Clock thread; real-time safe.
    int64_t LateTickLimitNs() const override;

    InputDispatch inputDispatch_;
    // Set on a backend's thread when its server or a device has come; the pump takes them.
    std::atomic<bool> serverArrived_{false};
    std::atomic<bool> deviceArrived_{false};
    static constexpr int kArrivalRetryPasses = 100;
    int retryPasses_ = 0;  // UI thread
    LearnReceiver* learnTarget_ = nullptr;
    std::unique_ptr<MidiSystem> midi_;
    TBPMTimer timer_;
    OutPorts ports_{};
    std::unique_ptr<MidiOutPort> outPort1_;
    std::unique_ptr<MidiOutPort> outPort2_;
    std::unique_ptr<PulseOutputs> pulses_;
    Transport transport_;
    TempoModel tempo_;
    TapTempo tap_;
    std::unique_ptr<InputActions> inputActions_;
    // Last, so that it goes first: its input thread acts on everything above.
    std::unique_ptr<MidiInPort> inPort_;
    // Goes before the input port: the clock may follow the port's lock.
    std::unique_ptr<SyncControl> sync_;
};
