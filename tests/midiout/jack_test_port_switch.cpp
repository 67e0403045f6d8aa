// Closing a JACK output: what was queued for the old device reaches it before its port goes,
// so a release string or a Stop sent just before a port change is never lost.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/main_model.h"
#include "midiout/midi_out_port.h"
#include "support/jack_model_rig.h"
#include "support/jack_support.h"

using namespace jacktest;

namespace {

const std::vector<uint8_t> kInit = {0xF0, 0x7D, 0x11, 0xF7};
const std::vector<uint8_t> kRelease = {0xF0, 0x7D, 0x22, 0xF7};

struct Mark {
    uint32_t frame;
    char device;
    char what;  // 'i' init, 'r' release, 'S' Stop
};

// The init and release strings and Stops that arrived, in frame order over both devices.
std::vector<Mark> Marks(const JackRecorder& a, const JackRecorder& b) {
    std::vector<Mark> marks;
    for (const auto& [recorder, device] : {std::pair{&a, 'A'}, std::pair{&b, 'B'}}) {
        for (const auto& event : recorder->events()) {
            if (event.bytes == kInit) marks.push_back({event.frame, device, 'i'});
            if (event.bytes == kRelease) marks.push_back({event.frame, device, 'r'});
            if (event.bytes == std::vector<uint8_t>{0xFC})
                marks.push_back({event.frame, device, 'S'});
        }
    }
    std::stable_sort(marks.begin(), marks.end(),
                     [](const Mark& x, const Mark& y) { return x.frame < y.frame; });
    return marks;
}

std::string Sequence(const std::vector<Mark>& marks, char device = 0) {
    std::string text;
    for (const Mark& mark : marks) {
        if (device && mark.device != device) continue;
        if (!text.empty()) text += ' ';
        if (!device) text += mark.device;
        text += mark.what;
    }
    return text;
}

struct PortSwitchTest : ::testing::Test {
    void SetUp() override {
        jack_set_error_function(&QuietJackError);
        synthA = std::make_unique<JackRecorder>("synthA");
        synthB = std::make_unique<JackRecorder>("synthB");
        ASSERT_TRUE(synthA->ok() && synthB->ok()) << "no JACK server; run through run_with_jack.sh";
        model = ModelOnJack();
        ASSERT_TRUE(model);

        folder = ::testing::TempDir() + "jack-switch-" + std::to_string(getpid()) + "/";
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "Swap.ini")
            << "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\ndevice_sysex_enable=1\n"
               "device_sysexinit_string=F0 7D 11 F7\ndevice_sysexrelease_string=F0 7D 22 F7\n";
        model->CreatePorts(folder);
        ASSERT_TRUE(SelectByName(model->out1Controls.deviceType, "Swap"));
        model->OutPort1()->DeviceTypeChanged();
    }
    void TearDown() override {
        model.reset();
        synthA.reset();
        synthB.reset();
        std::filesystem::remove_all(folder);
    }

    void Choose(const JackRecorder& synth) {
        ASSERT_TRUE(SelectListed(model->out1Controls.port, *model->OutPort1(),
                                 "JACK: " + synth.portName()));
        model->OutPort1()->OpenSelectedPort();
        ASSERT_TRUE(model->state.PortReady.load());
    }

    std::unique_ptr<JackRecorder> synthA, synthB;
    std::unique_ptr<KorvidMainModel> model;
    std::string folder;
};

}  // namespace

TEST_F(PortSwitchTest, EachDeviceHearsItsReleaseBeforeTheNextDeviceItsInit) {
    Choose(*synthA);
    Choose(*synthB);
    Choose(*synthA);
    ASSERT_TRUE(WaitUntil([&] { return Marks(*synthA, *synthB).size() >= 5; }, 5s))
        << Sequence(Marks(*synthA, *synthB));
    std::this_thread::sleep_for(100ms);  // nothing more may come
    const auto marks = Marks(*synthA, *synthB);
    EXPECT_EQ(Sequence(marks, 'A'), "i r i");
    EXPECT_EQ(Sequence(marks, 'B'), "i r");
    // Both recorders count the server's frames, so the order across devices shows too.
    EXPECT_EQ(Sequence(marks), "Ai Ar Bi Br Ai");
}

TEST_F(PortSwitchTest, AStopQueuedJustBeforeAPortChangeArrives) {
    Choose(*synthA);
    model->SetBPM(300);
    model->Timer().SetTempo(static_cast<uint32_t>(model->state.TempoMilliBPM.load()));
    model->StartTransport(true, false);
    ASSERT_TRUE(synthA->waitFor(20));
    model->StopTransport(true);
    Choose(*synthB);
    ASSERT_TRUE(WaitUntil([&] { return Marks(*synthA, *synthB).size() >= 4; }, 5s))
        << Sequence(Marks(*synthA, *synthB));
    EXPECT_EQ(Sequence(Marks(*synthA, *synthB)), "Ai AS Ar Bi");
}

TEST_F(PortSwitchTest, WhatIsQueuedGoesOutWhenTheProgramCloses) {
    Choose(*synthA);
    ASSERT_TRUE(synthA->waitFor(1));
    model->OutPort1()->SendRelease();
    model.reset();  // closes the port at once
    ASSERT_TRUE(WaitUntil([&] { return Marks(*synthA, *synthB).size() >= 2; }, 2s))
        << Sequence(Marks(*synthA, *synthB));
    EXPECT_EQ(Sequence(Marks(*synthA, *synthB)), "Ai Ar");
}

TEST_F(PortSwitchTest, AJackPortLetsTheTimerPlaceTicksLateByMoreThanAPeriod) {
    // What the clock thread may be late by and still be placed: at least a JACK period
    // (256 frames at 48 kHz are 5.3 ms), far more than a tick at fast tempos.
    EXPECT_EQ(model->OutPort1()->Device().LookaheadNs(), 0);
    Choose(*synthA);
    EXPECT_GT(model->OutPort1()->Device().LookaheadNs(), 5'333'000);
    model->OutPort1()->Device().SetUsing(false);
    EXPECT_EQ(model->OutPort1()->Device().LookaheadNs(), 0);
}
