#include "platform/deadline_thread.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

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

// std::atomic<uint32_t> is a plain 32-bit word, which is what a futex is.
uint32_t* FutexWord(std::atomic<uint32_t>& word) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    return reinterpret_cast<uint32_t*>(&word);
}
}  // namespace

DeadlineThread::DeadlineThread(Job job) : job_(std::move(job)) {
    thread_ = std::thread([this] { run(); });
}

DeadlineThread::~DeadlineThread() {
    quit_.store(true, std::memory_order_release);
    wake();
    if (thread_.joinable()) thread_.join();
}

void DeadlineThread::wake() {
    wakes_.fetch_add(1, std::memory_order_release);
    syscall(SYS_futex, FutexWord(wakes_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

bool DeadlineThread::OnAnyDeadlineThread() {
    return tIsDeadlineThread;
}

void DeadlineThread::sleepUntil(uint32_t seen, int64_t deadline) {
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC time (without FUTEX_CLOCK_REALTIME),
    // and returns at once when the counter no longer reads seen: a wake() that came between
    // reading the counter and sleeping is not lost.
    timespec at{};
    const timespec* timeout = nullptr;
    if (deadline != kNoDeadline) {
        at.tv_sec = static_cast<time_t>(deadline / 1'000'000'000);
        at.tv_nsec = static_cast<long>(deadline % 1'000'000'000);
        timeout = &at;
    }
    syscall(SYS_futex, FutexWord(wakes_), FUTEX_WAIT_BITSET_PRIVATE, seen, timeout, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

void DeadlineThread::run() {
    // Named, so that top -H and the benchmarks can tell the clock thread's CPU time.
    pthread_setname_np(pthread_self(), "bpm-timer");
    tIsDeadlineThread = true;
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched_param param{};
    param.sched_priority = kClockThreadPriority;
    const bool granted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    realtime_.store(granted, std::memory_order_release);

    while (!quit_.load(std::memory_order_acquire)) {
        // Read before the job: a wake() while it runs makes the sleep below return at once.
        const uint32_t seen = wakes_.load(std::memory_order_acquire);
        const int64_t deadline = job_();
        const int64_t sleepNs = deadline == kNoDeadline ? 0 : deadline - MonotonicNowNs();
        const bool early = wakeEarly_.load(std::memory_order_relaxed);
        const int64_t spinFrom =
            early && sleepNs >= kSpinAfterSleepsOfNs ? deadline - kSpinMarginNs : deadline;
        while (!quit_.load(std::memory_order_acquire) &&
               wakes_.load(std::memory_order_acquire) == seen) {
            if (deadline == kNoDeadline) {
                sleepUntil(seen, kNoDeadline);
                continue;
            }
            const int64_t now = MonotonicNowNs();
            if (now >= deadline) break;
            if (now >= spinFrom) {
                SpinUntil(deadline);
                break;
            }
            sleepUntil(seen, spinFrom);
        }
    }
}
