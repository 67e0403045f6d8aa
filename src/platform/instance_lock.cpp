#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

std::string InstanceLock::LockPathFor(const std::string& settingsPath) {
    return settingsPath + ".lock";
}

InstanceLock::InstanceLock(const std::string& settingsPath) {
    fd_ = ::open(LockPathFor(settingsPath).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    // In a folder we may not write to, the settings file itself carries the lock: nothing can
    // replace it there, so the lock stays on the file the others open.
    if (fd_ < 0) fd_ = ::open(settingsPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    int result;
    do {
        result = ::flock(fd_, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        state_ = State::Held;
        return;
    }
    state_ = errno == EWOULDBLOCK ? State::HeldElsewhere : State::Unavailable;
    ::close(fd_);
    fd_ = -1;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor releases the lock
}
