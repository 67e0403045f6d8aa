#include "midiout/midi_output.h"

#include <algorithm>
#include <thread>

#include "platform/midi_backend.h"
#include "platform/midi_system.h"

TMidiOutput::TMidiOutput(MidiSystem& system, std::string ownPortName)
    : system_(system), ownPortName_(std::move(ownPortName)) {
    devices_ = system_.listOutputs();
    if (devices_.size() > static_cast<size_t>(kMaxDevices)) devices_.resize(kMaxDevices);
}

TMidiOutput::~TMidiOutput() {
    if (Using()) close();
}

std::string TMidiOutput::ProductName(int index) const {
    if (index < 0 || index >= NumDevs()) return {};
    return devices_[static_cast<size_t>(index)];
}

void TMidiOutput::RefreshDevices(const std::string& keep) {
    const std::string inUse = Using() ? ProductName(Port()) : std::string();
    std::vector<std::string> devices = system_.listOutputs();
    if (devices.size() > static_cast<size_t>(kMaxDevices)) devices.resize(kMaxDevices);
    for (const std::string& name : {keep, inUse}) {
        if (name.empty() || std::find(devices.begin(), devices.end(), name) != devices.end())
            continue;
        if (devices.size() == static_cast<size_t>(kMaxDevices)) devices.pop_back();
        devices.push_back(name);
    }
    devices_ = std::move(devices);
    if (!inUse.empty()) {
        const auto at = std::find(devices_.begin(), devices_.end(), inUse);
        port_ = static_cast<int>(at - devices_.begin());
    }
}

void TMidiOutput::ClearResults() {
    lastOpenResult_ = 0;
    lastCloseResult_ = 0;
}

void TMidiOutput::SetUsing(bool value) {
    if (value && !Using()) {
        open();
    } else if (!value && Using()) {
        close();
    }
}

void TMidiOutput::SetPort(int value) {
    if (value >= NumDevs()) return;
    if (!Using()) {
        port_ = value;
        return;
    }
    close();
    port_ = value;
    open();
}

// Marks a sender as busy for its whole use of the connection pointer. Sequentially consistent
// on entry: a close that swapped the pointer out either sees this count or this sender sees the
// null pointer.
class TMidiOutput::SenderGuard {
  public:
    explicit SenderGuard(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
    ~SenderGuard() { count_.fetch_sub(1, std::memory_order_release); }
    SenderGuard(const SenderGuard&) = delete;
    SenderGuard& operator=(const SenderGuard&) = delete;

  private:
    std::atomic<int>& count_;
};

void TMidiOutput::open() {
    const int port = Port();
    std::unique_ptr<MidiOutConnection> connection;
    if (port >= 0 && port < NumDevs())
        connection = system_.openOutput(devices_[static_cast<size_t>(port)], ownPortName_);
    if (!connection) {
        lastOpenResult_ = (port < 0 || port >= NumDevs()) ? kOpenBadDevice : kOpenFailed;
        using_ = false;
        return;
    }
    const int64_t delay = DelayNs();
    if (delay != 0) connection->setDelayNs(delay);
    {
        std::lock_guard admin(adminMutex_);
        owned_ = std::move(connection);
        connection_.store(owned_.get());
    }
    lastOpenResult_ = kOpenOk;
    using_ = true;
}

void TMidiOutput::close() {
    std::unique_ptr<MidiOutConnection> old;
    using_ = false;
    {
        std::lock_guard admin(adminMutex_);
        connection_.store(nullptr);
        old = std::move(owned_);
    }
    // A sender that read the pointer before it went is still using it; it is done within one
    // send (a copy into a ring, or one write to the sequencer).
    while (senders_.load() != 0) std::this_thread::yield();
    old.reset();  // the backend lets go of its port
    lastCloseResult_ = 0;
}

void TMidiOutput::SendShort(uint8_t status, uint8_t data1, uint8_t data2, int64_t timeNs) {
    if (!Using()) return;
    const uint8_t bytes[3] = {status, data1, data2};
    SenderGuard guard(senders_);
    if (MidiOutConnection* connection = connection_.load())
        connection->sendShort(bytes, ShortMessageLength(status), timeNs);
}

bool TMidiOutput::SendLong(const uint8_t* bytes, int32_t length, int64_t timeNs) {
    if (!Using() || length <= 2) return false;
    SenderGuard guard(senders_);
    MidiOutConnection* connection = connection_.load();
    return connection && connection->sendLong(bytes, static_cast<size_t>(length), timeNs);
}

int64_t TMidiOutput::LookaheadNs() const {
    SenderGuard guard(senders_);
    const MidiOutConnection* connection = connection_.load();
    return connection ? connection->lookaheadNs() : 0;
}

bool TMidiOutput::SetDelayNs(int64_t delayNs) {
    delayNs_ = delayNs;
    std::lock_guard admin(adminMutex_);
    return owned_ ? owned_->setDelayNs(delayNs) : false;
}

bool TMidiOutput::Alive() const {
    SenderGuard guard(senders_);
    const MidiOutConnection* connection = connection_.load();
    return connection && connection->isAlive();
}
