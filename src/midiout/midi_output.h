#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class MidiSystem;
class MidiOutConnection;

// One MIDI output device of the system. It knows the device list as it was when it was made,
// opens and closes one entry and sends short messages and System Exclusive to it. It adds no
// MIDI knowledge of its own (no running status, no checks of status bytes).
class TMidiOutput {
  public:
    static constexpr int kMaxDevices = 128;
    // Open results (0 = success), kept like the system's error codes.
    static constexpr uint32_t kOpenOk = 0;
    static constexpr uint32_t kOpenBadDevice = 2;  // no such entry (also -1: there is no mapper)
    static constexpr uint32_t kOpenFailed = 4;     // the backend refused

    // ownPortName names the port this device creates where the backend makes one ("out1").
    TMidiOutput(MidiSystem& system, std::string ownPortName);
    ~TMidiOutput();
    TMidiOutput(const TMidiOutput&) = delete;
    TMidiOutput& operator=(const TMidiOutput&) = delete;

    // Any thread; real-time safe.
    bool Using() const { return using_.load(std::memory_order_acquire); }
    // Opens (true) or closes (false). A failed open leaves Using false: nothing would reach
    // a device that is not there, and the port tells the user from LastOpenResult.
    void SetUsing(bool value);

    int Port() const { return port_.load(std::memory_order_acquire); }
    // Chooses the device; reopens it when open. Values at or above NumDevs are ignored.
    void SetPort(int value);

    int NumDevs() const { return static_cast<int>(devices_.size()); }
    std::string ProductName(int index) const;
    // Reads the device list again (devices come and go while the program runs). keep, when
    // not empty, stays listed even if the system no longer offers it, so a choice that is
    // shown or in use never changes under the user; Port() follows the open device to its new
    // place. UI thread.
    void RefreshDevices(const std::string& keep);

    uint32_t LastOpenResult() const { return lastOpenResult_.load(std::memory_order_acquire); }
    uint32_t LastCloseResult() const { return lastCloseResult_.load(std::memory_order_acquire); }
    void ClearResults();

    // Any thread. timeNs: the monotonic time the message belongs to (a tick's scheduled time),
    // 0 for "now". Nothing is sent while closed. Real-time safe as far as the connection's
    // sendShort is (JACK yes; ALSA holds RtMidi's lock for one send).
    void SendShort(uint8_t status, uint8_t data1, uint8_t data2, int64_t timeNs = 0);
    // A System Exclusive message; strings of two bytes or fewer are not sent. Returns whether
    // the bytes were handed over; it never waits for the device.
    bool SendLong(const uint8_t* bytes, int32_t length, int64_t timeNs = 0);

    // False while open on a destination that has gone away.
    bool Alive() const;
    // The open connection's lookahead (see MidiOutConnection); 0 while closed. Asked of the
    // connection each time: another port's delay can change it. Never waits. Clock thread
    // among others; real-time safe.
    int64_t LookaheadNs() const;
    // Shifts everything this device sends by delayNs, on a backend that schedules (JACK); kept
    // for the devices opened later. False where the open connection cannot do it.
    bool SetDelayNs(int64_t delayNs);
    int64_t DelayNs() const { return delayNs_.load(std::memory_order_acquire); }

  private:
    void open();
    void close();

    MidiSystem& system_;
    const std::string ownPortName_;
    std::vector<std::string> devices_;  // read at construction and by RefreshDevices

    std::atomic<bool> using_{false};
    std::atomic<int> port_{0};
    std::atomic<uint32_t> lastOpenResult_{0};
    std::atomic<uint32_t> lastCloseResult_{0};
    std::atomic<int64_t> delayNs_{0};

    // Senders never lock: they count themselves in senders_, then read the connection. A close
    // takes the pointer away first and then waits for the count to fall to 0 before it lets the
    // connection go, so the clock thread neither waits for a System Exclusive send on the UI
    // thread nor for an open or close; only the closer waits (for a send already under way).
    class SenderGuard;
    std::atomic<MidiOutConnection*> connection_{nullptr};
    mutable std::atomic<int> senders_{0};
    std::mutex adminMutex_;  // open and close, one at a time; never taken by a sender
    std::unique_ptr<MidiOutConnection> owned_;
};
