#pragma once

#include <array>
#include <cmath>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi_backend.h"

// Timed MIDI messages from the senders of one connection to the JACK process callback: a byte
// ring of fixed size, allocated up front, with one reader that never locks or allocates. Senders
// must serialise themselves (one writer at a time).
class MidiEventRing {
  public:
    // Enough for System Exclusive dumps of tempo messages, and well within JACK's per-cycle
    // MIDI buffer.
    static constexpr size_t kMaxMessageBytes = 1024;

    struct Header {
        int64_t timeNs = 0;
        uint32_t length = 0;
        uint32_t flags = 0;  // the writer's own marks (JackOutQueue: kAsSoonAsPossible)
    };

    // capacityBytes is rounded up to a power of two.
    explicit MidiEventRing(size_t capacityBytes);

    // Writer side. False (nothing queued) when the message is empty, too long, or does not fit.
    bool push(int64_t timeNs, const uint8_t* bytes, size_t length, uint32_t flags = 0);

    // Reader side: look at the oldest message, copy its bytes out, then drop it.
    bool front(Header& header) const;
    void copyFrontBytes(uint8_t* destination) const;
    void pop();

    // Either side: whether the reader has taken everything written so far.
    bool empty() const {
        return read_.load(std::memory_order_acquire) == written_.load(std::memory_order_acquire);
    }

    size_t capacity() const { return storage_.size(); }

  private:
    static size_t recordSize(size_t length);
    void copyIn(size_t position, const void* source, size_t length);
    void copyOut(size_t position, void* destination, size_t length) const;

    std::vector<uint8_t> storage_;
    size_t mask_;
    // Free-running byte counts; the difference is the fill level. Each is written by one side
    // only and published with release, read by the other side with acquire.
    alignas(64) std::atomic<size_t> written_{0};
    alignas(64) std::atomic<size_t> read_{0};
};

// What one output connection has queued for the JACK process callback. The clock thread (any
// DeadlineThread) writes into a ring of its own without a lock; every other sender (the UI's
// tempo and System Exclusive messages, the input thread's tempo messages) into a second ring,
// one at a time under a mutex. So a System Exclusive copy that is preempted halfway never holds
// up a clock tick. A message is whole in its ring, so nothing splits a System Exclusive; the
// reader takes the two rings in the order of their messages' times (on our monotonic clock: a
// message "as soon as possible" carries the time it was sent and the flag), so a Stop sent
// after a tick never overtakes it. One reader at a time: the process callback, or whoever
// holds the connection while no callback can see it.
class JackOutQueue {
  public:
    // Header flag: no time of its own; timeNs is when it was sent, for the order only.
    static constexpr uint32_t kAsSoonAsPossible = 1;

    explicit JackOutQueue(size_t ringBytes) : clockRing_(ringBytes), sharedRing_(ringBytes) {}

    // Any thread; never waits when called on a DeadlineThread. False when it does not fit.
    bool push(int64_t timeNs, bool asSoonAsPossible, const uint8_t* bytes, size_t length);

    // Reader: the next message by time; copyFrontBytes and pop then act on it.
    bool front(MidiEventRing::Header& header);
    void copyFrontBytes(uint8_t* destination) const;
    void pop();
    // Reader: drops everything queued.
    void clear();
    bool empty() const { return clockRing_.empty() && sharedRing_.empty(); }

    // The lock that serialises the senders other than the clock thread, for a test to hold
    // the way a UI thread preempted in the middle of its copy would.
    std::mutex& sharedSendersMutex() { return sharedMutex_; }

  private:
    MidiEventRing clockRing_;
    MidiEventRing sharedRing_;
    std::atomic<bool> clockRingTaken_{false};
    std::mutex sharedMutex_;
    const MidiEventRing* chosen_ = nullptr;  // reader only
};

// Where the first frame of each JACK cycle lies in JACK's time (nanoseconds), for placing
// messages on frames.
//
// JACK's own estimate (jack_get_cycle_times) comes from a filter that every late wake-up of the
// server pulls aside for a second or two, and after an xrun it starts again off by whole
// periods; on a loaded machine that moves clock ticks by several frames. The frames themselves
// keep their pace: the driver's period boundaries lie on a straight line in time, and a callback
// can only ever wake after its boundary. So the lowest (wake-up time - frame x frame length)
// over the last two seconds marks the line, plus the small least wake-up delay, which only adds
// to the latency. Late wake-ups do not move it. That lowest value still wanders by some tens of
// microseconds as prompt wake-ups come and go; the estimate follows it no faster than a sound
// card's clock can drift against the system's (300 ppm), so no tick interval changes by more
// than a fraction of a frame.
//
// A driver xrun moves the line itself, later by as long as the driver was held up: the first
// cycle after word of one starts the line afresh, that much after where the old line put it
// (never after the wake-up itself). Without word of an xrun, eight cycles in a row
// more than a millisecond behind the line do (no late wake-up on a loaded machine lasts that
// long without making an xrun of its own). Process thread only; no allocation.
class CycleClock {
  public:
    static constexpr size_t kMaxWindow = 1024;
    static constexpr size_t kMovedAfterCycles = 8;

    // Feeds one cycle: JACK's frame counter at its start (jack_last_frame_time), when this
    // callback woke in JACK's time, the current buffer size and sample rate, and whether the
    // server reported a driver xrun since the cycle before, and how long the driver was held
    // up by it (0: not known, the line starts from this wake-up). Returns the estimated time of
    // the cycle's first frame.
    int64_t update(uint32_t firstFrame, int64_t wokeNs, uint32_t frames, uint32_t sampleRate,
                   bool driverXrun = false, int64_t driverDelayNs = 0);
    double nsPerFrame() const { return nsPerFrame_; }
    // The last cycle's start on the line as it was begun, without the slow following of the
    // lowest wake-up: frames counted at the nominal rate from the line's start. What times
    // incoming events: a steady source keeps its exact spacing (the following moves by up to
    // 300 ppm, which a clock lock would read as a change of tempo).
    int64_t countedStartNs() const {
        return baseNs_ + static_cast<int64_t>(std::llround(framesSinceBase_ * nsPerFrame_));
    }
    // Forgets every cycle seen: the next one starts the line afresh.
    void forget() { started_ = false; }
    // How often the line was found to have moved and was started afresh.
    uint64_t lineMoves() const { return lineMoves_; }

  private:
    void restart(uint32_t firstFrame, int64_t wokeNs, uint32_t sampleRate);

    bool started_ = false;
    uint32_t cycles_ = 0;      // since the start
    double lineOffsetNs_ = 0;  // the estimate, as an excess over the straight line
    uint32_t sampleRate_ = 0;
    double nsPerFrame_ = 0;
    uint32_t lastFrame_ = 0;
    uint64_t framesSinceBase_ = 0;  // JACK's 32-bit counter, carried on past its wrap
    int64_t baseNs_ = 0;
    // Wake-up time minus the straight line, for the most recent cycles.
    std::array<double, kMaxWindow> excessNs_{};
    size_t filled_ = 0;
    size_t next_ = 0;
    uint32_t behindInARow_ = 0;  // cycles in a row more than kJumpNs behind the line
    uint64_t lineMoves_ = 0;
};

// Where a message lands in a cycle: the frame nearest to its due time (time stamp plus latency)
// counted from the cycle's first frame, never before the frame of the message written before it
// in the same cycle (JACK wants a cycle's events in time order, and order is what senders rely
// on). A time stamp of 0 means "now": at the previous message's frame. Pure; the process
// callback places every message through it.
struct FramePlacement {
    enum class Kind { Now, Late, Due, LaterCycle };
    Kind kind;
    uint32_t frame;  // valid unless LaterCycle
    bool held;       // after its own frame: late, or behind the message written before it
};
FramePlacement PlaceOnFrame(int64_t timeNs, int64_t latencyNs, int64_t cycleStartNs,
                            double framesPerNs, uint32_t cycleFrames, uint32_t previousFrame);

// Where a port's previous timed message belonged: its exact position on JACK's frame count and
// its due time. The next one is placed by the time between them, so that a steady clock lands
// on frames exactly as far apart as its tempo says even while the cycle's line on the system
// clock wanders by a fraction of a frame (placed on its own, each tick would be rounded afresh
// and step a frame whenever the line crossed half of one). The chain gives way to the line as
// soon as the two part by more than kChainSlackFrames: after an xrun, a changed delay, or with
// a sound card that drifts from the system clock.
struct FrameChain {
    static constexpr double kChainSlackFrames = 1.0;
    bool valid = false;
    uint32_t cycleFrame = 0;  // JACK's frame count at the start of that message's cycle
    double position = 0;      // the message's exact position, in frames from cycleFrame
    int64_t dueNs = 0;        // time stamp plus latency
};
// As PlaceOnFrame for a timed message (timeNs != 0), following the chain where it holds, and
// moving the chain on to this message (unless it is held after its frame, or due later).
FramePlacement PlaceOnFrameChained(int64_t timeNs, int64_t latencyNs, int64_t cycleStartNs,
                                   double framesPerNs, uint32_t cycleFrames,
                                   uint32_t previousFrame, uint32_t firstFrame,
                                   FrameChain& chain);

// Work the JACK client's process callback does for another part of the backend (the inputs),
// once per cycle after the outputs. Process thread: no allocation, no lock.
class JackProcessHook {
  public:
    // firstFrame: JACK's frame counter at the start of this cycle; startNs: when that frame
    // was, on JACK's clock, by the frames counted on the outputs' cycle line
    // (CycleClock::countedStartNs), and nsPerFrame its frame length. Frame f of the cycle lies
    // at startNs + f * nsPerFrame.
    virtual void process(uint32_t frames, uint32_t firstFrame, int64_t startNs,
                         double nsPerFrame) = 0;

  protected:
    ~JackProcessHook() = default;
};

class JackInputHub;

// MIDI output through JACK, with every message placed at the frame of its time stamp plus a
// constant latency, so that clock ticks keep their spacing to the frame. One JACK client,
// "tempovane", serves the whole program.
//
// Ports come back by themselves. A supervisor thread waits for JACK's notices: when the server
// shuts down (or throws our client out) it closes the dead client and looks for the server
// every 250 ms; once it answers, a new client registers every open port again under its old
// name and connects it to the same named device. A destination (or source) whose client went
// away is connected again as soon as a port of that name is back. Meanwhile the connections
// refuse sends, so the clock thread, which never waits for any of this, ticks into nothing.
class JackMidiBackend : public MidiOutBackend {
  public:
    // Scheduled sends are due one period after their time stamp, plus this margin: a message
    // handed over up to the margin after its time stamp is still placed on its own frame. The
    // clock thread posts a tick some 50-100 us after its time stamp on an idle machine, and up
    // to a few milliseconds late on a loaded one; the cycle that has to carry the tick may
    // begin as early as one margin after the time stamp. Measured at 2500 BPM (dummy driver,
    // 256 frames, both cores of a shared machine busy, 15 s): with 1 ms, 123 ticks came too
    // late for their frames and bunched up; with 2, 2.5 and 3 ms, none. 2.5 ms places every
    // tick from a clock thread that wakes up to 2 ms late, with half a millisecond for the
    // sending itself; it adds 1.5 ms to the latency, which JACK hosts are told.
    static constexpr int64_t kDefaultSafetyMarginNs = 2'500'000;

    // Null when no server answers; a server is never started. An empty serverName takes the
    // usual default (JACK_DEFAULT_SERVER, else "default").
    static std::unique_ptr<JackMidiBackend> Create(const std::string& serverName = "",
                                                   int64_t safetyMarginNs = kDefaultSafetyMarginNs);
    ~JackMidiBackend() override;

    std::string prefix() const override { return "JACK"; }
    // Our virtual port, then the MIDI inputs of the other clients.
    std::vector<std::string> listOutputs() override;
    // Registers our port "ownPortName" (made unique if taken) and connects it to the named
    // input; the virtual entry leaves the port unconnected. Null when the name is not listed,
    // the connection fails, or 16 ports of ours are open already.
    std::unique_ptr<MidiOutConnection> openOutput(const std::string& name,
                                                  const std::string& ownPortName) override;
    void setProblemSink(ProblemSink sink) override;
    // Told when a lost server or device is back and its ports connected again.
    void setRecoverySink(ProblemSink sink) override;
    // Our virtual input, then the MIDI outputs of the other clients (midi_jack_input.cpp).
    std::vector<std::string> listInputs() override;
    // Registers our input port "ownPortName" and connects the named source to it.
    std::unique_ptr<MidiInConnection> openInput(const std::string& name,
                                                const std::string& ownPortName,
                                                MidiInHandler handler) override;

    // The name the server gave our client ("tempovane", or "tempovane-01" when taken).
    std::string clientName() const;
    uint32_t sampleRate() const;
    // The delay from a message's time stamp to its frame: one period plus the safety margin.
    // A port with a delay of its own adds that (see MidiOutConnection::setDelayNs).
    int64_t latencyNs() const;
    // Lifts every port when some port is set earlier than the others: the largest negative
    // delay among the open ports, as a positive number, or 0.
    int64_t sharedBaseDelayNs() const;
    // Scheduled messages that reached the process callback after their frame had passed and so
    // went out late, over all connections. A health figure for tools and experiments.
    uint64_t lateMessageCount() const;
    // How often the driver's time line was found to have moved (an xrun), and the cycles were
    // learnt afresh.
    uint64_t timeLineRestartCount() const;
    bool serverRunning() const;
    // Whether a JACK client of ours is open: false from the moment the supervisor has let go
    // of a dead server's client until a new one is open. libjack, on the next client opened
    // in the process, frees every client of a server that went away, so a test must not open
    // one of its own before this is false.
    bool holdsClient() const;

    class Session;

  private:
    explicit JackMidiBackend(std::shared_ptr<Session> session);
    std::shared_ptr<Session> session_;
    std::shared_ptr<JackInputHub> inputs_;
};
