#include "state/main_state.h"

#include <algorithm>
#include <utility>

namespace {
constexpr size_t kReservedStatusText = 256;
}

MainState::MainState() {
    for (auto& entry : posted_) {
        entry.status.text.reserve(kReservedStatusText);
        entry.status.detail.reserve(kReservedStatusText);
        entry.status.color = StatusColors::red;
    }
    learnText_.reserve(64);
}

void MainState::PostStatus(std::string_view text, StatusColor color, std::string_view detail) {
    {
        std::lock_guard lock(statusMutex_);
        PostedStatus& entry = posted_[postedCount_ % posted_.size()];
        ++postedCount_;
        entry.serial = statusSerial_.fetch_add(1, std::memory_order_acq_rel) + 1;
        entry.status.text.assign(text);
        entry.status.color = color;
        entry.status.detail.assign(detail);  // clearing never allocates
    }
    StatusChanges.fetch_add(1, std::memory_order_acq_rel);
}

void MainState::PostStatusCode(StatusCode code) {
    const uint64_t serial = statusSerial_.fetch_add(1, std::memory_order_acq_rel) + 1;
    statusCodeWord_.store(serial << 8 | static_cast<uint8_t>(code), std::memory_order_release);
    StatusChanges.fetch_add(1, std::memory_order_acq_rel);
}

MainState::Status MainState::CodedStatus(uint8_t code) {
    switch (static_cast<StatusCode>(code)) {
        case StatusCode::Running:
            return {"Running ...", StatusColors::green, {}};
    }
    return {};
}

MainState::Status MainState::PendingStatus() const {
    const uint64_t codeWord = statusCodeWord_.load(std::memory_order_acquire);
    std::lock_guard lock(statusMutex_);
    const PostedStatus* newest =
        postedCount_ == 0 ? nullptr : &posted_[(postedCount_ - 1) % posted_.size()];
    if (codeWord != 0 && (!newest || (codeWord >> 8) > newest->serial))
        return CodedStatus(static_cast<uint8_t>(codeWord & 0xFF));
    if (!newest) return {"", StatusColors::red, {}};
    return newest->status;
}

std::vector<MainState::Status> MainState::StatusesSince(uint64_t& serial) const {
    const uint64_t codeWord = statusCodeWord_.load(std::memory_order_acquire);
    std::vector<std::pair<uint64_t, Status>> found;
    {
        std::lock_guard lock(statusMutex_);
        const size_t kept = std::min(postedCount_, posted_.size());
        for (size_t i = postedCount_ - kept; i < postedCount_; ++i) {
            const PostedStatus& entry = posted_[i % posted_.size()];
            if (entry.serial > serial) found.emplace_back(entry.serial, entry.status);
        }
    }
    if (codeWord != 0 && (codeWord >> 8) > serial)
        found.emplace_back(codeWord >> 8, CodedStatus(static_cast<uint8_t>(codeWord & 0xFF)));
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Status> statuses;
    for (auto& [postedSerial, status] : found) {
        serial = std::max(serial, postedSerial);
        statuses.push_back(std::move(status));
    }
    return statuses;
}

void MainState::SetLearnText(std::string_view text) {
    std::lock_guard lock(learnMutex_);
    learnText_.assign(text);
}

std::string MainState::LearnText() const {
    std::lock_guard lock(learnMutex_);
    return learnText_;
}

std::string NotReadyDetail(const std::string& port, const std::string& device, int index) {
    if (device.empty()) {
        return index < 0 ? port + ": no device chosen"
                         : port + ": no device at place " + std::to_string(index) + " of the list";
    }
    return port + ": \"" + device + "\" could not be opened";
}
