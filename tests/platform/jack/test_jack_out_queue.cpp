// The queue of one JACK output: the clock thread never waits for another sender, and the
// process callback still gets every message whole and in the order it was sent.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <vector>

#include "platform/deadline_thread.h"
#include "platform/jack/jack_out_queue.h"
#include "support/bounded_wait.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

struct Taken {
    int64_t timeNs;
    bool asSoonAsPossible;
    Bytes bytes;
};

// What the process callback would take, in its order.
std::vector<Taken> Drain(JackOutQueue& queue) {
    std::vector<Taken> taken;
    MidiEventRing::Header header;
    while (queue.front(header)) {
        Bytes bytes(header.length);
        queue.copyFrontBytes(bytes.data());
        queue.pop();
        taken.push_back({header.timeNs, (header.flags & JackOutQueue::kAsSoonAsPossible) != 0,
                         std::move(bytes)});
    }
    return taken;
}

// Runs job once on a clock thread of its own and waits for it.
template <class Job>
void OnClockThread(Job job) {
    std::promise<void> done;
    bool ran = false;  // the clock thread's own
    DeadlineThread thread([&] {
        if (!ran) {
            ran = true;
            job();
            done.set_value();
        }
        return DeadlineThread::kNoDeadline;
    });
    done.get_future().wait();
}

const Bytes kClock{0xF8};
const Bytes kStop{0xFC};
Bytes SysEx(size_t length) {
    Bytes bytes(length, 0x11);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

}  // namespace

TEST(JackOutQueue, TheClockThreadIsNotHeldUpByASenderStuckInItsCopy) {
    JackOutQueue queue(16 * 1024);
    // A regression that leaves a sender waiting for good must end the test, not hang it.
    const testwait::Watchdog watchdog("the clock thread's and the other senders' pushes");
    // This test stands for a UI thread preempted in the middle of a System Exclusive copy.
    std::unique_lock stuck(queue.sharedSendersMutex());
    auto clocks = std::async(std::launch::async, [&] {
        int queued = 0;
        OnClockThread([&] {
            for (int i = 1; i <= 24; ++i)
                queued += queue.push(i * 1000, false, kClock.data(), kClock.size());
        });
        return queued;
    });
    // Before, every send waited for the same lock: let the ticks go on after the failure, so
    // that the test ends.
    const bool clocksDone = clocks.wait_for(5s) == std::future_status::ready;
    if (!clocksDone) stuck.unlock();
    ASSERT_TRUE(clocksDone) << "the clock thread waited for the stuck sender";
    EXPECT_EQ(clocks.get(), 24);
    // The other senders do wait for one another.
    auto uiSend = std::async(std::launch::async, [&] {
        const Bytes sysex = SysEx(600);
        return queue.push(12'500, false, sysex.data(), sysex.size());
    });
    EXPECT_EQ(uiSend.wait_for(50ms), std::future_status::timeout);
    stuck.unlock();
    ASSERT_EQ(uiSend.wait_for(5s), std::future_status::ready) << "the sender never got its turn";
    EXPECT_TRUE(uiSend.get());

    const auto taken = Drain(queue);
    ASSERT_EQ(taken.size(), 25u);
    // The System Exclusive lands whole between the twelfth and the thirteenth tick.
    EXPECT_EQ(taken[11].timeNs, 12'000);
    EXPECT_EQ(taken[12].bytes, SysEx(600));
    EXPECT_EQ(taken[13].timeNs, 13'000);
    EXPECT_TRUE(queue.empty());
}

TEST(JackOutQueue, MessagesOfBothSidesComeOutInTheOrderTheyWereSent) {
    JackOutQueue queue(16 * 1024);
    // Ticks from the clock thread; a tempo message and a Stop from elsewhere, each sent "as soon
    // as possible" at the moment given.
    OnClockThread([&] {
        for (int64_t t : {100, 200, 300}) queue.push(t, false, kClock.data(), kClock.size());
    });
    const Bytes tempo{0xB0, 0x07, 0x40};
    queue.push(150, true, tempo.data(), tempo.size());
    // A tick that carries the same time as a message from elsewhere goes first: it was due.
    queue.push(300, true, tempo.data(), tempo.size());
    queue.push(350, true, kStop.data(), kStop.size());

    const auto taken = Drain(queue);
    ASSERT_EQ(taken.size(), 6u);
    const std::vector<Bytes> expected{kClock, tempo, kClock, kClock, tempo, kStop};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(taken[i].bytes, expected[i]) << i;
        // The process callback places these at once, the ticks on their frames.
        EXPECT_EQ(taken[i].asSoonAsPossible, expected[i] != kClock) << i;
    }
}

TEST(JackOutQueue, SendersOffTheClockThreadShareOneOrderedRing) {
    JackOutQueue queue(1024);
    // Without a clock thread everything is one ring, first in first out, whatever the times.
    queue.push(500, true, kStop.data(), kStop.size());
    queue.push(100, false, kClock.data(), kClock.size());
    const auto taken = Drain(queue);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].bytes, kStop);
    EXPECT_EQ(taken[1].bytes, kClock);

    // A full ring refuses instead of overwriting; clear() empties both sides.
    const Bytes sysex = SysEx(MidiEventRing::kMaxMessageBytes);
    int accepted = 0;
    while (queue.push(1, true, sysex.data(), sysex.size())) ++accepted;
    EXPECT_EQ(accepted, 0);  // 1024 bytes plus a header never fit a ring of 1024
    const Bytes small = SysEx(100);
    while (queue.push(1, true, small.data(), small.size())) ++accepted;
    EXPECT_GT(accepted, 0);
    OnClockThread([&] { queue.push(5, false, kClock.data(), kClock.size()); });
    EXPECT_FALSE(queue.empty());
    queue.clear();
    EXPECT_TRUE(queue.empty());
    MidiEventRing::Header header;
    EXPECT_FALSE(queue.front(header));
}
