#include "state/main_state.h"

namespace {
constexpr size_t kReservedStatusText = 256;
}

MainState::MainState() {
    pendingStatusText_.reserve(kReservedStatusText);
    learnText_.reserve(64);
}

void MainState::PostStatus(std::string_view text, StatusColor color, std::string_view detail) {
    {
        std::lock_guard lock(statusMutex_);
        statusTextSerial_ = statusSerial_.fetch_add(1, std::memory_order_acq_rel) + 1;
        pendingStatusText_.assign(text);
        pendingStatusColor_ = color;
        pendingStatusDetail_.assign(detail);  // clearing never allocates
    }
    StatusChanges.fetch_add(1, std::memory_order_acq_rel);
}

void MainState::PostStatusCode(StatusCode code) {
    const uint64_t serial = statusSerial_.fetch_add(1, std::memory_order_acq_rel) + 1;
    statusCodeWord_.store(serial << 8 | static_cast<uint8_t>(code), std::memory_order_release);
    StatusChanges.fetch_add(1, std::memory_order_acq_rel);
}

MainState::Status MainState::PendingStatus() const {
    const uint64_t codeWord = statusCodeWord_.load(std::memory_order_acquire);
    std::lock_guard lock(statusMutex_);
    if ((codeWord >> 8) > statusTextSerial_) {
        switch (static_cast<StatusCode>(codeWord & 0xFF)) {
            case StatusCode::Running:
                return {"Running ...", StatusColors::green, {}};
        }
    }
    return {pendingStatusText_, pendingStatusColor_, pendingStatusDetail_};
}

void MainState::SetLearnText(std::string_view text) {
    std::lock_guard lock(learnMutex_);
    learnText_.assign(text);
}

std::string MainState::LearnText() const {
    std::lock_guard lock(learnMutex_);
    return learnText_;
}
