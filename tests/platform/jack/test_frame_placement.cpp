// Where the JACK process callback puts a message within a cycle: pure arithmetic, checked here
// to the frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "platform/jack/jack_cycle.h"

namespace {

constexpr double kFramesPerNs = 48000.0 / 1e9;  // 48 kHz
constexpr uint32_t kCycle = 256;
constexpr int64_t kStart = 1'000'000'000;  // the cycle's first frame, in JACK's time
constexpr int64_t kLatency = 6'333'333;    // one period plus a margin
// The cycles a placement loop runs through at most: one whose ticks never land ends there, and
// its count of ticks then fails the test.
constexpr uint32_t kMostCycles = 100'000;

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

namespace {

// A steady clock placed cycle by cycle while the cycle line on the system clock wobbles by a
// fraction of a frame: the frames each tick lands on, on JACK's frame count.
std::vector<int64_t> PlaceSteadyClock(double intervalFrames, int ticks,
                                      const std::vector<double>& lineWobbleFrames, bool chained) {
    FrameChain chain;
    std::vector<int64_t> landed;
    const double nsPerFrame = 1 / kFramesPerNs;
    int tick = 0;
    for (uint32_t cycle = 0; tick < ticks && cycle < kMostCycles; ++cycle) {
        const uint32_t firstFrame = 1000 + cycle * kCycle;
        // Where this cycle's first frame lies on the system clock, as the line estimates it.
        const double wobble = lineWobbleFrames[cycle % lineWobbleFrames.size()];
        const auto cycleStart =
            static_cast<int64_t>(std::llround((cycle * kCycle + wobble) * nsPerFrame));
        uint32_t previous = 0;
        while (tick < ticks) {
            // Due on the system clock at tick * interval; a time stamp is never 0 ("now").
            const int64_t stamp = std::llround(tick * intervalFrames * nsPerFrame) - kLatency + 1;
            FramePlacement place;
            if (chained) {
                place = PlaceOnFrameChained(stamp, kLatency, cycleStart, kFramesPerNs, kCycle,
                                            previous, firstFrame, chain);
            } else {
                place = PlaceOnFrame(stamp, kLatency, cycleStart, kFramesPerNs, kCycle, previous);
            }
            if (place.kind == FramePlacement::Kind::LaterCycle) break;
            landed.push_back(static_cast<int64_t>(firstFrame) + place.frame);
            previous = place.frame;
            ++tick;
        }
    }
    return landed;
}

std::vector<int64_t> Intervals(const std::vector<int64_t>& frames) {
    std::vector<int64_t> intervals;
    for (size_t i = 1; i < frames.size(); ++i) intervals.push_back(frames[i] - frames[i - 1]);
    return intervals;
}

}  // namespace

TEST(FrameChain, AWobblingLineLeavesASteadyClockExactToTheFrame) {
    // The line wanders across a half frame and back; the tick times themselves are exact.
    const std::vector<double> wobble = {0.45, 0.55, 0.40, 0.62, 0.50, 0.38, 0.58, 0.47};
    // 120 BPM at 48 kHz: 1000 frames a tick. Rounded afresh each time, some intervals step.
    const auto plain = Intervals(PlaceSteadyClock(1000, 60, wobble, false));
    ASSERT_EQ(plain.size(), 59u);
    EXPECT_TRUE(std::any_of(plain.begin(), plain.end(), [](int64_t i) { return i != 1000; }));
    const auto chained = Intervals(PlaceSteadyClock(1000, 60, wobble, true));
    ASSERT_EQ(chained.size(), 59u);
    EXPECT_TRUE(std::all_of(chained.begin(), chained.end(), [](int64_t i) { return i == 1000; }));
    // 128 BPM: 937.5 frames, so 937 and 938 take turns, never more than half a frame off.
    const auto half = Intervals(PlaceSteadyClock(937.5, 60, wobble, true));
    ASSERT_EQ(half.size(), 59u);
    for (size_t i = 0; i < half.size(); ++i) {
        EXPECT_TRUE(half[i] == 937 || half[i] == 938) << i << ": " << half[i];
        if (i > 0) {
            EXPECT_NE(half[i], half[i - 1]) << i;
        }
    }
}

TEST(FrameChain, GivesWayToTheLineAtOnceWhenItJumps) {
    FrameChain chain;
    // A message on frame 100 of a cycle starting at frame 5000 starts the chain.
    FramePlacement place =
        PlaceOnFrameChained(StampAt(100), kLatency, kStart, kFramesPerNs, kCycle, 0, 5000, chain);
    ASSERT_TRUE(chain.valid);
    EXPECT_EQ(place.frame, 100u);
    // The next, 50 frames later by its time, while the line has moved by 0.8 of a frame: the
    // chain holds it to 50 frames after the first.
    const double moved = 0.8 / kFramesPerNs;
    place = PlaceOnFrameChained(StampAt(150), kLatency, kStart - static_cast<int64_t>(moved),
                                kFramesPerNs, kCycle, 100, 5000, chain);
    EXPECT_EQ(place.frame, 150u);
    // The line moved by five frames (an xrun, a new delay): the line decides.
    const double jumped = 5 / kFramesPerNs;
    place = PlaceOnFrameChained(StampAt(200), kLatency, kStart - static_cast<int64_t>(jumped),
                                kFramesPerNs, kCycle, 150, 5000, chain);
    EXPECT_EQ(place.frame, 205u);
    EXPECT_FALSE(place.held);
}

TEST(FrameChain, AHeldMessageBreaksTheChainAndTheLineAloneJudgesLateness) {
    FrameChain chain;
    FramePlacement place =
        PlaceOnFrameChained(StampAt(10), kLatency, kStart, kFramesPerNs, kCycle, 0, 5000, chain);
    ASSERT_TRUE(chain.valid);
    // Behind a message written at frame 40, the next one (due at 30) is held: no chain from it.
    place =
        PlaceOnFrameChained(StampAt(30), kLatency, kStart, kFramesPerNs, kCycle, 40, 5000, chain);
    EXPECT_EQ(place.frame, 40u);
    EXPECT_TRUE(place.held);
    EXPECT_FALSE(chain.valid);
    // The chain would put a message a frame before this cycle's start; the line puts it on
    // frame 0 in time: not late.
    FrameChain early;
    early.valid = true;
    early.cycleFrame = 5000 - kCycle;
    early.position = 255.0;
    early.dueNs = StampAt(-0.2) + kLatency - static_cast<int64_t>(0.9 / kFramesPerNs);
    place =
        PlaceOnFrameChained(StampAt(-0.2), kLatency, kStart, kFramesPerNs, kCycle, 0, 5000, early);
    EXPECT_EQ(place.kind, FramePlacement::Kind::Due);
    EXPECT_EQ(place.frame, 0u);
}

TEST(FrameChain, ALineThatDriftsIsFollowedAFrameAtATime) {
    // The line pulled along at 300 ppm, as fast as it ever follows its lowest wake-up: each
    // step the chain takes back towards it shows as one interval a frame long or short, never
    // more, and no tick strays further from the line than the draw allows.
    const double nsPerFrame = 1 / kFramesPerNs;
    for (const double interval : {400.0, 937.5, 1000.0}) {
        for (const double ppm : {300.0, -300.0}) {
            const double driftPerCycle = kCycle * ppm * 1e-6;
            FrameChain chain;
            std::vector<int64_t> landed;
            double worstFromLine = 0;
            int tick = 0;
            for (uint32_t cycle = 0; tick < 600 && cycle < kMostCycles; ++cycle) {
                const uint32_t firstFrame = 1000 + cycle * kCycle;
                const double lineFrames = 0.3 + cycle * driftPerCycle;
                const auto cycleStart =
                    static_cast<int64_t>(std::llround((cycle * kCycle + lineFrames) * nsPerFrame));
                uint32_t previous = 0;
                while (tick < 600) {
                    const int64_t stamp = std::llround(tick * interval * nsPerFrame) - kLatency + 1;
                    const FramePlacement place =
                        PlaceOnFrameChained(stamp, kLatency, cycleStart, kFramesPerNs, kCycle,
                                            previous, firstFrame, chain);
                    if (place.kind == FramePlacement::Kind::LaterCycle) break;
                    landed.push_back(static_cast<int64_t>(firstFrame) + place.frame);
                    const double onLine = 1000 + tick * interval - lineFrames;
                    worstFromLine = std::max(
                        worstFromLine, std::fabs(static_cast<double>(landed.back()) - onLine));
                    previous = place.frame;
                    ++tick;
                }
            }
            ASSERT_EQ(landed.size(), 600u) << interval << " frames at " << ppm << " ppm";
            const auto intervals = Intervals(landed);
            for (size_t i = 0; i < intervals.size(); ++i) {
                EXPECT_LE(std::fabs(static_cast<double>(intervals[i]) - interval), 1.0)
                    << interval << " frames at " << ppm << " ppm, interval " << i;
            }
            // Over 600 ticks the line moved by some 70-180 frames; the clock went with it.
            EXPECT_LE(worstFromLine, FrameChain::kDrawFrames + 0.5)
                << interval << " frames at " << ppm << " ppm";
        }
    }
}

namespace {

// Readings of JACK's clock (whole microseconds) between two reads of ours, our clock running
// `offsetNs` behind JACK's, each reading at a random point within a microsecond and with a
// random gap of 60-400 ns between our two reads.
struct OffsetReadings {
    std::mt19937 random{20261208};
    int64_t ourNs = 5'000'000'000;

    // Hands ClockOffset one reading and returns its estimate; singleNs is what the reading says
    // on its own (the middle of its bracket).
    int64_t read(ClockOffset& offset, int64_t offsetNs, int64_t& singleNs) {
        ourNs += 20'000'000 + std::uniform_int_distribution<int64_t>(0, 999)(random);
        const int64_t gap = std::uniform_int_distribution<int64_t>(60, 400)(random);
        const int64_t before = ourNs;
        const int64_t after = ourNs + gap;
        const int64_t jackAt = (before + after) / 2 + offsetNs;
        const auto jackUs = static_cast<uint64_t>(jackAt / 1000);
        singleNs = static_cast<int64_t>(jackUs) * 1000 + 500 - (before + after) / 2;
        return offset.add(before, jackUs, after);
    }
};

}  // namespace

TEST(ClockOffset, ReadingsOfOneClockSettleAndThenStayPut) {
    constexpr int64_t kTrue = 1'234'567'891;
    OffsetReadings readings;
    ClockOffset offset;
    int64_t single = 0;
    for (size_t i = 0; i < ClockOffset::kWindow; ++i) readings.read(offset, kTrue, single);
    EXPECT_LE(std::llabs(offset.estimateNs() - kTrue), 150);

    int64_t previous = offset.estimateNs(), largestStep = 0, worst = 0;
    int64_t singleLowest = INT64_MAX, singleHighest = INT64_MIN;
    for (int i = 0; i < 1000; ++i) {
        const int64_t estimate = readings.read(offset, kTrue, single);
        largestStep = std::max<int64_t>(largestStep, std::llabs(estimate - previous));
        worst = std::max<int64_t>(worst, std::llabs(estimate - kTrue));
        previous = estimate;
        singleLowest = std::min(singleLowest, single);
        singleHighest = std::max(singleHighest, single);
    }
    // A frame at 48 kHz is 20,833 ns: a tick moves across a half frame only where it lies
    // within these few nanoseconds of one.
    EXPECT_LE(largestStep, 60);
    EXPECT_LE(worst, 250);
    // The readings themselves scatter over most of a microsecond.
    EXPECT_GE(singleHighest - singleLowest, 600);
}

TEST(ClockOffset, FollowsClocksThatPartAndStartsAfreshAfterAStepOrForANewServer) {
    OffsetReadings readings;
    ClockOffset offset;
    int64_t single = 0;
    int64_t trueNs = 10'000;
    for (size_t i = 0; i < ClockOffset::kWindow; ++i) readings.read(offset, trueNs, single);
    // Our clock slewed 10 ppm against JACK's: 200 ns more offset every 20 ms reading.
    int64_t previous = offset.estimateNs(), largestStep = 0, worst = 0;
    for (int i = 0; i < 500; ++i) {
        trueNs += 200;
        const int64_t estimate = readings.read(offset, trueNs, single);
        if (i >= static_cast<int>(ClockOffset::kWindow)) {
            largestStep = std::max<int64_t>(largestStep, std::llabs(estimate - previous));
            worst = std::max<int64_t>(worst, std::llabs(estimate - trueNs));
        }
        previous = estimate;
    }
    EXPECT_LE(worst, 250);
    EXPECT_LE(largestStep, 300);
    // A reading held up for 50 us between our two reads, its middle 25 us off: passed over.
    const int64_t before = readings.ourNs + 1'000'000;
    const auto heldUs = static_cast<uint64_t>((before + trueNs) / 1000);
    EXPECT_EQ(offset.add(before, heldUs, before + 50'000), previous);
    // A clock stepped by 20 us: taken at the next reading, not over a second of readings.
    trueNs += 20'000;
    EXPECT_LE(std::llabs(readings.read(offset, trueNs, single) - trueNs), 700);
    // A new server, its clock only 300 ns elsewhere: its first reading is taken as it is, not
    // averaged with the old server's.
    offset.forget();
    EXPECT_EQ(readings.read(offset, trueNs + 300, single), single);
}

TEST(FrameChain, ATickNearAHalfFrameKeepsItsFrameAsTheClockOffsetIsRefreshed) {
    // 2500 BPM: a tick every 48 frames (1 ms), due 0.49 frames into a frame on JACK's time (a
    // hundredth of a frame is 208 ns), converted from our clock with the offset refreshed every
    // 20 ticks, as the senders do.
    const double nsPerFrame = 1 / kFramesPerNs;
    constexpr int64_t kTrue = 40'000;
    auto land = [&](bool fitted) {
        OffsetReadings readings;
        ClockOffset offset;
        int64_t single = 0;
        // The port was open for a while before the clock started, the offset refreshed meanwhile.
        int64_t offsetNs = 0;
        for (size_t i = 0; i < ClockOffset::kWindow; ++i)
            offsetNs = readings.read(offset, kTrue, single);
        if (!fitted) offsetNs = single;
        FrameChain chain;
        std::vector<int64_t> landed;
        int tick = 0;
        for (uint32_t cycle = 0; tick < 2000 && cycle < kMostCycles; ++cycle) {
            const uint32_t firstFrame = cycle * kCycle;
            const auto cycleStart = static_cast<int64_t>(std::llround(cycle * kCycle * nsPerFrame));
            uint32_t previous = 0;
            while (tick < 2000) {
                if (tick % 20 == 0) {
                    const int64_t fittedNs = readings.read(offset, kTrue, single);
                    offsetNs = fitted ? fittedNs : single;
                }
                // Our clock's time stamp; JACK's is it plus the offset.
                const int64_t ours =
                    std::llround((tick * 48 + 1000.49) * nsPerFrame) - kLatency - kTrue;
                const FramePlacement place =
                    PlaceOnFrameChained(ours + offsetNs, kLatency, cycleStart, kFramesPerNs, kCycle,
                                        previous, firstFrame, chain);
                if (place.kind == FramePlacement::Kind::LaterCycle) break;
                landed.push_back(static_cast<int64_t>(firstFrame) + place.frame);
                previous = place.frame;
                ++tick;
            }
        }
        return Intervals(landed);
    };
    auto offFrames = [](const std::vector<int64_t>& intervals) {
        return std::count_if(intervals.begin(), intervals.end(), [](int64_t i) { return i != 48; });
    };
    const auto fitted = land(true);
    ASSERT_EQ(fitted.size(), 1999u);
    // Each reading on its own moves the tick across the half frame and back, again and again;
    // the fitted offset, once settled, at most once in a while.
    const auto single = land(false);
    EXPECT_GE(offFrames(single), 20);
    EXPECT_LE(offFrames(fitted), 2);
}

// A clock tick late by a short xrun still goes out, first thing; one later than the bound is
// dropped; and no two ticks share a frame within a cycle.
TEST(TickPlacement, LateWithinTheBoundIsSentBeyondItDroppedNeverTwoOnOneFrame) {
    const double boundFrames = TickPlacement::kLateBoundNs * kFramesPerNs;  // 480
    const auto place = [](double due, uint32_t previous = 0) {
        return PlaceOnFrame(StampAt(due), kLatency, kStart, kFramesPerNs, kCycle, previous);
    };
    // On time: its own frame.
    TickPlacement tick = PlaceTick(place(20), 20, kFramesPerNs, kCycle, -1);
    EXPECT_EQ(tick.kind, TickPlacement::Kind::Send);
    EXPECT_EQ(tick.frame, 20u);
    // Late by just under the bound: frame 0 of this cycle.
    tick = PlaceTick(place(-boundFrames + 2), -boundFrames + 2, kFramesPerNs, kCycle, -1);
    EXPECT_EQ(tick.kind, TickPlacement::Kind::Send);
    EXPECT_EQ(tick.frame, 0u);
    // Just over it: dropped.
    tick = PlaceTick(place(-boundFrames - 2), -boundFrames - 2, kFramesPerNs, kCycle, -1);
    EXPECT_EQ(tick.kind, TickPlacement::Kind::Drop);
    // Two late ticks in a row: the second goes a frame after the first, and so on.
    tick = PlaceTick(place(-30, 0), -30, kFramesPerNs, kCycle, 0);
    EXPECT_EQ(tick.frame, 1u);
    tick = PlaceTick(place(5, 7), 5, kFramesPerNs, kCycle, 7);
    EXPECT_EQ(tick.frame, 8u);
    // A tick pushed past the cycle's last frame waits for the next cycle; so does one due there.
    EXPECT_EQ(PlaceTick(place(255, 255), 255, kFramesPerNs, kCycle, 255).kind,
              TickPlacement::Kind::NextCycle);
    EXPECT_EQ(PlaceTick(place(300), 300, kFramesPerNs, kCycle, -1).kind,
              TickPlacement::Kind::NextCycle);
}
