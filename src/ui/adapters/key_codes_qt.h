#pragma once

#include <Qt>

// Keys in the input map are stored as Windows virtual-key numbers (A 65, F5 116, Space 32,
// Scroll Lock 145 ...), so input definition files stay exchangeable with other systems. This
// maps a Qt key event's key() and modifiers() to that number, or 0 for a key without one.
//
// Qt reports the symbol a key produced, Windows the key itself: shifted symbols of the US
// layout ("!" on the 1 key, ":" on the ";" key) therefore give their key's number, and
// Qt::KeypadModifier tells the numeric keypad's digits and operators from the main ones.
// Other modifiers do not change the number.
int VirtualKeyFromQt(int qtKey, Qt::KeyboardModifiers modifiers);

// The tap button already reacts to Space and Enter through the window's own key handling; a
// second press by the focused button would tap twice. Replaces Space (32) and Enter (13) by
// Scroll Lock (145), which no button reacts to, and returns the key as it was.
int FilterShortCuts(int& key);
