#pragma once

#include <chrono>

// The last word on how long a program takes to end once it has been asked to. Closing sends what
// it can and lets go of the sound server, but a server that is held still or wedged may never
// answer a request (libjack waits for some replies without a time limit), and a program that
// hangs on its way out leaves a musician with a window that will not go and a box that will not
// restart. Once armed, the process ends `budget` later with `status` (standard output and error
// flushed first) unless it has ended by itself before: the files it writes are written whole
// before the close begins, so nothing is lost by not waiting. Arming again does nothing.
// For the programs' entries only: library code and tests never arm it.
void ArmExitDeadline(std::chrono::milliseconds budget, int status);

// How long the programs give themselves to end after a close or a stop signal: within the two
// seconds a user or a service manager waits, with room for the process's own exit.
inline constexpr std::chrono::milliseconds kExitBudget{1800};
