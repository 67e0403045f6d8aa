#include "platform/midi_memory.h"

#include <algorithm>

// Shared with the connections, so that a connection may outlive the backend in a test.
struct MemoryMidiBackend::State {
    struct Device {
        explicit Device(std::string deviceName) : name(std::move(deviceName)) {}
        std::string name;
        bool failOpen = false;
        int opens = 0;
        int openNow = 0;
        std::string lastOwnPortName;
    };
    struct Connection {
        std::string device;
        bool alive = true;
    };

    // An open input. deliverMutex is held while its handler runs, so that closing waits for a
    // delivery under way and none starts afterwards.
    struct Input {
        std::string device;
        MidiInHandler handler;
        std::mutex deliverMutex;
        bool closed = false;  // guarded by deliverMutex
    };

    mutable std::mutex mutex;
    std::vector<Device> inputDevices;  // our virtual input, then the others
    std::vector<std::shared_ptr<Input>> inputs;
    std::vector<Device> devices;  // our virtual port, then the others as they appeared
    std::vector<std::shared_ptr<Connection>> connections;
    std::vector<Message> messages;
    ProblemSink sink;
    ArrivalSink arrivalSink;

    Device* findDevice(const std::string& name) {
        auto it = std::find_if(devices.begin(), devices.end(),
                               [&](const Device& d) { return d.name == name; });
        return it == devices.end() ? nullptr : &*it;
    }
    const Device* findDevice(const std::string& name) const {
        return const_cast<State*>(this)->findDevice(name);
    }
    Device* findInputDevice(const std::string& name) {
        auto it = std::find_if(inputDevices.begin(), inputDevices.end(),
                               [&](const Device& d) { return d.name == name; });
        return it == inputDevices.end() ? nullptr : &*it;
    }
    const Device* findInputDevice(const std::string& name) const {
        return const_cast<State*>(this)->findInputDevice(name);
    }
};

namespace {

class MemoryConnection : public MidiOutConnection {
  public:
    MemoryConnection(std::shared_ptr<MemoryMidiBackend::State> state,
                     std::shared_ptr<MemoryMidiBackend::State::Connection> self)
        : state_(std::move(state)), self_(std::move(self)) {}

    ~MemoryConnection() override {
        std::lock_guard lock(state_->mutex);
        if (auto* device = state_->findDevice(self_->device)) {
            if (self_->alive) --device->openNow;
        }
        auto& all = state_->connections;
        all.erase(std::remove(all.begin(), all.end(), self_), all.end());
    }

    bool sendShort(const uint8_t* bytes, size_t length, int64_t timeNs) override {
        if (length < 1 || length > 3) return false;
        return record(bytes, length, timeNs, false);
    }
    bool sendLong(const uint8_t* bytes, size_t length, int64_t timeNs) override {
        if (length == 0) return false;
        return record(bytes, length, timeNs, true);
    }
    bool isAlive() const override {
        std::lock_guard lock(state_->mutex);
        return self_->alive;
    }

  private:
    bool record(const uint8_t* bytes, size_t length, int64_t timeNs, bool isLong) {
        std::lock_guard lock(state_->mutex);
        if (!self_->alive) return false;
        state_->messages.push_back(
            {self_->device, std::vector<uint8_t>(bytes, bytes + length), timeNs, isLong});
        return true;
    }

    std::shared_ptr<MemoryMidiBackend::State> state_;
    std::shared_ptr<MemoryMidiBackend::State::Connection> self_;
};

// A pulse output of the test's: each edge and run change is logged as a one-byte message to
// the device "pulse_<n>" (0x01 an edge, 0x02 the run line high, 0x03 low), at its time stamp.
class MemoryPulseConnection : public PulseOutConnection {
  public:
    MemoryPulseConnection(std::shared_ptr<MemoryMidiBackend::State> state, std::string device)
        : state_(std::move(state)), device_(std::move(device)) {}
    bool edge(int64_t timeNs, int64_t) override { return record(0x01, timeNs); }
    bool run(bool high, int64_t timeNs) override { return record(high ? 0x02 : 0x03, timeNs); }
    void setShape(int64_t, double, bool) override {}
    bool setShiftNs(int64_t) override { return true; }
    int64_t lookaheadNs() const override { return 0; }
    bool isAlive() const override { return true; }

  private:
    bool record(uint8_t kind, int64_t timeNs) {
        std::lock_guard lock(state_->mutex);
        state_->messages.push_back({device_, {kind}, timeNs, false});
        return true;
    }
    std::shared_ptr<MemoryMidiBackend::State> state_;
    std::string device_;
};

class MemoryInputConnection : public MidiInConnection {
  public:
    MemoryInputConnection(std::shared_ptr<MemoryMidiBackend::State> state,
                          std::shared_ptr<MemoryMidiBackend::State::Input> self)
        : state_(std::move(state)), self_(std::move(self)) {}

    ~MemoryInputConnection() override {
        {
            std::lock_guard deliver(self_->deliverMutex);
            self_->closed = true;
        }
        std::lock_guard lock(state_->mutex);
        if (auto* device = state_->findInputDevice(self_->device)) --device->openNow;
        auto& all = state_->inputs;
        all.erase(std::remove(all.begin(), all.end(), self_), all.end());
    }

    bool isAlive() const override { return true; }

  private:
    std::shared_ptr<MemoryMidiBackend::State> state_;
    std::shared_ptr<MemoryMidiBackend::State::Input> self_;
};

}  // namespace

MemoryMidiBackend::MemoryMidiBackend() : state_(std::make_shared<State>()) {
    state_->devices.emplace_back(kVirtualPortName);
    state_->inputDevices.emplace_back(kVirtualInputName);
}

std::vector<std::string> MemoryMidiBackend::listInputs() {
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> names;
    for (const auto& device : state_->inputDevices) names.push_back(TrimDeviceName(device.name));
    return names;
}

std::unique_ptr<MidiInConnection> MemoryMidiBackend::openInput(const std::string& name,
                                                               const std::string& ownPortName,
                                                               MidiInHandler handler) {
    std::lock_guard lock(state_->mutex);
    State::Device* device = nullptr;
    for (auto& candidate : state_->inputDevices) {
        if (TrimDeviceName(candidate.name) == name) {
            device = &candidate;
            break;
        }
    }
    if (!device || device->failOpen || !handler) return nullptr;
    ++device->opens;
    ++device->openNow;
    device->lastOwnPortName = ownPortName;
    auto self = std::make_shared<State::Input>();
    self->device = device->name;
    self->handler = std::move(handler);
    state_->inputs.push_back(self);
    return std::make_unique<MemoryInputConnection>(state_, self);
}

void MemoryMidiBackend::addInputDevice(const std::string& name) {
    ArrivalSink sink;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->findInputDevice(name)) return;
        state_->inputDevices.emplace_back(name);
        sink = state_->arrivalSink;
    }
    if (sink) sink(false);
}

void MemoryMidiBackend::setFailOpenInput(const std::string& name, bool fail) {
    std::lock_guard lock(state_->mutex);
    if (auto* device = state_->findInputDevice(name)) device->failOpen = fail;
}

int MemoryMidiBackend::inject(const std::string& device, const std::vector<uint8_t>& bytes,
                              uint32_t timeMs) {
    std::vector<std::shared_ptr<State::Input>> targets;
    {
        std::lock_guard lock(state_->mutex);
        for (const auto& input : state_->inputs)
            if (input->device == device) targets.push_back(input);
    }
    // Outside the state lock: a handler may well send through this backend.
    int delivered = 0;
    for (const auto& input : targets) {
        std::lock_guard deliver(input->deliverMutex);
        if (input->closed) continue;
        input->handler(bytes.data(), bytes.size(), timeMs);
        ++delivered;
    }
    return delivered;
}

int MemoryMidiBackend::inputOpenCount(const std::string& device) const {
    std::lock_guard lock(state_->mutex);
    const auto* found = state_->findInputDevice(device);
    return found ? found->opens : 0;
}

int MemoryMidiBackend::inputsOpenNow(const std::string& device) const {
    std::lock_guard lock(state_->mutex);
    const auto* found = state_->findInputDevice(device);
    return found ? found->openNow : 0;
}

MemoryMidiBackend::~MemoryMidiBackend() {
    // Connections still open keep the state alive but can no longer reach a device.
    std::lock_guard lock(state_->mutex);
    for (auto& connection : state_->connections) connection->alive = false;
    state_->sink = nullptr;
}

std::vector<std::string> MemoryMidiBackend::listOutputs() {
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> names;
    for (const auto& device : state_->devices) names.push_back(TrimDeviceName(device.name));
    return names;
}

std::unique_ptr<MidiOutConnection> MemoryMidiBackend::openOutput(const std::string& name,
                                                                 const std::string& ownPortName) {
    std::lock_guard lock(state_->mutex);
    State::Device* device = nullptr;
    for (auto& candidate : state_->devices) {
        if (TrimDeviceName(candidate.name) == name) {
            device = &candidate;
            break;
        }
    }
    if (!device || device->failOpen) return nullptr;
    ++device->opens;
    ++device->openNow;
    device->lastOwnPortName = ownPortName;
    auto self = std::make_shared<State::Connection>(State::Connection{device->name, true});
    state_->connections.push_back(self);
    return std::make_unique<MemoryConnection>(state_, self);
}

void MemoryMidiBackend::setProblemSink(ProblemSink sink) {
    std::lock_guard lock(state_->mutex);
    state_->sink = std::move(sink);
}

void MemoryMidiBackend::addDevice(const std::string& name) {
    ArrivalSink sink;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->findDevice(name)) return;
        state_->devices.emplace_back(name);
        sink = state_->arrivalSink;
    }
    if (sink) sink(false);
}

void MemoryMidiBackend::setArrivalSink(ArrivalSink sink) {
    std::lock_guard lock(state_->mutex);
    state_->arrivalSink = std::move(sink);
}

void MemoryMidiBackend::removeDevice(const std::string& name) {
    ProblemSink sink;
    bool hadConnections = false;
    {
        std::lock_guard lock(state_->mutex);
        auto& devices = state_->devices;
        auto it = std::find_if(devices.begin(), devices.end(),
                               [&](const State::Device& d) { return d.name == name; });
        if (it == devices.end()) return;
        devices.erase(it);
        for (auto& connection : state_->connections) {
            if (connection->device == name && connection->alive) {
                connection->alive = false;
                hadConnections = true;
            }
        }
        sink = state_->sink;
    }
    // Outside the lock: the listener may well call back into the backend.
    if (hadConnections && sink) sink("MIDI Port lost: " + TrimDeviceName(name));
}

void MemoryMidiBackend::setFailOpen(const std::string& name, bool fail) {
    std::lock_guard lock(state_->mutex);
    if (auto* device = state_->findDevice(name)) device->failOpen = fail;
}

std::vector<MemoryMidiBackend::Message> MemoryMidiBackend::messages() const {
    std::lock_guard lock(state_->mutex);
    return state_->messages;
}

std::vector<MemoryMidiBackend::Message> MemoryMidiBackend::messagesFor(
    const std::string& device) const {
    std::lock_guard lock(state_->mutex);
    std::vector<Message> result;
    for (const auto& message : state_->messages) {
        if (message.device == device) result.push_back(message);
    }
    return result;
}

void MemoryMidiBackend::clearMessages() {
    std::lock_guard lock(state_->mutex);
    state_->messages.clear();
}

int MemoryMidiBackend::openCount(const std::string& device) const {
    std::lock_guard lock(state_->mutex);
    const auto* found = state_->findDevice(device);
    return found ? found->opens : 0;
}

int MemoryMidiBackend::currentlyOpen(const std::string& device) const {
    std::lock_guard lock(state_->mutex);
    const auto* found = state_->findDevice(device);
    return found ? found->openNow : 0;
}

std::string MemoryMidiBackend::lastOwnPortName(const std::string& device) const {
    std::lock_guard lock(state_->mutex);
    const auto* found = state_->findDevice(device);
    return found ? found->lastOwnPortName : std::string();
}

std::unique_ptr<PulseOutConnection> MemoryMidiBackend::openPulseOutput(int number) {
    return std::make_unique<MemoryPulseConnection>(state_, "pulse_" + std::to_string(number));
}
