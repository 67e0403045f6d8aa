#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

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
    // Real-time safe.
    bool push(int64_t timeNs, const uint8_t* bytes, size_t length, uint32_t flags = 0);

    // Reader side: look at the oldest message, copy its bytes out, then drop it. JACK process
    // thread; real-time safe.
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
    // Real-time safe on a clock thread (a ring of its own); others share a lock.
    bool push(int64_t timeNs, bool asSoonAsPossible, const uint8_t* bytes, size_t length);

    // Reader: the next message by time; copyFrontBytes and pop then act on it. JACK process
    // thread; real-time safe, as are clear and empty.
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
