#include "state/list_model.h"

#include <cctype>

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

std::string TrimmedText(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
    return std::string(text.substr(begin, end - begin));
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool SelectByName(ListModel& list, std::string_view name) {
    if (name.empty() || list.text() == name) return true;
    const std::string wanted = TrimmedText(name);
    const std::vector<std::string> items = list.items();
    for (size_t i = 0; i < items.size(); ++i) {
        if (SameTextIgnoringCase(items[i], wanted)) {
            list.setIndex(static_cast<int>(i));
            return true;
        }
    }
    list.setIndex(static_cast<int>(items.size()) - 1);
    return false;
}
