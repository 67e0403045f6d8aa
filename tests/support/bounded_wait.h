#pragma once

// Waits that end. Every wait in a test has a deadline and fails with a message when it passes,
// so a fault shows as a failure rather than as a test that runs until CTest's timeout (or, run
// by hand, never ends).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace testwait {

using namespace std::chrono_literals;

// Generous: the machine is shared and busy; a wait that needs this long has failed anyway.
constexpr std::chrono::milliseconds kPatience = 20s;

// Polls the condition until it holds (true) or the patience is spent (false).
template <class Condition>
bool Until(Condition condition, std::chrono::milliseconds patience = kPatience,
           std::chrono::microseconds poll = 1ms) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(poll);
    }
    return true;
}

// A thread that never ends cannot be stopped from outside, and joining it (or letting a
// std::async future go) waits for ever. Held around such a wait, a watchdog ends the test
// program with the message once the patience is spent: the test fails, and neither CTest nor
// a plain run waits for it.
class Watchdog {
  public:
    explicit Watchdog(std::string what, std::chrono::milliseconds patience = kPatience)
        : what_(std::move(what)) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        thread_ = std::thread([this, deadline, patience] {
            std::unique_lock lock(mutex_);
            if (done_.wait_until(lock, deadline, [&] { return disarmed_; })) return;
            std::fprintf(stderr, "Failure: %s: not done within %lld ms; the test program ends\n",
                         what_.c_str(), static_cast<long long>(patience.count()));
            std::fflush(stderr);
            std::_Exit(1);
        });
    }
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            disarmed_ = true;
        }
        done_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::string what_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool disarmed_ = false;
    std::thread thread_;
};

// The wait status of a child process once it has ended within the patience. A child that has
// not is killed (and reaped), and the result is empty.
inline std::optional<int> ChildEnds(pid_t child, std::chrono::milliseconds patience = kPatience) {
    int status = 0;
    const bool ended = Until([&] { return waitpid(child, &status, WNOHANG) == child; }, patience);
    if (ended) return status;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return std::nullopt;
}

}  // namespace testwait
