#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "midiin/clock_lock.h"
#include "midiin/input_actions.h"
#include "midiin/input_definition.h"
#include "midiin/midi_input.h"

class CheckModel;
class IniFile;
class ListModel;
class MainState;
class MidiSystem;

// A moving average over the last N values pushed (N up to 255).
class AvgFilter {
  public:
    explicit AvgFilter(uint8_t length, bool flag = false);
    double Push(double x);
    double Result() const { return result_; }

  private:
    double result_ = 0;
    uint8_t length_;
    uint8_t head_;
    uint8_t tail_ = 0;
    bool flag_;  // kept for the record; the average does not use it
    std::array<double, 256> ring_{};
};

// The main window's MIDI input port: a device, the input map, and the three controls of the
// "Midi Input Port + Key Setup" box. Turns every incoming message, and every key pressed in the
// window, into actions, follows incoming clock when the map asks, and hands messages to a
// learning editor.
//
// DispatchShort runs on the input thread (MIDI) and the UI thread (keys). It never allocates
// (but for the learn text) and never waits: the map is built aside and swapped in whole.
// Everything else runs on the UI thread.
class MidiInPort {
  public:
    struct Controls {
        ListModel& portSelector;
        ListModel& deviceTypeSelector;
        CheckModel& enableBox;
    };

    // inputFolder: where the definitions are ("<program folder>/indrv/").
    MidiInPort(std::string name, MainState& main, Controls controls, MidiSystem& system,
               InputActions& actions, std::string inputFolder, std::string ownPortName = "in1");
    ~MidiInPort();
    MidiInPort(const MidiInPort&) = delete;
    MidiInPort& operator=(const MidiInPort&) = delete;

    const std::string& Name() const { return name_; }
    TMidiInput& Device() { return device_; }

    // Port selection and settings.
    void FillPortList();
    // Lists the system's devices again, as each time the user opens the list, keeping the
    // current choice by its name (one that has gone stays listed).
    void RefreshPortList();
    void OpenSelectedPort();
    // When devices may have come (a server at last, a controller started later) and the saved
    // one was missing: lists the devices again and opens it if it is there now. True when it
    // opened.
    bool OpenMissingSavedPort();
    // A port that shows "None" only because its saved device was missing writes that device's
    // name and index, so the controller is not forgotten.
    void SavePortSettings(IniFile& file) const;
    // The saved port name that is no longer there, or "".
    std::string LoadPortSettings(const IniFile& file, bool applyPort);

    // A saved device that was not found when the settings were read: the port shows "None"
    // meanwhile, and the settings keep naming the device until another one is opened.
    struct SavedPort {
        std::string name;
        int32_t index = -1;
    };
    std::optional<SavedPort> MissingSavedPort() const;
    // The port selector shows "None".
    bool ShowsNone() const;

    // Definitions.
    void ListDeviceTypes();
    void DeviceTypeChanged();
    void LoadDefinition();
    // Puts the file's map into use; returns what is wrong with the file.
    std::vector<std::string> ReadDefinition(const IniFile& file);
    void WriteDefinition(IniFile& file) const;
    // Writes the map to path (other keys of the file stay) and selects it in the list. False,
    // with the reason in *error, when the file could not be written.
    bool SaveDefinition(const std::string& path, std::string* error = nullptr);
    // Appends the built-in range list to text, one line each.
    static void DescribeRanges(std::string& text);

    // The map in use, as a copy, and a whole new one (the editors' way in).
    InputMap Map() const;
    void SetMap(const InputMap& map);

    const std::string& InputFolder() const { return inputFolder_; }
    // Read-only definitions searched after InputFolder() (those shipped with an installed
    // program); "" for none. New and saved maps always go to InputFolder().
    void SetShippedFolder(std::string folder) { shippedFolder_ = std::move(folder); }
    const std::string& DefinitionPath() const { return definitionPath_; }
    const std::string& DefinitionName() const { return definitionName_; }
    int LoadedTypeIndex() const { return loadedTypeIndex_; }

    // The device's short-message handler; the main window calls it for keys (status 0x60).
    // True when an entry of the enabled map took the message: such a key is the map's alone.
    bool DispatchShort(uint8_t status, uint8_t data1, uint8_t data2, int32_t timeStamp);

    // One tristate step for entry index with a controller value: -1 when it entered the low zone,
    // +1 when it entered the high zone, 0 otherwise (also for an index below 0).
    int TristateStep(int index, int32_t value);

    // Set by the pump after each statistics sample; the next clock takes a measurement and
    // clears it. The main window's model points the port at its own flag.
    std::atomic<bool> MeasureRequested{false};
    void UseMeasureFlag(std::atomic<bool>& flag) { measure_ = &flag; }
    // The learn check box of an open preset editor: while it is checked, every message but
    // Active Sensing is handed to the editor (through the state record's learn text). Clearing
    // waits until no dispatch reads the box any more, so its editor may go right after.
    void SetLearnTarget(const CheckModel* box);
    void ClearLearnTarget();
    const CheckModel* LearnTarget() const { return learnTarget_.load(std::memory_order_acquire); }

    int32_t ClockCount() const { return clockCount_.load(std::memory_order_relaxed); }

    // The lock onto an incoming clock, fed while the map in use asks for it (ClockInLock).
    ClockLock& Lock() { return clockLock_; }
    bool LockMode() const;

  private:
    // quiet: opened by itself (a device that came); a failure there is no news.
    void openSelectedPort(bool quiet);
    void swapIn(std::unique_ptr<InputMap> map);
    void followClock(uint8_t status, int32_t timeStamp);
    void lockClock(uint8_t status);
    bool matchEntries(const InputMap& map, uint8_t status, uint8_t data1, uint8_t data2);

    const std::string name_;
    MainState& main_;
    Controls controls_;
    InputActions& actions_;
    TMidiInput device_;
    AvgFilter clockFilter_{1};
    int loadedTypeIndex_ = -1;
    std::string inputFolder_;
    std::string shippedFolder_;
    std::string definitionName_;
    std::string definitionPath_;
    std::optional<SavedPort> missingSavedPort_;  // UI thread
    std::string reportedProblems_;               // the definition's problems last told

    // The map the dispatch reads. A reader counts itself in before it loads the pointer; a swap
    // frees the old map only once no reader is left, so nothing is freed under a reader and the
    // input thread never frees anything.
    std::atomic<const InputMap*> map_{nullptr};
    std::atomic<int> readers_{0};
    std::mutex mapWriteMutex_;  // UI thread writers

    std::array<std::atomic<int32_t>, kMapEntries> tristateValue_{};
    std::array<std::atomic<int32_t>, kMapEntries> tristateState_{};
    std::atomic<bool>* measure_ = &MeasureRequested;
    std::atomic<int32_t> clockCount_{0};
    std::atomic<int32_t> lastClockStamp_{0};      // where the measurement began
    std::atomic<int32_t> previousClockStamp_{0};  // the clock before this one
    // The next clock begins a new measurement: none yet, or after a Start, Stop or Continue.
    std::atomic<bool> measureFresh_{true};
    std::atomic<const CheckModel*> learnTarget_{nullptr};

    ClockLock clockLock_;
    // Input thread: when the locked tempo was last handed on, and what it was.
    double lockFollowedBpm_ = 0;
    int64_t lockFollowedNs_ = 0;
    uint32_t lockSteps_ = 0;
};
