#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

#include "link/link_session.h"
#include "platform/transport_source.h"
#include "tempo/transport.h"
#include "tempo/transport_follow.h"

class KorvidMainModel;
class TickSchedule;

// Where the clock's ticks come from besides its own tempo, and the tempo and start/stop
// traffic with the network session: while Link is on, the session's beat grid; otherwise,
// while the input's definition asks to lock onto the incoming clock, that clock. Owned by the
// main window's model; the pump calls Pump every 50 ms.
//
// The JACK transport: followed (its starts and stops start and stop the clock, and while a
// timebase master gives bars and beats the ticks lie on its beat grid, TransportFollow), or led
// (our clock's beats written into every cycle as the timebase master's, our start and stop
// made the transport's, and a start or stop by another client ours).
class SyncControl final : private LinkListener, private TransportListener, private BeatClock {
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

    // UI thread. Follows or leads the JACK transport (AppSettings::TransportMode), or neither,
    // and keeps the choice in the settings. Following cannot go with Link: refused with a
    // status line (false), as is any choice without a JACK server.
    bool SetTransportMode(int32_t mode);
    int32_t TransportMode() const { return transportMode_.load(std::memory_order_acquire); }
    // Takes the mode the settings hold; the program calls it once at start-up.
    void TransportAsSet();
    // A start of ours while we lead a transport that stands: rolls the transport (true), whose
    // roll then starts the clock on the transport's first frame, where every follower counts
    // from. Any thread but a real-time one.
    bool RollFirst();

  private:
    void LinkTempo(double bpm) override;
    void LinkPlaying(bool playing) override;
    void TransportRolling(bool rolling) override;
    void TransportTempo(double bpm) override;
    // Our beat for the transport we lead. JACK's process thread; real-time safe.
    bool BeatAt(int64_t timeNs, double& beat, double& bpm) const override;
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
    // The JACK transport (null without a JACK backend) and the schedule on its beat grid.
    TransportSource* transport_ = nullptr;
    std::unique_ptr<TransportFollow> follow_;
    std::atomic<int32_t> transportMode_{0};
    int32_t leadRunState_ = 0;  // the pump's: our run state last handed to a transport we lead
    bool lockRefusedShown_ = false;
    // The last tick mark, read on JACK's process thread only.
    mutable Transport::TickMark mark_;
    // A start or stop of the transport is followed whole, from the transport's thread or from a
    // mode chosen on the UI thread, never by both at once (two Starts).
    std::mutex rollMutex_;
    // updateSchedule runs on the UI thread and on the transport's thread.
    std::mutex scheduleMutex_;
    // Written under scheduleMutex_; the pump also reads it without (the transport's watcher
    // thread may set it meanwhile).
    std::atomic<TickSchedule*> scheduled_{nullptr};
    int32_t lastRunState_ = 0;
    bool lostShown_ = false;
};
