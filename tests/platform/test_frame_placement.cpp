// Where the JACK process callback puts a message within a cycle: pure arithmetic, checked here
// to the frame.
#include <gtest/gtest.h>

#include "platform/midi_jack.h"

namespace {

constexpr double kFramesPerNs = 48000.0 / 1e9;  // 48 kHz
constexpr uint32_t kCycle = 256;
constexpr int64_t kStart = 1'000'000'000;  // the cycle's first frame, in JACK's time
constexpr int64_t kLatency = 6'333'333;    // one period plus a margin

// A time stamp whose due moment lies `frames` frames after the cycle's start.
int64_t StampAt(double frames) {
    return kStart - kLatency + static_cast<int64_t>(frames / kFramesPerNs + 0.5);
}

FramePlacement Place(int64_t stamp, uint32_t previous = 0) {
    return PlaceOnFrame(stamp, kLatency, kStart, kFramesPerNs, kCycle, previous);
}

}  // namespace

TEST(FramePlacement, RoundsToTheNearestFrame) {
    // Just under and just over a half frame go to different frames; a whole frame stays put.
    EXPECT_EQ(Place(StampAt(10.0)).frame, 10u);
    EXPECT_EQ(Place(StampAt(10.4)).frame, 10u);
    EXPECT_EQ(Place(StampAt(10.6)).frame, 11u);
    EXPECT_EQ(Place(StampAt(0.6)).frame, 1u);
    EXPECT_EQ(Place(StampAt(10.6)).kind, FramePlacement::Kind::Due);
}

TEST(FramePlacement, CycleBoundaries) {
    // The last frame of this cycle is due here; half a frame later belongs to the next cycle.
    EXPECT_EQ(Place(StampAt(255.0)).kind, FramePlacement::Kind::Due);
    EXPECT_EQ(Place(StampAt(255.0)).frame, 255u);
    EXPECT_EQ(Place(StampAt(255.6)).kind, FramePlacement::Kind::LaterCycle);
    EXPECT_EQ(Place(StampAt(4000)).kind, FramePlacement::Kind::LaterCycle);
    // Less than half a frame before the start still rounds onto frame 0, on time.
    EXPECT_EQ(Place(StampAt(-0.4)).kind, FramePlacement::Kind::Due);
    EXPECT_EQ(Place(StampAt(-0.4)).frame, 0u);
}

TEST(FramePlacement, LateMessagesGoFirstThingAndAreCounted) {
    const FramePlacement late = Place(StampAt(-300));
    EXPECT_EQ(late.kind, FramePlacement::Kind::Late);
    EXPECT_EQ(late.frame, 0u);
    // Behind a message already written at frame 7, a late one follows it there.
    EXPECT_EQ(Place(StampAt(-300), 7).frame, 7u);
    EXPECT_EQ(Place(StampAt(-300), 7).kind, FramePlacement::Kind::Late);
}

TEST(FramePlacement, NeverBeforeTheMessageWrittenAheadOfIt) {
    // Order is kept: a message due earlier than its predecessor goes on the predecessor's frame.
    EXPECT_EQ(Place(StampAt(20), 50).frame, 50u);
    EXPECT_EQ(Place(StampAt(50), 50).frame, 50u);
    EXPECT_EQ(Place(StampAt(51), 50).frame, 51u);
    // "Now" (time stamp 0) goes right where the previous message went.
    EXPECT_EQ(Place(0, 0).frame, 0u);
    EXPECT_EQ(Place(0, 123).frame, 123u);
    EXPECT_EQ(Place(0, 123).kind, FramePlacement::Kind::Now);
}
