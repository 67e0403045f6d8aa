#include "state/hexroutines.h"

#include <cmath>
#include <limits>

uint8_t HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    return 0;
}

int32_t HexToBytes(std::string_view text, uint8_t* buffer, int32_t capacity) {
    int32_t count = 0;
    size_t i = 0;
    // i + 1 < size: a value needs a second character, either its low digit or the space that
    // ends a one-digit value.
    while (i + 1 < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        if (count >= capacity) break;
        const uint8_t high = HexDigitValue(text[i]);
        const char next = text[i + 1];
        buffer[count++] =
            next == ' ' ? high : static_cast<uint8_t>(high * 16 + HexDigitValue(next));
        i += 2;
    }
    return count;
}

HexReading HexToBytesStrict(std::string_view text, uint8_t* buffer, int32_t capacity) {
    auto isHex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    };
    auto isGap = [](char c) { return c == ' ' || c == '\t'; };
    HexReading reading;
    size_t i = 0;
    while (i < text.size()) {
        if (isGap(text[i])) {
            ++i;
            continue;
        }
        if (!isHex(text[i])) return {reading.count, HexProblem::NotHex};
        uint8_t value = HexDigitValue(text[i]);
        ++i;
        if (i < text.size() && !isGap(text[i])) {
            if (!isHex(text[i])) return {reading.count, HexProblem::NotHex};
            value = static_cast<uint8_t>(value * 16 + HexDigitValue(text[i]));
            ++i;
        }
        if (reading.count >= capacity) return {reading.count, HexProblem::TooLong};
        buffer[reading.count++] = value;
    }
    return reading;
}

int32_t HexToInt(std::string_view text) {
    // Unsigned arithmetic wraps without undefined behaviour; the conversion back is modular.
    uint32_t result = 0;
    for (const char c : text) {
        if (c == ' ') continue;
        result = result * 16 + HexDigitValue(c);
    }
    return static_cast<int32_t>(result);
}

int32_t RoundToInt(double x) {
    if (std::isnan(x)) return 0;
    // std::round is exact half-away-from-zero; trunc(x + 0.5) would turn 0.49999999999999994
    // into 1 because the sum rounds up.
    const double rounded = std::round(x);
    constexpr auto kMin = std::numeric_limits<int32_t>::min();
    constexpr auto kMax = std::numeric_limits<int32_t>::max();
    // Converting an out-of-range double to an integer is undefined, so clamp first.
    if (rounded <= static_cast<double>(kMin)) return kMin;
    if (rounded >= static_cast<double>(kMax)) return kMax;
    return static_cast<int32_t>(rounded);
}

double RoundToStep(double x, double step) {
    if (step == 0.0 || !std::isfinite(step)) return x;
    return step * RoundToInt(x / step);
}

void RestartStopwatch(Stopwatch& sw, const MonotonicClock& clock) {
    sw.start = clock.nowNs();
    sw.last = sw.start;
}

int64_t ElapsedMicroseconds(Stopwatch& sw, const MonotonicClock& clock) {
    sw.last = clock.nowNs();
    return (sw.last - sw.start) / 1000;
}
