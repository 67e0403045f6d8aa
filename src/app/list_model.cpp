#include "app/list_model.h"

void ListModel::clear() {
    {
        std::lock_guard lock(mutex_);
        items_.clear();
        index_ = -1;
        text_.clear();
    }
    changed();
}

void ListModel::add(std::string item) {
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
    }
    changed();
}

void ListModel::setItems(std::vector<std::string> items) {
    {
        std::lock_guard lock(mutex_);
        items_ = std::move(items);
        index_ = -1;
        text_.clear();
    }
    changed();
}

std::vector<std::string> ListModel::items() const {
    std::lock_guard lock(mutex_);
    return items_;
}

int ListModel::count() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(items_.size());
}

std::string ListModel::item(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int>(items_.size())) return {};
    return items_[static_cast<size_t>(index)];
}

int ListModel::index() const {
    std::lock_guard lock(mutex_);
    return index_;
}

void ListModel::setIndex(int index) {
    {
        std::lock_guard lock(mutex_);
        if (index >= 0 && index < static_cast<int>(items_.size())) {
            index_ = index;
            text_ = items_[static_cast<size_t>(index)];
        } else {
            index_ = -1;
            text_.clear();
        }
    }
    changed();
}

std::string ListModel::text() const {
    std::lock_guard lock(mutex_);
    return text_;
}

void ListModel::setEnabled(bool enabled) {
    if (enabled_.exchange(enabled, std::memory_order_acq_rel) != enabled) changed();
}
