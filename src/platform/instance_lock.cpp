#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// flock() that waits for nothing; 0, or the reason.
int LockNow(int fd) {
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

// The path names the very file fd has open (not a file made since under that name).
bool StillNames(const std::string& path, int fd) {
    struct stat atPath {
    }, open{};
    return ::lstat(path.c_str(), &atPath) == 0 && ::fstat(fd, &open) == 0 &&
           atPath.st_dev == open.st_dev && atPath.st_ino == open.st_ino;
}

// Opens path without waiting for anything (a named pipe would block open() until a writer came)
// and keeps it only when it is a regular file.
int OpenRegular(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string InstanceLock::LockPathFor(const std::string& settingsPath) {
    return settingsPath + ".lock";
}

InstanceLock::InstanceLock(const std::string& settingsPath) {
    const std::string lockPath = LockPathFor(settingsPath);
    // A few rounds: an instance that ends removes its lock file, and may do so between our open
    // and our lock, leaving us the lock of a file no one else can find.
    for (int round = 0; round < 8; ++round) {
        // Never through a symbolic link: a link planted there would have us create or lock
        // whatever file it points to.
        const int fd = OpenRegular(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW);
        if (fd < 0) break;
        const int failure = LockNow(fd);
        if (failure != 0) {
            state_ = failure == EWOULDBLOCK ? State::HeldElsewhere : State::Unavailable;
            ::close(fd);
            return;
        }
        if (StillNames(lockPath, fd)) {
            fd_ = fd;
            lockFile_ = lockPath;
            state_ = State::Held;
            return;
        }
        ::close(fd);
    }
    // No lock file of our own (a read-only folder, or something that is no regular file in its
    // place): the settings file itself carries the lock. Nothing can replace it in a read-only
    // folder, so the lock stays on the file the others open.
    fd_ = OpenRegular(settingsPath, O_RDONLY);
    if (fd_ < 0) return;
    const int failure = LockNow(fd_);
    if (failure == 0) {
        state_ = State::Held;
        return;
    }
    state_ = failure == EWOULDBLOCK ? State::HeldElsewhere : State::Unavailable;
    ::close(fd_);
    fd_ = -1;
}

InstanceLock::~InstanceLock() {
    if (fd_ < 0) return;
    // Removed while still locked, so no one can be holding it in our stead; one who opened it
    // just now finds it gone once locked, and makes a new one.
    if (!lockFile_.empty() && StillNames(lockFile_, fd_)) ::unlink(lockFile_.c_str());
    ::close(fd_);  // closing the only descriptor releases the lock
}
