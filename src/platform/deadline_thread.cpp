#include "platform/deadline_thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <chrono>

#include "platform/monotonic_clock.h"

namespace {
// Below JACK's own real-time threads (which run around 70-80) but above everything ordinary.
constexpr int kClockThreadPriority = 60;

// After a long sleep a CPU has gone into a deep idle state and wakes some 100-250 us late; at
// slow tempos that was most of the lateness measured. So a sleep of several milliseconds ends a
// little early and the rest is waited out awake. Short sleeps (fast tempos) keep the CPU warm
// and need none of it, and the cost stays at a few percent of one core at most.
constexpr int64_t kSpinAfterSleepsOfNs = 4'000'000;
constexpr int64_t kSpinMarginNs = 250'000;

thread_local bool tIsDeadlineThread = false;

void SpinUntil(int64_t deadline) {
    while (MonotonicNowNs() < deadline) __builtin_ia32_pause();
}

std::chrono::steady_clock::time_point SteadyTimeOf(int64_t monotonicNs) {
    // libstdc++'s steady_clock is CLOCK_MONOTONIC, and its waits use pthread_cond_clockwait on it.
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(monotonicNs));
}
}  // namespace

DeadlineThread::DeadlineThread(Job job) : job_(std::move(job)) {
    thread_ = std::thread([this] { run(); });
}

DeadlineThread::~DeadlineThread() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void DeadlineThread::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    cv_.notify_all();
}

bool DeadlineThread::OnAnyDeadlineThread() {
    return tIsDeadlineThread;
}

void DeadlineThread::run() {
    // Named, so that top -H and the benchmarks can tell the clock thread's CPU time.
    pthread_setname_np(pthread_self(), "bpm-timer");
    tIsDeadlineThread = true;
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched_param param{};
    param.sched_priority = kClockThreadPriority;
    const bool granted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;

    std::unique_lock lock(mutex_);
    realtime_.store(granted, std::memory_order_release);
    while (!quit_) {
        woken_ = false;
        lock.unlock();
        const int64_t deadline = job_();
        const int64_t sleepNs = deadline == kNoDeadline ? 0 : deadline - MonotonicNowNs();
        const bool early = wakeEarly_.load(std::memory_order_relaxed);
        const int64_t spinFrom =
            early && sleepNs >= kSpinAfterSleepsOfNs ? deadline - kSpinMarginNs : deadline;
        lock.lock();
        while (!quit_ && !woken_) {
            if (deadline == kNoDeadline) {
                cv_.wait(lock);
                continue;
            }
            const int64_t now = MonotonicNowNs();
            if (now >= deadline) break;
            if (now >= spinFrom) {
                lock.unlock();
                SpinUntil(deadline);
                lock.lock();
                break;
            }
            cv_.wait_until(lock, SteadyTimeOf(spinFrom));
        }
    }
}
