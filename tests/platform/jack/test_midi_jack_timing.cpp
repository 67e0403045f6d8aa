// The parts of the JACK backend that need no server: the ring between senders and the process
// callback, and the estimate of where each cycle lies in time.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "platform/jack/jack_cycle.h"
#include "platform/jack/jack_out_queue.h"
#include "support/bounded_wait.h"

namespace {

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

// Takes the oldest message out of the ring, as the process callback does.
bool PopMessage(MidiEventRing& ring, int64_t& timeNs, std::vector<uint8_t>& bytes) {
    MidiEventRing::Header header;
    if (!ring.front(header)) return false;
    timeNs = header.timeNs;
    bytes.resize(header.length);
    ring.copyFrontBytes(bytes.data());
    ring.pop();
    return true;
}

}  // namespace

TEST(MidiEventRing, DeliversMessagesInOrderAcrossTheWrap) {
    MidiEventRing ring(256);
    // Sizes chosen so that headers and bodies come to straddle the end of the storage.
    int64_t sent = 0;
    int64_t received = 0;
    for (int round = 0; round < 200; ++round) {
        const size_t length = 1 + (round * 37) % 70;
        ASSERT_TRUE(ring.push(sent, Pattern(length, static_cast<uint8_t>(sent)).data(), length));
        ++sent;
        if (round % 3 != 0) {
            int64_t time = 0;
            std::vector<uint8_t> bytes;
            ASSERT_TRUE(PopMessage(ring, time, bytes));
            EXPECT_EQ(time, received);
            EXPECT_EQ(bytes, Pattern(bytes.size(), static_cast<uint8_t>(received)));
            ++received;
        }
        while (sent - received > 2) {  // keep the ring from filling up
            int64_t time = 0;
            std::vector<uint8_t> bytes;
            ASSERT_TRUE(PopMessage(ring, time, bytes));
            EXPECT_EQ(time, received++);
        }
    }
}

TEST(MidiEventRing, FullRingRefusesUntilTheReaderCatchesUp) {
    // A record is a 16-byte header and the bytes padded to 8: five clock ticks fill 120 of 128.
    MidiEventRing ring(128);
    ASSERT_EQ(ring.capacity(), 128u);
    const uint8_t clock = 0xF8;
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(ring.push(i + 1, &clock, 1));
    EXPECT_FALSE(ring.push(6, &clock, 1));
    int64_t time = 0;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(PopMessage(ring, time, bytes));
    EXPECT_EQ(time, 1);
    EXPECT_TRUE(ring.push(6, &clock, 1));
    for (int64_t expected = 2; expected <= 6; ++expected) {
        ASSERT_TRUE(PopMessage(ring, time, bytes));
        EXPECT_EQ(time, expected);
    }
    EXPECT_FALSE(PopMessage(ring, time, bytes));
}

TEST(MidiEventRing, RefusesEmptyAndOversizedMessages) {
    MidiEventRing ring(4096);
    const auto longest = Pattern(MidiEventRing::kMaxMessageBytes, 1);
    EXPECT_FALSE(ring.push(1, longest.data(), 0));
    EXPECT_FALSE(ring.push(1, longest.data(), longest.size() + 1));
    EXPECT_TRUE(ring.push(1, longest.data(), longest.size()));
    int64_t time = 0;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(PopMessage(ring, time, bytes));
    EXPECT_EQ(bytes, longest);
    // Capacity is rounded up to a power of two.
    EXPECT_EQ(MidiEventRing(1000).capacity(), 1024u);
}

TEST(MidiEventRing, OneWriterAndOneReaderOnTheirOwnThreads) {
    MidiEventRing ring(1024);
    constexpr int64_t kMessages = 20000;
    const testwait::Watchdog watchdog("the writer's and the reader's messages");
    std::thread writer([&] {
        for (int64_t i = 0; i < kMessages;) {
            const size_t length = 1 + static_cast<size_t>(i % 40);
            if (ring.push(i, Pattern(length, static_cast<uint8_t>(i)).data(), length)) {
                ++i;
            } else {
                std::this_thread::yield();
            }
        }
    });
    int64_t expected = 0;
    int mismatches = 0;
    while (expected < kMessages) {
        int64_t time = 0;
        std::vector<uint8_t> bytes;
        if (!PopMessage(ring, time, bytes)) {
            std::this_thread::yield();
            continue;
        }
        if (time != expected || bytes.size() != 1 + static_cast<size_t>(expected % 40) ||
            bytes != Pattern(bytes.size(), static_cast<uint8_t>(expected))) {
            ++mismatches;
        }
        ++expected;
    }
    writer.join();
    EXPECT_EQ(mismatches, 0);
}

namespace {

constexpr uint32_t kRate = 48000;
constexpr uint32_t kPeriod = 256;
constexpr double kNsPerFrame = 1e9 / kRate;

// A driver whose period boundaries lie on a straight line, and callbacks that wake some time
// after them.
struct SimulatedDriver {
    uint32_t frame = 4'000'000'000u;  // close to the 32-bit wrap
    double boundaryNs = 5e12;

    int64_t advance(double wakeDelayNs) {
        frame += kPeriod;
        boundaryNs += kPeriod * kNsPerFrame;
        return static_cast<int64_t>(boundaryNs + wakeDelayNs);
    }
    // Cycles whose callbacks all wake the same time after their boundary.
    void run(CycleClock& clock, int cycles, double wakeDelayNs) {
        for (int cycle = 0; cycle < cycles; ++cycle)
            clock.update(frame, advance(wakeDelayNs), kPeriod, kRate);
    }
};

}  // namespace

TEST(CycleClock, LateWakeUpsDoNotMoveTheCycleLine) {
    CycleClock clock;
    SimulatedDriver driver;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> usual(20'000, 60'000);  // 20-60 us
    // Warm up: at least one prompt wake-up (20 us) in the window.
    clock.update(driver.frame, driver.advance(20'000), kPeriod, kRate);
    double worstError = 0;
    for (int cycle = 0; cycle < 3000; ++cycle) {
        // Every 50th wake-up is late by up to three milliseconds, as on a loaded machine.
        const double delay =
            cycle % 50 == 0 ? 20'000 + 3'000'000.0 * (cycle % 7 + 1) / 7 : usual(random);
        const int64_t woke = driver.advance(delay);
        const int64_t estimate = clock.update(driver.frame, woke, kPeriod, kRate);
        // The estimate lies on the line, offset by the least delay seen (about 20 us).
        const double error = static_cast<double>(estimate) - driver.boundaryNs - 20'000;
        worstError = std::max(worstError, std::abs(error));
    }
    EXPECT_LT(worstError, 1000.0) << "ns";  // far under a frame (20833 ns)
    EXPECT_DOUBLE_EQ(clock.nsPerFrame(), kNsPerFrame);
}

TEST(CycleClock, FollowsASlippedDriverAfterForget) {
    CycleClock clock;
    SimulatedDriver driver;
    driver.run(clock, 100, 10'000);
    // An xrun: the frames carry on, but their boundaries now lie 4 ms later.
    driver.boundaryNs += 4'000'000;
    const int64_t stale = clock.update(driver.frame, driver.advance(10'000), kPeriod, kRate);
    EXPECT_NEAR(static_cast<double>(stale) - driver.boundaryNs, -4'000'000 + 10'000, 1000);
    clock.forget();
    const int64_t fresh = clock.update(driver.frame, driver.advance(10'000), kPeriod, kRate);
    EXPECT_NEAR(static_cast<double>(fresh) - driver.boundaryNs, 10'000, 1000);
}

TEST(CycleClock, FollowsAWanderingLowestWakeUpOnlyAtDriftRate) {
    CycleClock clock;
    SimulatedDriver driver;
    driver.run(clock, 100, 50'000);
    // One wake-up 45 us quicker than all before: the estimate moves towards it by no more
    // than 300 ppm of a period per cycle (1.6 us), so tick spacing hardly changes.
    const double maxStep = kPeriod * kNsPerFrame * 300e-6;
    double offset =
        static_cast<double>(clock.update(driver.frame, driver.advance(5'000), kPeriod, kRate)) -
        driver.boundaryNs;
    EXPECT_NEAR(offset, 50'000 - maxStep, 1.0);
    for (int cycle = 0; cycle < 100; ++cycle) {
        const double next = static_cast<double>(clock.update(driver.frame, driver.advance(50'000),
                                                             kPeriod, kRate)) -
                            driver.boundaryNs;
        EXPECT_LE(std::abs(next - offset), maxStep + 1.0);
        offset = next;
    }
    EXPECT_NEAR(offset, 5'000, 1000);  // arrived
    // Two seconds of slower wake-ups later, the quick one has left the window and the
    // estimate creeps back up.
    for (uint32_t cycle = 0; cycle < 2 * kRate / kPeriod + 100; ++cycle) {
        offset = static_cast<double>(
                     clock.update(driver.frame, driver.advance(50'000), kPeriod, kRate)) -
                 driver.boundaryNs;
    }
    EXPECT_NEAR(offset, 50'000, 1000);
}

TEST(CycleClock, CountedStartsKeepTheNominalSpacingWhileTheEstimateFollows) {
    CycleClock clock;
    SimulatedDriver driver;
    driver.run(clock, 100, 50'000);
    const int64_t countedBefore = clock.countedStartNs();
    // A quicker wake-up pulls the estimate along at drift rate; the counted starts go on at
    // exactly one period a cycle, which is what times incoming events.
    clock.update(driver.frame, driver.advance(5'000), kPeriod, kRate);
    int64_t previous = clock.countedStartNs();
    EXPECT_NEAR(static_cast<double>(previous - countedBefore), kPeriod * kNsPerFrame, 1.0);
    for (int cycle = 0; cycle < 50; ++cycle) {
        clock.update(driver.frame, driver.advance(50'000), kPeriod, kRate);
        const int64_t counted = clock.countedStartNs();
        EXPECT_NEAR(static_cast<double>(counted - previous), kPeriod * kNsPerFrame, 1.0) << cycle;
        previous = counted;
    }
}

TEST(CycleClock, TakesAMoveNoDriftExplainsAtOnce) {
    CycleClock clock;
    SimulatedDriver driver;
    driver.run(clock, 100, 10'000);
    // The boundaries now lie 3 ms earlier (the clock we read them by stepped back).
    driver.boundaryNs -= 3'000'000;
    const int64_t estimate = clock.update(driver.frame, driver.advance(10'000), kPeriod, kRate);
    EXPECT_NEAR(static_cast<double>(estimate) - driver.boundaryNs, 10'000, 1000);
}

TEST(CycleClock, StartsAfreshOnANewSampleRate) {
    CycleClock clock;
    SimulatedDriver driver;
    clock.update(driver.frame, driver.advance(10'000), kPeriod, kRate);
    const int64_t woke = driver.advance(10'000);
    EXPECT_EQ(clock.update(driver.frame, woke, kPeriod, 44100), woke);
    EXPECT_DOUBLE_EQ(clock.nsPerFrame(), 1e9 / 44100);
}

TEST(CycleClock, ADriverXrunThatLeftTheCycleBehindStartsTheLineAfreshAtOnce) {
    CycleClock clock;
    SimulatedDriver driver;
    driver.run(clock, 100, 10'000);
    // The driver was held up for 30 ms: the frames carry on from a line that much later.
    driver.boundaryNs += 30'000'000;
    const int64_t fresh =
        clock.update(driver.frame, driver.advance(10'000), kPeriod, kRate, /*driverXrun=*/true);
    EXPECT_NEAR(static_cast<double>(fresh) - driver.boundaryNs, 10'000, 1000);
    EXPECT_EQ(clock.lineMoves(), 1u);
}

TEST(CycleClock, EvenADriverXrunOfAFewMicrosecondsMovesTheLine) {
    CycleClock clock;
    SimulatedDriver driver;
    driver.run(clock, 100, 10'000);
    // The driver woke 60 us past its time and carries on from there. Were the old line kept,
    // its prompt wake-ups would hold the estimate 60 us early for two seconds: three frames.
    driver.boundaryNs += 60'000;
    clock.update(driver.frame, driver.advance(10'000), kPeriod, kRate, /*driverXrun=*/true);
    int64_t estimate = 0;
    for (int cycle = 0; cycle < 100; ++cycle)
        estimate = clock.update(driver.frame, driver.advance(10'000), kPeriod, kRate);
    EXPECT_NEAR(static_cast<double>(estimate) - driver.boundaryNs, 10'000, 1000);
    EXPECT_EQ(clock.lineMoves(), 1u);
}

TEST(CycleClock, AfterADriverXrunTheLineMovesByTheDriversDelayNotByALateWakeUp) {
    CycleClock clock;
    SimulatedDriver driver;
    driver.run(clock, 100, 10'000);
    // The driver was held up 30 us; our callback of that cycle ran 7 ms after its boundary.
    // The line moves by the 30 us the server reports, and the next prompt wake-ups agree.
    driver.boundaryNs += 30'000;
    const int64_t fresh = clock.update(driver.frame, driver.advance(7'000'000), kPeriod, kRate,
                                       /*driverXrun=*/true, /*driverDelayNs=*/30'000);
    EXPECT_NEAR(static_cast<double>(fresh) - driver.boundaryNs, 10'000, 1000);
    for (int cycle = 0; cycle < 50; ++cycle) {
        const int64_t estimate = clock.update(driver.frame, driver.advance(10'000), kPeriod, kRate);
        EXPECT_NEAR(static_cast<double>(estimate) - driver.boundaryNs, 10'000, 1000) << cycle;
    }
    // A reported delay that would put the line after the wake-up is held at the wake-up.
    driver.boundaryNs += 2'000'000;
    const int64_t held = clock.update(driver.frame, driver.advance(10'000), kPeriod, kRate,
                                      /*driverXrun=*/true, /*driverDelayNs=*/9'000'000);
    EXPECT_NEAR(static_cast<double>(held) - driver.boundaryNs, 10'000, 1000);
    EXPECT_EQ(clock.lineMoves(), 2u);
}

TEST(CycleClock, WithoutWordOfAnXrunAMovedLineIsTakenAfterEightCyclesBehind) {
    CycleClock clock;
    SimulatedDriver driver;
    driver.run(clock, 100, 10'000);
    // Seven wake-ups in a row 2 ms late are a loaded machine, not a moved line.
    for (int cycle = 0; cycle < 7; ++cycle) {
        const int64_t estimate =
            clock.update(driver.frame, driver.advance(2'010'000), kPeriod, kRate);
        EXPECT_NEAR(static_cast<double>(estimate) - driver.boundaryNs, 10'000, 1000);
    }
    clock.update(driver.frame, driver.advance(10'000), kPeriod, kRate);
    EXPECT_EQ(clock.lineMoves(), 0u);
    // A line 5 ms later, with no word of it: followed from the eighth cycle on.
    driver.boundaryNs += 5'000'000;
    int64_t estimate = 0;
    for (size_t cycle = 0; cycle < CycleClock::kMovedAfterCycles; ++cycle)
        estimate = clock.update(driver.frame, driver.advance(10'000), kPeriod, kRate);
    EXPECT_NEAR(static_cast<double>(estimate) - driver.boundaryNs, 10'000, 1000);
    EXPECT_EQ(clock.lineMoves(), 1u);
}
