#include "state/definition_files.h"

#include <algorithm>
#include <filesystem>

#include "state/list_model.h"
#include "state/main_state.h"
#include "state/status_color.h"

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool IsIniExtension(const std::filesystem::path& path) {
    return Lower(path.extension().string()) == ".ini";
}

}  // namespace

std::vector<std::string> ListDefinitionTypes(const std::vector<std::string>& folders,
                                             const std::string& builtInType) {
    namespace fs = std::filesystem;
    std::vector<std::string> types;
    for (const std::string& folder : folders) {
        if (folder.empty()) continue;
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path& path = it->path();
            if (!IsIniExtension(path)) continue;
            // Regular files only (a link to one counts): a named pipe would hang the reader,
            // a device never ends.
            std::error_code typeError;
            if (!it->is_regular_file(typeError)) continue;
            types.push_back(path.stem().string());
        }
    }
    // A directory listing on Linux has no useful order of its own. Exact ties stay together, so
    // that the duplicates are neighbours.
    std::sort(types.begin(), types.end(), [](const std::string& a, const std::string& b) {
        const std::string la = Lower(a), lb = Lower(b);
        return la != lb ? la < lb : a < b;
    });
    types.erase(std::unique(types.begin(), types.end()), types.end());
    const bool hasBuiltIn = std::any_of(types.begin(), types.end(), [&](const std::string& t) {
        return SameTextIgnoringCase(t, builtInType);
    });
    if (!hasBuiltIn) types.push_back(builtInType);
    return types;
}

std::string FindDefinitionFile(const std::string& folder, const std::string& type) {
    namespace fs = std::filesystem;
    const std::string exact = folder + type + ".ini";
    std::error_code ec;
    if (fs::is_regular_file(exact, ec)) return exact;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        std::error_code typeError;
        if (path.stem().string() == type && IsIniExtension(path) && it->is_regular_file(typeError))
            return folder + path.filename().string();
    }
    return {};
}

bool ReportDefinitionProblems(MainState& state, const std::string& type, const std::string& path,
                              const std::vector<std::string>& problems, std::string& last) {
    if (problems.empty()) {
        last.clear();
        return false;
    }
    std::string detail = path + ":";
    for (const std::string& problem : problems)
        detail += (&problem == &problems.front() ? " " : "; ") + problem;
    if (detail == last) return false;
    last = detail;
    std::string text = type + ": " + problems.front();
    if (problems.size() > 1) text += " (+" + std::to_string(problems.size() - 1) + " more)";
    state.PostStatus(text, StatusColors::red, detail);
    return true;
}
