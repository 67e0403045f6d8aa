#pragma once

#include <QPixmap>

// The five button states, in the order both image lists hold them.
inline constexpr int kLampRunningDark = 0;
inline constexpr int kLampRunningLit = 1;
inline constexpr int kLampStoppedDark = 2;
inline constexpr int kLampStoppedLit = 3;
inline constexpr int kLampNoPort = 4;
inline constexpr int kLampStateCount = 5;

// Draws the built-in lamp for one button state: a round glass lamp in a light ring, transparent
// outside the circle so the window colour (and its green beat flash) shows around it. Tuned
// for 76 pixels (the button) and 16 pixels (tray and task bar); other sizes scale. A state
// outside 0..4 draws the grey "no port" lamp, the one that promises nothing.
QPixmap DrawLampPicture(int stateIndex, int size);
