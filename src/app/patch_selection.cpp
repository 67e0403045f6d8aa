#include "app/patch_selection.h"

#include <algorithm>
#include <filesystem>

#include "state/list_model.h"

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string FileNamePart(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<std::string> ListSettingsPatches(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;  // hidden
        if (Lower(it->path().extension().string()) != ".tvp") continue;
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        names.push_back(name);
    }
    // A directory listing on Linux has no useful order of its own.
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); });
    return names;
}

PatchSelection::PatchSelection(ListModel& selector, FileWatch& watch, std::string programFolder,
                               std::string settingsPath, Callbacks callbacks)
    : selector_(selector),
      watch_(watch),
      programFolder_(std::move(programFolder)),
      settingsPath_(std::move(settingsPath)),
      callbacks_(std::move(callbacks)) {
    if (!programFolder_.empty() && programFolder_.back() != '/') programFolder_ += '/';
    watch_.SetFileName(settingsPath_);
    watch_.OnChanged = [this] { ATFileNotification1Changed(); };
}

PatchSelection::~PatchSelection() {
    watch_.OnChanged = nullptr;
}

std::string PatchSelection::PathOf(const std::string& item) const {
    if (item.empty() || item == kSettingsItem) return settingsPath_;
    return programFolder_ + item;
}

void PatchSelection::RefreshPatchList() {
    const std::string shown = selector_.text();
    std::vector<std::string> items = {kSettingsItem};
    for (std::string& name : ListSettingsPatches(programFolder_)) items.push_back(std::move(name));
    int index = -1;
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i] == shown) {
            index = static_cast<int>(i);
            break;
        }
    }
    selector_.setItems(std::move(items));
    selector_.setIndex(index);
}

void PatchSelection::PatchComboBoxChange() {
    const std::string path = PathOf(selector_.text());
    const bool active = watch_.Active();
    if (active) watch_.Stop();
    watch_.SetFileName(path);
    if (active) watch_.Start();
    if (callbacks_.getPatchINI) callbacks_.getPatchINI(path);
}

void PatchSelection::ATFileNotification1Changed() {
    const std::string path = watch_.FileName();
    if (callbacks_.postImport) callbacks_.postImport(FileNamePart(path) + " import!");
    if (callbacks_.getPatchINI) callbacks_.getPatchINI(path);
}

void PatchSelection::StartWatching() {
    if (!watch_.Active()) watch_.Start();
}

PatchSelection::Pause::Pause(PatchSelection& selection)
    : watch_(selection.watch_), wasActive_(selection.watch_.Active()) {
    if (wasActive_) watch_.Stop();
}

PatchSelection::Pause::~Pause() {
    if (wasActive_) watch_.Start();
}
