#include "platform/jack/jack_out_queue.h"

#include <algorithm>
#include <cstring>

#include "platform/deadline_thread.h"

// ---------------------------------------------------------------------------------------------
// MidiEventRing

MidiEventRing::MidiEventRing(size_t capacityBytes) {
    size_t capacity = 64;
    while (capacity < capacityBytes) capacity <<= 1;
    storage_.assign(capacity, 0);
    mask_ = capacity - 1;
}

size_t MidiEventRing::recordSize(size_t length) {
    // Records stay 8-byte aligned so that a header is never split more than necessary.
    return sizeof(Header) + ((length + 7) & ~size_t{7});
}

void MidiEventRing::copyIn(size_t position, const void* source, size_t length) {
    const size_t offset = position & mask_;
    const size_t first = std::min(length, storage_.size() - offset);
    const auto* bytes = static_cast<const uint8_t*>(source);
    std::memcpy(storage_.data() + offset, bytes, first);
    std::memcpy(storage_.data(), bytes + first, length - first);
}

void MidiEventRing::copyOut(size_t position, void* destination, size_t length) const {
    const size_t offset = position & mask_;
    const size_t first = std::min(length, storage_.size() - offset);
    auto* bytes = static_cast<uint8_t*>(destination);
    std::memcpy(bytes, storage_.data() + offset, first);
    std::memcpy(bytes + first, storage_.data(), length - first);
}

bool MidiEventRing::push(int64_t timeNs, const uint8_t* bytes, size_t length, uint32_t flags) {
    if (length == 0 || length > kMaxMessageBytes) return false;
    const size_t size = recordSize(length);
    const size_t written = written_.load(std::memory_order_relaxed);
    const size_t read = read_.load(std::memory_order_acquire);
    if (storage_.size() - (written - read) < size) return false;
    const Header header{timeNs, static_cast<uint32_t>(length), flags};
    copyIn(written, &header, sizeof header);
    copyIn(written + sizeof header, bytes, length);
    written_.store(written + size, std::memory_order_release);
    return true;
}

bool MidiEventRing::front(Header& header) const {
    const size_t read = read_.load(std::memory_order_relaxed);
    if (written_.load(std::memory_order_acquire) == read) return false;
    copyOut(read, &header, sizeof header);
    return true;
}

void MidiEventRing::copyFrontBytes(uint8_t* destination) const {
    const size_t read = read_.load(std::memory_order_relaxed);
    Header header;
    copyOut(read, &header, sizeof header);
    copyOut(read + sizeof header, destination, header.length);
}

void MidiEventRing::pop() {
    const size_t read = read_.load(std::memory_order_relaxed);
    Header header;
    copyOut(read, &header, sizeof header);
    read_.store(read + recordSize(header.length), std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// JackOutQueue

bool JackOutQueue::push(int64_t timeNs, bool asSoonAsPossible, const uint8_t* bytes,
                        size_t length) {
    const uint32_t flags = asSoonAsPossible ? kAsSoonAsPossible : 0;
    // A clock thread takes its own ring. Should a second one ever send on the same connection,
    // the ring is taken and it queues with everyone else instead of corrupting it.
    if (DeadlineThread::OnAnyDeadlineThread() &&
        !clockRingTaken_.exchange(true, std::memory_order_acquire)) {
        const bool queued = clockRing_.push(timeNs, bytes, length, flags);
        clockRingTaken_.store(false, std::memory_order_release);
        return queued;
    }
    std::lock_guard lock(sharedMutex_);
    return sharedRing_.push(timeNs, bytes, length, flags);
}

bool JackOutQueue::front(MidiEventRing::Header& header) {
    MidiEventRing::Header clock;
    MidiEventRing::Header shared;
    const bool hasClock = clockRing_.front(clock);
    const bool hasShared = sharedRing_.front(shared);
    if (!hasClock && !hasShared) {
        chosen_ = nullptr;
        return false;
    }
    if (hasClock && (!hasShared || clock.timeNs <= shared.timeNs)) {
        chosen_ = &clockRing_;
        header = clock;
    } else {
        chosen_ = &sharedRing_;
        header = shared;
    }
    return true;
}

void JackOutQueue::copyFrontBytes(uint8_t* destination) const {
    if (chosen_) chosen_->copyFrontBytes(destination);
}

void JackOutQueue::pop() {
    if (chosen_ == &clockRing_) clockRing_.pop();
    if (chosen_ == &sharedRing_) sharedRing_.pop();
    chosen_ = nullptr;
}

void JackOutQueue::clear() {
    MidiEventRing::Header header;
    while (front(header)) pop();
}
