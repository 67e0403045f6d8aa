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
};
