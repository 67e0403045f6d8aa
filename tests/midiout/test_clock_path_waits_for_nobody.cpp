// The clock thread's sends and status posts never wait for what the UI thread is doing: a
// System Exclusive send that takes its time, or the pump reading the status text.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "midiout/midi_output.h"
#include "platform/midi_system.h"
#include "state/main_state.h"
#include "support/bounded_wait.h"

namespace {

// A device whose System Exclusive send hangs until the test lets it go, as a slow sequencer
// write or a preempted UI thread would.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool longSendEntered = false;
    bool open = false;
    std::atomic<int> shorts{0};
    std::atomic<int> liveConnections{0};

    void waitOpen() {
        std::unique_lock lock(mutex);
        longSendEntered = true;
        cv.notify_all();
        // A test that fails before it lets the send go still ends (its watchdog tells).
        cv.wait_for(lock, testwait::kPatience, [&] { return open; });
    }
    // The send under way has reached the device; false if it did not within the patience.
    bool waitEntered() {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, testwait::kPatience, [&] { return longSendEntered; });
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        cv.notify_all();
    }
};

class GatedConnection : public MidiOutConnection {
  public:
    explicit GatedConnection(Gate& gate) : gate_(gate) { ++gate_.liveConnections; }
    ~GatedConnection() override { --gate_.liveConnections; }
    bool sendShort(const uint8_t*, size_t, int64_t) override {
        ++gate_.shorts;
        return true;
    }
    bool sendLong(const uint8_t*, size_t, int64_t) override {
        gate_.waitOpen();
        return true;
    }
    bool isAlive() const override { return true; }

  private:
    Gate& gate_;
};

class GatedBackend : public MidiOutBackend {
  public:
    explicit GatedBackend(Gate& gate) : gate_(gate) {}
    std::string prefix() const override { return "Gated"; }
    std::vector<std::string> listOutputs() override { return {"slow"}; }
    std::unique_ptr<MidiOutConnection> openOutput(const std::string&, const std::string&) override {
        return std::make_unique<GatedConnection>(gate_);
    }
    void setProblemSink(ProblemSink) override {}

  private:
    Gate& gate_;
};

}  // namespace

TEST(ClockPath, ClocksGoOutWhileASystemExclusiveSendIsUnderWay) {
    Gate gate;
    MidiSystem system;
    system.addBackend(std::make_unique<GatedBackend>(gate));
    TMidiOutput device(system, "out");
    device.SetPort(0);
    device.SetUsing(true);
    ASSERT_TRUE(device.Using());

    const testwait::Watchdog watchdog("the sends and the close");
    const uint8_t sysex[] = {0xF0, 0x7D, 0x01, 0xF7};
    std::thread ui([&] { device.SendLong(sysex, 4); });
    EXPECT_TRUE(gate.waitEntered());
    // The clock thread's sends finish while the long send still hangs. (Before, they waited
    // for it; the generous bound only keeps a regression from hanging the suite.)
    auto clocks = std::async(std::launch::async, [&] {
        for (int i = 0; i < 24; ++i) device.SendShort(0xF8, 0, 0, 0);
    });
    EXPECT_EQ(clocks.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    gate.release();
    ui.join();
    clocks.wait();
    EXPECT_EQ(gate.shorts.load(), 24);
}

TEST(ClockPath, ACloseWaitsForASendUnderWayAndLaterSendsGoNowhere) {
    Gate gate;
    MidiSystem system;
    system.addBackend(std::make_unique<GatedBackend>(gate));
    TMidiOutput device(system, "out");
    device.SetPort(0);
    device.SetUsing(true);
    const testwait::Watchdog watchdog("the send and the close");
    const uint8_t sysex[] = {0xF0, 0x7D, 0x01, 0xF7};
    std::thread sender([&] { device.SendLong(sysex, 4); });
    EXPECT_TRUE(gate.waitEntered());
    auto closing = std::async(std::launch::async, [&] { device.SetUsing(false); });
    // The connection outlives the send that is using it.
    EXPECT_EQ(closing.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(gate.liveConnections.load(), 1);
    gate.release();
    sender.join();
    closing.wait();
    EXPECT_EQ(gate.liveConnections.load(), 0);
    device.SendShort(0xF8, 0, 0, 0);
    EXPECT_EQ(gate.shorts.load(), 0);
}

TEST(ClockPath, RunningIsPostedAsACodeAndTheNewestPostWins) {
    MainState state;
    state.PostStatus("MIDI Port Selected ...", StatusColors::teal);
    state.PostStatusCode(MainState::StatusCode::Running);
    MainState::Status shown = state.PendingStatus();
    EXPECT_EQ(shown.text, "Running ...");
    EXPECT_EQ(shown.color, StatusColors::green);
    EXPECT_EQ(state.StatusChanges.load(), 2);
    state.PostStatus("Stopped ...", StatusColors::purple);
    shown = state.PendingStatus();
    EXPECT_EQ(shown.text, "Stopped ...");
    EXPECT_EQ(shown.color, StatusColors::purple);
}

TEST(ClockPath, StatusCodesFromOneThreadAndTextsFromAnotherStayWhole) {
    MainState state;
    const testwait::Watchdog watchdog("the posts of both threads");
    std::thread clock([&] {
        for (int i = 0; i < 5000; ++i) state.PostStatusCode(MainState::StatusCode::Running);
    });
    for (int i = 0; i < 5000; ++i) {
        state.PostStatus("Pause Sent ...", StatusColors::yellow);
        const MainState::Status s = state.PendingStatus();
        if (s.text == "Running ...") {
            EXPECT_EQ(s.color, StatusColors::green);
        } else {
            EXPECT_EQ(s.text, "Pause Sent ...");
            EXPECT_EQ(s.color, StatusColors::yellow);
        }
    }
    clock.join();
    EXPECT_EQ(state.StatusChanges.load(), 10000);
}
