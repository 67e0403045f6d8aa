// The input port in lock mode: clocks feed the lock with the backend's precise stamps, the
// followed tempo is handed on sparingly, transport messages are followed, the half-second
// measurement stays out of it.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "midiin/input_actions.h"
#include "midiin/midi_in_port.h"
#include "platform/ini_file.h"
#include "platform/input_time.h"
#include "platform/midi_memory.h"
#include "platform/midi_system.h"
#include "state/list_model.h"
#include "state/main_state.h"
#include "support/model_rig.h"

namespace {

struct FollowingActions final : InputActions {
    std::vector<double> actions;
    std::vector<double> tempos;
    int continues = 0;
    void PerformActionValue(int, double value) override { actions.push_back(value); }
    void FollowTempo(double bpm) override { tempos.push_back(bpm); }
    void FollowContinue() override { ++continues; }
};

struct LockRig {
    MainState state;
    ListModel portList;
    ListModel typeList;
    CheckModel enable{true};
    TempFolder folder;
    std::unique_ptr<MidiSystem> system = std::make_unique<MidiSystem>();
    FollowingActions actions;
    std::unique_ptr<MidiInPort> port;

    explicit LockRig(const std::string& definition) {
        system->addBackend(std::make_unique<MemoryMidiBackend>());
        port = std::make_unique<MidiInPort>("MIDIINPORT1", state,
                                            MidiInPort::Controls{portList, typeList, enable},
                                            *system, actions, folder.path() + "indrv/");
        folder.write("indrv/Lock.ini", definition);
        port->ListDeviceTypes();
        SelectByName(typeList, "Lock");
        port->DeviceTypeChanged();
    }
    // A message as the JACK input delivers it: with its precise time on this thread.
    void deliver(uint8_t status, int64_t timeNs) {
        SetDeliveredInputTimeNs(timeNs);
        port->DispatchShort(status, 0, 0, static_cast<int32_t>(timeNs / 1'000'000));
        SetDeliveredInputTimeNs(0);
    }
};

constexpr int64_t kPeriod125 = 20'000'000;  // 125 BPM

}  // namespace

TEST(ClockLockDispatch, ClocksLockAndTheTempoIsHandedOnSparingly) {
    LockRig rig("[DEVICECONFIGURATION]\nTEMPOVANE_IN_LOCK=1\nTEMPOVANE_IN_HANDLING=1\n");
    ASSERT_TRUE(rig.port->LockMode());
    std::atomic<bool> measure{true};
    rig.port->UseMeasureFlag(measure);
    const int64_t t0 = 10'000'000'000;
    for (int i = 0; i < 100; ++i) rig.deliver(0xF8, t0 + i * kPeriod125);  // two seconds
    ASSERT_FALSE(rig.actions.tempos.empty());
    EXPECT_NEAR(rig.actions.tempos.back(), 125, 1e-6);
    EXPECT_LE(rig.actions.tempos.size(), 3u) << "a steady tempo is handed on once, not per clock";
    EXPECT_TRUE(rig.actions.actions.empty()) << "the half-second measurement stays out";
    EXPECT_TRUE(measure.load());
    EXPECT_EQ(rig.port->Lock().Current().lastIndex, 99);

    // A step to 150 BPM is handed on as soon as the lock has it, not a quarter second later.
    const size_t before = rig.actions.tempos.size();
    int64_t t = t0 + 99 * kPeriod125;
    for (int i = 0; i < 12; ++i) rig.deliver(0xF8, t += 16'666'667);
    ASSERT_GT(rig.actions.tempos.size(), before);
    EXPECT_NEAR(rig.actions.tempos.back(), 150, 0.01);
}

TEST(ClockLockDispatch, TransportIsFollowedContinueToo) {
    LockRig rig("[DEVICECONFIGURATION]\nTEMPOVANE_IN_LOCK=1\n");
    rig.deliver(0xFA, 1'000'000'000);
    rig.deliver(0xFC, 1'100'000'000);
    rig.deliver(0xFB, 1'200'000'000);
    EXPECT_EQ(rig.actions.actions, (std::vector<double>{10004, 10005}));
    EXPECT_EQ(rig.actions.continues, 1);
}

TEST(ClockLockDispatch, WithoutThePreciseStampTheArrivalTimeCounts) {
    LockRig rig("[DEVICECONFIGURATION]\nTEMPOVANE_IN_LOCK=1\n");
    const int64_t before = MonotonicNowNs();
    rig.port->DispatchShort(0xF8, 0, 0, 0);  // a backend that knows no better
    const ClockLock::Estimate e = rig.port->Lock().Current();
    EXPECT_GE(e.lastInputNs, before);
    EXPECT_LE(e.lastInputNs, MonotonicNowNs());
}

TEST(ClockLockDispatch, OffUnlessTheDefinitionAsks) {
    LockRig rig("[DEVICECONFIGURATION]\nTEMPOVANE_IN_HANDLING=1\n");
    EXPECT_FALSE(rig.port->LockMode());
    for (int i = 0; i < 10; ++i) rig.deliver(0xF8, 1'000'000'000 + i * kPeriod125);
    EXPECT_TRUE(rig.actions.tempos.empty());
    EXPECT_FALSE(rig.port->Lock().Current().valid);
}

TEST(ClockLockDispatch, ASavedDefinitionKeepsTheLock) {
    LockRig rig("[DEVICECONFIGURATION]\nTEMPOVANE_IN_LOCK=1\n");
    IniFile file;
    rig.port->WriteDefinition(file);
    EXPECT_EQ(file.readInt("DEVICECONFIGURATION", "TEMPOVANE_IN_LOCK", 0), 1);
    LockRig off("[DEVICECONFIGURATION]\nTEMPOVANE_IN_LOCK=0\n");
    IniFile second;
    off.port->WriteDefinition(second);
    EXPECT_EQ(second.readInt("DEVICECONFIGURATION", "TEMPOVANE_IN_LOCK", 1), 0);
}
