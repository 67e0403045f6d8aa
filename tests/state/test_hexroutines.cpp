#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "state/hexroutines.h"

namespace {

constexpr int32_t kIntMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kIntMax = std::numeric_limits<int32_t>::max();

// Runs HexToBytes into a buffer with guard bytes after capacity, so an overrun shows up.
std::vector<uint8_t> Bytes(std::string_view text, int32_t capacity = 500) {
    std::vector<uint8_t> buffer(static_cast<size_t>(capacity) + 4, 0xEE);
    const int32_t count = HexToBytes(text, buffer.data(), capacity);
    EXPECT_GE(count, 0);
    EXPECT_LE(count, capacity);
    for (size_t i = static_cast<size_t>(capacity); i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], 0xEE) << "written past capacity at " << i;
    buffer.resize(static_cast<size_t>(count));
    return buffer;
}

using ByteList = std::vector<uint8_t>;

}  // namespace

TEST(HexRoutines, HexDigitValueAcceptsBothCasesAndZeroesTheRest) {
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('A'), 10);
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('a'), 10);
    EXPECT_EQ(HexDigitValue('f'), 15);
    // The neighbours of each range, a space and a byte above 127 all count as 0.
    for (const char c : {'/', ':', '@', 'G', '`', 'g', ' ', ',', 'x', '\xFF', '\x80', '\0'})
        EXPECT_EQ(HexDigitValue(c), 0) << static_cast<int>(c);
}

TEST(HexRoutines, HexToBytesReadsSystemExclusiveText) {
    const ByteList sysex{0xF0, 0x41, 0x10, 0x42, 0x12, 0x07, 0xF7};
    EXPECT_EQ(Bytes("F0 41 10 42 12 7 F7 "), sysex);
    EXPECT_EQ(Bytes("F0 41 10 42 12 7 F7"), sysex);  // the last value has two digits
    EXPECT_EQ(Bytes("f0 41 10 42 12 7 f7 "), sysex);
    EXPECT_EQ(Bytes("F07F"), (ByteList{0xF0, 0x7F}));  // pairs need no separator
    EXPECT_EQ(Bytes("  F0   7F  "), (ByteList{0xF0, 0x7F}));
    EXPECT_EQ(Bytes("FFF "), (ByteList{0xFF, 0x0F}));
}

TEST(HexRoutines, HexToBytesOneDigitValuesNeedAFollowingSpace) {
    EXPECT_EQ(Bytes("F0 7"), (ByteList{0xF0}));
    EXPECT_EQ(Bytes("F0 7 "), (ByteList{0xF0, 0x07}));
    EXPECT_EQ(Bytes("7"), ByteList{});
    EXPECT_EQ(Bytes("7 "), (ByteList{0x07}));
}

TEST(HexRoutines, HexToBytesEmptyAndForeignCharacters) {
    EXPECT_EQ(Bytes(""), ByteList{});
    EXPECT_EQ(Bytes("  "), ByteList{});
    EXPECT_EQ(Bytes("G1 "), (ByteList{0x01}));
    EXPECT_EQ(Bytes("1,2 "), (ByteList{0x10, 0x02}));  // a comma is a 0 digit, not a separator
}

TEST(HexRoutines, HexToBytesStopsAtCapacity) {
    EXPECT_EQ(Bytes("01 02 03 ", 2), (ByteList{0x01, 0x02}));
    EXPECT_EQ(Bytes("01 02 03 ", 0), ByteList{});
    EXPECT_EQ(HexToBytes("01 02 ", nullptr, 0), 0);
    EXPECT_EQ(HexToBytes("01 02 ", nullptr, -1), 0);
}

TEST(HexRoutines, HexToIntSkipsSpacesAndWraps) {
    EXPECT_EQ(HexToInt(""), 0);
    EXPECT_EQ(HexToInt("24"), 36);
    EXPECT_EQ(HexToInt("7 4"), 116);
    EXPECT_EQ(HexToInt("FF"), 255);
    EXPECT_EQ(HexToInt("ff"), 255);
    EXPECT_EQ(HexToInt("X"), 0);
    EXPECT_EQ(HexToInt("X1"), 1);
    EXPECT_EQ(HexToInt("  9 0 4 0 7F "), 0x90407F);  // an input code with its bytes spaced
    EXPECT_EQ(HexToInt("7FFFFFFF"), kIntMax);
    EXPECT_EQ(HexToInt("80000000"), kIntMin);
    EXPECT_EQ(HexToInt("FFFFFFFF"), -1);
    EXPECT_EQ(HexToInt("123456789"), 0x23456789);  // digits beyond 32 bits fall off the top
}

TEST(HexRoutines, RoundToIntRoundsHalfAwayFromZero) {
    EXPECT_EQ(RoundToInt(2.5), 3);
    EXPECT_EQ(RoundToInt(-2.5), -3);
    EXPECT_EQ(RoundToInt(2.4999), 2);
    EXPECT_EQ(RoundToInt(-2.4999), -2);
    EXPECT_EQ(RoundToInt(0.5), 1);
    EXPECT_EQ(RoundToInt(-0.5), -1);
    EXPECT_EQ(RoundToInt(-0.4), 0);
    EXPECT_EQ(RoundToInt(120000.4), 120000);
    // The largest double below 0.5: adding 0.5 would round up to 1.
    EXPECT_EQ(RoundToInt(0.49999999999999994), 0);
}

TEST(HexRoutines, RoundToIntClampsWhatDoesNotFit) {
    EXPECT_EQ(RoundToInt(2147483647.4), kIntMax);
    EXPECT_EQ(RoundToInt(2147483647.5), kIntMax);
    EXPECT_EQ(RoundToInt(-2147483648.4), kIntMin);
    EXPECT_EQ(RoundToInt(-2147483648.5), kIntMin);
    EXPECT_EQ(RoundToInt(1e300), kIntMax);
    EXPECT_EQ(RoundToInt(-1e300), kIntMin);
    EXPECT_EQ(RoundToInt(std::numeric_limits<double>::infinity()), kIntMax);
    EXPECT_EQ(RoundToInt(-std::numeric_limits<double>::infinity()), kIntMin);
    EXPECT_EQ(RoundToInt(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(HexRoutines, RoundToStepRoundsToMultiples) {
    EXPECT_DOUBLE_EQ(RoundToStep(120.0004, 0.001), 120.0);
    EXPECT_DOUBLE_EQ(RoundToStep(131.5784, 0.001), 131.578);
    EXPECT_DOUBLE_EQ(RoundToStep(97.5, 5), 100.0);
    EXPECT_DOUBLE_EQ(RoundToStep(0.25, 0.5), 0.5);
    EXPECT_DOUBLE_EQ(RoundToStep(-0.25, 0.5), -0.5);
    EXPECT_DOUBLE_EQ(RoundToStep(120.13, 0.25), 120.25);
    EXPECT_DOUBLE_EQ(RoundToStep(120.5, 1), 121.0);
    EXPECT_DOUBLE_EQ(RoundToStep(97.5, -5), 100.0);
}

TEST(HexRoutines, RoundToStepSurvivesBadSteps) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(RoundToStep(120.123, 0), 120.123);
    EXPECT_EQ(RoundToStep(120.123, -0.0), 120.123);
    EXPECT_EQ(RoundToStep(120.123, nan), 120.123);
    EXPECT_EQ(RoundToStep(120.123, inf), 120.123);
    EXPECT_EQ(RoundToStep(120.123, -inf), 120.123);
    // Too many steps: the count is clamped to the int32 range instead of overflowing.
    EXPECT_DOUBLE_EQ(RoundToStep(1e300, 0.001), kIntMax * 0.001);
    EXPECT_DOUBLE_EQ(RoundToStep(-1e300, 1), static_cast<double>(kIntMin));
    EXPECT_DOUBLE_EQ(RoundToStep(3000, 1e-300), kIntMax * 1e-300);
    EXPECT_EQ(RoundToStep(nan, 1), 0.0);
}

TEST(HexRoutines, StopwatchMeasuresWholeMicrosecondsFromStart) {
    ManualClock clock(5'000'000'000);
    Stopwatch sw;
    RestartStopwatch(sw, clock);
    EXPECT_EQ(sw.start, 5'000'000'000);
    EXPECT_EQ(ElapsedMicroseconds(sw, clock), 0);

    clock.advanceNs(1999);
    EXPECT_EQ(ElapsedMicroseconds(sw, clock), 1);  // truncated, not rounded
    EXPECT_EQ(sw.last, 5'000'001'999);

    clock.advanceMs(500);
    EXPECT_EQ(ElapsedMicroseconds(sw, clock), 500'001);  // still counted from the start
    EXPECT_EQ(sw.start, 5'000'000'000);

    clock.advanceUs(3'600'000'000LL);  // an hour does not overflow
    EXPECT_EQ(ElapsedMicroseconds(sw, clock), 3'600'500'001LL);

    RestartStopwatch(sw, clock);
    EXPECT_EQ(sw.start, sw.last);
    clock.advanceUs(250);
    EXPECT_EQ(ElapsedMicroseconds(sw, clock), 250);
}

TEST(HexRoutines, StopwatchRunsOnTheSystemClockByDefault) {
    Stopwatch sw;
    RestartStopwatch(sw);
    EXPECT_GT(sw.start, 0);
    EXPECT_GE(ElapsedMicroseconds(sw), 0);
    EXPECT_GE(sw.last, sw.start);
}
