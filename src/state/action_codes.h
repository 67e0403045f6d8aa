#pragma once

// What an entry of the input map does: the whole part of its action value is the code (1 to
// 9999 set that tempo, commands from 10000 on), the thousandths its parameter. One table for the
// dispatch, the main model's PerformAction and the patch editor's list of actions.
enum class ActionCode : int {
    DoNothing = 0,
    ControllerToTempo = 10000,  // the controller's value through the tempo map
    StartStop = 10001,
    Pause = 10002,
    Continue = 10003,
    Start = 10004,
    Stop = 10005,
    BpmMinus1 = 10006,
    BpmPlus1 = 10007,
    BpmMinus2 = 10008,
    BpmPlus2 = 10009,
    BpmTimes2 = 10010,
    BpmHalf = 10011,
    TristateTempo = 10012,
    BpmMinusRounding = 10016,
    BpmPlusRounding = 10017,
    BeatReset = 10101,
    TristateDividerPort1 = 11012,
    TristateDividerPort2 = 12012,
    TristateDividerBoth = 13012,
    Tap = 20001,
    ControlInput = 20101,  // the beat period of a foot controller's own clock
};

inline constexpr int kLowestTempoCode = 1;
inline constexpr int kHighestTempoCode = 9999;

constexpr double ActionValue(ActionCode code, int thousandths = 0) {
    return static_cast<int>(code) + thousandths * 0.001;
}

// Action values with a parameter that changes what they do (as a definition's text reads).
inline constexpr double kByte1MapValue = 10000.1;   // ControllerToTempo, byte 1 only
inline constexpr double kTapAnyKeyValue = 20001.1;  // Tap, any value of byte 1

// The patch editor's actions, as its list shows them ("value=label"), commands first; the tempos
// 1 to 200 follow them there.
struct ActionLabel {
    const char* value;  // as written in a definition: "10001", "10000.1"
    const char* label;
};
inline constexpr ActionLabel kActionLabels[] = {
    {"0", "Do Nothing"},
    {"10000", "Controller To Tempo Map"},
    {"10000.1", "Byte 1 Map (Ignores Byte 2)"},
    {"10001", "Start/Stop"},
    {"10002", "Pause"},
    {"10003", "Continue"},
    {"10004", "Start"},
    {"10005", "Stop"},
    {"10006", "BPM -1"},
    {"10007", "BPM +1"},
    {"10008", "BPM -2"},
    {"10009", "BPM +2"},
    {"10010", "BPM x 2"},
    {"10011", "BPM : 2"},
    {"10016", "BPM - Rounding"},
    {"10017", "BPM + Rounding"},
    {"10012", "Tristate Tempo"},
    {"11012", "Tristate Divider Port #1"},
    {"12012", "Tristate Divider Port #2"},
    {"13012", "Tristate Divider Both"},
    {"10101", "Beat Reset"},
    {"20001", "Tap Input"},
    {"20001.1", "Tap Input Any Key (byte 1 map, ignores byte 2)"},
    {"20101", "FCB1010 Control Input"},
};
