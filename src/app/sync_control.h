#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

#include "link/link_session.h"

class KorvidMainModel;
class TickSchedule;

// Where the clock's ticks come from besides its own tempo, and the tempo and start/stop
// traffic with the network session: while Link is on, the session's beat grid; otherwise,
// while the input's definition asks to lock onto the incoming clock, that clock. Owned by the
// main window's model; the pump calls Pump every 50 ms.
class SyncControl final : private LinkListener {
  public:
    explicit SyncControl(KorvidMainModel& model);
    ~SyncControl() override;
    SyncControl(const SyncControl&) = delete;
    SyncControl& operator=(const SyncControl&) = delete;

    // UI thread. Joins or leaves the session (and keeps the choice in the settings).
    void SetLinkEnabled(bool on);
    bool LinkEnabled() const { return link_.Enabled(); }
    // Start/stop sync and quantum from the settings.
    void ApplySettings();
    // Joins or leaves the session as the settings say; the program calls it once at start-up,
    // after its ports are open (the headless program only where it may use the network).
    void JoinAsSet();
    size_t Peers() const { return link_.NumPeers(); }
    LinkSession& Link() { return link_; }

    // UI thread, every 50 ms: our tempo changes to the session, our stop to the session, the
    // schedule the clock follows, and the input clock's loss on the status line.
    void Pump();
    // Whether the clock follows the session's beats: false while no power of two brings the
    // session's tempo within our limits.
    bool FollowingSession() const;
    // The input port is about to go: the clock must stop asking its lock.
    void InputGoing();

  private:
    void LinkTempo(double bpm) override;
    void LinkPlaying(bool playing) override;
    void updateSchedule();
    // The session's tempo, brought within our limits by a power of two, becomes ours; the
    // status line tells when that power changes. Link's thread or the UI thread.
    void followSession(double sessionBpm);

    KorvidMainModel& model_;
    LinkSession link_;
    // The tempo last agreed with the session; both directions compare with it under this lock,
    // so a tempo that came from the session is never sent back as if it were ours.
    mutable std::mutex tempoMutex_;
    double agreedBpm_ = 0;
    // The power of two the session's tempo is followed at (0: not followed), and the one the
    // status line last told, with the session's tempo then.
    double multiplier_ = 1;
    double shownMultiplier_ = 1;
    // The limits the session's tempo was last followed under.
    double followedMinimum_ = 0;
    double followedMaximum_ = 0;
    TickSchedule* scheduled_ = nullptr;
    int32_t lastRunState_ = 0;
    bool lostShown_ = false;
};
