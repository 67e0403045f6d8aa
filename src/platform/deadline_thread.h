#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <thread>

// A thread that sleeps until an absolute CLOCK_MONOTONIC deadline, then runs its job, which
// returns the next deadline. Sleeping to an absolute time (rather than polling every
// millisecond) keeps wake-ups few and free of accumulated error; wake() makes the job run again
// at once when the schedule has moved (a tempo change). The thread asks for 1 ns timer slack and
// real-time priority, and carries on quietly without them.
//
// No lock lies between the thread and those who wake it: it sleeps on a futex over a wake
// counter, which wake() bumps, so an ordinary thread preempted inside wake() holds nothing the
// real-time thread would wait for.
class DeadlineThread {
  public:
    static constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();
    using Job = std::function<int64_t()>;

    explicit DeadlineThread(Job job);
    ~DeadlineThread();  // stops and joins
    DeadlineThread(const DeadlineThread&) = delete;
    DeadlineThread& operator=(const DeadlineThread&) = delete;

    // Any thread; real-time safe (an atomic add and a futex wake, no lock).
    void wake();
    // Whether a long sleep ends a little early and waits out the rest awake, for a wake-up
    // within microseconds of the deadline (on by default). Outputs that place each message at
    // its own time (JACK) make wake-up lateness harmless, and the waiting costs a percent of a
    // core at slow tempos, so their clock turns it off. Any thread; real-time safe.
    void setWakeEarly(bool early) { wakeEarly_.store(early, std::memory_order_relaxed); }
    // Any thread; real-time safe.
    bool onThisThread() const { return std::this_thread::get_id() == thread_.get_id(); }
    // Whether the caller is the thread of some DeadlineThread: a clock thread, whose sends a
    // backend keeps apart from everyone else's so that it never waits for them. Any thread;
    // real-time safe.
    static bool OnAnyDeadlineThread();
    // Any thread; real-time safe.
    bool realtime() const { return realtime_.load(std::memory_order_acquire); }

  private:
    void run();
    // Sleeps while the wake counter still reads seen, until deadline (kNoDeadline: no limit).
    void sleepUntil(uint32_t seen, int64_t deadline);

    Job job_;
    std::atomic<bool> quit_{false};
    std::atomic<uint32_t> wakes_{0};  // the futex word
    std::atomic<bool> realtime_{false};
    std::atomic<bool> wakeEarly_{true};
    std::thread thread_;
};
