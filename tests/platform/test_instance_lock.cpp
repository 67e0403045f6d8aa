#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
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
        ::alarm(5);  // a lock that waits for something fails the test instead of hanging it
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

// The lock file goes with the instance that held it; one that a crash left behind (no process
// holds its lock any more) blocks nothing.
TEST(InstanceLock, TheLockFileGoesAtANormalEndAndAStaleOneBlocksNothing) {
    TempFolder folder;
    const std::string settings = folder.file("clockpresets.ini");
    auto first = std::make_unique<InstanceLock>(settings);
    ASSERT_EQ(first->state(), State::Held);
    first.reset();
    EXPECT_FALSE(std::filesystem::exists(settings + ".lock"));

    // A holder killed outright: its file stays, unlocked.
    const pid_t child = ::fork();
    if (child == 0) {
        static InstanceLock crashed(settings);
        ::kill(::getpid(), SIGKILL);
    }
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(std::filesystem::exists(settings + ".lock"));
    EXPECT_EQ(StateInAnotherProcess(settings), State::Held);
    const InstanceLock next(settings);
    EXPECT_EQ(next.state(), State::Held);
    EXPECT_EQ(StateInAnotherProcess(settings), State::HeldElsewhere);
}

// A symbolic link in the lock file's place, as someone else may plant it: it is not followed,
// neither to lock the file it names nor to create one where a dangling one points.
TEST(InstanceLock, ALinkInPlaceOfTheLockFileIsNotFollowed) {
    TempFolder folder, other;
    const std::string settings = folder.file("clockpresets.ini");
    folder.write("clockpresets.ini", "[APPLICATION_PRESETS]\n");
    other.write("victim", "precious");
    std::filesystem::create_symlink(other.file("victim"), settings + ".lock");
    {
        const InstanceLock lock(settings);
        EXPECT_EQ(lock.state(), State::Held);  // on the settings file itself
        EXPECT_EQ(StateInAnotherProcess(settings), State::HeldElsewhere);
        // The victim is not locked, nor written.
        const int fd = ::open(other.file("victim").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);
        EXPECT_EQ(other.read("victim"), "precious");
    }
    EXPECT_TRUE(std::filesystem::is_symlink(settings + ".lock"));  // not ours to remove
    EXPECT_EQ(other.read("victim"), "precious");

    std::filesystem::remove(settings + ".lock");
    std::filesystem::create_symlink(other.file("made-by-us"), settings + ".lock");
    EXPECT_EQ(InstanceLock(settings).state(), State::Held);
    EXPECT_FALSE(std::filesystem::exists(other.file("made-by-us")));
}

// A named pipe in place of the lock file or the settings file is never waited on.
TEST(InstanceLock, ANamedPipeIsNotWaitedOn) {
    TempFolder folder;
    const std::string settings = folder.file("clockpresets.ini");
    ASSERT_EQ(::mkfifo((settings + ".lock").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(settings.c_str(), 0600), 0);
    EXPECT_EQ(StateInAnotherProcess(settings), State::Unavailable);
    // No lock file to be had, so the settings file would carry the lock: it is a pipe.
    TempFolder second;
    const std::string pipe = second.file("clockpresets.ini");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    std::filesystem::create_directory(pipe + ".lock");
    EXPECT_EQ(StateInAnotherProcess(pipe), State::Unavailable);
}
