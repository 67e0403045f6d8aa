#pragma once

#include <cstdint>

// The precise time of the input message being delivered on this thread, in CLOCK_MONOTONIC
// nanoseconds, or 0 where the backend knows no better than its millisecond stamp. A backend
// that knows (JACK: the event's frame) sets it just before it calls the input handler, on the
// same thread, so the handler's signature stays the same for every backend. A clock follower
// that locks onto the input's phase needs far finer stamps than milliseconds.
int64_t DeliveredInputTimeNs();
void SetDeliveredInputTimeNs(int64_t timeNs);
