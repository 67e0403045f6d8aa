#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class MidiSystem;
class MidiInConnection;

// One MIDI input device of the system, the sibling of TMidiOutput. It opens and closes one
// entry of the input list and hands every short message, and System Exclusive in pieces of at
// most 128 bytes, to its handlers on the backend's input thread. It knows nothing of what a
// message means.
class TMidiInput {
  public:
    static constexpr int kMaxDevices = 128;
    static constexpr int kSysExBuffers = 8;
    static constexpr int kSysExBufferBytes = 128;
    static constexpr uint32_t kOpenOk = 0;
    static constexpr uint32_t kOpenBadDevice = 2;
    static constexpr uint32_t kOpenFailed = 4;

    using ShortHandler = std::function<void(TMidiInput& sender, uint8_t status, uint8_t first,
                                            uint8_t second, int32_t timeStamp)>;
    using SysExHandler =
        std::function<void(TMidiInput& sender, const uint8_t* sysExAdd, int32_t msgSize)>;

    // ownPortName names the port the device creates where the backend makes one ("in1").
    TMidiInput(MidiSystem& system, std::string ownPortName);
    ~TMidiInput();
    TMidiInput(const TMidiInput&) = delete;
    TMidiInput& operator=(const TMidiInput&) = delete;

    bool Using() const { return using_.load(std::memory_order_acquire); }
    // Opens (true) or closes (false); the same value again does nothing. A failed open leaves
    // Using false and LastOpenResult non-zero.
    void SetUsing(bool value);

    int Port() const { return port_.load(std::memory_order_acquire); }
    // Values at or above NumDevs are ignored; while open the device is closed, switched and
    // opened again, also for the index it has.
    void SetPort(int value);

    int NumDevs() const { return static_cast<int>(devices_.size()); }
    // Reads the system's list again (UI thread). keep, and the device open now, stay listed
    // even when gone, so a list keeps showing what is chosen; the open device keeps its place
    // in Port().
    void RefreshDevices(const std::string& keep);
    std::string ProductName(int index) const;

    bool UseShort() const { return useShort_.load(std::memory_order_acquire); }
    void SetUseShort(bool value) { useShort_.store(value, std::memory_order_release); }
    bool UseSysEx() const { return useSysEx_.load(std::memory_order_acquire); }
    void SetUseSysEx(bool value) { useSysEx_.store(value, std::memory_order_release); }

    // Assigned while the device is closed (the owner does it once, before opening).
    ShortHandler OnShort;
    SysExHandler OnSysEx;

    uint32_t LastOpenResult() const { return lastOpenResult_.load(std::memory_order_acquire); }
    uint32_t LastCloseResult() const { return lastCloseResult_.load(std::memory_order_acquire); }
    void ClearResults();

    // What the backend delivers: one message or System Exclusive piece. Public so that a
    // benchmark can drive the device without a backend; the input thread calls it otherwise.
    void Deliver(const uint8_t* bytes, size_t length, uint32_t timeMs);

  private:
    void Prepare();
    void UnPrepare();

    MidiSystem& system_;
    const std::string ownPortName_;
    std::vector<std::string> devices_;  // read at construction and by RefreshDevices

    std::atomic<bool> using_{false};
    std::atomic<int> port_{0};
    std::atomic<bool> useShort_{true};
    std::atomic<bool> useSysEx_{true};
    // Set from the start of a close: nothing is delivered after that.
    std::atomic<bool> resetting_{false};
    std::atomic<uint32_t> lastOpenResult_{0};
    std::atomic<uint32_t> lastCloseResult_{0};

    // The System Exclusive buffers, reused in turn: a handler may keep looking at one piece
    // while the next seven arrive.
    std::array<uint8_t, kSysExBuffers * kSysExBufferBytes> sysExData_{};
    int nextBuffer_ = 0;  // input thread only

    std::mutex adminMutex_;  // opening and closing (UI thread)
    std::unique_ptr<MidiInConnection> connection_;
};
