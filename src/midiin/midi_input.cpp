#include "midiin/midi_input.h"

#include <algorithm>
#include <cstring>

#include "platform/midi_backend.h"
#include "platform/midi_bytes.h"
#include "platform/midi_system.h"

TMidiInput::TMidiInput(MidiSystem& system, std::string ownPortName)
    : system_(system), ownPortName_(std::move(ownPortName)) {
    devices_ = system_.listInputs();
    if (devices_.size() > static_cast<size_t>(kMaxDevices)) devices_.resize(kMaxDevices);
}

TMidiInput::~TMidiInput() {
    std::lock_guard admin(adminMutex_);
    if (Using()) UnPrepare();
}

std::string TMidiInput::ProductName(int index) const {
    if (index < 0 || index >= NumDevs()) return {};
    return devices_[static_cast<size_t>(index)];
}

void TMidiInput::RefreshDevices(const std::string& keep) {
    std::lock_guard admin(adminMutex_);
    const std::string inUse = Using() ? ProductName(Port()) : std::string();
    std::vector<std::string> devices = system_.listInputs();
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

void TMidiInput::ClearResults() {
    lastOpenResult_ = 0;
    lastCloseResult_ = 0;
}

void TMidiInput::SetUsing(bool value) {
    std::lock_guard admin(adminMutex_);
    if (value && !Using())
        Prepare();
    else if (!value && Using())
        UnPrepare();
}

void TMidiInput::SetPort(int value) {
    if (value >= NumDevs()) return;
    std::lock_guard admin(adminMutex_);
    if (!Using()) {
        port_ = value;
        return;
    }
    UnPrepare();
    port_ = value;
    Prepare();
}

void TMidiInput::Prepare() {
    const int port = Port();
    resetting_.store(false, std::memory_order_release);
    nextBuffer_ = 0;
    if (port < 0 || port >= NumDevs()) {
        lastOpenResult_ = kOpenBadDevice;
        return;
    }
    connection_ = system_.openInput(devices_[static_cast<size_t>(port)], ownPortName_,
                                    [this](const uint8_t* bytes, size_t length, uint32_t timeMs) {
                                        Deliver(bytes, length, timeMs);
                                    });
    if (!connection_) {
        lastOpenResult_ = kOpenFailed;
        return;
    }
    lastOpenResult_ = kOpenOk;
    using_ = true;
}

void TMidiInput::UnPrepare() {
    // First the flag, so that whatever the backend still hands over is dropped; destroying the
    // connection then waits for a delivery under way.
    resetting_.store(true, std::memory_order_release);
    using_ = false;
    connection_.reset();
    lastCloseResult_ = 0;
}

void TMidiInput::Deliver(const uint8_t* bytes, size_t length, uint32_t timeMs) {
    if (length == 0 || resetting_.load(std::memory_order_acquire)) return;
    const uint8_t status = bytes[0];
    const bool sysEx = status == midi::kSystemExclusive || status == midi::kEndOfExclusive ||
                       !midi::IsStatus(status);
    if (!sysEx) {
        if (!OnShort || !UseShort()) return;
        OnShort(*this, status, length > 1 ? bytes[1] : 0, length > 2 ? bytes[2] : 0,
                static_cast<int32_t>(timeMs));
        return;
    }
    // Pieces of one buffer's size, each delivered on its own, as the buffers would fill.
    for (size_t offset = 0; offset < length; offset += kSysExBufferBytes) {
        if (resetting_.load(std::memory_order_acquire)) return;
        const size_t size = std::min<size_t>(kSysExBufferBytes, length - offset);
        uint8_t* buffer = sysExData_.data() + nextBuffer_ * kSysExBufferBytes;
        nextBuffer_ = (nextBuffer_ + 1) % kSysExBuffers;
        std::memcpy(buffer, bytes + offset, size);
        if (OnSysEx && UseSysEx()) OnSysEx(*this, buffer, static_cast<int32_t>(size));
    }
}
