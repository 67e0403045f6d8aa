#pragma once

#include <atomic>
#include <cstdint>

// Time for everything that measures or schedules: CLOCK_MONOTONIC in nanoseconds. It never
// jumps with the wall clock, and the JACK backend can map it onto frame times.
class MonotonicClock {
  public:
    virtual ~MonotonicClock() = default;
    virtual int64_t nowNs() const = 0;
};

// The real clock, shared by the whole program.
const MonotonicClock& SystemClock();
int64_t MonotonicNowNs();

// A clock that only moves when told to; lets tests drive timers and stopwatches exactly.
class ManualClock : public MonotonicClock {
  public:
    explicit ManualClock(int64_t startNs = 1'000'000'000) : now_(startNs) {}
    int64_t nowNs() const override { return now_.load(std::memory_order_acquire); }
    void setNs(int64_t ns) { now_.store(ns, std::memory_order_release); }
    void advanceNs(int64_t ns) { now_.fetch_add(ns, std::memory_order_acq_rel); }
    void advanceUs(int64_t us) { advanceNs(us * 1000); }
    void advanceMs(double ms) { advanceNs(static_cast<int64_t>(ms * 1e6)); }

  private:
    std::atomic<int64_t> now_;
};
