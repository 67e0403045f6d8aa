#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/instance_lock.h"
#include "support/bounded_wait.h"
#include "support/model_rig.h"

namespace {

using State = InstanceLock::State;

// Tries the lock from a child process, as a second start of the program would, and returns
// the state it found.
State StateInAnotherProcess(const std::string& settingsPath) {
    const pid_t child = ::fork();
    if (child == 0) {
        const InstanceLock lock(settingsPath);
        ::_exit(static_cast<int>(lock.state()));
    }
    const std::optional<int> status = testwait::ChildEnds(child);
    EXPECT_TRUE(status) << "the second process's lock did not answer within the patience";
    return status && WIFEXITED(*status) ? static_cast<State>(WEXITSTATUS(*status))
                                        : State::Unavailable;
}

}  // namespace

TEST(InstanceLock, ASecondInstanceOnTheSameFileIsKeptOffUntilTheFirstEnds) {
    TempFolder folder;
    const std::string settings = folder.file("clockpresets.ini");
    auto first = std::make_unique<InstanceLock>(settings);
    EXPECT_EQ(first->state(), State::Held);
    EXPECT_TRUE(std::filesystem::exists(settings + ".lock"));
    EXPECT_EQ(StateInAnotherProcess(settings), State::HeldElsewhere);
    EXPECT_EQ(InstanceLock(settings).state(), State::HeldElsewhere);
    // The same file reached by another spelling of its path.
    EXPECT_EQ(InstanceLock(folder.path() + "./clockpresets.ini").state(), State::HeldElsewhere);

    first.reset();
    EXPECT_EQ(StateInAnotherProcess(settings), State::Held);
    EXPECT_EQ(InstanceLock(settings).state(), State::Held);
}

TEST(InstanceLock, InstancesOnDifferentFilesRunSideBySide) {
    TempFolder folder;
    const InstanceLock a(folder.file("clockpresets.ini"));
    const InstanceLock b(folder.file("live.ini"));
    EXPECT_EQ(a.state(), State::Held);
    EXPECT_EQ(b.state(), State::Held);
    EXPECT_EQ(StateInAnotherProcess(folder.file("rehearsal.ini")), State::Held);
}

TEST(InstanceLock, WithoutALockFileTheSettingsFileCarriesTheLock) {
    TempFolder folder;
    folder.write("clockpresets.ini", "[APPLICATION_PRESETS]\n");
    // A lock file that cannot be opened for writing, as in a read-only folder.
    std::filesystem::create_directory(folder.file("clockpresets.ini.lock"));
    const std::string settings = folder.file("clockpresets.ini");
    const InstanceLock first(settings);
    EXPECT_EQ(first.state(), State::Held);
    EXPECT_EQ(StateInAnotherProcess(settings), State::HeldElsewhere);

    // Nothing at all to lock: the program runs without it rather than not at all.
    EXPECT_EQ(InstanceLock(folder.file("gone/clockpresets.ini")).state(), State::Unavailable);
}
