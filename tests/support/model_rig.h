#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/main_model.h"
#include "midiout/midi_out_port.h"
#include "platform/deadline_thread.h"
#include "platform/midi_memory.h"
#include "platform/midi_system.h"

// A folder of its own for one test, removed afterwards.
class TempFolder {
  public:
    TempFolder() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("tempovane-test-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    std::string path() const { return path_.string() + "/"; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    void write(const std::string& name, const std::string& text) const {
        std::filesystem::create_directories((path_ / name).parent_path());
        std::ofstream(path_ / name, std::ios::binary) << text;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(path_ / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

  private:
    std::filesystem::path path_;
};

// The main window's model on the memory backend with a hand-driven clock: tests open ports,
// press transport commands and step the BPM timer tick by tick.
struct ModelRig {
    ManualClock clock;
    MemoryMidiBackend* memory = nullptr;
    TempFolder folder;
    std::unique_ptr<KorvidMainModel> model;

    explicit ModelRig(std::vector<std::string> devices = {"synth", "drums"}) {
        auto system = std::make_unique<MidiSystem>();
        auto backend = std::make_unique<MemoryMidiBackend>();
        memory = backend.get();
        for (const auto& d : devices) memory->addDevice(d);
        system->addBackend(std::move(backend));
        model =
            std::make_unique<KorvidMainModel>(std::move(system), clock, TBPMTimer::Drive::Manual);
        std::filesystem::create_directories(folder.path() + "outdrv");
        model->CreatePorts(folder.path() + "outdrv/");
    }

    MidiOutPort& port1() { return *model->OutPort1(); }
    MidiOutPort& port2() { return *model->OutPort2(); }

    void writeDefinition(const std::string& type, const std::string& text) {
        folder.write("outdrv/" + type + ".ini", text);
    }
    // Lists the device types again, as at start-up, after definitions were written.
    void relistTypes() {
        port1().ListDeviceTypes();
        port2().ListDeviceTypes();
    }
    // Chooses a device type the way the user does (selection, then the change handler).
    static void chooseType(KorvidMainModel::OutPortControls& c, MidiOutPort& port,
                           const std::string& type) {
        SelectByName(c.deviceType, type);
        port.DeviceTypeChanged();
    }
    // Chooses a device ("synth") for a port, as the port selector's change handler does.
    static void choosePort(KorvidMainModel::OutPortControls& c, MidiOutPort& port,
                           const std::string& device) {
        SelectByName(c.port, "Memory: " + device);
        port.OpenSelectedPort();
    }
    void openPort1(const std::string& device = "synth") {
        choosePort(model->out1Controls, port1(), device);
    }
    void openPort2(const std::string& device = "drums") {
        choosePort(model->out2Controls, port2(), device);
    }

    // One tick: the clock moves to the next due time and the timer raises it.
    bool tick() {
        const int64_t due = model->Timer().NextDueNs();
        if (due == DeadlineThread::kNoDeadline) return false;
        clock.setNs(std::max(clock.nowNs(), due));
        return model->Timer().Poll();
    }
    void ticks(int n) {
        for (int i = 0; i < n; ++i) ASSERT_TRUE(tick());
    }

    // Bytes sent to a device, one entry per message, as hex text ("F8", "F0 7D 01 78 00 F7").
    std::vector<std::string> sent(const std::string& device) const {
        std::vector<std::string> out;
        for (const auto& m : memory->messagesFor(device)) {
            std::string text;
            for (uint8_t b : m.bytes) {
                static const char* digits = "0123456789ABCDEF";
                if (!text.empty()) text += ' ';
                text += digits[b >> 4];
                text += digits[b & 15];
            }
            out.push_back(text);
        }
        return out;
    }
    static int count(const std::vector<std::string>& messages, const std::string& m) {
        return static_cast<int>(std::count(messages.begin(), messages.end(), m));
    }
};
