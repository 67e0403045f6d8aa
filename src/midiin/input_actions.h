#pragma once

#include <cstdint>

// What the input dispatch asks of the main window. Called on the thread that delivered the
// message (the input thread for MIDI, the UI thread for keys), in the order of one message's
// entries; the implementation must be safe on both.
class InputActions {
  public:
    virtual ~InputActions() = default;
    // value: an action value, rounded to thousandths; its whole part is the action code.
    // index: the map entry that fired (1 for clock following).
    virtual void PerformActionValue(int index, double value) = 0;
    // A tempo followed from an incoming clock: set as it is (within the tempo limits, not
    // rounded), so a follower and its master never part over a rounding step.
    virtual void FollowTempo(double /*bpm*/) {}
    // The master continues: our clock runs on from where it stopped and sends Continue.
    virtual void FollowContinue() {}
};
