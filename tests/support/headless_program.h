#pragma once

// The headless program as a user runs it: a process of its own, given a command line, its
// standard error written to a file, steered by signals. TEMPOVANE_HEADLESS_PROGRAM names the
// binary (the test target's compile definition).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/environment.h"

class HeadlessProgram {
  public:
    // environment: "NAME=value" settings in place of the test's own.
    HeadlessProgram(const std::vector<std::string>& arguments, const std::string& logPath,
                    const std::vector<std::string>& environment = {}) {
        std::vector<char*> argv;
        std::string program = TEMPOVANE_HEADLESS_PROGRAM;
        argv.push_back(program.data());
        std::vector<std::string> copies = arguments;
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        testenv::Environment settings(environment);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(),
                        settings.pointers()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~HeadlessProgram() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    HeadlessProgram(const HeadlessProgram&) = delete;
    HeadlessProgram& operator=(const HeadlessProgram&) = delete;

    bool started() const { return pid_ > 0; }
    void signal(int number) const { kill(pid_, number); }
    // The wait status once the program has ended within the patience, else nothing.
    std::optional<int> waitForExit(std::chrono::milliseconds patience = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (!status_ && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = status;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }

    // Waits for the end as waitForExit; false if it did not come. An end must be an exit with
    // status 0 (else the test fails, showing the program's log).
    bool endedCleanly(const std::string& log) {
        const std::optional<int> status = waitForExit();
        if (!status) return false;
        EXPECT_TRUE(WIFEXITED(*status)) << log;
        EXPECT_EQ(WEXITSTATUS(*status), 0) << log;
        return true;
    }

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};
