#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "midiin/midi_input.h"
#include "platform/midi_memory.h"
#include "platform/midi_system.h"

namespace {

struct InputRig {
    MemoryMidiBackend* memory = nullptr;
    std::unique_ptr<MidiSystem> system = std::make_unique<MidiSystem>();
    std::unique_ptr<TMidiInput> input;
    std::vector<std::vector<uint8_t>> shorts;
    std::vector<int32_t> stamps;
    std::vector<std::vector<uint8_t>> pieces;

    explicit InputRig(int extraDevices = 1) {
        auto backend = std::make_unique<MemoryMidiBackend>();
        memory = backend.get();
        for (int i = 0; i < extraDevices; ++i) memory->addInputDevice("dev" + std::to_string(i));
        system->addBackend(std::move(backend));
        input = std::make_unique<TMidiInput>(*system, "in1");
        input->OnShort = [this](TMidiInput&, uint8_t s, uint8_t a, uint8_t b, int32_t t) {
            shorts.push_back({s, a, b});
            stamps.push_back(t);
        };
        input->OnSysEx = [this](TMidiInput&, const uint8_t* add, int32_t size) {
            pieces.emplace_back(add, add + size);
        };
    }
    // Index 0 is our virtual input, 1 the first added source.
    void open(int index = 1) {
        input->SetPort(index);
        input->SetUsing(true);
    }
};

}  // namespace

TEST(TMidiInput, DeviceListIsCappedAndPortRefusesIndexesBeyondIt) {
    InputRig many(200);
    EXPECT_EQ(many.input->NumDevs(), TMidiInput::kMaxDevices);
    EXPECT_EQ(many.input->ProductName(0), "Memory: Tempovane virtual input");

    MidiSystem empty;
    TMidiInput none(empty, "in1");
    EXPECT_EQ(none.NumDevs(), 0);
    none.SetPort(0);
    none.SetPort(5);
    EXPECT_EQ(none.Port(), 0);
    none.SetUsing(true);
    EXPECT_FALSE(none.Using());
    EXPECT_NE(none.LastOpenResult(), TMidiInput::kOpenOk);
}

TEST(TMidiInput, OpensOnceAndReopensOnPortChange) {
    InputRig rig(2);
    rig.open(1);
    rig.input->SetUsing(true);
    EXPECT_EQ(rig.memory->inputOpenCount("dev0"), 1);
    EXPECT_EQ(rig.memory->lastOwnPortName("dev0"), "");  // inputs are counted apart from outputs

    rig.input->SetPort(1);  // the same index while open: closed and opened again
    EXPECT_EQ(rig.memory->inputOpenCount("dev0"), 2);
    EXPECT_EQ(rig.memory->inputsOpenNow("dev0"), 1);

    rig.input->SetPort(2);
    EXPECT_EQ(rig.memory->inputsOpenNow("dev0"), 0);
    EXPECT_EQ(rig.memory->inputsOpenNow("dev1"), 1);
    EXPECT_TRUE(rig.input->Using());

    rig.input->SetPort(3);  // beyond the list: nothing changes
    EXPECT_EQ(rig.input->Port(), 2);
    rig.input->SetUsing(false);
    rig.input->SetUsing(false);
    EXPECT_EQ(rig.memory->inputsOpenNow("dev1"), 0);
    EXPECT_EQ(rig.memory->inputOpenCount("dev1"), 1);
}

TEST(TMidiInput, ShortMessagesCarryTheirBytesAndTimeStamp) {
    InputRig rig;
    rig.open();
    rig.memory->inject("dev0", {0xB0, 0x07, 0x40}, 1234);
    rig.memory->inject("dev0", {0xC3, 0x05}, 1300);
    rig.memory->inject("dev0", {0xF8}, 1400);
    ASSERT_EQ(rig.shorts.size(), 3u);
    EXPECT_EQ(rig.shorts[0], (std::vector<uint8_t>{0xB0, 0x07, 0x40}));
    EXPECT_EQ(rig.shorts[1], (std::vector<uint8_t>{0xC3, 0x05, 0}));
    EXPECT_EQ(rig.shorts[2], (std::vector<uint8_t>{0xF8, 0, 0}));
    EXPECT_EQ(rig.stamps, (std::vector<int32_t>{1234, 1300, 1400}));
    EXPECT_TRUE(rig.pieces.empty());
}

TEST(TMidiInput, SysExArrivesInPiecesOfOneBuffer) {
    InputRig rig;
    rig.open();
    std::vector<uint8_t> message(300);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i & 0x7F);
    message.front() = 0xF0;
    message.back() = 0xF7;
    rig.memory->inject("dev0", message, 5);
    ASSERT_EQ(rig.pieces.size(), 3u);
    EXPECT_EQ(rig.pieces[0].size(), 128u);
    EXPECT_EQ(rig.pieces[1].size(), 128u);
    EXPECT_EQ(rig.pieces[2].size(), 44u);
    std::vector<uint8_t> joined;
    for (const auto& piece : rig.pieces) joined.insert(joined.end(), piece.begin(), piece.end());
    EXPECT_EQ(joined, message);
    EXPECT_TRUE(rig.shorts.empty());

    // A backend's later piece of the same message starts with a data byte: still System Exclusive.
    rig.pieces.clear();
    rig.memory->inject("dev0", {0x01, 0x02, 0xF7}, 6);
    ASSERT_EQ(rig.pieces.size(), 1u);
    EXPECT_TRUE(rig.shorts.empty());
}

TEST(TMidiInput, UseFlagsSilenceTheirHandlersOnly) {
    InputRig rig;
    rig.open();
    rig.input->SetUseShort(false);
    rig.memory->inject("dev0", {0x90, 60, 100}, 1);
    rig.memory->inject("dev0", {0xF0, 0x7D, 0xF7}, 2);
    EXPECT_TRUE(rig.shorts.empty());
    EXPECT_EQ(rig.pieces.size(), 1u);

    rig.input->SetUseShort(true);
    rig.input->SetUseSysEx(false);
    rig.memory->inject("dev0", {0xF0, 0x7D, 0xF7}, 3);
    rig.memory->inject("dev0", {0x90, 60, 100}, 4);
    EXPECT_EQ(rig.pieces.size(), 1u);
    EXPECT_EQ(rig.shorts.size(), 1u);
}

TEST(TMidiInput, NothingArrivesAfterCloseAndFailedOpenStaysClosed) {
    InputRig rig;
    rig.open();
    rig.input->SetUsing(false);
    EXPECT_EQ(rig.memory->inject("dev0", {0x90, 60, 100}, 1), 0);
    EXPECT_TRUE(rig.shorts.empty());

    // What a backend still hands over once the close has begun is dropped.
    const uint8_t late[] = {0xF0, 0x01, 0xF7};
    rig.input->Deliver(late, sizeof late, 3);
    const uint8_t note[] = {0x90, 60, 1};
    rig.input->Deliver(note, sizeof note, 3);
    EXPECT_TRUE(rig.pieces.empty());
    EXPECT_TRUE(rig.shorts.empty());

    rig.input->SetUsing(false);
    rig.memory->setFailOpenInput("dev0", true);
    rig.input->ClearResults();
    rig.input->SetUsing(true);
    EXPECT_FALSE(rig.input->Using());
    EXPECT_EQ(rig.input->LastOpenResult(), TMidiInput::kOpenFailed);
}
