// The transport's beat grid without a server: bars and beats to beat positions and back, and
// when a rolling transport's grid is anchored afresh.
#include <gtest/gtest.h>

#include <thread>

#include "platform/transport_grid.h"

namespace {

TransportCycle Rolling(uint32_t transportFrame, int64_t cycleFrame, int32_t bar, int32_t beat,
                       int32_t tick, double bpm = 120) {
    TransportCycle c;
    c.rolling = true;
    c.transportFrame = transportFrame;
    c.cycleFrame = cycleFrame;
    c.frames = 256;
    c.bbt = true;
    c.bar = bar;
    c.beat = beat;
    c.tick = tick;
    c.bpm = bpm;
    return c;
}

}  // namespace

TEST(TransportGrid, BarsBeatsAndTicksRoundTripThroughBeatPositions) {
    EXPECT_DOUBLE_EQ(BeatPositionOf(1, 1, 0, 1920, 4), 0);
    EXPECT_DOUBLE_EQ(BeatPositionOf(2, 3, 960, 1920, 4), 6.5);
    EXPECT_DOUBLE_EQ(BeatPositionOf(3, 1, 0, 1920, 3), 6);  // three beats a bar
    const BbtPlace place = BbtOfBeat(6.5, 4, 1920);
    EXPECT_EQ(place.bar, 2);
    EXPECT_EQ(place.beat, 3);
    EXPECT_EQ(place.tick, 960);
    EXPECT_DOUBLE_EQ(place.barStartTick, 4 * 1920);
    // On a boundary bar, beat and tick agree (no 1|4|1920), also a hair below it.
    const BbtPlace bar = BbtOfBeat(4 - 1e-12, 4, 1920);
    EXPECT_EQ(bar.bar, 2);
    EXPECT_EQ(bar.beat, 1);
    EXPECT_EQ(bar.tick, 0);
    const BbtPlace before = BbtOfBeat(-0.25, 4, 1920);  // before our first bar: its start
    EXPECT_EQ(before.bar, 1);
    EXPECT_EQ(before.tick, 0);
}

TEST(TransportGrid, BarLinesAndFramesOnTheAnchoredGrid) {
    EXPECT_TRUE(OnBarLine(8, 4));
    EXPECT_FALSE(OnBarLine(1.25, 4));
    EXPECT_DOUBLE_EQ(BarLineAtOrAfter(1.25, 4), 4);
    EXPECT_DOUBLE_EQ(BarLineAtOrAfter(4, 4), 4);
    EXPECT_DOUBLE_EQ(BarLineAtOrAfter(4 - 1e-9, 4), 4);
    TransportView view;
    view.anchorBeat = 1.25;
    view.anchorFrame = 1000;
    view.framesPerBeat = 24000;
    view.cycleFrame = 1000;
    view.cycleStartNs = 5'000'000'000;
    view.nsPerFrame = 1e9 / 48000;
    EXPECT_DOUBLE_EQ(FrameOfBeat(view, 4), 1000 + 2.75 * 24000);
    EXPECT_DOUBLE_EQ(BeatAtFrame(view, 1000 + 2.75 * 24000), 4);
    EXPECT_NEAR(TimeOfFrame(view, 1000 + 48000), 6e9, 1e-3);
    EXPECT_NEAR(FrameAtTime(view, 6'000'000'000), 49000, 1e-9);
}

TEST(TransportGrid, AnchorsAtTheStartAndKeepsItWhileTheFramesRunOn) {
    TransportAnchor anchor;
    TransportView view;
    TransportCycle stopped = Rolling(0, 10'000, 1, 1, 0);
    stopped.rolling = false;
    EXPECT_FALSE(anchor.update(stopped, view));
    EXPECT_TRUE(anchor.update(Rolling(0, 10'256, 1, 1, 0), view));
    EXPECT_EQ(view.rollSerial, 1u);
    EXPECT_EQ(view.anchorFrame, 10'256);
    EXPECT_DOUBLE_EQ(view.startBeat, 0);
    EXPECT_DOUBLE_EQ(view.framesPerBeat, 24000);
    // A master that adds whole ticks each cycle falls behind its tempo: its bars and beats are
    // not taken again while the frames run on, and a missed cycle is no relocate.
    EXPECT_FALSE(anchor.update(Rolling(256, 10'512, 1, 1, 20), view));
    EXPECT_FALSE(anchor.update(Rolling(768, 11'024, 1, 1, 40), view));
    EXPECT_EQ(view.gridSerial, 0u);
    EXPECT_EQ(view.anchorFrame, 10'256);
    // A relocate moves the grid onto the new position; so does a new tempo.
    EXPECT_TRUE(anchor.update(Rolling(48'000, 11'280, 1, 3, 0), view));
    EXPECT_EQ(view.gridSerial, 1u);
    EXPECT_EQ(view.anchorFrame, 11'280);
    EXPECT_DOUBLE_EQ(view.anchorBeat, 2);
    EXPECT_TRUE(anchor.update(Rolling(48'256, 11'536, 1, 3, 20, 140), view));
    EXPECT_EQ(view.gridSerial, 2u);
    EXPECT_DOUBLE_EQ(view.framesPerBeat, 48000.0 * 60 / 140);
    EXPECT_EQ(view.rollSerial, 1u);
    // Bars and beats that cannot be move nothing, however the frames jumped.
    EXPECT_FALSE(anchor.update(Rolling(90'000, 11'792, 1223908497, 7, -3, 140), view));
    EXPECT_EQ(view.gridSerial, 2u);
    EXPECT_EQ(view.anchorFrame, 11'536);
}

TEST(TransportGrid, StartInTheMiddleOfABarAndRollingWithoutAMaster) {
    TransportAnchor anchor;
    TransportView view;
    // Started 1.25 beats in, the BBT of a cycle 100 frames before this one.
    TransportCycle c = Rolling(30'000, 5'000, 1, 2, 480);
    c.bbtOffset = 100;
    EXPECT_TRUE(anchor.update(c, view));
    EXPECT_EQ(view.anchorFrame, 4'900);
    EXPECT_NEAR(view.startBeat, 1.25 + 100.0 / 24000, 1e-12);
    EXPECT_FALSE(OnBarLine(view.startBeat, view.beatsPerBar));
    TransportAnchor plain;
    TransportView roll;
    TransportCycle noMaster = Rolling(0, 0, 1, 1, 0);
    noMaster.bbt = false;
    EXPECT_TRUE(plain.update(noMaster, roll));
    EXPECT_TRUE(roll.rolling);
    EXPECT_FALSE(roll.hasGrid);
}

TEST(TransportGrid, LatchReadersNeverSeeAViewHalfWritten) {
    TransportViewLatch latch;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        TransportView view;
        for (int64_t i = 1; i <= 200'000; ++i) {
            view.anchorFrame = i;
            view.cycleFrame = i;
            view.cycleStartNs = -i;
            latch.write(view);
        }
        done = true;
    });
    int64_t last = 0;
    while (!done.load()) {
        const TransportView view = latch.read();
        ASSERT_EQ(view.cycleFrame, view.anchorFrame);
        ASSERT_EQ(view.cycleStartNs, -view.anchorFrame);
        ASSERT_GE(view.anchorFrame, last);  // never an older copy after a newer one
        last = view.anchorFrame;
    }
    writer.join();
    EXPECT_EQ(latch.read().anchorFrame, 200'000);
}
