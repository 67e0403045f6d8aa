#pragma once

// Scaffolding for tests against a real JACK server: an independent recording client, a log of
// what a backend reports, and a private server a test can stop. Frame positions are what the
// tests check; JACK computes them exactly, whatever the machine's load.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/midi_backend.h"
#include "platform/monotonic_clock.h"
#include "support/environment.h"

extern char** environ;

#if defined(__SANITIZE_THREAD__)
#define NotSanitizedForThreads __attribute__((no_sanitize_thread))
#else
#define NotSanitizedForThreads
#endif

namespace jacktest {

using namespace std::chrono_literals;

// Generous: the machine is shared and JACK's dummy driver runs without real-time rights.
constexpr auto kPatience = 20s;
constexpr int64_t kMs = 1'000'000;

inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = kPatience,
                      std::chrono::microseconds poll = 2ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(poll);
    }
    return true;
}

inline void QuietJackError(const char*) {}

// Opens with `open` once it succeeds: jackd2 lists another client's new port at once, PipeWire a
// moment later (each client learns of the graph on its own thread). Null after the timeout.
template <class Open>
auto OpenOnceListed(Open open, std::chrono::milliseconds timeout = 5s) {
    decltype(open()) opened;
    WaitUntil([&] { return (opened = open()) != nullptr; }, timeout);
    return opened;
}

// A test client's name with the test process's id: jackd2 names a client's socket in /dev/shm
// after the client and the user, not the server, so two clients of one name on two private
// servers (tests run in parallel) would take each other's socket, and one server or the other
// could no longer reach its client.
inline std::string RunName(const std::string& name) {
    return name + "-" + std::to_string(getpid());
}

// Connects two ports once the client sees both (PipeWire lists another client's new port a
// moment later); false after the timeout.
inline bool ConnectOnceListed(jack_client_t* client, const std::string& from, const std::string& to,
                              std::chrono::milliseconds timeout = 5s) {
    return WaitUntil(
        [&] {
            const int result = jack_connect(client, from.c_str(), to.c_str());
            return result == 0 || result == EEXIST;
        },
        timeout);
}

inline jack_client_t* OpenClient(const char* name, const std::string& server) {
    jack_status_t status{};
    const std::string own = RunName(name);
    if (server.empty()) return jack_client_open(own.c_str(), JackNoStartServer, &status);
    return jack_client_open(own.c_str(),
                            static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                            &status, server.c_str());
}

// An independent JACK client with MIDI inputs that records every event with its absolute frame
// time. Its process callback only copies into storage reserved beforehand.
class JackRecorder {
  public:
    struct Event {
        uint32_t frame;
        // Which of the recorder's cycles (process calls) it came in: a server that hands a cycle
        // twice gives both the same frames.
        uint64_t cycle = 0;
        std::vector<uint8_t> bytes;
    };

    explicit JackRecorder(const char* name, const std::string& server = "") {
        client_ = OpenClient(name, server);
        if (!client_) return;
        jack_set_process_callback(client_, &JackRecorder::onProcess, this);
        jack_set_xrun_callback(client_, &JackRecorder::onXrun, this);
        addInput("in");
        jack_activate(client_);
    }
    ~JackRecorder() { close(); }

    bool ok() const { return client_ && inputCount_.load() > 0; }
    jack_client_t* client() const { return client_; }
    std::string portName(size_t index = 0) const {
        return index < inputCount_.load() ? jack_port_name(inputs_[index]) : "";
    }
    std::string clientName() const { return jack_get_client_name(client_); }

    // The process callback sees a new input once its slot is filled and counted.
    jack_port_t* addInput(const char* shortName) {
        const size_t index = inputCount_.load();
        if (index == inputs_.size()) return nullptr;
        jack_port_t* port =
            jack_port_register(client_, shortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (port) {
            inputs_[index] = port;
            inputCount_.store(index + 1, std::memory_order_release);
        }
        return port;
    }

    void close() {
        if (client_) jack_client_close(client_);
        client_ = nullptr;
    }

    size_t count() const { return count_.load(std::memory_order_acquire); }
    // When the server last slipped (dummy driver late by a period), on our monotonic clock.
    int64_t lastXrunNs() const { return lastXrunNs_.load(); }
    bool waitFor(size_t events, std::chrono::milliseconds timeout = kPatience) {
        return WaitUntil([&] { return count() >= events; }, timeout);
    }
    std::vector<Event> events() const {
        std::vector<Event> result;
        const size_t n = count();
        for (size_t i = 0; i < n; ++i) {
            const Slot& slot = slots_[i];
            result.push_back({slot.frame, slot.cycle,
                              std::vector<uint8_t>(bytes_.begin() + slot.offset,
                                                   bytes_.begin() + slot.offset + slot.size)});
        }
        return result;
    }

  private:
    struct Slot {
        uint32_t frame;
        uint32_t offset;
        uint32_t size;
        uint64_t cycle;
    };

    static int onProcess(jack_nframes_t frames, void* self) {
        static_cast<JackRecorder*>(self)->process(frames);
        return 0;
    }
    static int onXrun(void* self) {
        static_cast<JackRecorder*>(self)->lastXrunNs_.store(MonotonicNowNs());
        return 0;
    }

    void process(jack_nframes_t frames) {
        const jack_nframes_t cycleStart = jack_last_frame_time(client_);
        const size_t inputs = inputCount_.load(std::memory_order_acquire);
        size_t n = count_.load(std::memory_order_relaxed);
        for (size_t p = 0; p < inputs; ++p) {
            n = ReadJackMidiEvents(jack_port_get_buffer(inputs_[p], frames), cycleStart, n);
        }
        ++cycles_;
        count_.store(n, std::memory_order_release);
    }

    // Copies the events of one input buffer into the record, from slot n on; returns the new
    // count. The buffer is the one our backend's callback wrote into, and JACK orders the two
    // callbacks through the server's futexes, out of ThreadSanitizer's sight. A suppressed race
    // report is no help there: the first one symbolises its stacks on this process thread for
    // several hundred milliseconds, and a client that stalls that long while the other keeps
    // sending wedges the server's graph for good (both clients left "not finished"). So the
    // bytes are read here without the sanitizer watching.
    NotSanitizedForThreads static void CopyUnwatched(uint8_t* to, const uint8_t* from,
                                                     size_t size) {
        const volatile uint8_t* source = from;
        for (size_t i = 0; i < size; ++i) to[i] = source[i];
    }

    size_t ReadJackMidiEvents(void* buffer, jack_nframes_t cycleStart, size_t n) {
        const uint32_t events = jack_midi_get_event_count(buffer);
        for (uint32_t i = 0; i < events && n < slots_.size(); ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0) continue;
            if (used_ + event.size > bytes_.size()) break;
            CopyUnwatched(bytes_.data() + used_, event.buffer, event.size);
            slots_[n] = {cycleStart + event.time, static_cast<uint32_t>(used_),
                         static_cast<uint32_t>(event.size), cycles_};
            used_ += event.size;
            ++n;
        }
        return n;
    }

    jack_client_t* client_ = nullptr;
    std::array<jack_port_t*, 4> inputs_{};
    std::atomic<size_t> inputCount_{0};
    std::array<Slot, 8192> slots_{};
    std::array<uint8_t, 1 << 16> bytes_{};
    size_t used_ = 0;
    uint64_t cycles_ = 0;  // process thread only
    std::atomic<size_t> count_{0};
    std::atomic<int64_t> lastXrunNs_{INT64_MIN};
};

// How many one-byte messages (clock, transport) of this status were recorded.
inline int CountStatus(const std::vector<JackRecorder::Event>& events, uint8_t status) {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const auto& e) {
        return e.bytes.size() == 1 && e.bytes[0] == status;
    }));
}

// The frames of the one-byte messages of this status, in the order they arrived.
inline std::vector<int64_t> FramesOf(const std::vector<JackRecorder::Event>& events,
                                     uint8_t status) {
    std::vector<int64_t> frames;
    for (const auto& e : events)
        if (e.bytes.size() == 1 && e.bytes[0] == status) frames.push_back(e.frame);
    return frames;
}

// Collects what a backend reports, from whichever thread it reports on.
class ProblemLog {
  public:
    MidiOutBackend::ProblemSink sink() {
        return [this](const std::string& text) {
            std::lock_guard lock(mutex_);
            texts_.push_back(text);
        };
    }
    std::vector<std::string> texts() const {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    bool waitFor(const std::string& text) {
        return WaitUntil([&] {
            std::lock_guard lock(mutex_);
            return std::find(texts_.begin(), texts_.end(), text) != texts_.end();
        });
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
};

// Whether the test runs on PipeWire (run_with_jack.sh, TEMPOVANE_TEST_SERVER=pipewire): the
// test program then talks to it through PipeWire's own libjack.
inline bool OnPipeWire() {
    const char* server = std::getenv("TEMPOVANE_TEST_SERVER");
    return server && std::string(server) == "pipewire";
}

// A JACK server of the test's own, so that stopping it leaves the shared one alone: a jackd2,
// or on PipeWire a PipeWire daemon with its WirePlumber, named apart in the run's own runtime
// folder, with the run's settings (tools/private_jack.sh).
class PrivateJackServer {
  public:
    PrivateJackServer() : PrivateJackServer(true) {}
    // What a program must have in its environment to take this server for its default one.
    std::vector<std::string> asDefault() const {
        return {"JACK_DEFAULT_SERVER=" + name_, "PIPEWIRE_REMOTE=" + name_};
    }
    // Named, but started only by restart(): a server that comes after the program.
    static PrivateJackServer NotStartedYet() { return PrivateJackServer(false); }
    PrivateJackServer(PrivateJackServer&& other) noexcept
        : name_(std::move(other.name_)),
          pid_(std::exchange(other.pid_, -1)),
          sessionPid_(std::exchange(other.sessionPid_, -1)),
          crashed_(other.crashed_) {}
    ~PrivateJackServer() {
        if (name_.empty()) return;
        stop(SIGTERM);
        if (crashed_) clearAfterCrash();
        // Semaphores of clients still open when the server went are left behind either way.
        std::system(("rm -f /dev/shm/jack_sem.*_" + name_ + "_*").c_str());
    }

    const std::string& name() const { return name_; }

    // The same server again after stop(), under the same name: what a user does with a JACK
    // control panel. Every client of the old server in this process must be closed first.
    bool restart() {
        if (pid_ > 0) return false;
        start();
        return waitUntilAnswering();
    }

    bool waitUntilAnswering() {
        return pid_ > 0 && WaitUntil([&] {
                   jack_client_t* probe = OpenClient("probe", name_);
                   if (!probe) return false;
                   jack_client_close(probe);
                   return true;
               });
    }

    // Holds the whole server still (SIGSTOP, then SIGCONT): its driver wakes that much late,
    // which JACK reports as an xrun, and the cycles go on from a time line that much later.
    void freezeFor(std::chrono::milliseconds duration) {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGSTOP);
        std::this_thread::sleep_for(duration);
        ::kill(pid_, SIGCONT);
    }

    // SIGTERM: the server shuts down in good order and tells its clients. SIGKILL: it just dies.
    void stop(int signal) {
        if (pid_ <= 0) return;
        ::kill(pid_, signal);
        // A server that does not stop in good order (it may wait out the client timeout for a
        // client that hangs) is killed after fifteen seconds, as tools/private_jack.sh does.
        const std::optional<int> status = Ended(pid_, 15s);
        pid_ = -1;
        if (sessionPid_ > 0) {
            ::kill(sessionPid_, SIGTERM);
            Ended(sessionPid_, 5s);
            sessionPid_ = -1;
        }
        // Killed outright, or died by a signal of its own on the way out (jackd2 now and then
        // does): either way its entry in the registry stays behind. PipeWire keeps none.
        crashed_ =
            !OnPipeWire() && (crashed_ || signal == SIGKILL || !status || WIFSIGNALED(*status));
    }

  private:
    // The wait status of a child that ended within the patience; one that did not is killed.
    static std::optional<int> Ended(pid_t pid, std::chrono::milliseconds patience) {
        int status = 0;
        if (WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, patience, 10ms))
            return status;
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return std::nullopt;
    }

    explicit PrivateJackServer(bool startNow) {
        static std::atomic<int> counter{0};
        name_ = "tempovane-stop-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        if (startNow) start();
    }

    static pid_t Spawn(std::vector<std::string> args, const std::vector<std::string>& settings) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        testenv::Environment environment(settings);
        pid_t pid = -1;
        if (posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argv.data(),
                         environment.pointers()) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    void start() {
        if (!OnPipeWire()) {
            pid_ = Spawn({"jackd", "-n", name_, "-t", "5000", "--no-realtime", "-d", "dummy", "-r",
                          "48000", "-p", "256"},
                         {});
            return;
        }
        // The daemon's socket is named after the server, in the run's runtime folder; its
        // session manager is told which daemon is its own.
        const char* home = std::getenv("PRIVATE_PIPEWIRE_HOME");
        const std::string folder = home ? home : "/tmp";
        const std::vector<std::string> settings = {
            "XDG_CONFIG_HOME=" + folder + "/config", "XDG_STATE_HOME=" + folder + "/state",
            "PIPEWIRE_CORE=" + name_, "PIPEWIRE_REMOTE=" + name_};
        pid_ = Spawn({"pipewire"}, settings);
        if (pid_ > 0) sessionPid_ = Spawn({"wireplumber"}, settings);
    }

    // A killed server stays listed in JACK's shared registry of servers, which has room for
    // only eight. A new server of the same name takes the entry over and, stopped in good
    // order, frees it.
    void clearAfterCrash() {
        start();
        waitUntilAnswering();
        stop(SIGTERM);
    }

    std::string name_;
    pid_t pid_ = -1;
    pid_t sessionPid_ = -1;  // PipeWire's WirePlumber
    bool crashed_ = false;
};

}  // namespace jacktest
