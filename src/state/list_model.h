#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// What a drop-down list of the main window holds (items, selected index, shown text, enabled),
// kept in the core so that ports and input dispatch can work on it from any thread. The window
// mirrors it into its widget on the UI thread whenever version() moves; selecting by program
// therefore never runs the user's change handler.
class ListModel {
  public:
    void clear();  // items and text
    void add(std::string item);
    void setItems(std::vector<std::string> items);  // keeps no selection

    std::vector<std::string> items() const;
    // The index of the first item for which match(item) holds, or -1; the items are looked at
    // in place instead of copied, which is what a search through a long list costs most.
    template <class Match>
    int findIndex(Match match) const {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < items_.size(); ++i)
            if (match(std::string_view(items_[i]))) return static_cast<int>(i);
        return -1;
    }
    int count() const;
    std::string item(int index) const;  // "" when out of range

    int index() const;
    // Selects an item and shows its text; an index outside the items selects nothing and
    // clears the text, as a drop-down list does.
    void setIndex(int index);
    std::string text() const;

    bool enabled() const { return enabled_.load(std::memory_order_acquire); }
    void setEnabled(bool enabled);

    uint64_t version() const { return version_.load(std::memory_order_acquire); }

  private:
    void changed() { version_.fetch_add(1, std::memory_order_acq_rel); }

    mutable std::mutex mutex_;
    std::vector<std::string> items_;
    int index_ = -1;
    std::string text_;
    std::atomic<bool> enabled_{true};
    std::atomic<uint64_t> version_{1};
};

// Text without leading and trailing blanks and control characters.
std::string TrimmedText(std::string_view text);
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

// Selects an item of a list by its text: true when the list already shows name or name is empty;
// otherwise the trimmed name is looked up (letter case ignored) and selected, and when it is not
// there the last item is selected and the result is false.
bool SelectByName(ListModel& list, std::string_view name);

// The entry of a port's device list that opens nothing; always the last.
inline constexpr const char* kNoneEntry = "None";

// A port's device list: every device the backend offers (NumDevs, ProductName), trimmed, then
// "None", which is selected.
template <class Devices>
void FillDeviceList(ListModel& list, const Devices& devices) {
    std::vector<std::string> items;
    for (int i = 0; i < devices.NumDevs(); ++i)
        items.push_back(TrimmedText(devices.ProductName(i)));
    items.emplace_back(kNoneEntry);
    list.setItems(std::move(items));
    list.setIndex(devices.NumDevs());
}

// A check box of the main window, mirrored like ListModel.
class CheckModel {
  public:
    explicit CheckModel(bool checked = true) : checked_(checked) {}
    bool checked() const { return checked_.load(std::memory_order_acquire); }
    void setChecked(bool checked) {
        if (checked_.exchange(checked, std::memory_order_acq_rel) != checked)
            version_.fetch_add(1, std::memory_order_acq_rel);
    }
    uint64_t version() const { return version_.load(std::memory_order_acquire); }

  private:
    std::atomic<bool> checked_;
    std::atomic<uint64_t> version_{1};
};
