#pragma once

#include <string>

// Keeps a second instance of the program off a settings file that one already uses: an
// exclusive lock on a file beside it (the settings path + ".lock"), held while this object
// lives. The system drops the lock with the process, so a crash leaves nothing that blocks the
// next start; the lock file itself stays (removing it could let two instances lock two files).
// Instances on different settings files do not meet.
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
    State state_ = State::Unavailable;
};
