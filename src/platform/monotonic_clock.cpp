#include "platform/monotonic_clock.h"

#include <ctime>

namespace {
class RealClock : public MonotonicClock {
  public:
    int64_t nowNs() const override { return MonotonicNowNs(); }
};
}  // namespace

int64_t MonotonicNowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

const MonotonicClock& SystemClock() {
    static const RealClock clock;
    return clock;
}
