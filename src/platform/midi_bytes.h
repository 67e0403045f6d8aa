#pragma once

#include <cstdint>

// MIDI status bytes, named once for everything that sends, receives or checks them.
namespace midi {

inline constexpr uint8_t kNoteOff = 0x80;
inline constexpr uint8_t kNoteOn = 0x90;
inline constexpr uint8_t kControlChange = 0xB0;
inline constexpr uint8_t kProgramChange = 0xC0;
inline constexpr uint8_t kChannelPressure = 0xD0;
inline constexpr uint8_t kSystemExclusive = 0xF0;
inline constexpr uint8_t kEndOfExclusive = 0xF7;
inline constexpr uint8_t kTimingClock = 0xF8;
inline constexpr uint8_t kStart = 0xFA;
inline constexpr uint8_t kContinue = 0xFB;
inline constexpr uint8_t kStop = 0xFC;
inline constexpr uint8_t kActiveSensing = 0xFE;

// A byte with the top bit set starts a message; the others are data.
constexpr bool IsStatus(uint8_t byte) {
    return byte >= 0x80;
}

}  // namespace midi
