#include "platform/midi_alsa.h"

#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>

#include "platform/monotonic_clock.h"

namespace {

const char* const kSequencerDevice = "/dev/snd/seq";
const char* const kClientName = "Tempovane";

// RtMidi prints warnings to stderr and throws on errors unless a callback takes them. Problems
// show up to us as a failed open or a thrown send, so the text itself is dropped.
void IgnoreRtMidiError(RtMidiError::Type, const std::string&, void*) {}

std::unique_ptr<RtMidiOut> MakeClient() {
    try {
        auto out = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, kClientName);
        out->setErrorCallback(&IgnoreRtMidiError, nullptr);
        return out;
    } catch (...) {
        return nullptr;
    }
}

// Every port's name as RtMidi gives it, in port order; empty when the sequencer fails.
std::vector<std::string> PortNames(RtMidi& client) {
    std::vector<std::string> names;
    try {
        const unsigned count = client.getPortCount();
        for (unsigned i = 0; i < count; ++i) names.push_back(client.getPortName(i));
    } catch (...) {
        names.clear();
    }
    return names;
}

class AlsaConnection : public MidiOutConnection {
  public:
    explicit AlsaConnection(std::unique_ptr<RtMidiOut> out) : out_(std::move(out)) {}

    ~AlsaConnection() override {
        std::lock_guard lock(sendMutex_);
        try {
            out_->closePort();
        } catch (...) {
        }
    }

    bool sendShort(const uint8_t* bytes, size_t length, int64_t) override {
        if (length < 1 || length > 3) return false;
        return send(bytes, length);
    }
    bool sendLong(const uint8_t* bytes, size_t length, int64_t) override {
        if (length == 0) return false;
        return send(bytes, length);
    }
    bool isAlive() const override { return true; }

  private:
    // One sequencer handle must not be written from two threads at once; a send is one short
    // write into the sequencer, so the lock is never held for long.
    bool send(const uint8_t* bytes, size_t length) {
        std::lock_guard lock(sendMutex_);
        try {
            out_->sendMessage(bytes, length);
            return true;
        } catch (...) {
            return false;
        }
    }

    std::mutex sendMutex_;
    std::unique_ptr<RtMidiOut> out_;
};

}  // namespace

std::string AlsaNameWithoutNumbers(std::string_view rtMidiName) {
    const std::string name = TrimDeviceName(rtMidiName);
    // " <client>:<port>" at the very end, both plain decimal numbers.
    const size_t space = name.find_last_of(' ');
    if (space == std::string::npos || space == 0) return name;
    const std::string_view numbers = std::string_view(name).substr(space + 1);
    const size_t colon = numbers.find(':');
    auto digits = [](std::string_view text) {
        return !text.empty() &&
               std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (colon == std::string_view::npos || !digits(numbers.substr(0, colon)) ||
        !digits(numbers.substr(colon + 1)))
        return name;
    return TrimDeviceName(std::string_view(name).substr(0, space));
}

std::vector<std::string> AlsaStableNames(const std::vector<std::string>& rtMidiNames) {
    std::vector<std::string> names;
    names.reserve(rtMidiNames.size());
    for (const auto& raw : rtMidiNames) names.push_back(AlsaNameWithoutNumbers(raw));
    // A suffix must not make a name that another port has of its own.
    const std::set<std::string> plain(names.begin(), names.end());
    std::set<std::string> taken;
    for (auto& name : names) {
        if (taken.insert(name).second) continue;
        for (int n = 2;; ++n) {
            std::string candidate = name + " #" + std::to_string(n);
            if (plain.count(candidate) == 0 && taken.insert(candidate).second) {
                name = std::move(candidate);
                break;
            }
        }
    }
    return names;
}

std::unique_ptr<AlsaMidiBackend> AlsaMidiBackend::Create() {
    if (access(kSequencerDevice, R_OK | W_OK) != 0) return nullptr;
    // Asking RtMidi for an API it was built without makes it fall back to another, noisily.
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    if (std::find(apis.begin(), apis.end(), RtMidi::LINUX_ALSA) == apis.end()) return nullptr;
    auto lister = MakeClient();
    if (!lister) return nullptr;
    return std::unique_ptr<AlsaMidiBackend>(new AlsaMidiBackend(std::move(lister)));
}

AlsaMidiBackend::AlsaMidiBackend(std::unique_ptr<RtMidiOut> lister) : lister_(std::move(lister)) {}

AlsaMidiBackend::~AlsaMidiBackend() = default;

std::vector<std::string> AlsaMidiBackend::listOutputs() {
    std::vector<std::string> names{kVirtualPortName};
    std::lock_guard lock(listerMutex_);
    for (auto& name : AlsaStableNames(PortNames(*lister_)))
        if (!name.empty()) names.push_back(std::move(name));
    return names;
}

std::unique_ptr<MidiOutConnection> AlsaMidiBackend::openOutput(const std::string& name,
                                                               const std::string& ownPortName) {
    auto out = MakeClient();
    if (!out) return nullptr;
    try {
        if (name == kVirtualPortName) {
            out->openVirtualPort(ownPortName);
            return std::make_unique<AlsaConnection>(std::move(out));
        }
        // Port numbers shift as devices come and go, so look the name up right now, named the
        // way the list names it.
        const std::vector<std::string> names = AlsaStableNames(PortNames(*out));
        for (unsigned i = 0; i < names.size(); ++i) {
            if (names[i] != name) continue;
            out->openPort(i, ownPortName);
            if (!out->isPortOpen()) return nullptr;
            return std::make_unique<AlsaConnection>(std::move(out));
        }
    } catch (...) {
    }
    return nullptr;
}

void AlsaMidiBackend::setProblemSink(ProblemSink) {}

// ---------------------------------------------------------------------------------------------
// Input

namespace {

std::unique_ptr<RtMidiIn> MakeInputClient() {
    try {
        // A queue of 1: every message goes to the callback, the queue is never used.
        auto in = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, kClientName, 1);
        in->setErrorCallback(&IgnoreRtMidiError, nullptr);
        // RtMidi drops System Exclusive, timing clock and active sensing unless told otherwise.
        in->ignoreTypes(false, false, false);
        return in;
    } catch (...) {
        return nullptr;
    }
}

class AlsaInputConnection : public MidiInConnection {
  public:
    AlsaInputConnection(std::unique_ptr<RtMidiIn> in, MidiInHandler handler)
        : in_(std::move(in)), handler_(std::move(handler)), openedNs_(MonotonicNowNs()) {}

    // Called once the connection is at its final address.
    void start() { in_->setCallback(&AlsaInputConnection::onMessage, this); }

    ~AlsaInputConnection() override {
        try {
            // closePort ends RtMidi's input thread, so no callback runs after it.
            in_->cancelCallback();
            in_->closePort();
        } catch (...) {
        }
    }

    bool isAlive() const override { return true; }

  private:
    static void onMessage(double, std::vector<unsigned char>* message, void* self) {
        auto* connection = static_cast<AlsaInputConnection*>(self);
        if (!message || message->empty()) return;
        const int64_t elapsedNs = MonotonicNowNs() - connection->openedNs_;
        connection->handler_(message->data(), message->size(),
                             static_cast<uint32_t>(elapsedNs / 1'000'000));
    }

    std::unique_ptr<RtMidiIn> in_;
    MidiInHandler handler_;
    const int64_t openedNs_;
};

}  // namespace

std::vector<std::string> AlsaMidiBackend::listInputs() {
    std::vector<std::string> names{kVirtualInputName};
    auto lister = MakeInputClient();
    if (!lister) return names;
    for (auto& name : AlsaStableNames(PortNames(*lister)))
        if (!name.empty()) names.push_back(std::move(name));
    return names;
}

std::unique_ptr<MidiInConnection> AlsaMidiBackend::openInput(const std::string& name,
                                                             const std::string& ownPortName,
                                                             MidiInHandler handler) {
    if (!handler) return nullptr;
    auto in = MakeInputClient();
    if (!in) return nullptr;
    try {
        if (name == kVirtualInputName) {
            in->openVirtualPort(ownPortName);
        } else {
            // Named as the list names them, looked up right now: numbers shift as devices come
            // and go.
            bool opened = false;
            const std::vector<std::string> names = AlsaStableNames(PortNames(*in));
            for (unsigned i = 0; i < names.size() && !opened; ++i) {
                if (names[i] != name) continue;
                in->openPort(i, ownPortName);
                opened = in->isPortOpen();
            }
            if (!opened) return nullptr;
        }
        auto connection = std::make_unique<AlsaInputConnection>(std::move(in), std::move(handler));
        connection->start();
        return connection;
    } catch (...) {
    }
    return nullptr;
}
