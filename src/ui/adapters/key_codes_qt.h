#pragma once

#include <Qt>

class QKeyEvent;

// Keys in the input map are stored as Windows virtual-key numbers (A 65, F5 116, Space 32,
// Scroll Lock 145 ...), so input definition files stay exchangeable with other systems. This
// maps a Qt key event's key() and modifiers() to that number, or 0 for a key without one.
//
// Letters A-Z give the letter's number on every layout (on AZERTY the key printed A gives 65).
// The digit row, punctuation and national keys give the number of their place on the keyboard,
// taken from the native scan code: the key printed "&" and "1" on AZERTY gives 49 as the "1" key
// of a US keyboard does, and keys such as ä, é or ß each have a number of their own. A key in a
// letter place that gives a letter of another script (Cyrillic, Greek) takes that place's Latin
// letter; one that gives no letter there (the comma in AZERTY's M place, an AltGr symbol) takes
// 256 + that letter, so it never meets a letter the layout has elsewhere.
// Without a scan code (synthetic events) the character decides, as on a US layout: "!" gives 49.
// Qt::KeypadModifier tells the numeric keypad's digits and operators from the main ones; other
// modifiers do not change the number.
int VirtualKeyFromQt(int qtKey, Qt::KeyboardModifiers modifiers, quint32 nativeScanCode = 0);

// The same for a key event as delivered.
int VirtualKeyFromEvent(const QKeyEvent& event);

// The tap button already reacts to Space and Enter through the window's own key handling; a
// second press by the focused button would tap twice. Replaces Space (32) and Enter (13) by
// Scroll Lock (145), which no button reacts to, and returns the key as it was.
int FilterShortCuts(int& key);
