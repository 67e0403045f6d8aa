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
    // The input port is about to go: the clock must stop asking its lock.
    void InputGoing();

  private:
    void LinkTempo(double bpm) override;
    void LinkPlaying(bool playing) override;
    void updateSchedule();

    KorvidMainModel& model_;
    LinkSession link_;
    // The tempo last agreed with the session; both directions compare with it under this lock,
    // so a tempo that came from the session is never sent back as if it were ours.
    std::mutex tempoMutex_;
    double agreedBpm_ = 0;
    TickSchedule* scheduled_ = nullptr;
    int32_t lastRunState_ = 0;
    bool lostShown_ = false;
};
