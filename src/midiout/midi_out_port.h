#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "midiout/device_definition.h"
#include "midiout/midi_output.h"
#include "midiout/track_sequencer.h"
#include "tempo/out_ports.h"

class CheckModel;
class IniFile;
class ListModel;
class MainState;
class MidiSystem;
class TBPMTimer;

// One of the two clock output ports: a device, its definition, its divider and enable box, and
// the shared BPM timer. Turns ticks into timing clock and Starts, carries out the transport and
// sends the tempo to devices that want it as System Exclusive or as a controller.
//
// ClockTick and AfterTick run on the clock thread and read only atomics. Everything else runs on
// the UI thread or (tempo and divider changes from MIDI input) the input thread; those are
// serialised by a mutex that the clock thread never takes.
class MidiOutPort final : public ClockOutput {
  public:
    struct Controls {
        ListModel& portSelector;
        ListModel& deviceTypeSelector;
        ListModel& dividerSelector;
        CheckModel& enableBox;
    };

    // ownPortName names this port's own MIDI port where the backend creates one ("out1").
    MidiOutPort(std::string name, MainState& main, Controls controls, TBPMTimer& timer,
                MidiSystem& system, std::string ownPortName, int gridRowOrigin,
                int gridColumnOrigin);
    ~MidiOutPort();
    MidiOutPort(const MidiOutPort&) = delete;
    MidiOutPort& operator=(const MidiOutPort&) = delete;

    const std::string& Name() const { return name_; }

    // Definitions are read from this folder ("outdrv/", relative to the current directory).
    void SetDefinitionFolder(std::string folder) { definitionFolder_ = std::move(folder); }
    const std::string& DefinitionFolder() const { return definitionFolder_; }
    // Read-only definitions searched after DefinitionFolder() (those shipped with an installed
    // program); "" for none.
    void SetShippedDefinitionFolder(std::string folder) { shippedFolder_ = std::move(folder); }

    void ListDeviceTypes();
    void LoadDeviceDefinition();

    std::string SavedPortKey(const IniFile& file) const;
    std::string LoadPortSettings(const IniFile& file, bool reselect);
    void OpenSelectedPort();
    // When a server has come (at last, or again) and a saved device was missing: lists the
    // devices again and opens the saved one if it is there now. The clock is not stopped for
    // it. True when it opened.
    bool OpenMissingSavedPort();
    // Lists the system's devices again, keeping the current choice by its name (it moves to
    // its new place; one that has gone stays listed, so the box still shows what is chosen).
    void RefreshPortList();

    // A saved port that was not found when the settings were read: the port shows "None"
    // meanwhile, but the settings keep naming the device until another one is opened, so a
    // synth unplugged for an evening is found again next time.
    struct SavedPort {
        std::string name;
        int32_t index = -1;
    };
    std::optional<SavedPort> MissingSavedPort() const;
    // The port selector shows "None".
    bool ShowsNone() const;
    void DeviceTypeChanged();
    void DividerChanged();
    void DoubleDivider();
    void HalveDivider();
    void SetOutputEnabled(bool enabled);

    // Clock thread; real-time safe (atomics; sends as the device does). timeNs is the tick's
    // scheduled time; what the tick sends carries it.
    void ClockTick(int32_t n, int64_t timeNs = 0) override;
    void AfterTick(int32_t n, int64_t timeNs = 0) override;

    // UI and input threads, and the clock thread (Start with a schedule's first tick); real-time
    // safe.
    void TransportStart(bool sendNow, bool onNextBeat) override;
    void TransportStop(bool sendStop) override;
    void TransportPause() override;
    void TransportContinue() override;
    void TempoChanged(double tempo) override;

    void SendHexString(const std::string& text);
    void SendRelease();

    // For the settings file, the window and tests.
    TMidiOutput& Device() { return device_; }
    int Divider() const { return divider_.load(std::memory_order_acquire); }
    double Tempo() const { return tempo_.load(std::memory_order_acquire); }
    double PortTempo() const { return portTempo_.load(std::memory_order_acquire); }
    int TicksPerPortBeat() const { return ticksPerPortBeat_.load(std::memory_order_acquire); }
    bool StartPending() const { return startPending_.load(std::memory_order_acquire); }
    bool OutputEnabled() const { return enabled_.load(std::memory_order_acquire); }
    int GridRowOrigin() const { return gridRowOrigin_; }
    int GridColumnOrigin() const { return gridColumnOrigin_; }
    VisualSeq& Grid() { return grid_; }
    int DeviceTypeIndex() const;
    std::string StoredSavedPortKey() const;
    std::string DefinitionPath() const;
    // The definition file last read, as an absolute path ("" before the first read): what an
    // editor must open, wherever the program was started from.
    std::string DefinitionFile() const;
    // The file an editor may change, as an absolute path: DefinitionFile(), unless that is one
    // of the shipped definitions, which the user may not write and an upgrade replaces. Such a
    // file is first copied into DefinitionFolder() (a copy already there is kept), and the
    // port reads its type from the copy from then on. "" with the reason in *error when the
    // copy cannot be made.
    std::string EditableDefinitionFile(std::string* error);
    OutputDeviceDefinition Definition() const;
    std::vector<std::string> TrackLines() const;
    // The System Exclusive tempo text and the controller value a definition gives a port tempo.
    static std::string TempoHexText(const OutputDeviceDefinition& definition, double portTempo);
    static uint8_t ControllerValue(const OutputDeviceDefinition& definition, double portTempo);

    // The item of the divider list nearest to divider (by ratio); divider itself, within
    // 1..kMaxDivider, when the list holds no numbers.
    static int32_t NearestListedDivider(const ListModel& dividers, int32_t divider);

    // Largest divider kept: four beats of it must still count in 32 bits.
    static constexpr int32_t kMaxDivider = INT32_MAX / 96;

  private:
    void FillPortList();
    void openSelectedPort(bool stopClock);
    void SendGated(uint8_t status, uint8_t data1, uint8_t data2, int64_t timeNs = 0);
    void sendHexStringLocked(const std::string& text);
    void sendReleaseLocked();
    void tempoChangedLocked(double tempo);
    void loadDeviceDefinitionLocked();
    void selectDivider(int32_t divider);

    const std::string name_;
    MainState& main_;
    Controls controls_;
    TBPMTimer& timer_;
    TMidiOutput device_;
    std::string definitionFolder_ = "outdrv/";
    std::string shippedFolder_;
    const int gridRowOrigin_;
    const int gridColumnOrigin_;

    mutable std::mutex mutex_;  // definition texts and the non-tick operations
    std::string definitionFileName_;
    std::string definitionPath_;
    std::string definitionFile_;
    std::optional<SavedPort> missingSavedPort_;
    std::string savedPortKey_;
    int deviceTypeIndex_ = -1;
    OutputDeviceDefinition definition_;
    std::string reportedProblems_;  // the definition's problems last told
    std::vector<std::string> trackLines_;

    // Read by the clock thread.
    std::atomic<bool> enabled_{true};
    std::atomic<bool> clockOutputEnable_{false};
    std::atomic<bool> startBeforeEvery1_{false};
    std::atomic<bool> startAfterEvery1_{false};
    std::atomic<bool> noStartAtStart_{false};
    std::atomic<bool> noStopAtEnd_{false};
    std::atomic<bool> tracksEnable_{false};
    std::atomic<int32_t> divider_{1};
    std::atomic<double> tempo_;
    std::atomic<double> portTempo_;
    std::atomic<int32_t> ticksPerPortBeat_{24};
    std::atomic<bool> startPending_{false};

    VisualSeq grid_;  // after the device: its notes are silenced before the device closes
};
