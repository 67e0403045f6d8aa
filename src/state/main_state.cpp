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
        pendingStatusText_.assign(text);
        pendingStatusColor_ = color;
        pendingStatusDetail_.assign(detail);  // clearing never allocates
    }
    StatusChanges.fetch_add(1, std::memory_order_acq_rel);
}

MainState::Status MainState::PendingStatus() const {
    std::lock_guard lock(statusMutex_);
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
