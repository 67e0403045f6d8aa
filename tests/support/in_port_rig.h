#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "midiin/input_actions.h"
#include "midiin/midi_in_port.h"
#include "platform/midi_memory.h"
#include "platform/midi_system.h"
#include "state/list_model.h"
#include "state/main_state.h"
#include "support/model_rig.h"

// Records every action the dispatch performs, in order.
class RecordingActions final : public InputActions {
  public:
    void PerformActionValue(int index, double value) override {
        std::lock_guard lock(mutex_);
        calls_.emplace_back(index, value);
    }
    std::vector<std::pair<int, double>> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::pair<int, double>> calls_;
};

// A MidiInPort on the memory backend with a source "pedal", a definition folder of its own and
// an action recorder in place of the main window.
struct InPortRig {
    MainState state;
    ListModel portList;
    ListModel typeList;
    CheckModel enable{true};
    TempFolder folder;
    MemoryMidiBackend* memory = nullptr;
    std::unique_ptr<MidiSystem> system;
    RecordingActions actions;
    std::unique_ptr<MidiInPort> port;

    InPortRig() {
        system = std::make_unique<MidiSystem>();
        auto backend = std::make_unique<MemoryMidiBackend>();
        memory = backend.get();
        memory->addInputDevice("pedal");
        system->addBackend(std::move(backend));
        port = std::make_unique<MidiInPort>("MIDIINPORT1", state,
                                            MidiInPort::Controls{portList, typeList, enable},
                                            *system, actions, folder.path() + "indrv/");
    }
    ~InPortRig() { port.reset(); }

    // Writes indrv/Test.ini and loads it as the user would pick it.
    void load(const std::string& definition, const std::string& type = "Test") {
        folder.write("indrv/" + type + ".ini", definition);
        port->ListDeviceTypes();
        SelectByName(typeList, type);
        port->DeviceTypeChanged();
    }
    void open(const std::string& device = "pedal") {
        SelectByName(portList, "Memory: " + device);
        port->OpenSelectedPort();
    }
    int send(uint8_t status, uint8_t data1, uint8_t data2, uint32_t timeMs = 0) {
        return memory->inject("pedal", {status, data1, data2}, timeMs);
    }
    int sendOne(uint8_t status, uint32_t timeMs) {
        return memory->inject("pedal", {status}, timeMs);
    }
};
