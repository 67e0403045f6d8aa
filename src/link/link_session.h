#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "tempo/tick_schedule.h"

class TBPMTimer;
class TempoModel;
class TickLookahead;

// What the session tells the program, on Link's own thread.
class LinkListener {
  public:
    virtual ~LinkListener() = default;
    // A tempo set in the session (by a peer, or the session's tempo on joining).
    virtual void LinkTempo(double bpm) = 0;
    // The session's playing state changed (only reported while start/stop sync is on).
    virtual void LinkPlaying(bool playing) = 0;
};

// Membership of a Link session on the local network: one tempo, one beat grid and, with
// start/stop sync, one playing state shared with every peer. As a TickSchedule it puts our
// tick k of a run that began at beat b0 on the session's time of beat b0 + k / (24 m), so our
// beat lands on the session's beat grid; a run started here begins on the next quantum
// boundary. m is the power of two that brings the session's tempo within our limits
// (TempoModel::FollowMultiplier; 1 while it lies within them): a session at 250 BPM with a
// maximum of 200 is followed at 125, each of our beats two of the session's.
//
// The Link object (with its network threads) is made on the first Enable and lives until the
// session object goes. Setters: any thread but the clock thread. The TickSchedule side: the
// clock thread, through Link's real-time-safe session capture only.
class LinkSession : public TickSchedule {
  public:
    LinkSession();
    ~LinkSession() override;
    LinkSession(const LinkSession&) = delete;
    LinkSession& operator=(const LinkSession&) = delete;

    // Set before the first Enable; called on Link's thread until the session object goes.
    void SetListener(LinkListener* listener) { listener_.store(listener); }
    // Woken when the session's tempo moves the due ticks; our ticks are handed over earlier by
    // the output's latency, so that they reach the receiver on the session's beat.
    void SetTimer(TBPMTimer* timer) { timer_.store(timer, std::memory_order_release); }
    void SetLatency(const TickLookahead* latency) {
        latency_.store(latency, std::memory_order_release);
    }
    // Our tempo limits, for the multiplier (none: the session's tempo as it is).
    void SetTempoModel(const TempoModel* tempo) { tempo_.store(tempo, std::memory_order_release); }
    // Our clock's tick count (the number of the next tick, counted from a bar line): taking
    // over a running clock while alone in the session puts the session's beat grid on it.
    void SetTickCount(const std::atomic<int32_t>* count) {
        tickCount_.store(count, std::memory_order_release);
    }
    // The multiplier for a session tempo: 1 without a tempo model, 0 where none brings it
    // within the limits. Any thread; real-time safe.
    double MultiplierFor(double sessionBpm) const;

    // Joins (with our tempo, if we are the first) or leaves the session.
    void Enable(bool on, double bpm);
    bool Enabled() const { return enabled_.load(std::memory_order_acquire); }
    void SetStartStopSync(bool on);
    bool StartStopSync() const { return startStopSync_.load(std::memory_order_acquire); }
    // Beats in a bar of the session; below 1 counts as 1.
    void SetQuantum(double beats);
    double Quantum() const { return quantum_.load(std::memory_order_acquire); }  // real-time safe

    size_t NumPeers() const { return peers_.load(std::memory_order_acquire); }
    // The session's tempo now (our own last tempo while disabled).
    double Tempo() const;
    void SetTempo(double bpm);
    bool Playing() const;
    // With start/stop sync: our clock stopped (or started outside a run of this schedule).
    void SetPlaying(bool playing);

    // TickSchedule: clock thread; real-time safe (Link's captureAudioSessionState and, when our
    // start starts the session or we take it over alone, commitAudioSessionState).
    void BeginRun(int64_t nowNs, bool newRun, int64_t lastTickNs) override;
    int64_t TickDueNs(int64_t k) override;
    int64_t FirstTickAtOrAfter(int64_t nowNs) override;
    BarPlace FirstTickInBar() const override;
    // The session's tempo moved to another multiplier than the run's.
    bool GridChanged() override;

  private:
    struct Impl;
    int64_t latencyNs() const;
    int64_t timeForIsPlaying() const;  // microseconds on the session's clock
    double ticksPerBeat() const { return 24 * runMultiplier_; }

    std::unique_ptr<Impl> impl_;
    std::atomic<bool> enabled_{false};
    std::atomic<bool> startStopSync_{false};
    std::atomic<double> quantum_{4};
    std::atomic<size_t> peers_{0};
    std::atomic<LinkListener*> listener_{nullptr};
    std::atomic<TBPMTimer*> timer_{nullptr};
    std::atomic<const TickLookahead*> latency_{nullptr};
    std::atomic<const TempoModel*> tempo_{nullptr};
    std::atomic<const std::atomic<int32_t>*> tickCount_{nullptr};
    // When we last joined, on the session's clock (microseconds): a start older than that is
    // the session's state handed to a joiner, which does not start us.
    std::atomic<int64_t> joinedMicros_{0};
    // Set by a join: the next takeover of a running clock is the join's (the count moves to
    // the session's bar), not a change of the grid under it.
    std::atomic<bool> joining_{false};

    // Clock thread: the beat of tick 0 of the run, and the run's multiplier.
    double firstBeat_ = 0;
    double runMultiplier_ = 1;
    bool keepCount_ = false;  // the run's count goes on without moving to the session's bar
};
