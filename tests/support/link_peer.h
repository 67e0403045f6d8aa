#pragma once

// A Link peer in a process of its own, as another program on the network would be: plain
// ableton::Link on Link's own clock, driven by the test through a pipe, one command a line.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <ableton/Link.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

class LinkPeer {
  public:
    LinkPeer() {
        int toChild[2];
        int fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0) std::abort();
        pid_ = fork();
        if (pid_ == 0) {
            close(toChild[1]);
            close(fromChild[0]);
            serve(toChild[0], fromChild[1]);
            _exit(0);
        }
        close(toChild[0]);
        close(fromChild[1]);
        out_ = fdopen(toChild[1], "w");
        in_ = fdopen(fromChild[0], "r");
    }
    ~LinkPeer() {
        command("quit");
        fclose(out_);
        fclose(in_);
        // A peer that does not end is killed: the test must not wait for it.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    LinkPeer(const LinkPeer&) = delete;
    LinkPeer& operator=(const LinkPeer&) = delete;

    double tempo() { return std::stod(command("tempo")); }
    void setTempo(double bpm) { command("settempo " + std::to_string(bpm)); }
    bool playing() { return command("playing") == "1"; }
    void setPlaying(bool on) { command(std::string("setplaying ") + (on ? "1" : "0")); }
    // Tells the session once more that it plays since its last start, as Link hands a peer that
    // has just joined the session's earlier playing state (which it does now and then).
    void restatePlaying() { command("restateplaying"); }
    size_t peers() { return std::stoul(command("peers")); }
    // The session's beat (quantum 4) at a CLOCK_MONOTONIC time of this machine.
    double beatAt(int64_t monotonicNs) {
        return std::stod(command("beatat " + std::to_string(monotonicNs)));
    }

    // Asks until pred holds or the time is up.
    template <typename Pred>
    static bool waitFor(Pred pred, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return pred();
    }

  private:
    std::string command(const std::string& line) {
        std::fprintf(out_, "%s\n", line.c_str());
        std::fflush(out_);
        // Each command has its one line of answer, read whole: nothing waits in in_'s buffer,
        // and the descriptor tells when the next answer is there. A peer that does not answer
        // within ten seconds fails the test rather than hanging it.
        pollfd answer{fileno(in_), POLLIN, 0};
        if (poll(&answer, 1, 10'000) != 1) {
            ADD_FAILURE() << "the Link peer did not answer \"" << line << "\"";
            return "";
        }
        char reply[256] = {};
        if (!std::fgets(reply, sizeof reply, in_)) return "";
        std::string text(reply);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text;
    }

    static int64_t nowNs(clockid_t id) {
        timespec ts{};
        clock_gettime(id, &ts);
        return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
    }

    static void serve(int inFd, int outFd) {
        FILE* in = fdopen(inFd, "r");
        FILE* out = fdopen(outFd, "w");
        ableton::Link link(120);
        link.enableStartStopSync(true);
        link.enable(true);
        auto startedAt = link.clock().micros();
        char line[256];
        while (std::fgets(line, sizeof line, in)) {
            const std::string text(line);
            std::string reply = "ok";
            auto state = link.captureAppSessionState();
            const auto now = link.clock().micros();
            if (text.rfind("quit", 0) == 0) {
                std::fprintf(out, "ok\n");
                std::fflush(out);
                break;
            } else if (text.rfind("settempo ", 0) == 0) {
                state.setTempo(std::stod(text.substr(9)), now);
                link.commitAppSessionState(state);
            } else if (text.rfind("tempo", 0) == 0) {
                reply = std::to_string(state.tempo());
            } else if (text.rfind("setplaying ", 0) == 0) {
                const bool on = text.substr(11, 1) == "1";
                if (on) {
                    state.setIsPlayingAndRequestBeatAtTime(true, now, 0, 4);
                    startedAt = now;
                } else {
                    state.setIsPlaying(false, now);
                }
                link.commitAppSessionState(state);
            } else if (text.rfind("restateplaying", 0) == 0) {
                // A millisecond off, or Link sees no change and tells nobody.
                startedAt -= std::chrono::milliseconds(1);
                state.setIsPlaying(true, startedAt);
                link.commitAppSessionState(state);
            } else if (text.rfind("playing", 0) == 0) {
                reply = state.isPlaying() ? "1" : "0";
            } else if (text.rfind("peers", 0) == 0) {
                reply = std::to_string(link.numPeers());
            } else if (text.rfind("beatat ", 0) == 0) {
                // Our clock is Link's (CLOCK_MONOTONIC_RAW); the test speaks CLOCK_MONOTONIC.
                const int64_t mono = std::stoll(text.substr(7));
                const int64_t offset = nowNs(CLOCK_MONOTONIC_RAW) - nowNs(CLOCK_MONOTONIC);
                const auto at = std::chrono::microseconds((mono + offset) / 1000);
                char number[64];
                std::snprintf(number, sizeof number, "%.9f", state.beatAtTime(at, 4));
                reply = number;
            }
            std::fprintf(out, "%s\n", reply.c_str());
            std::fflush(out);
        }
        link.enable(false);
    }

    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    FILE* in_ = nullptr;
};
