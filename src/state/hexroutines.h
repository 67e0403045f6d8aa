#pragma once

#include <cstdint>
#include <string_view>

#include "platform/monotonic_clock.h"

// Small shared helpers: hexadecimal text as written in device definitions and input maps,
// rounding of tempo and controller values, and a microsecond stopwatch. None keeps state.

// '0'-'9', 'A'-'F', 'a'-'f' give 0 to 15; every other character counts as 0, so a stray
// letter in a hand-edited file changes a value instead of rejecting the line.
uint8_t HexDigitValue(char c);

// Reads space-separated hex bytes ("F0 41 10 42 12 7 F7" or "F07F") into buffer, at most
// capacity of them, and returns how many were written. Each value is two digits, or one digit
// when a space follows it; the last character never starts a value, so callers append a space
// to make a one-digit value at the end count.
int32_t HexToBytes(std::string_view text, uint8_t* buffer, int32_t capacity);

// The strict reading for text that goes out as MIDI, where a stray character must not turn
// into a byte: values as HexToBytes reads them (a one-digit value also at the very end),
// separated by spaces or tabs. NotHex when any other character occurs, TooLong when there are
// more than capacity values (nothing is cut off); count is the number of values read.
enum class HexProblem { None, NotHex, TooLong };
struct HexReading {
    int32_t count = 0;
    HexProblem problem = HexProblem::None;
};
HexReading HexToBytesStrict(std::string_view text, uint8_t* buffer, int32_t capacity);

// All hex digits of text, spaces skipped, as one number; wraps around past 32 bits.
// "" -> 0, "24" -> 36, "7 4" -> 116.
int32_t HexToInt(std::string_view text);

// Rounds half away from zero (2.5 -> 3, -2.5 -> -3). Values beyond the int32 range give
// INT32_MIN or INT32_MAX and NaN gives 0, because such values can come from a settings file
// and must not stop the program.
int32_t RoundToInt(double x);

// x rounded to the nearest multiple of step, halves away from zero (97.5 to a step of 5 is
// 100). The number of steps is limited to the int32 range. A step of 0, NaN or infinity
// means "no rounding" and returns x unchanged.
double RoundToStep(double x, double step);

// Two readings of a monotonic clock in nanoseconds, owned by the caller (tap tempo keeps one).
struct Stopwatch {
    int64_t start = 0;
    int64_t last = 0;
};

// Sets both readings to now.
void RestartStopwatch(Stopwatch& sw, const MonotonicClock& clock = SystemClock());

// Stores now as the last reading and returns whole microseconds since the start reading
// (truncated). The start reading stays, so repeated calls measure from the same point.
int64_t ElapsedMicroseconds(Stopwatch& sw, const MonotonicClock& clock = SystemClock());
