#pragma once

// The process's environment with some variables set otherwise, for a program a test starts.

#include <algorithm>
#include <string>
#include <vector>

extern char** environ;

namespace testenv {

// Holds the "NAME=value" texts; pointers() is what posix_spawn takes, valid while this lives.
class Environment {
  public:
    // `settings` ("NAME=value") take the place of what the environment has of those names.
    explicit Environment(const std::vector<std::string>& settings) : entries_(settings) {
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            const bool replaced = std::any_of(settings.begin(), settings.end(), [&](const auto& s) {
                return s.compare(0, name.size() + 1, name + "=") == 0;
            });
            if (!replaced) entries_.push_back(text);
        }
        for (auto& entry : entries_) pointers_.push_back(entry.data());
        pointers_.push_back(nullptr);
    }
    char** pointers() { return pointers_.data(); }

  private:
    std::vector<std::string> entries_;
    std::vector<char*> pointers_;
};

}  // namespace testenv
