#pragma once

#include <string>

// Keeps a second instance of the program off a settings file that one already uses: an
// exclusive lock on a file beside it (the settings path + ".lock"), held while this object
// lives and removed when it ends. The system drops the lock with the process, so the file a
// crash leaves behind blocks nothing: the next start locks it. The lock file is a regular file
// opened without following a symbolic link; where there is none to be had (a read-only folder,
// a link or anything else in its place), the settings file itself carries the lock. Instances
// on different settings files do not meet.
class InstanceLock {
  public:
    enum class State {
        Held,           // this instance holds the lock
        HeldElsewhere,  // another instance (or another InstanceLock) holds it
        Unavailable,    // nothing could be locked (no such folder): run without the lock
    };

    explicit InstanceLock(const std::string& settingsPath);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    State state() const { return state_; }
    static std::string LockPathFor(const std::string& settingsPath);

  private:
    int fd_ = -1;
    std::string lockFile_;  // the lock file this instance made or took, removed at the end
    State state_ = State::Unavailable;
};
